// Extraction as-is end to end: real containers made by ffmpeg; what comes out is
// judged against ffmpeg's own stream copy and decoding.
#include <gtest/gtest.h>

#include <glib.h>

#include <algorithm>
#include <optional>
#include <tuple>

#include "common/app_settings.h"
#include "engine/graph.h"
#include "tests/support/media_fixtures.h"
#include "tests/support/run_harness.h"

using namespace mediatest;
using runtest::RunFiles;

namespace {

constexpr double kSeconds = 3.0;

class ExtractTest : public runtest::EngineTest {
 protected:
  void SetUp() override { Prepare(kModeExtract); }
};

// The input file's name, made fit for a test name.
template <typename Case>
std::string ParamName(const ::testing::TestParamInfo<Case>& info) {
  std::string name = info.param.name;
  std::replace_if(name.begin(), name.end(), [](char ch) { return !g_ascii_isalnum(ch); }, '_');
  return name;
}

// No percentage at any time: the output's final size cannot be known.
void ExpectNoPercentage(const runtest::RunResult& run) {
  ASSERT_FALSE(run.progress.empty());
  for (int percent : run.progress) EXPECT_EQ(percent, -1);
  EXPECT_EQ(run.finalPercent, -1);
}

// ---- MPEG: the splitter's audio pad dumped unchanged ----

// name: of the input file; format: of ffmpeg's stream copy ("wav": a wave file of the
// decoded samples); output: the file name expected, named by the stream's codec.
struct MpegCase { Fixture input; const char *name, *format, *output; };

class MpegExtractTest : public ExtractTest, public ::testing::WithParamInterface<MpegCase> {};

// The first audio stream in the file's order, byte for byte as ffmpeg copies it, with
// no percentage shown. DVD LPCM, which has no form outside the container, becomes a
// wave file of the very same samples.
TEST_P(MpegExtractTest, DumpsTheFirstAudioStreamUnchanged) {
  const MpegCase& c = GetParam();
  const std::string input = MakeFixture(c.input, dir.path(), kSeconds, c.name);
  ASSERT_FALSE(input.empty());

  runtest::RunResult run = RunFiles({input});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
  if (std::string(c.format) == "wav") {
    EXPECT_EQ(ProbeAudio(dir.file(c.output)).codec, "pcm_s16le");
    const std::vector<int16_t> samples = DecodeToS16(dir.file(c.output));
    EXPECT_TRUE(!samples.empty() && samples == DecodeToS16(input)) << samples.size() << " samples";
  } else {  // compared without printing megabytes on failure
    const std::string ours = ReadFileBytes(dir.file(c.output));
    const std::string theirs = ReadFileBytes(FfmpegStreamCopy(input, c.format, dir.path()));
    EXPECT_TRUE(!theirs.empty() && ours == theirs) << ours.size() << " bytes, ffmpeg's " << theirs.size();
  }
  // The first stream carries kToneHz, a second one kSecondToneHz.
  const std::string output = dir.file(c.output);
  EXPECT_NEAR(DominantFrequency(DecodeToS16(output, 0, 1), ProbeAudio(output).sampleRate), kToneHz, 5);
  ExpectNoPercentage(run);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, MpegExtractTest,
    ::testing::Values(MpegCase{Fixture::Mpeg1PsMp2, "clip.mpg", "mp2", "clip.mp2"},
                      MpegCase{Fixture::Mpeg1PsAc3, "ac3.mpg", "ac3", "ac3.ac3"},
                      MpegCase{Fixture::VobAc3Stereo, "VTS_01_1.VOB", "ac3", "VTS_01_1.ac3"},
                      MpegCase{Fixture::VobTwoAudio, "two.vob", "ac3", "two.ac3"},
                      MpegCase{Fixture::VobMp2Ac3, "mixed.vob", "mp2", "mixed.mp2"},
                      MpegCase{Fixture::VobDts, "dts.vob", "dts", "dts.dts"},
                      MpegCase{Fixture::VobLpcm, "lpcm.vob", "wav", "lpcm.wav"}),
    ParamName<MpegCase>);

// ---- AVI: the audio stream in a wave file with the stream's own format record ----

// input none: made here by name, "mixed.avi" MS ADPCM 44100 Hz stereo, video, then PCM
// u8 8000 Hz; "mjpeg.avi" MJPEG video and IMA ADPCM 22050 Hz mono. codec: as ffprobe
// names it; bytesPerSecond: of the expected size, 0 when there is no percentage;
// framesAreCopied: the data chunk is ffmpeg's bare stream copy (MP3).
struct AviCase {
  std::optional<Fixture> input;
  const char *name, *output, *codec;
  int64_t bytesPerSecond;
  bool framesAreCopied;
};

class AviExtractTest : public ExtractTest, public ::testing::WithParamInterface<AviCase> {};

std::string MakeAvi(const AviCase& c, const TempDir& dir) {
  if (c.input) return MakeFixture(*c.input, dir.path(), kSeconds, c.name);
  const std::string duration = ":duration=" + std::to_string(kSeconds);
  int status = -1;
  std::string errors;
  if (c.name == std::string("mjpeg.avi"))
    RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                "testsrc=size=160x120:rate=25" + duration, "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050" +
                duration, "-c:v", "mjpeg", "-c:a", "adpcm_ima_wav", "-ac", "1", "-fflags", "+bitexact",
                dir.file(c.name)}, &status, &errors);
  else
    RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100" +
                duration, "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25" + duration, "-f", "lavfi", "-i",
                "sine=frequency=1000:sample_rate=8000" + duration, "-map", "0:a", "-map", "1:v", "-map", "2:a", "-c:v",
                "mpeg1video", "-c:a:0", "adpcm_ms", "-ac:a:0", "2", "-c:a:1", "pcm_u8", "-fflags", "+bitexact",
                dir.file(c.name)}, &status, &errors);
  EXPECT_EQ(status, 0) << errors;
  return status == 0 ? dir.file(c.name) : "";
}

// The first audio stream, whatever comes before or after it, keeps its exact format.
TEST_P(AviExtractTest, KeepsTheStreamAndItsExactFormat) {
  const AviCase& c = GetParam();
  const std::string input = MakeAvi(c, dir);
  ASSERT_FALSE(input.empty());

  runtest::RunResult run = RunFiles({input});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
  const std::string output = dir.file(c.output);

  // The header carries the stream's "strf" record unchanged; the file is whole.
  RiffFormat strf;
  ASSERT_TRUE(ReadAviAudioFormat(input, 0, &strf));
  RiffWave wave = ReadRiffWave(output);
  ASSERT_TRUE(wave.valid);
  EXPECT_EQ(wave.riffSize + 8u, wave.fileSize);
  auto fields = [](const RiffFormat& f) {
    return std::tie(f.formatTag, f.channels, f.samplesPerSec, f.avgBytesPerSec, f.blockAlign, f.bitsPerSample, f.extra);
  };
  EXPECT_EQ(fields(wave.format), fields(strf));

  EXPECT_EQ(ProbeAudio(output).codec, c.codec);
  const std::vector<int16_t> decoded = DecodeToS16(output);
  EXPECT_TRUE(!decoded.empty() && decoded == DecodeToS16(input)) << decoded.size() << " samples decoded";
  if (c.framesAreCopied) {
    const std::string frames = ReadFileBytes(FfmpegStreamCopy(input, "mp3", dir.path()));
    EXPECT_EQ(wave.dataSize, frames.size());
    EXPECT_TRUE(ReadFileBytes(output).substr(wave.dataOffset, wave.dataSize) == frames);
  }

  // The expected size follows the stream's byte rate and the duration; ADPCM has
  // none, and its progress is never a percentage. (The AVI demuxer times the MJPEG
  // file's blocks by the loose byte rate of its header, so its duration falls short.)
  if (c.name != std::string("mjpeg.avi")) {
    EXPECT_NEAR(ConversionGraph.duration / 1e7, kSeconds, 0.1);
  }
  EXPECT_EQ(ConversionGraph.expectedBytes, c.bytesPerSecond * ConversionGraph.duration / 10000000);
  if (c.bytesPerSecond == 0) return ExpectNoPercentage(run);
  ASSERT_FALSE(run.progress.empty());
  EXPECT_GE(run.progress.front(), 0);
  EXPECT_NEAR(run.finalPercent, 100, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, AviExtractTest,
    ::testing::Values(AviCase{Fixture::AviPcm, "pcm.avi", "pcm.wav", "pcm_s16le", 2 * 44100 * 2, false},
                      AviCase{Fixture::AviMp3, "Clip.Avi", "Clip.mp3", "mp3", 128000 / 8, true},
                      AviCase{Fixture::AviMsAdpcm, "ms.avi", "ms.wav", "adpcm_ms", 0, false},
                      AviCase{Fixture::AviImaAdpcm, "ima.avi", "ima.wav", "adpcm_ima_wav", 0, false},
                      AviCase{std::nullopt, "mixed.avi", "mixed.wav", "adpcm_ms", 0, false},
                      AviCase{std::nullopt, "mjpeg.avi", "mjpeg.wav", "adpcm_ima_wav", 0, false}),
    ParamName<AviCase>);

// Refusals and failures: one message each, nothing written. What a wave file cannot
// carry playably is refused rather than wrapped: AAC and Vorbis, and a stream whose
// "strf" record is damaged (no format tag, no channels, no rate).
TEST_F(ExtractTest, FailuresShowTheirMessageAndWriteNothing) {
  const char* const refused = "エラーNo.401: そのまま抽出できるのはmpg,avi,vobだけです";
  const char* const no408 = "エラー No.408: これは読み込み可能なMPEG-1形式のファイルではありません。";
  const char* const no412 = "エラー No.412: これは読み込み可能なAVI形式のファイルではありません。";
  const char* const no413 = "エラー No.413: AVIファイルの音声部分を認識できませんでした。";
  const struct { std::optional<Fixture> input; const char* name; const char* message; } cases[] = {  // none: absent
      {Fixture::Mpeg1PsMp2, "clip.mp2", refused}, {Fixture::Wav16Stereo44k, "clip.wav", refused},
      {Fixture::Mpeg1PsMp2, "clip", refused},     {std::nullopt, "folder.avi/clip", refused},
      {Fixture::VobVideoOnly, "silent.vob", "エラー No.406: MPEG-2スプリッターとDumpフィルターの接続で失敗しました。"},
      {Fixture::MpgVideoOnly, "silent.mpg", "エラー No.410: MPEG-1スプリッターとDumpフィルターの接続で失敗しました。"},
      {Fixture::AviVideoOnly, "silent.avi", no413},
      {Fixture::TextAsMpg, "text.vob", "エラー No.404: これは読み込み可能なMPEG-2形式のファイルではありません。"},
      {Fixture::TextAsMpg, "text.mpg", no408}, {Fixture::TextAsMpg, "text.avi", no412},
      {std::nullopt, "absent.mpeg", no408},    {std::nullopt, "absent.avi", no412}};
  std::vector<std::pair<std::string, std::string>> inputs;  // path, message
  for (const auto& c : cases) {
    ASSERT_TRUE(!c.input || MakeFixture(*c.input, dir.path(), 1.0, c.name) == dir.file(c.name)) << c.name;
    inputs.emplace_back(dir.file(c.name), c.message);
  }
  inputs.emplace_back(MakeToneFile(dir.file("aac.avi"), 44100, 2, 1.0, {"-c:a", "aac"}), no413);
  inputs.emplace_back(MakeToneFile(dir.file("vorbis.avi"), 44100, 2, 1.0, {"-c:a", "libvorbis"}), no413);
  const std::string mp3 = MakeToneFile(dir.file("mp3.avi"), 44100, 2, 1.0, {"-c:a", "libmp3lame"});
  const std::string strf = ReadFileBytes(mp3);
  std::remove(mp3.c_str());
  const size_t record = strf.find("strf", strf.find("auds")) + 8;
  ASSERT_NE(record, std::string::npos + 8);
  const struct { const char* name; size_t at, bytes; char fill; } damaged[] = {
      {"tag.avi", 0, 2, '\xFF'}, {"channels.avi", 2, 2, 0}, {"rate.avi", 4, 4, 0}};
  for (const auto& d : damaged) {
    std::string bytes = strf;
    bytes.replace(record + d.at, d.bytes, d.bytes, d.fill);
    WriteFileBytes(dir.file(d.name), bytes);
    inputs.emplace_back(dir.file(d.name), no413);
  }
  const std::vector<std::string> made = FolderEntries(dir.path());
  for (const auto& [input, message] : inputs) {
    SCOPED_TRACE(input);
    runtest::RunResult run = RunFiles({input});
    EXPECT_EQ(run.outcome, RunOutcome::Failed);
    EXPECT_EQ(run.messages, std::vector<std::string>{message});
  }
  EXPECT_EQ(FolderEntries(dir.path()), made);  // nothing but the inputs
}

}  // namespace
