// The batch mode's command line, as scripts see it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

Outcome RunProgram(std::vector<std::string> args) {
  args.insert(args.begin(), QL_PROGRAM);
  Outcome o;
  o.out = RunCommand(args, &o.status, &o.err);
  return o;
}

TEST(BatchModeTest, UsageErrorsExitWithTwoAndOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {"--batch"},
      {"--batch", "--mode", "flac", "a.mp3"},
      {"--batch", "--wav-format", "24", "a.mp3"},
      {"--batch", "--wav-format", "7x", "a.mp3"},
      {"--batch", "--wma-profile", "-1", "a.mp3"},
      {"--batch", "--mp3-form", "ogg", "a.mp3"},
      {"--batch", "--frobnicate", "a.mp3"},
      {"--batch", "a.mp3", "--mode"},
  };
  for (const auto& args : cases) {
    Outcome o = RunProgram(args);
    EXPECT_EQ(o.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  }
}

TEST(BatchModeTest, HelpAndFormatListsNeedNoFiles) {
  Outcome help = RunProgram({"--batch", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--wav-format keep|ROW"), std::string::npos);

  Outcome list = RunProgram({"--batch", "--list-formats"});
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("   0   8,000 Hz ,  8ビット , モノラル"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("  23  48,000 Hz , 16ビット , ステレオ"), std::string::npos);
  EXPECT_NE(list.out.find("  15  V70 128Kbps (CD Quality)"), std::string::npos);
}

TEST(BatchModeTest, ConvertsFilesFromSeveralFoldersBesideEachInput) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  mkdir(dir.file("one").c_str(), 0755);
  mkdir(dir.file("two").c_str(), 0755);
  std::string a = MakeFixture(Fixture::Wav8BitMono8k, dir.file("one"), 1.0, "a.wav");
  std::string b = MakeFixture(Fixture::Mp3Mono22k, dir.file("two"), 1.0, "b b.mp3");
  Outcome o = RunProgram({"--batch", "--mode", "wav", "--wav-format", "10", a, b});
  EXPECT_EQ(o.status, 0) << o.err;
  // Not on a terminal: one line per finished file.
  EXPECT_NE(o.err.find("(1/2) 100% ろまれ完了 a_2.wav"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("100% -ろまれ完了- b b.wav"), std::string::npos) << o.err;
  EXPECT_EQ(ProbeAudio(dir.file("one/a_2.wav")).sampleRate, 22050);
  EXPECT_EQ(ProbeAudio(dir.file("two/b b.wav")).bitsPerSample, 16);
}

}  // namespace
