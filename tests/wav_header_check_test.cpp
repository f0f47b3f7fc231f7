// Inputs whose headers GStreamer's own parsers once mishandled, through the batch program
// in every conversion mode: a WAV "fmt " record that would crash, exhaust memory or spray
// warnings is refused as unreadable with each mode's number, leaving nothing; MPEG-2
// layer III files with gapless data convert to exactly the samples ffmpeg decodes, with
// nothing on standard error (RunCommand fails a test on any GLib warning).
#include <gtest/gtest.h>

#include <tuple>

#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

constexpr const char* kModes[][2] = {{"wav", "エラー No.103"}, {"mp3", "エラー No.202"}, {"wma", "エラー No302"}};

// The file with a little-endian field of its "fmt " chunk body set.
std::string WithFmtField(const std::string& wav, size_t offset, size_t size, uint32_t value) {
  std::string b = ReadFileBytes(wav);
  const size_t at = b.find("fmt ") + 8 + offset;
  for (size_t k = 0; k < size; ++k) b[at + k] = static_cast<char>(value >> (8 * k));
  return b;
}

TEST(WavHeaderCheckTest, InconsistentFormatRecordsAreUnreadableInEveryMode) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  const std::string s24 = MakeToneFile(dir.file("s24.wav"), 22050, 2, 0.5, {"-c:a", "pcm_s24le"});
  const std::string s16 = MakeToneFile(dir.file("s16.wav"), 22050, 2, 0.5, {"-c:a", "pcm_s16le"});
  const std::tuple<const char*, std::string, size_t, size_t, uint32_t> cases[] = {
      {"extensible block align 30000", s24, 12, 2, 30000},
      {"rate 2^31-1", s16, 4, 4, 0x7FFFFFFF},
      {"rate 2 Hz", s16, 4, 4, 2},
      {"255 channels", s16, 2, 2, 255},
      {"bytes/s off by one", s16, 8, 4, 22050 * 4 + 1},
      {"extensible mask of 3 speakers for 2 channels", s24, 20, 4, 0x7},
  };
  for (const auto& [label, seed, offset, size, value] : cases) {
    for (const auto& [mode, number] : kModes) {
      TempDir out;
      const std::string input = out.file("in.wav");
      ASSERT_TRUE(WriteFileBytes(input, WithFmtField(seed, offset, size, value)));
      const ProgramRun run = RunProgram({"--batch", "--mode", mode, input});
      EXPECT_EQ(run.status, 1) << label << ", " << mode << "\n" << run.err;
      EXPECT_NE(run.err.find(number), std::string::npos) << label << ", " << mode << "\n" << run.err;
      EXPECT_EQ(FolderEntries(out.path()), std::vector<std::string>{"in.wav"}) << label << ", " << mode;
    }
  }
}

TEST(WavHeaderCheckTest, LameGaplessMpeg2Layer3ConvertsCleanAndWhole) {
  if (!HaveFfmpeg() || !HaveTool("lame")) GTEST_SKIP() << "ffmpeg and lame are needed";
  TempDir dir;
  for (int rate : {22050, 16000}) {
    const std::string wav = MakeToneFile(dir.file("t" + std::to_string(rate) + ".wav"), rate, 1, 1.0, {"-c:a", "pcm_s16le"});
    const std::string mp3 = dir.file("t" + std::to_string(rate) + ".mp3");
    int status = -1;
    RunCommand({"lame", "--quiet", "-b", "64", wav, mp3}, &status);
    ASSERT_EQ(status, 0);
    for (const char* mode : {"wav", "wma"}) {
      const ProgramRun run = RunProgram({"--batch", "--mode", mode, mp3});
      EXPECT_EQ(run.status, 0) << rate << ", " << mode << "\n" << run.err;
    }
    EXPECT_EQ(DecodedSampleCount(dir.file("t" + std::to_string(rate) + "_2.wav")), DecodedSampleCount(mp3)) << rate;
  }
}

}  // namespace
