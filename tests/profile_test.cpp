#include "app/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <tuple>

#include "tests/support/media_fixtures.h"

namespace {

using mediatest::FolderEntries;  // a leftover temporary file shows here
using mediatest::ReadFileBytes;
using mediatest::TempDir;
constexpr auto WriteText = mediatest::WriteFileBytes;

class ProfileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string ini = dir.file("test.ini");
};

TEST_F(ProfileTest, ReadingRules) {
  WriteText(ini,
            "\xEF\xBB\xBFtop=ignored\r\n[Setting]\r\n  Spaced  =  a value with  inner  blanks \t\r\n"
            "Path=/home/u/動画=2\r\nEmpty=\r\n;Commented=yes\r\nNoEquals\r\nTwice=first\r\n"
            "twice=second\r\n[other]\r\nOnly=other\r\n[SETTING]\r\nLate=second section\r\n");
  const std::tuple<const char*, const char*, const char*> cases[] = {  // section, key, value
      {"setting", "SPACED", "a value with  inner  blanks"}, {"Other", "only", "other"},
      {"Setting", "Path", "/home/u/動画=2"},  // up to the end of the line
      {"Setting", "Empty", ""},               // present but empty is not the default
      {"Setting", "Commented", "default"}, {"Setting", "NoEquals", "default"}, {"Setting", "Twice", "first"},
      {"Setting", "Only", "default"}, {"Setting", "Late", "default"},  // the first section of a name
      {"Setting", "top", "default"},  // before any section; the byte order mark is skipped
  };
  for (const auto& [section, key, expected] : cases)
    EXPECT_EQ(GetPrivateProfileString(ini, section, key, "default"), expected) << "[" << section << "] " << key;
}

// The file is replaced, not rewritten in place, keeping its mode; a symbolic link
// stays a link to the file it named.
TEST_F(ProfileTest, ReplaceIsAtomicAndKeepsModeAndLinks) {
  WriteText(ini, "[S]\nk=1\n");
  ASSERT_EQ(chmod(ini.c_str(), 0640), 0);
  struct stat before, after, link;
  ASSERT_EQ(stat(ini.c_str(), &before), 0);
  EXPECT_TRUE(WritePrivateProfileString(ini, "S", "k", "2"));
  ASSERT_EQ(stat(ini.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "rewritten in place instead of replaced";
  EXPECT_EQ(after.st_mode & 07777, 0640u);

  const std::string linkPath = dir.file("link.ini");
  ASSERT_EQ(symlink(ini.c_str(), linkPath.c_str()), 0);
  EXPECT_TRUE(WritePrivateProfileString(linkPath, "S", "k", "3"));
  ASSERT_EQ(lstat(linkPath.c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(ReadFileBytes(ini), "[S]\nk=3\n");
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"link.ini", "test.ini"}));
}

// Text that would break the file, and places that cannot hold one, are refused: false,
// nothing left behind, nothing lost. A FIFO or a folder in the file's place is taken as
// no file: reading never blocks and writing never goes through it.
TEST_F(ProfileTest, RefusedWritesAreQuietAndChangeNothing) {
  WriteText(ini, "[S]\nk=1\n");
  const std::string regular = dir.file("regular"), fifo = dir.file("fifo.ini");
  WriteText(regular, "not a folder");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(GetPrivateProfileString(fifo, "S", "k", "default"), "default");
  EXPECT_EQ(ReadPrivateProfile(fifo), "");
  const std::tuple<std::string, const char*, const char*, const char*> cases[] = {  // file, section, key, value
      {ini, "S", "k", "line\ninjected=1"}, {ini, "S", "a=b", "v"}, {ini, "S", ";k", "v"}, {ini, "S]x", "k", "v"},
      {dir.file("no such folder/test.ini"), "S", "k", "v"}, {regular + "/test.ini", "S", "k", "v"},
      {dir.path(), "S", "k", "v"}, {fifo, "S", "k", "v"}};
  for (const auto& [path, section, key, value] : cases)
    EXPECT_FALSE(WritePrivateProfileString(path, section, key, value)) << path << " [" << section << "] " << key;
  EXPECT_EQ(ReadFileBytes(ini), "[S]\nk=1\n");
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"fifo.ini", "regular", "test.ini"}));
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(ProfileTest, FilesThatCannotBeWrittenAreLeftAlone) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  const std::string original = "[S]\nk=1\nother=keep\n";
  // An unreadable file cannot be rewritten without losing its other keys.
  const struct {
    const char* label;
    mode_t fileMode, folderMode;
  } cases[] = {{"read-only file", 0444, 0755}, {"unreadable file", 0200, 0755}, {"read-only folder", 0644, 0555}};
  for (const auto& c : cases) {
    WriteText(ini, original);
    ASSERT_EQ(chmod(ini.c_str(), c.fileMode), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), c.folderMode), 0);
    EXPECT_FALSE(WritePrivateProfileString(ini, "S", "k", "2")) << c.label;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(ini.c_str(), 0644), 0);
    EXPECT_EQ(ReadFileBytes(ini), original) << c.label;
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"test.ini"}) << c.label;
  }
}

// Processes saving different keys at the same moment keep every key: each save is one
// locked read-modify-rename.
TEST_F(ProfileTest, SimultaneousSavesLoseNoKey) {
  constexpr int kWriters = 6, kRounds = 40;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      bool ok = true;
      for (int r = 0; r < kRounds; ++r)
        ok = WritePrivateProfileStrings(ini, {{"S", "w" + std::to_string(w), std::to_string(r)},
                                              {"T", "w" + std::to_string(w), std::to_string(r)}}) && ok;
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string contents = ReadPrivateProfile(ini);
  for (int w = 0; w < kWriters; ++w)
    for (const char* section : {"S", "T"})
      EXPECT_EQ(GetProfileStringFrom(contents, section, "w" + std::to_string(w), "lost"), std::to_string(kRounds - 1))
          << section << " w" << w;
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"test.ini"});
}

}  // namespace
