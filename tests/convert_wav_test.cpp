// Conversion to WAV end to end: real media made by ffmpeg, outputs judged by ffprobe
// and ffmpeg.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <tuple>

#include "common/app_settings.h"
#include "common/batch.h"
#include "common/target_format.h"
#include "dialog/format_lists.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "tests/support/media_fixtures.h"
#include "tests/support/run_harness.h"

using namespace mediatest;
using runtest::RunFiles;

namespace {

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class ConvertToWavTest : public runtest::EngineTest {
 protected:
  void SetUp() override { Prepare(kModeWav); }
};

// input none: a 2-second tone WAV written with `codec`, rate and channels. codec: of the
// output, as ffprobe names it; formatTag: of its "fmt " chunk. tolerance: samples the
// length may differ from ffmpeg's decode (codec frames); sampleError: most any s16 sample
// may differ from ffmpeg's, -1 when another decoder is used. row: the chosen PCM row, -1
// to keep the decoded format.
struct KeepCase {
  const char* name;
  std::optional<Fixture> input;
  const char* codec;
  int rate, channels, formatTag;
  int64_t tolerance;
  int sampleError;
  int row = -1;
};

std::ostream& operator<<(std::ostream& os, const KeepCase& c) { return os << c.name; }

class KeepFormatTest : public ConvertToWavTest, public ::testing::WithParamInterface<KeepCase> {};

// The decoders' own format is kept (integer widths, float stored as float, every
// channel), with the header the WAV format asks for; every sample ffmpeg decodes
// from the source's first audio stream is there, nothing lost at the start or end;
// PCM, and MP3 whoever made it and whatever comes before it, decode to ffmpeg's very
// samples; the progress measure expects the bytes that are written. A chosen PCM row gives
// exactly its format for the whole length, progress measured against the row's byte rate.
TEST_P(KeepFormatTest, WritesTheDecodedFormatWithEverySample) {
  const KeepCase& c = GetParam();
  if (c.input >= Fixture::Wav8BitOdd && !(HaveTool("sox") && HaveTool("lame"))) GTEST_SKIP() << "sox and lame make this input";
  std::string input = c.input ? MakeFixture(*c.input, dir.path(), 2.0)
                              : MakeToneFile(dir.file(std::string(c.name) + ".wav"), c.rate, c.channels, 2.0,
                                             {"-c:a", c.codec});
  ASSERT_FALSE(input.empty());
  if (c.row >= 0) TargetFormat = PcmFormatForRow(c.row);

  runtest::RunResult run = RunFiles({input});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);

  std::string output = input.substr(0, input.rfind('.')) + (input.ends_with(".wav") ? "_2.wav" : ".wav");
  AudioInfo info = ProbeAudio(output);
  EXPECT_EQ(std::tie(info.codec, info.sampleRate, info.channels), std::make_tuple(c.codec, c.rate, c.channels));

  RiffWave wave = ReadRiffWave(output);
  ASSERT_TRUE(wave.valid);
  EXPECT_EQ(wave.format.formatTag, c.formatTag);
  EXPECT_EQ(wave.riffSize + 8u, wave.fileSize);
  ASSERT_GT(wave.format.blockAlign, 0);
  const int64_t written = wave.dataSize / wave.format.blockAlign;
  const int64_t expected = DecodedSampleCount(input) * c.rate / ProbeAudio(input).sampleRate;
  EXPECT_NEAR(written, expected, c.tolerance) << "ffmpeg decodes " << expected;
  EXPECT_EQ(ConversionGraph.expectedBytes, int64_t{wave.format.avgBytesPerSec} * ConversionGraph.duration / 10000000);

  if (c.input != Fixture::Mp3LameVbrNoXing) {  // every other source is a kToneHz tone
    EXPECT_NEAR(DominantFrequency(DecodeToS16(output, 0, 1), c.rate), kToneHz, 5) << "not the first audio stream";
  }
  if (c.sampleError >= 0) {
    const std::vector<int16_t> ours = DecodeToS16(output), theirs = DecodeToS16(input);
    ASSERT_EQ(ours.size(), theirs.size());
    int worst = 0;
    for (size_t i = 0; i < ours.size(); i++) worst = std::max(worst, std::abs(ours[i] - theirs[i]));
    EXPECT_LE(worst, c.sampleError);
  }
}

constexpr int kPcm = 1, kFloat = 3, kExtensible = 0xFFFE;

// Samples of PCM are the source's own; MP3 decoders round differently by a step or two.
constexpr int kSame = 0, kRounded = 2, kOtherDecoder = -1;

// A fixture decoded to 16-bit PCM; a tone WAV of the given codec, kept as it is.
KeepCase S16(Fixture f, int rate, int channels, int sampleError, int64_t tolerance = 0, int formatTag = kPcm) {
  return {FixtureName(f), f, "pcm_s16le", rate, channels, formatTag, tolerance, sampleError};
}
KeepCase Tone(const char* name, const char* codec, int rate, int channels, int formatTag) {
  return {name, std::nullopt, codec, rate, channels, formatTag, 0, kSame};
}
// The MP3 tone converted to a chosen PCM row; the resampler may round by a frame's worth.
KeepCase Row(const char* name, int row, const char* codec, int rate, int channels) {
  return {name, Fixture::Mp3Stereo44k, codec, rate, channels, kPcm, 1152 * rate / 44100, kOtherDecoder, row};
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, KeepFormatTest,
    ::testing::Values(S16(Fixture::Mp3Stereo44k, 44100, 2, kRounded), S16(Fixture::Mp3Mono22k, 22050, 1, kRounded),
                      KeepCase{"Wav8BitMono8k", Fixture::Wav8BitMono8k, "pcm_u8", 8000, 1, kPcm, 0, kSame},
                      KeepCase{"Wav8BitOdd", Fixture::Wav8BitOdd, "pcm_u8", 8000, 1, kPcm, 0, kSame},
                      Tone("Wav24Stereo", "pcm_s24le", 44100, 2, kExtensible),
                      Tone("Wav32Mono", "pcm_s32le", 48000, 1, kExtensible),
                      Tone("WavFloatStereo", "pcm_f32le", 44100, 2, kFloat),
                      Tone("WavSixChannels", "pcm_s16le", 48000, 6, kExtensible),
                      S16(Fixture::Mpeg1PsMp2, 44100, 2, kOtherDecoder), S16(Fixture::VobAc3Stereo, 48000, 2, kOtherDecoder),
                      S16(Fixture::VobAc3Surround, 48000, 6, kOtherDecoder, 0, kExtensible),
                      S16(Fixture::VobMp2Ac3, 48000, 2, kOtherDecoder), S16(Fixture::VobDts, 48000, 2, kOtherDecoder),
                      S16(Fixture::VobLpcm, 48000, 2, kSame), S16(Fixture::AviPcm, 44100, 2, kSame),
                      S16(Fixture::AviMp3, 44100, 2, kOtherDecoder, 1152),
                      S16(Fixture::AviMsAdpcm, 44100, 2, kOtherDecoder, 1024),
                      S16(Fixture::WmvWma, 44100, 2, kOtherDecoder, 2048), S16(Fixture::TruncatedWav, 44100, 2, kSame),
                      S16(Fixture::Mp3LameCbr, 44100, 2, kRounded), S16(Fixture::Mp3LameVbr, 44100, 2, kRounded),
                      S16(Fixture::Mp3LameNoXing, 44100, 2, kRounded), S16(Fixture::Mp3LameVbrNoXing, 44100, 2, kRounded),
                      S16(Fixture::Mp3FfmpegNoXing, 44100, 2, kRounded), S16(Fixture::Mp3Id3Tag100k, 44100, 2, kRounded),
                      S16(Fixture::Mp3Id3Tag1M, 44100, 2, kRounded), S16(Fixture::Mp3XingClaimsMore, 44100, 2, kRounded),
                      Row("Row0", 0, "pcm_u8", 8000, 1), Row("Row8", 8, "pcm_u8", 22050, 1),
                      Row("Row15", 15, "pcm_s16le", 32000, 2), Row("Row19", 19, "pcm_s16le", 44100, 2),
                      Row("Row23", 23, "pcm_s16le", 48000, 2)),
    [](const auto& info) { return std::string(info.param.name); });

// Every message that a bad input can honestly provoke, with its number and text, and
// nothing left behind; a truncated program stream converts what it holds instead.
TEST_F(ConvertToWavTest, BadInputsGiveTheirNumberedMessage) {
  const std::string no102 = "エラー No.102: ファイルの読み込みができませんでした。";
  const std::string no103 = "エラー No.103: 読み込み可能なメディアファイルではありません。";
  const std::pair<std::string, std::string> cases[] = {
      {MakeFixture(Fixture::TextAsMpg, dir.path()), no103}, {MakeFixture(Fixture::MpgVideoOnly, dir.path()), no103},
      {MakeFixture(Fixture::AviVideoOnly, dir.path()), no103}, {dir.file("missing.mp3"), no102}, {dir.path(), no102}};
  for (const auto& [path, message] : cases) {
    runtest::RunResult run = RunFiles({path});
    EXPECT_EQ(run.outcome, RunOutcome::Failed) << path;
    EXPECT_EQ(run.messages, std::vector<std::string>{message}) << path;
    EXPECT_FALSE(Exists(path.substr(0, path.rfind('.')) + ".wav")) << path;
  }
  const std::string cut = MakeFixture(Fixture::TruncatedMpg, dir.path(), 2.0);
  ASSERT_EQ(RunFiles({cut}).outcome, RunOutcome::Finished);
  EXPECT_GT(DecodedSampleCount(cut.substr(0, cut.rfind('.')) + ".wav"), 0);
}

// An error while streaming ends the run with its own message and removes the output.
TEST_F(ConvertToWavTest, StreamingErrorEndsTheRunWithMessage601) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  if (RunCommand({"which", "setpriv"}).empty()) GTEST_SKIP() << "setpriv is not installed";
  // The input's folder is not writable for the user running the conversion.
  std::string input = MakeFixture(Fixture::Mp3Mono22k, dir.path(), 1.0);
  chmod(dir.path().c_str(), 0755);
  const ProgramRun run = RunProgram({"--batch", input}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("エラー No.601: 変換中にエラーが発生しました。\n"), std::string::npos) << run.err;
  EXPECT_FALSE(Exists(input.substr(0, input.rfind('.')) + ".wav"));
}

// A full disk in any mode ends the run with its message and the reason; nothing of the
// output stays, the input does.
TEST_F(ConvertToWavTest, FullDiskInEveryModeLeavesNoPartialFile) {
  const std::string disk = dir.file("disk");
  mkdir(disk.c_str(), 0755);
  int status = -1;
  RunCommand({"mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", disk}, &status);
  if (status != 0) GTEST_SKIP() << "cannot mount a small file system here";
  const struct { const char* mode; Fixture fixture; const char* input; } cases[] = {
      {"wav", Fixture::Mp3Stereo44k, "in.mp3"},  {"mp3", Fixture::Wav16Stereo44k, "in.wav"},
      {"wma", Fixture::Mp3Stereo44k, "in.mp3"},  {"extract", Fixture::Mpeg1PsMp2, "in.mpg"},
      {"extract", Fixture::VobAc3Stereo, "in.vob"}, {"extract", Fixture::AviPcm, "in.avi"},
      {"extract", Fixture::AviMp3, "in.avi"},
  };
  const std::string fill = disk + "/fill";
  for (const auto& c : cases) {
    const std::string input = MakeFixture(c.fixture, disk, 3.0, c.input);
    RunCommand({"dd", "if=/dev/zero", "of=" + fill, "bs=64k"});  // until the disk is full
    RunCommand({"truncate", "-s", "-4K", fill});                 // one page left
    const ProgramRun run = RunProgram({"--batch", "--mode", c.mode, input});
    SCOPED_TRACE(std::string(c.mode) + " " + c.input);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("エラー No.601: 変換中にエラーが発生しました。\nNo space left"), std::string::npos) << run.err;
    EXPECT_EQ(FolderEntries(disk), (std::vector<std::string>{"fill", c.input}));
    unlink(fill.c_str());
    unlink(input.c_str());
  }
  RunCommand({"umount", disk});
}

}  // namespace
