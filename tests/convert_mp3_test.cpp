// Conversion to MP3 end to end: real media made by ffmpeg, outputs judged by
// ffprobe, ffmpeg and the bytes of the file.
#include <gtest/gtest.h>

#include <glib.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "common/app_settings.h"
#include "common/target_format.h"
#include "engine/graph.h"
#include "media/media.h"
#include "tests/support/bytes.h"
#include "tests/support/media_fixtures.h"
#include "tests/support/run_harness.h"

using namespace mediatest;
using runtest::RunFiles;

namespace {

// Samples LAME puts in front of the signal (its own 576 and a decoder's 529). A RIFF
// file carries no gapless information, so every reader decodes them as audio.
constexpr int64_t kEncoderDelay = 1105;

TargetAudioFormat Mp3Entry(uint32_t kbps, uint32_t rate, uint16_t channels) {
  return TargetAudioFormat{rate, kbps * 125, 16, channels};
}

// The bit rate the file's MP3 frames carry: their bytes over their playing time.
// ffprobe's packets are the audio frames only (no Xing frame).
double FrameBitRate(const std::string& path, int rate, int samplesPerFrame) {
  const std::string sizes = RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                        "packet=size", "-of", "default=nw=1:nk=1", path});
  int64_t bytes = 0, frames = 0;
  char* end = nullptr;
  for (const char* p = sizes.c_str(); int64_t size = g_ascii_strtoll(p, &end, 10); p = end) bytes += size, ++frames;
  return frames ? bytes * 8.0 * rate / (static_cast<double>(frames) * samplesPerFrame) : 0;
}

class ConvertToMp3Test : public runtest::EngineTest {
 protected:
  void SetUp() override {
    Prepare(kModeMp3);
    if (IsSkipped()) return;
    if (!CreateFilterByFriendlyName(kCategoryAudioCompressor, "MPEG Layer-3")) GTEST_SKIP() << "lamemp3enc is not installed";
    TargetFormat = Mp3Entry(128, 44100, 2);
  }
};

// samplesPerFrame: 1152 for MPEG-1, 576 for MPEG-2 and 2.5.
struct EntryCase { const char* name; uint32_t kbps, rate; uint16_t channels; int samplesPerFrame; Fixture source; int sourceRate; };

class Mp3EntryTest : public ConvertToMp3Test, public ::testing::WithParamInterface<EntryCase> {};

// Each MPEG version's rates give a plain MP3 stream at exactly the entry's rate,
// channels and bit rate, with a Xing frame whose LAME extension makes readers
// decode the source's samples exactly: no delay in front, no padding behind.
TEST_P(Mp3EntryTest, PlainStreamHasTheEntryFormatAndTheWholeSource) {
  const EntryCase& c = GetParam();
  std::string input = MakeFixture(c.source, dir.path(), 2.0, "in.wav");
  ASSERT_FALSE(input.empty());
  TargetFormat = Mp3Entry(c.kbps, c.rate, c.channels);

  runtest::RunResult run = RunFiles({input});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
  EXPECT_TRUE(run.messages.empty()) << ::testing::PrintToString(run.messages);

  const std::string output = dir.file("in.mp3");
  AudioInfo info = ProbeAudio(output);
  EXPECT_EQ(std::tie(info.codec, info.formatName, info.sampleRate, info.channels),
            std::make_tuple("mp3", "mp3", static_cast<int>(c.rate), static_cast<int>(c.channels)));
  EXPECT_NEAR(FrameBitRate(output, c.rate, c.samplesPerFrame), c.kbps * 1000.0, c.kbps * 5.0);

  // The source at the entry's rate (give or take the resampler's rounding).
  const int64_t sourceSamples = DecodedSampleCount(input) * c.rate / c.sourceRate;
  const int64_t decoded = DecodedSampleCount(output);
  EXPECT_NEAR(decoded, sourceSamples, c.rate == static_cast<uint32_t>(c.sourceRate) ? 0 : 4);

  // The Xing frame's count (ffprobe's duration) covers LAME's delay, the decoded
  // samples and the padding that its LAME extension states.
  // The Xing frame counts (flags 7) the bytes of the whole file; its seek table never goes
  // back, and at a constant bit rate it puts half the time near half the bytes.
  const std::string file = ReadFileBytes(output), head = file.substr(0, 256);
  const size_t xing = head.substr(0, 64).find("Xing");
  ASSERT_NE(xing, std::string::npos);
  EXPECT_EQ(bytestest::GetBe(head, xing + 4, 4), 7u);
  EXPECT_EQ(bytestest::GetBe(head, xing + 12, 4), file.size());
  const std::string toc = head.substr(xing + 16, 100);
  EXPECT_TRUE(std::is_sorted(toc.begin(), toc.end(), [](char a, char b) { return uint8_t(a) < uint8_t(b); }));
  EXPECT_NEAR(static_cast<uint8_t>(toc[50]), 128, 16);  // the Xing frame itself counts in short files
  EXPECT_GT(static_cast<uint8_t>(toc[0]), 0);  // the Xing frame itself comes first
  EXPECT_GT(static_cast<uint8_t>(toc[99]), 240);
  const size_t lame = head.find("LAME3.100");
  ASSERT_NE(lame, std::string::npos);
  const auto byte = [&](size_t i) { return static_cast<int64_t>(static_cast<uint8_t>(head[lame + i])); };
  EXPECT_EQ(byte(21) << 4 | byte(22) >> 4, 576);
  EXPECT_NEAR(info.duration * c.rate, 576 + decoded + ((byte(22) & 0xF) << 8 | byte(23)), 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, Mp3EntryTest,
    ::testing::Values(EntryCase{"Mpeg1_128k_44100_stereo", 128, 44100, 2, 1152, Fixture::Wav16Stereo44k, 44100},
                      EntryCase{"Mpeg1_128k_48000_mono", 128, 48000, 1, 1152, Fixture::Wav16Stereo44k, 44100},
                      EntryCase{"Mpeg2_24k_16000_mono", 24, 16000, 1, 576, Fixture::Wav8BitMono8k, 8000},
                      EntryCase{"Mpeg2_64k_24000_stereo", 64, 24000, 2, 576, Fixture::Wav16Stereo44k, 44100},
                      EntryCase{"Mpeg25_8k_8000_mono", 8, 8000, 1, 576, Fixture::Wav16Stereo44k, 44100},
                      EntryCase{"Mpeg25_24k_11025_stereo", 24, 11025, 2, 576, Fixture::Wav8BitMono8k, 8000}),
    [](const auto& info) { return std::string(info.param.name); });

// "RIFF形式で出力": the same MP3 frames in a RIFF WAVE file whose format record is
// the encoder's MP3 type, and which ffmpeg decodes whole.
TEST_F(ConvertToMp3Test, RiffFormWrapsTheFramesInAWaveFile) {
  Settings.Riff = 1;
  std::string input = MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 2.0, "in.wav");
  runtest::RunResult run = RunFiles({input});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);

  const std::string output = dir.file("in.mp3");
  RiffWave wave = ReadRiffWave(output);
  ASSERT_TRUE(wave.valid);
  const RiffFormat& f = wave.format;
  EXPECT_EQ(std::tie(f.formatTag, f.channels, f.samplesPerSec, f.avgBytesPerSec), std::make_tuple(0x0055, 2, 44100, 16000));
  EXPECT_EQ(f.extra.size(), 12u);
  EXPECT_EQ(wave.riffSize + 8u + (wave.dataSize & 1), wave.fileSize);
  EXPECT_GT(wave.dataSize, 2 * 16000u * 95 / 100);

  AudioInfo info = ProbeAudio(output);
  EXPECT_EQ(std::tie(info.codec, info.formatName), std::make_tuple("mp3", "wav"));
  const int64_t sourceSamples = DecodedSampleCount(input);
  const int64_t decoded = DecodedSampleCount(output);
  EXPECT_GE(decoded, sourceSamples + kEncoderDelay);
  EXPECT_LT(decoded, sourceSamples + kEncoderDelay + 1152);
  // No Xing frame inside a RIFF file.
  EXPECT_EQ(ReadFileBytes(output).find("Xing"), std::string::npos);
}

// Every failure a bad input or an unusable entry can honestly provoke: its number
// and text, and no output left behind.
TEST_F(ConvertToMp3Test, FailuresGiveTheirNumberedMessageAndLeaveNoFile) {
  const std::string wav = MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 1.0, "in.wav");
  const std::string no202 = "エラー No.202: ファイルの読み込みで失敗しました。";
  const std::string no212 = "エラー No.212: 音質フォーマットを設定できませんでした";
  const std::string no208 = "エラー No208: エンコードコーデックのビットレートの設定に失敗しました";
  const TargetAudioFormat usual = Mp3Entry(128, 44100, 2), mono96 = Mp3Entry(96, 44100, 1);
  const struct { const char* label; std::string path; TargetAudioFormat entry; uint8_t riff; std::string message; } cases[] = {
      {"text named .mpg", MakeFixture(Fixture::TextAsMpg, dir.path(), 1.0, "text.mpg"), usual, 0, no202},
      {"video only", MakeFixture(Fixture::MpgVideoOnly, dir.path(), 1.0, "video.mpg"), usual, 0, no202},
      {"missing file", dir.file("missing.wav"), usual, 0, "エラー No.201: ファイルの読み込みで失敗しました。"},
      {"rate the ACM Wrapper lacks", wav, Mp3Entry(16, 12000, 1), 0, no212},
      {"no entry (no encoder when chosen)", wav, Mp3Entry(0, 0, 1), 0, no212},
      {"channels the encoder does not offer", wav, mono96, 0, no208},
      {"channels the encoder does not offer, RIFF", wav, mono96, 1, no208},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TargetFormat = c.entry;
    Settings.Riff = c.riff;
    runtest::RunResult run = RunFiles({c.path});
    EXPECT_EQ(run.outcome, RunOutcome::Failed);
    EXPECT_EQ(run.messages, std::vector<std::string>{c.message});
  }
  for (const char* name : {"text.mp3", "video.mp3", "missing.mp3", "in.mp3"})
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
}

// The expected size follows from the entry (16000 bytes per second at 128 kbps), the
// output's growing size measures progress, and a conversion stopped early leaves
// nothing behind.
TEST_F(ConvertToMp3Test, ProgressFollowsTheOutputSizeAndAStoppedFileIsRemoved) {
  std::string input = MakeToneFile(dir.file("long.wav"), 44100, 2, 30.0, {"-c:a", "pcm_s16le"});
  runtest::RunResult run = RunFiles({input}, 60, 10);
  ASSERT_EQ(run.outcome, RunOutcome::Running) << ::testing::PrintToString(run.progress);
  EXPECT_EQ(ConversionGraph.expectedBytes, 16000 * 30);
  EXPECT_GE(run.progress.back(), 10);
  EXPECT_LT(run.progress.back(), 100);
  EXPECT_FALSE(std::filesystem::exists(dir.file("long.mp3")));
}

}  // namespace
