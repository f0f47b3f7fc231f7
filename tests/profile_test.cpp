#include "app/profile.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "tests/support/media_fixtures.h"

namespace {

using mediatest::ReadFileBytes;
using mediatest::TempDir;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Names of the entries of a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  g_autoptr(GDir) dir = g_dir_open(folder.c_str(), 0, nullptr);
  if (!dir) return names;
  while (const gchar* name = g_dir_read_name(dir)) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

class ProfileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string ini = dir.file("test.ini");
};

TEST_F(ProfileTest, ReadingRules) {
  WriteText(ini,
            "\xEF\xBB\xBF"  // byte order mark
            "top=ignored\r\n"
            "[Setting]\r\n"
            "  Spaced  =  a value with  inner  blanks \t\r\n"
            "Path=/home/u/動画=2\r\n"
            "Empty=\r\n"
            ";Commented=yes\r\n"
            "NoEquals\r\n"
            "Twice=first\r\n"
            "twice=second\r\n"
            "[other]\r\n"
            "Only=other\r\n"
            "[SETTING]\r\n"
            "Late=second section of the same name\r\n");
  const struct {
    const char *section, *key, *expected;
  } cases[] = {
      {"Setting", "Spaced", "a value with  inner  blanks"},
      {"setting", "SPACED", "a value with  inner  blanks"},
      {"Setting", "Path", "/home/u/動画=2"},  // up to the end of the line
      {"Setting", "Empty", ""},               // present but empty is not the default
      {"Setting", "Commented", "default"},
      {"Setting", "NoEquals", "default"},
      {"Setting", "Twice", "first"},
      {"Setting", "Only", "default"},  // belongs to another section
      {"Setting", "Late", "default"},  // the first section of a name is the one read
      {"Setting", "top", "default"},   // before any section
      {"Other", "only", "other"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GetPrivateProfileString(ini, c.section, c.key, "default"), c.expected)
        << "[" << c.section << "] " << c.key;
}

TEST_F(ProfileTest, NewKeysAndSectionsAreAppendedInOrder) {
  EXPECT_TRUE(WritePrivateProfileString(ini, "First", "a", "1"));
  EXPECT_TRUE(WritePrivateProfileString(ini, "Second", "b", "2"));
  EXPECT_TRUE(WritePrivateProfileString(ini, "First", "c", "3"));
  EXPECT_TRUE(WritePrivateProfileString(ini, "first", "A", "4"));
  EXPECT_TRUE(WritePrivateProfileString(ini, "SECOND", "d", ""));
  EXPECT_EQ(ReadFileBytes(ini), "[First]\na=4\nc=3\n[Second]\nb=2\nd=\n");
}

TEST_F(ProfileTest, EditsKeepEverythingElse) {
  WriteText(ini,
            "; settings of the program\n"
            "[setting]\n"
            "  decodemode = 2\n"
            "Unknown=kept\n"
            "\n"
            "; about the next section\n"
            "[Version]\n"
            "Version=4.10\n");
  EXPECT_TRUE(WritePrivateProfileString(ini, "Setting", "DecodeMode", "3"));
  EXPECT_TRUE(WritePrivateProfileString(ini, "Setting", "Riff", "1"));
  EXPECT_TRUE(WritePrivateProfileString(ini, "Empty", "Key", "v"));
  EXPECT_EQ(ReadFileBytes(ini),
            "; settings of the program\n"
            "[setting]\n"
            "decodemode=3\n"
            "Unknown=kept\n"
            "Riff=1\n"
            "\n"
            "; about the next section\n"
            "[Version]\n"
            "Version=4.10\n"
            "[Empty]\n"
            "Key=v\n");
}

TEST_F(ProfileTest, LineEndingsOfTheFile) {
  const struct {
    const char *before, *after;
  } cases[] = {
      {"[S]\r\nk=1\r\n", "[S]\r\nk=2\r\nn=3\r\n"},  // CRLF stays CRLF
      {"[S]\nk=1", "[S]\nk=2\nn=3\n"},              // no final line break
  };
  for (const auto& c : cases) {
    WriteText(ini, c.before);
    EXPECT_TRUE(WritePrivateProfileString(ini, "S", "k", "2"));
    EXPECT_TRUE(WritePrivateProfileString(ini, "S", "n", "3"));
    EXPECT_EQ(ReadFileBytes(ini), c.after) << testing::PrintToString(c.before);
  }
}

TEST_F(ProfileTest, ReplaceIsAtomicAndKeepsMode) {
  WriteText(ini, "[S]\nk=1\n");
  ASSERT_EQ(chmod(ini.c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(stat(ini.c_str(), &before), 0);

  EXPECT_TRUE(WritePrivateProfileString(ini, "S", "k", "2"));

  struct stat after;
  ASSERT_EQ(stat(ini.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "rewritten in place instead of replaced";
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"test.ini"});
}

TEST_F(ProfileTest, WritesThroughASymbolicLink) {
  std::string real = dir.file("real.ini");
  WriteText(real, "[S]\nk=1\n");
  ASSERT_EQ(symlink(real.c_str(), ini.c_str()), 0);
  EXPECT_TRUE(WritePrivateProfileString(ini, "S", "k", "2"));
  struct stat st;
  ASSERT_EQ(lstat(ini.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFileBytes(real), "[S]\nk=2\n");
}

TEST_F(ProfileTest, TextThatWouldBreakTheFileIsRefused) {
  WriteText(ini, "[S]\nk=1\n");
  const struct {
    const char *section, *key, *value;
  } cases[] = {
      {"S", "k", "line\ninjected=1"},
      {"S", "a=b", "v"},
      {"S", ";k", "v"},
      {"S]x", "k", "v"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(WritePrivateProfileString(ini, c.section, c.key, c.value))
        << "[" << c.section << "] " << c.key;
  }
  EXPECT_EQ(ReadFileBytes(ini), "[S]\nk=1\n");
}

TEST_F(ProfileTest, UnwritablePlacesAreQuietFailures) {
  std::string regular = dir.file("regular");
  WriteText(regular, "not a folder");
  const std::string paths[] = {
      dir.file("no such folder/test.ini"),
      regular + "/test.ini",  // the parent is a file
      dir.path(),             // a folder where the file should be
  };
  for (const std::string& path : paths)
    EXPECT_FALSE(WritePrivateProfileString(path, "S", "k", "v")) << path;
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"regular"});
}

TEST_F(ProfileTest, FilesThatCannotBeWrittenAreLeftAlone) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  const std::string original = "[S]\nk=1\nother=keep\n";
  const struct {
    const char* label;
    mode_t fileMode, folderMode;
  } cases[] = {
      {"read-only file", 0444, 0755},
      {"unreadable file", 0200, 0755},  // rewriting it would lose its other keys
      {"read-only folder", 0644, 0555},
  };
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

}  // namespace
