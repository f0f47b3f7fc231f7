#include "common/batch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/media_fixtures.h"

namespace {

using mediatest::TempDir;

class BatchTest : public ::testing::Test {
 protected:
  void TearDown() override { Batch = BatchState{}; }

  // Stores list as the selection, as the dialog does at acceptance.
  static void Select(const std::string& list) {
    Batch = BatchState{};
    Batch.fileList = list;
    Batch.fileCount = CountBatchFiles();
    Batch.currentFile = 1;
  }
};

struct SelectionCase {
  const char* label;
  std::string folder;
  std::vector<std::string> names;
  std::vector<std::string> expectedPaths;
};

TEST_F(BatchTest, SelectionsGiveTheirFilesInOrder) {
  const SelectionCase cases[] = {
      {"one file", "/home/u/video", {"clip.mpg"}, {"/home/u/video/clip.mpg"}},
      {"several files",
       "/home/u/video",
       {"a.mpg", "b.avi", "c.wav"},
       {"/home/u/video/a.mpg", "/home/u/video/b.avi", "/home/u/video/c.wav"}},
      {"root folder", "/", {"x.mpg", "y.vob"}, {"/x.mpg", "/y.vob"}},
      {"folder given with a trailing slash",
       "/home/u/",
       {"a.mp3", "b.mp3"},
       {"/home/u/a.mp3", "/home/u/b.mp3"}},
      {"multibyte names and spaces",
       "/home/u/音楽 フォルダ",
       {"曲 1.mp3", "ﾃｽﾄ 録音.wav"},
       {"/home/u/音楽 フォルダ/曲 1.mp3", "/home/u/音楽 フォルダ/ﾃｽﾄ 録音.wav"}},
      {"files of several folders under their common folder",
       "/home/u",
       {"a/x.mp3", "b/c/y.wma"},
       {"/home/u/a/x.mp3", "/home/u/b/c/y.wma"}},
  };
  for (const SelectionCase& c : cases) {
    SCOPED_TRACE(c.label);
    Select(MakeFileList(c.folder, c.names));
    ASSERT_EQ(Batch.fileCount, c.expectedPaths.size());
    for (uint32_t n = 1; n <= Batch.fileCount; ++n)
      EXPECT_EQ(GetBatchFile(n), c.expectedPaths[n - 1]) << "file " << n;
    EXPECT_EQ(GetBatchFile(Batch.fileCount + 1), "");
    EXPECT_EQ(GetBatchFile(0), "");
  }
}

TEST_F(BatchTest, FileListLayout) {
  using namespace std::string_literals;
  EXPECT_EQ(MakeFileList("/m", {"a.mpg"}), "/m/a.mpg\0\0"s);
  EXPECT_EQ(MakeFileList("/m/a.mpg", {}), "/m/a.mpg\0\0"s);
  EXPECT_EQ(MakeFileList("/m", {"a", "b"}), "/m\0a\0b\0\0"s);
  // An empty name would end the list early and hide the names after it.
  EXPECT_EQ(MakeFileList("/m", {"a", "", "b"}), "/m\0a\0b\0\0"s);
}

TEST_F(BatchTest, CountReadsTheRawLayout) {
  using namespace std::string_literals;
  const struct {
    std::string list;
    uint32_t count;
  } cases[] = {
      {""s, 1},
      {"/a/b.mpg\0\0"s, 1},
      {"/a\0x\0y\0\0"s, 2},
      {"/a\0x\0y\0\0stale\0bytes\0"s, 2},  // nothing after the double zero counts
  };
  for (const auto& c : cases) {
    Batch.fileList = c.list;
    EXPECT_EQ(CountBatchFiles(), c.count) << testing::PrintToString(c.list);
  }
}

TEST_F(BatchTest, ListLongerThanOneKilobyte) {
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back("長い名前のファイル " + std::to_string(i) + ".mp3");
  std::string list = MakeFileList("/home/u/たくさん", names);
  ASSERT_GT(list.size(), 1024u);

  Select(list);
  ASSERT_EQ(Batch.fileCount, 300u);
  EXPECT_EQ(GetBatchFile(1), "/home/u/たくさん/長い名前のファイル 0.mp3");
  EXPECT_EQ(GetBatchFile(150), "/home/u/たくさん/長い名前のファイル 149.mp3");
  EXPECT_EQ(GetBatchFile(300), "/home/u/たくさん/長い名前のファイル 299.mp3");
}

TEST(PathHelpers, FileNameAndDirectoryParts) {
  const struct {
    std::string path, name, directory;
  } cases[] = {
      {"/a/b.mpg", "b.mpg", "/a/"},
      {"/b.mpg", "b.mpg", "/"},
      {"/a/b/", "", "/a/b/"},
      {"/音楽/曲 一.mp3", "曲 一.mp3", "/音楽/"},
      {"name.mp3", "name.mp3", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileNamePart(c.path), c.name) << c.path;
    EXPECT_EQ(GetDirectoryPart(c.path), c.directory) << c.path;
  }
}

TEST(PathHelpers, LowerExtension) {
  const struct {
    std::string path, extension;
  } cases[] = {
      {"/Movie/CLIP.MPG", ".mpg"},
      {"/a.b/file", ".b/file"},          // the search passes the separator
      {"/x/Song.ÄÖ", ".äö"},             // UTF-8 lower-casing, not bytewise
      {"/x/ÉTÉ.Ω", ".ω"},
      {"/x/archive.tar.GZ", ".gz"},
      {"/Dir/NoExtension", "/dir/noextension"},  // no dot: the whole path
      {".HIDDEN", ".hidden"},                    // position 0 is not searched
      {"A.", "."},
      {"/x/\xff\xfe" "Name.MP3", ".mp3"},
      {"/x/\xff\xfe" "NAME", "/x/\xff\xfe" "name"},  // not UTF-8: ASCII letters only
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(GetLowerExtension(c.path), c.extension) << c.path;
}

TEST(PathHelpers, IsFilePath) {
  TempDir dir;
  std::string file = dir.file("a file.wav");
  std::ofstream(file) << "x";
  std::string folder = dir.file("フォルダ");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  std::string linkToFolder = dir.file("link");
  ASSERT_EQ(symlink(folder.c_str(), linkToFolder.c_str()), 0);

  EXPECT_TRUE(IsFilePath(file));
  EXPECT_FALSE(IsFilePath(folder));
  EXPECT_FALSE(IsFilePath(linkToFolder));
  EXPECT_TRUE(IsFilePath(dir.file("missing.mpg")));  // cannot be examined: taken as a file
}

}  // namespace
