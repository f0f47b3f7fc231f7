#include "common/batch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/media_fixtures.h"

namespace {

using mediatest::TempDir;

struct SelectionCase {
  const char* label;
  std::string folder;
  std::vector<std::string> names, expectedPaths;
};

// (One file and several in a folder are what every run of the engine tests makes.)
TEST(BatchTest, SelectionsGiveTheirFilesInOrder) {
  std::vector<SelectionCase> cases = {
      {"root folder", "/", {"x.mpg", "y.vob"}, {"/x.mpg", "/y.vob"}},
      {"multibyte names and spaces", "/home/u/音楽 フォルダ", {"曲 1.mp3", "ﾃｽﾄ 録音.wav"},
       {"/home/u/音楽 フォルダ/曲 1.mp3", "/home/u/音楽 フォルダ/ﾃｽﾄ 録音.wav"}},
      // An empty name would end the list early and hide the names after it.
      {"an empty name", "/m", {"a", "", "b"}, {"/m/a", "/m/b"}},
      {"longer than a kilobyte", "/home/u/たくさん", {}, {}},  // 300 names, over 12,000 bytes
  };
  for (int i = 0; i < 300; ++i) {
    cases.back().names.push_back("長い名前のファイル " + std::to_string(i) + ".mp3");
    cases.back().expectedPaths.push_back("/home/u/たくさん/" + cases.back().names.back());
  }
  for (const SelectionCase& c : cases) {
    SCOPED_TRACE(c.label);
    Batch = BatchState{.fileList = MakeFileList(c.folder, c.names)};
    Batch.fileCount = CountBatchFiles();
    ASSERT_EQ(Batch.fileCount, c.expectedPaths.size());
    for (uint32_t n = 1; n <= Batch.fileCount; ++n)
      EXPECT_EQ(GetBatchFile(n), c.expectedPaths[n - 1]) << "file " << n;
    EXPECT_EQ(GetBatchFile(Batch.fileCount + 1), "");
    EXPECT_EQ(GetBatchFile(0), "");
  }

  using namespace std::string_literals;
  Batch.fileList = "/a\0x\0y\0\0stale\0bytes\0"s;  // nothing after the double zero counts
  EXPECT_EQ(CountBatchFiles(), 2u);
  Batch = BatchState{};
}

TEST(PathHelpers, FileNameDirectoryAndExtension) {
  const struct {
    std::string path, name, directory, extension;
  } cases[] = {
      {"/Movie/CLIP.MPG", "CLIP.MPG", "/Movie/", ".mpg"},
      {"/a.b/file", "file", "/a.b/", ".b/file"},  // the search passes the separator
      {"/Song.x.ÄÖ", "Song.x.ÄÖ", "/", ".äö"},     // the last dot; UTF-8 lower-casing, not bytewise
      {"/Dir/NoExtension", "NoExtension", "/Dir/", "/dir/noextension"},  // no dot: the whole path
      {".HIDDEN", ".HIDDEN", "", ".hidden"},                             // position 0 is not searched
      {"/x/\xff\xfe" "NAME", "\xff\xfe" "NAME", "/x/", "/x/\xff\xfe" "name"},  // not UTF-8
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileNamePart(c.path), c.name) << c.path;
    EXPECT_EQ(GetDirectoryPart(c.path), c.directory) << c.path;
    EXPECT_EQ(GetLowerExtension(c.path), c.extension) << c.path;
  }
}

TEST(PathHelpers, IsFilePath) {
  TempDir dir;
  std::string file = dir.file("a file.wav"), folder = dir.file("フォルダ"), link = dir.file("link");
  std::ofstream(file) << "x";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(symlink(folder.c_str(), link.c_str()), 0);
  EXPECT_TRUE(IsFilePath(file));
  EXPECT_FALSE(IsFilePath(folder));
  EXPECT_FALSE(IsFilePath(link));
  EXPECT_TRUE(IsFilePath(dir.file("missing.mpg")));  // cannot be examined: taken as a file
}

}  // namespace
