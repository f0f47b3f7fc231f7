// Output naming and the status captions.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "common/app_settings.h"
#include "common/batch.h"
#include "common/status_text.h"
#include "engine/naming.h"
#include "tests/support/media_fixtures.h"

using mediatest::TempDir;

namespace {

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

std::string Notice() {
  std::lock_guard lock(StatusLock);
  return StatusNotice;
}

class NamingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetOpticalMediaTest(nullptr);
    DiscardOutputFiles();
  }
  TempDir dir;
};

TEST_F(NamingTest, ReplacesTheLastExtensionAndNumbersTakenNames) {
  const std::pair<std::string, std::string> cases[] = {  // input, output in a folder with nothing
      {"/a/my.song.mpg", "/a/my.song.wav"},
      {"/a.b/README", "/a.b/README.wav"},  // no dot in the name: append
      {"/a/.hidden", "/a/.hidden.wav"},
      {"/a/曲 名.MP3", "/a/曲 名.wav"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(MakeOutputPath(in, "wav"), out) << in;
  EXPECT_EQ(Notice(), "");

  const std::string input = dir.file("b.avi");
  Touch(dir.file("b.wav"));
  EXPECT_EQ(MakeOutputPath(input, "wav"), dir.file("b_2.wav"));
  Touch(dir.file("b_2.wav"));
  EXPECT_EQ(MakeOutputPath(input, "wav"), dir.file("b_3.wav"));

  // A folder, or a link to nowhere, takes a name just as a file does.
  mkdir(dir.file("c.mp3").c_str(), 0755);
  EXPECT_EQ(MakeOutputPath(dir.file("c.wav"), "mp3"), dir.file("c_2.mp3"));
  symlink("/nonexistent", dir.file("d.wma").c_str());
  EXPECT_EQ(MakeOutputPath(dir.file("d.wav"), "wma"), dir.file("d_2.wma"));
}

// A name is claimed as it is chosen, so a second output asking at the same time gets
// the next one; the commit never replaces a file someone else made under the name
// meanwhile, but moves on to the next free number. Where unnamed files exist nothing is
// in the folder until the commit; elsewhere a hidden temporary stands for the name.
TEST_F(NamingTest, ClaimsNamesAndCommitsWithoutReplacing) {
  for (bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed files" : "named temporaries");
    SetUnnamedOutputsRefused(!unnamed);
    TempDir dir;
    const std::string input = dir.file("b.avi");
    const std::string first = MakeOutputPath(input, "wav");
    EXPECT_EQ(first, dir.file("b.wav"));
    EXPECT_EQ(TemporaryOutputPath(first), dir.file(".b.wav.quilllomare-part"));
    EXPECT_EQ(access(TemporaryOutputPath(first).c_str(), F_OK) == 0, !unnamed);
    EXPECT_EQ(OutputWritePath(first).starts_with("/proc/self/fd/"), unnamed);
    EXPECT_NE(access(first.c_str(), F_OK), 0);  // nothing under the final name yet
    EXPECT_EQ(MakeOutputPath(input, "wav"), dir.file("b_2.wav"));
    // The temporary of another run that is writing it (and holds its lock) holds its name.
    Touch(dir.file(".b_3.wav.quilllomare-part"));
    const int writer = open(dir.file(".b_3.wav.quilllomare-part").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(writer, LOCK_EX), 0);

    std::ofstream(dir.file("b.wav")) << "theirs";
    std::ofstream(OutputWritePath(first)) << "ours";
    std::vector<CommittedOutput> committed;
    std::string reason;
    ASSERT_TRUE(CommitOutputFiles(&reason, &committed)) << reason;
    ASSERT_EQ(committed.size(), 2u);
    EXPECT_EQ(committed[0].finalPath, dir.file("b_4.wav"));  // b_2 was claimed by the second
    EXPECT_EQ(mediatest::ReadFileBytes(dir.file("b.wav")), "theirs");
    EXPECT_EQ(mediatest::ReadFileBytes(dir.file("b_4.wav")), "ours");
    EXPECT_EQ(committed[1].finalPath, dir.file("b_2.wav"));
    EXPECT_NE(access(TemporaryOutputPath(dir.file("b_4.wav")).c_str(), F_OK), 0);

    // A discarded claim leaves nothing and frees the name.
    EXPECT_EQ(MakeOutputPath(dir.file("c.avi"), "wav"), dir.file("c.wav"));
    DiscardOutputFiles();
    EXPECT_EQ(mediatest::FolderEntries(dir.path()).size(), 4u);  // b, b_2, b_4 and the other's temporary
    // A temporary whose writer is gone (killed: nobody holds its lock) frees its name.
    Touch(dir.file(".c.wav.quilllomare-part"));
    EXPECT_EQ(MakeOutputPath(dir.file("c.avi"), "wav"), dir.file("c.wav"));
    DiscardOutputFiles();
    EXPECT_EQ(mediatest::FolderEntries(dir.path()).size(), 4u);
    close(writer);
  }
  SetUnnamedOutputsRefused(false);

  // A name too long for the decorations still gets a hidden temporary in the folder.
  const std::string longName = dir.file(std::string(250, 'x') + ".wav");
  EXPECT_TRUE(TemporaryOutputPath(longName).starts_with(dir.file(".quilllomare-")));
}

TEST_F(NamingTest, OpticalMediaGoToTheOutputFolderWithANotice) {
  SetOpticalMediaTest([](const std::string& path) { return path.starts_with("/media/cdrom/"); });
  const std::string folder = GetOutputFolder();
  EXPECT_EQ(MakeOutputPath("/media/cdrom/VIDEO_TS/x.vob", "ac3"), folder + "x.ac3");
  EXPECT_EQ(Notice(), "くいるろまれ outputフォルダ");
  struct stat st;
  EXPECT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  // The next file from a hard disk clears the notice.
  MakeOutputPath(dir.file("y.mpg"), "wav");
  EXPECT_EQ(Notice(), "");

  SetOpticalMediaTest(nullptr);  // the real test: neither a local folder nor a missing one
  EXPECT_FALSE(IsOnOpticalMedia(dir.path()));
  EXPECT_FALSE(IsOnOpticalMedia("/nonexistent/file.mpg"));
}

TEST(StatusCaptionTest, FollowModeFilesAndProgress) {
  // The WAV and MP3 modes' captions are judged in whole runs of the window and batch modes.
  EXPECT_EQ(FormatProgressCaption(kModeWav, 1, 1, -1), "ろまれ中");
  EXPECT_EQ(FormatProgressCaption(kModeExtract, 2, 3, -1), "(2/3) ろまれ中");
  EXPECT_EQ(FormatProgressCaption(kModeWma, 2, 3, 37), "(2/3) 37% ゆまれ中");
  EXPECT_EQ(FormatFileDoneCaption(kModeWma, 4, 5), "(4/5) 100% ゆまれ完了");
  EXPECT_EQ(FormatFinishedCaption(kModeExtract), "100% -ろまれ完了-");
  EXPECT_EQ(FormatFinishedCaption(kModeWma), "100% -ゆまれ完了-");
}

}  // namespace
