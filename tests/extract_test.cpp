// Extraction as-is end to end: real containers made by ffmpeg; what comes out is
// judged against ffmpeg's own stream copy and decoding.
#include <gtest/gtest.h>

#include <glib.h>

#include <filesystem>
#include <optional>
#include <set>

#include "common/app_settings.h"
#include "common/target_format.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "tests/support/media_fixtures.h"
#include "tests/support/run_harness.h"

using namespace mediatest;
using runtest::RunFiles;

namespace {

constexpr double kSeconds = 3.0;

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are needed to make and judge media";
    runtest::InitEngineForTests();
    Settings = AppSettings{};
    Settings.DecodeMode = kModeExtract;
    TargetFormat = TargetAudioFormat{};
  }

  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      names.insert(entry.path().filename());
    return names;
  }

  TempDir dir;
};

// Compares without printing megabytes on failure.
::testing::AssertionResult SameBytes(const std::string& actualPath, const std::string& expectedPath) {
  const std::string a = ReadFileBytes(actualPath);
  const std::string b = ReadFileBytes(expectedPath);
  if (!b.empty() && a == b) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return ::testing::AssertionFailure() << actualPath << " (" << a.size() << " bytes) differs from "
                                       << expectedPath << " (" << b.size() << " bytes) at byte " << at;
}

// ---- Building and running the graph of one file directly ----

struct DirectRun {
  bool built = false;
  bool completed = false;
  std::string error;        // the graph's error text, if it stopped on one
  int percentAtStart = -2;  // QueryProgressPercent right after the builder
  int percentAtEnd = -2;    // ... and once the graph completed
};

bool graphDone = false;
std::string graphError;

DirectRun RunExtractAsIs(const std::string& path) {
  DirectRun run;
  graphDone = false;
  graphError.clear();
  SetGraphEventHandlers([] { graphDone = true; },
                        [](const std::string& text) {
                          graphError = text;
                          graphDone = true;
                        });
  run.built = ExtractAsIs(path);
  if (run.built) {
    run.percentAtStart = QueryProgressPercent();
    const gint64 deadline = g_get_monotonic_time() + 60 * G_USEC_PER_SEC;
    while (!graphDone && g_get_monotonic_time() < deadline)
      if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    run.completed = graphDone && graphError.empty();
    run.error = graphError;
    run.percentAtEnd = QueryProgressPercent();
  }
  ReleaseConversionGraph();
  return run;
}

// ---- MPEG: the splitter's audio pad dumped unchanged ----

struct MpegCase {
  Fixture input;
  const char* name;    // of the input file
  const char* format;  // of ffmpeg's stream copy
  const char* output;  // file name expected
};

std::ostream& operator<<(std::ostream& os, const MpegCase& c) { return os << c.name; }

class MpegExtractTest : public ExtractTest, public ::testing::WithParamInterface<MpegCase> {};

// The first audio stream, byte for byte as ffmpeg copies it, with no percentage shown.
TEST_P(MpegExtractTest, DumpsTheFirstAudioStreamUnchanged) {
  const MpegCase& c = GetParam();
  const std::string input = MakeFixture(c.input, dir.path(), kSeconds, c.name);
  ASSERT_FALSE(input.empty());

  runtest::RunResult run = RunFiles({input});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
  EXPECT_TRUE(SameBytes(dir.file(c.output), FfmpegStreamCopy(input, c.format, dir.path(), 0)));
  for (int percent : run.progress) EXPECT_EQ(percent, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, MpegExtractTest,
    ::testing::Values(MpegCase{Fixture::Mpeg1PsMp2, "clip.mpg", "mp2", "clip.mp2"},
                      MpegCase{Fixture::Mpeg1PsMp2, "CLIP.MPG", "mp2", "CLIP.mp2"},
                      MpegCase{Fixture::Mpeg1PsMp2, "clip.mpeg", "mp2", "clip.mp2"},
                      MpegCase{Fixture::VobAc3Stereo, "VTS_01_1.VOB", "ac3", "VTS_01_1.ac3"},
                      MpegCase{Fixture::VobAc3Surround, "surround.vob", "ac3", "surround.ac3"},
                      MpegCase{Fixture::VobTwoAudio, "two.vob", "ac3", "two.ac3"}),
    [](const ::testing::TestParamInfo<MpegCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (!g_ascii_isalnum(ch)) ch = '_';
      return name;
    });

// ---- AVI: the audio stream in a wave file with the stream's own format record ----

struct AviCase {
  Fixture input;
  const char* name;
  const char* output;
  const char* codec;        // as ffprobe names it
  int64_t bytesPerSecond;   // of the expected size; 0: no percentage
  bool framesAreCopied;     // the data chunk is ffmpeg's bare stream copy (MP3)
};

std::ostream& operator<<(std::ostream& os, const AviCase& c) { return os << c.name; }

class AviExtractTest : public ExtractTest, public ::testing::WithParamInterface<AviCase> {};

TEST_P(AviExtractTest, KeepsTheStreamAndItsExactFormat) {
  const AviCase& c = GetParam();
  const std::string input = MakeFixture(c.input, dir.path(), kSeconds, c.name);
  ASSERT_FALSE(input.empty());

  DirectRun run = RunExtractAsIs(input);
  ASSERT_TRUE(run.built) << ::testing::PrintToString(runtest::TakeMessages());
  ASSERT_TRUE(run.completed) << run.error;
  const std::string output = dir.file(c.output);

  // The header carries the stream's "strf" record unchanged; the file is whole.
  RiffFormat strf;
  ASSERT_TRUE(ReadAviAudioFormat(input, 0, &strf));
  RiffWave wave = ReadRiffWave(output);
  ASSERT_TRUE(wave.valid);
  EXPECT_EQ(wave.riffSize + 8u, wave.fileSize);
  EXPECT_EQ(wave.format.formatTag, strf.formatTag);
  EXPECT_EQ(wave.format.channels, strf.channels);
  EXPECT_EQ(wave.format.samplesPerSec, strf.samplesPerSec);
  EXPECT_EQ(wave.format.avgBytesPerSec, strf.avgBytesPerSec);
  EXPECT_EQ(wave.format.blockAlign, strf.blockAlign);
  EXPECT_EQ(wave.format.bitsPerSample, strf.bitsPerSample);
  EXPECT_EQ(wave.format.extra, strf.extra);

  AudioInfo info = ProbeAudio(output);
  EXPECT_EQ(info.codec, c.codec);
  EXPECT_EQ(info.blockAlign, ProbeAudio(input).blockAlign);
  const std::vector<int16_t> decoded = DecodeToS16(output);
  EXPECT_FALSE(decoded.empty());
  EXPECT_TRUE(decoded == DecodeToS16(input)) << decoded.size() << " samples decoded from " << output;
  if (c.framesAreCopied) {
    const std::string frames = ReadFileBytes(FfmpegStreamCopy(input, "mp3", dir.path(), 0));
    EXPECT_EQ(wave.dataSize, frames.size());
    EXPECT_TRUE(ReadFileBytes(output).substr(wave.dataOffset, wave.dataSize) == frames);
  }

  // The expected size follows the stream's byte rate and the duration; 4-bit ADPCM has
  // none, and its progress is never a percentage.
  const int64_t duration = ConversionGraph.duration;
  EXPECT_NEAR(duration / 1e7, kSeconds, 0.1);
  EXPECT_EQ(ConversionGraph.expectedBytes, c.bytesPerSecond * duration / 10000000);
  if (c.bytesPerSecond == 0) {
    EXPECT_EQ(run.percentAtStart, -1);
    EXPECT_EQ(run.percentAtEnd, -1);
  } else {
    EXPECT_GE(run.percentAtStart, 0);
    EXPECT_NEAR(run.percentAtEnd, 100, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, AviExtractTest,
    ::testing::Values(AviCase{Fixture::AviPcm, "pcm.avi", "pcm.wav", "pcm_s16le", 2 * 44100 * 2, false},
                      AviCase{Fixture::AviMp3, "Clip.Avi", "Clip.mp3", "mp3", 128000 / 8, true},
                      AviCase{Fixture::AviMsAdpcm, "ms.avi", "ms.wav", "adpcm_ms", 0, false},
                      AviCase{Fixture::AviImaAdpcm, "ima.avi", "ima.wav", "adpcm_ima_wav", 0, false}),
    [](const ::testing::TestParamInfo<AviCase>& info) { return FixtureName(info.param.input); });

// The splitters' output pins are the file's streams in order, each with its type; an
// AVI's audio pins carry their own stream's record, and the first audio pin is the
// one extracted.
TEST_F(ExtractTest, SplitterPinsAreTheStreamsOfTheFile) {
  const std::string avi = dir.file("mixed.avi");
  int status = -1;
  std::string errors;
  RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:duration=2",
              "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i",
              "sine=frequency=1000:sample_rate=8000:duration=2", "-map", "0:a", "-map", "1:v", "-map", "2:a",
              "-c:v", "mpeg1video", "-c:a:0", "adpcm_ms", "-c:a:1", "pcm_u8", "-fflags", "+bitexact", avi},
             &status, &errors);
  ASSERT_EQ(status, 0) << errors;
  const std::string vob = MakeFixture(Fixture::VobTwoAudio, dir.path(), kSeconds);
  ASSERT_FALSE(vob.empty());

  auto outputsOf = [](const std::string& clsid, const std::string& path) {
    GraphRef graph = CreateGraph(kClsidFilterGraph);
    FilterRef source = GraphAddSourceFilter(graph.get(), path);
    FilterRef splitter = AddFilterByClsid(graph.get(), clsid);
    EXPECT_TRUE(ConnectFiltersDirect(graph.get(), source.get(), splitter.get(), nullptr)) << path;
    std::vector<MediaType> types;
    for (const PinRef& pin : FilterPins(splitter.get()))
      if (PinQueryDirection(pin.get()) == PinDirection::Output) {
        std::vector<MediaType> offered = PinEnumMediaTypes(pin.get());
        types.push_back(offered.empty() ? MediaType{} : offered.front());
      }
    return types;
  };

  std::vector<MediaType> aviPins = outputsOf(kClsidAviSplitter, avi);
  ASSERT_EQ(aviPins.size(), 3u);
  EXPECT_EQ(aviPins[0].major, MajorType::Audio);
  EXPECT_EQ(aviPins[1].major, MajorType::Video);
  EXPECT_EQ(aviPins[2].major, MajorType::Audio);
  for (int i : {0, 1}) {
    RiffFormat strf;
    ASSERT_TRUE(ReadAviAudioFormat(avi, i, &strf));
    const WaveFormat& f = aviPins[i == 0 ? 0 : 2].format;
    EXPECT_EQ(f.formatTag, strf.formatTag) << "audio " << i;
    EXPECT_EQ(f.samplesPerSec, strf.samplesPerSec) << "audio " << i;
    EXPECT_EQ(f.blockAlign, strf.blockAlign) << "audio " << i;
    EXPECT_EQ(std::string(f.extra.begin(), f.extra.end()), strf.extra) << "audio " << i;
  }

  std::vector<MediaType> vobPins = outputsOf(kClsidMMSPLITTER, vob);
  ASSERT_EQ(vobPins.size(), 3u);
  EXPECT_EQ(vobPins[0].major, MajorType::Video);
  for (int i : {1, 2}) {
    EXPECT_EQ(vobPins[i].major, MajorType::Audio);
    EXPECT_EQ(vobPins[i].format.formatTag, 0x2000);
  }

  ASSERT_TRUE(RunExtractAsIs(avi).completed);
  EXPECT_EQ(ProbeAudio(dir.file("mixed.wav")).codec, "adpcm_ms");
  EXPECT_NEAR(DominantFrequency(DecodeToS16(dir.file("mixed.wav"), 0, 1), 22050), 440, 5);
}

// ---- Refusals and failures: one message each, nothing left behind ----

struct FailureCase {
  std::optional<Fixture> input;  // none: the file does not exist
  const char* name;
  const char* message;
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) { return os << c.name; }

class ExtractFailureTest : public ExtractTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ExtractFailureTest, ShowsItsMessageAndWritesNothing) {
  const FailureCase& c = GetParam();
  const std::string input = dir.file(c.name);
  if (c.input) {
    ASSERT_EQ(MakeFixture(*c.input, dir.path(), 1.0, c.name), input);
  }
  const std::set<std::string> before = Files();
  runtest::TakeMessages();

  EXPECT_FALSE(RunExtractAsIs(input).built);
  EXPECT_EQ(runtest::TakeMessages(), std::vector<std::string>{c.message});
  EXPECT_EQ(Files(), before);
}

constexpr const char* kRefused = "エラーNo.401: そのまま抽出できるのはmpg,avi,vobだけです";

INSTANTIATE_TEST_SUITE_P(
    Inputs, ExtractFailureTest,
    ::testing::Values(
        FailureCase{Fixture::Mpeg1PsMp2, "clip.m2p", kRefused},
        FailureCase{Fixture::Mpeg1PsMp2, "clip.mp2", kRefused},
        FailureCase{Fixture::Mpeg1PsMp2, "clip.mpa", kRefused},
        FailureCase{Fixture::Wav16Stereo44k, "clip.wav", kRefused},
        FailureCase{Fixture::Mpeg1PsMp2, "clip", kRefused},
        FailureCase{std::nullopt, "folder.avi/clip", kRefused},
        FailureCase{Fixture::VobVideoOnly, "silent.vob",
                    "エラー No.406: MPEG-2スプリッターとDumpフィルターの接続で失敗しました。"},
        FailureCase{Fixture::MpgVideoOnly, "silent.mpg",
                    "エラー No.410: MPEG-1スプリッターとDumpフィルターの接続で失敗しました。"},
        FailureCase{Fixture::AviVideoOnly, "silent.avi", "エラー No.413: AVIファイルの音声部分を認識できませんでした。"},
        FailureCase{Fixture::TextAsMpg, "text.vob",
                    "エラー No.404: これは読み込み可能なMPEG-2形式のファイルではありません。"},
        FailureCase{Fixture::TextAsMpg, "text.mpg",
                    "エラー No.408: これは読み込み可能なMPEG-1形式のファイルではありません。"},
        FailureCase{Fixture::TextAsMpg, "text.avi", "エラー No.412: これは読み込み可能なAVI形式のファイルではありません。"},
        FailureCase{std::nullopt, "absent.vob",
                    "エラー No.404: これは読み込み可能なMPEG-2形式のファイルではありません。"},
        FailureCase{std::nullopt, "absent.mpeg",
                    "エラー No.408: これは読み込み可能なMPEG-1形式のファイルではありません。"},
        FailureCase{std::nullopt, "absent.avi", "エラー No.412: これは読み込み可能なAVI形式のファイルではありません。"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (!g_ascii_isalnum(ch)) ch = '_';
      return name;
    });

// The batch mode walks a mixed batch: an AVI (file opened for progress) then a VOB
// (not opened), each output beside its input.
TEST_F(ExtractTest, BatchModeExtractsEachFile) {
  const std::string avi = MakeFixture(Fixture::AviPcm, dir.path(), 1.0, "a.avi");
  const std::string vob = MakeFixture(Fixture::VobAc3Stereo, dir.path(), 1.0, "b.vob");
  int status = -1;
  std::string errors;
  RunCommand({QL_PROGRAM, "--batch", "--mode", "extract", avi, vob}, &status, &errors);
  ASSERT_EQ(status, 0) << errors;
  EXPECT_EQ(ProbeAudio(dir.file("a.wav")).codec, "pcm_s16le");
  EXPECT_TRUE(SameBytes(dir.file("b.ac3"), FfmpegStreamCopy(vob, "ac3", dir.path(), 0)));
}

}  // namespace
