// Conversion to MP3 end to end, and the MP3 decoder filter: real media made by
// ffmpeg, outputs judged by ffprobe, ffmpeg and the bytes of the file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <charconv>

#include <glib.h>

#include "common/app_settings.h"
#include "common/target_format.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "engine/media.h"
#include "tests/support/media_fixtures.h"
#include "tests/support/run_harness.h"

using namespace mediatest;

namespace {

// Samples LAME puts in front of the signal (its own 576 and a decoder's 529). The
// files carry no gapless information, so every reader decodes them as audio.
constexpr int64_t kEncoderDelay = 1105;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool Installed(const char* category, const char* friendlyName) {
  std::vector<std::string> names = ListFriendlyNames(category);
  return std::find(names.begin(), names.end(), friendlyName) != names.end();
}

TargetAudioFormat Mp3Entry(uint32_t kbps, uint32_t rate, uint16_t channels) {
  return TargetAudioFormat{rate, kbps * 125, 16, channels};
}

// The bit rate the file's MP3 frames carry: their bytes over their playing time.
// ffprobe's packets are the audio frames only (no Xing frame).
double FrameBitRate(const std::string& path, int rate, int samplesPerFrame) {
  std::string sizes = RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                  "packet=size", "-of", "csv=p=0", path});
  int64_t bytes = 0, frames = 0;
  for (const char* p = sizes.data(); p < sizes.data() + sizes.size();) {
    int64_t size = 0;
    auto [end, ec] = std::from_chars(p, sizes.data() + sizes.size(), size);
    if (ec != std::errc()) break;
    bytes += size;
    ++frames;
    p = end;
    while (p < sizes.data() + sizes.size() && (*p == '\n' || *p == '\r' || *p == ',')) ++p;
  }
  return frames ? bytes * 8.0 * rate / (static_cast<double>(frames) * samplesPerFrame) : 0;
}

class ConvertToMp3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are needed to make and judge media";
    runtest::InitEngineForTests();
    if (!Installed(kCategoryAudioCompressor, "MPEG Layer-3")) GTEST_SKIP() << "lamemp3enc is not installed: there is no \"MPEG Layer-3\" encoder";
    Settings = AppSettings{};
    Settings.DecodeMode = kModeMp3;
    TargetFormat = Mp3Entry(128, 44100, 2);
  }
  void TearDown() override { ReleaseConversionGraph(); }
  TempDir dir;
};

struct EntryCase {
  const char* name;
  uint32_t kbps;
  uint32_t rate;
  uint16_t channels;
  int samplesPerFrame;  // 1152 for MPEG-1, 576 for MPEG-2 and 2.5
  Fixture source;
  int sourceRate;
};

std::ostream& operator<<(std::ostream& os, const EntryCase& c) { return os << c.name; }

class Mp3EntryTest : public ConvertToMp3Test, public ::testing::WithParamInterface<EntryCase> {};

// Each MPEG version's rates give a plain MP3 stream at exactly the entry's rate,
// channels and bit rate, holding the whole source behind the encoder's delay, with
// a Xing frame whose count gives the length that is decoded.
TEST_P(Mp3EntryTest, PlainStreamHasTheEntryFormatAndTheWholeSource) {
  const EntryCase& c = GetParam();
  std::string input = MakeFixture(c.source, dir.path(), 2.0, "in.wav");
  ASSERT_FALSE(input.empty());
  TargetFormat = Mp3Entry(c.kbps, c.rate, c.channels);

  runtest::RunResult run = runtest::RunFiles({input});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
  EXPECT_TRUE(run.messages.empty()) << ::testing::PrintToString(run.messages);

  const std::string output = dir.file("in.mp3");
  AudioInfo info = ProbeAudio(output);
  EXPECT_EQ(info.codec, "mp3");
  EXPECT_EQ(info.formatName, "mp3");
  EXPECT_EQ(info.sampleRate, static_cast<int>(c.rate));
  EXPECT_EQ(info.channels, c.channels);
  EXPECT_NEAR(FrameBitRate(output, c.rate, c.samplesPerFrame), c.kbps * 1000.0, c.kbps * 5.0);

  // The source at the entry's rate, behind the delay, padded to a whole frame.
  const int64_t sourceSamples = DecodedSampleCount(input) * c.rate / c.sourceRate;
  const int64_t decoded = DecodedSampleCount(output);
  const int64_t padding = decoded - kEncoderDelay - sourceSamples;
  constexpr int64_t kResamplerSlack = 4;
  EXPECT_GE(padding, -kResamplerSlack) << "decoded " << decoded << ", source " << sourceSamples;
  EXPECT_LT(padding, c.samplesPerFrame + kResamplerSlack) << "decoded " << decoded << ", source " << sourceSamples;

  // The Xing frame is there, and the length it gives is what is decoded.
  EXPECT_NE(ReadFileBytes(output).substr(0, 64).find("Xing"), std::string::npos);
  EXPECT_NEAR(info.duration, static_cast<double>(decoded) / c.rate, 1e-3);
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
  runtest::RunResult run = runtest::RunFiles({input});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);

  const std::string output = dir.file("in.mp3");
  RiffWave wave = ReadRiffWave(output);
  ASSERT_TRUE(wave.valid);
  EXPECT_EQ(wave.format.formatTag, 0x0055);
  EXPECT_EQ(wave.format.channels, 2);
  EXPECT_EQ(wave.format.samplesPerSec, 44100);
  EXPECT_EQ(wave.format.avgBytesPerSec, 16000);
  EXPECT_EQ(wave.format.extra.size(), 12u);
  EXPECT_EQ(wave.riffSize + 8u + (wave.dataSize & 1), wave.fileSize);
  EXPECT_GT(wave.dataSize, 2 * 16000u * 95 / 100);

  AudioInfo info = ProbeAudio(output);
  EXPECT_EQ(info.codec, "mp3");
  EXPECT_EQ(info.formatName, "wav");
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
  struct Case {
    const char* label;
    std::string path;
    TargetAudioFormat entry;
    uint8_t riff;
    std::string message;
  } cases[] = {
      {"text named .mpg", MakeFixture(Fixture::TextAsMpg, dir.path(), 1.0, "text.mpg"), Mp3Entry(128, 44100, 2), 0,
       "エラー No.202: ファイルの読み込みで失敗しました。"},
      {"video only", MakeFixture(Fixture::MpgVideoOnly, dir.path(), 1.0, "video.mpg"), Mp3Entry(128, 44100, 2), 0,
       "エラー No.202: ファイルの読み込みで失敗しました。"},
      {"missing file", dir.file("missing.wav"), Mp3Entry(128, 44100, 2), 0,
       "エラー No.201: ファイルの読み込みで失敗しました。"},
      {"rate the ACM Wrapper lacks", wav, Mp3Entry(16, 12000, 1), 0,
       "エラー No.212: 音質フォーマットを設定できませんでした"},
      {"no entry (no encoder when chosen)", wav, Mp3Entry(0, 0, 1), 0,
       "エラー No.212: 音質フォーマットを設定できませんでした"},
      {"channels the encoder does not offer", wav, Mp3Entry(96, 44100, 1), 0,
       "エラー No208: エンコードコーデックのビットレートの設定に失敗しました"},
      {"channels the encoder does not offer, RIFF", wav, Mp3Entry(96, 44100, 1), 1,
       "エラー No208: エンコードコーデックのビットレートの設定に失敗しました"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TargetFormat = c.entry;
    Settings.Riff = c.riff;
    runtest::RunResult run = runtest::RunFiles({c.path});
    EXPECT_EQ(run.outcome, RunOutcome::Failed);
    EXPECT_EQ(run.messages, std::vector<std::string>{c.message});
  }
  for (const char* name : {"text.mp3", "video.mp3", "missing.mp3", "in.mp3"}) EXPECT_FALSE(Exists(dir.file(name))) << name;
}

// The expected size follows from the entry (16000 bytes per second at 128 kbps), the
// output's growing size measures progress, and a conversion stopped early leaves
// nothing behind.
TEST_F(ConvertToMp3Test, ProgressFollowsTheOutputSizeAndAStoppedFileIsRemoved) {
  std::string input = MakeToneFile(dir.file("long.wav"), 44100, 2, 30.0, {"-c:a", "pcm_s16le"});
  ASSERT_TRUE(ConvertToMp3(input));
  EXPECT_EQ(ConversionGraph.expectedBytes, 16000 * 30);
  const std::string output = dir.file("long.mp3");
  for (int i = 0; i < 5000 && QueryProgressPercent() < 10; ++i) g_main_context_iteration(nullptr, FALSE), g_usleep(1000);
  EXPECT_GE(QueryProgressPercent(), 10);
  EXPECT_LT(QueryProgressPercent(), 100);
  ReleaseConversionGraph();
  EXPECT_FALSE(Exists(output));
}

// The batch mode names outputs beside their inputs, numbering an input that is
// itself an MP3 file.
TEST_F(ConvertToMp3Test, BatchModeWritesBesideTheInputs) {
  std::string wav = MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 1.0, "a.wav");
  std::string mp3 = MakeFixture(Fixture::Mp3Mono22k, dir.path(), 1.0, "b.mp3");
  int status = -1;
  std::string errors;
  RunCommand({QL_PROGRAM, "--batch", "--mode", "mp3", "--mp3-format", "128,44100,2", "--mp3-form", "mp3", wav, mp3},
             &status, &errors);
  ASSERT_EQ(status, 0) << errors;
  for (const char* name : {"a.mp3", "b_2.mp3"}) {
    SCOPED_TRACE(name);
    AudioInfo info = ProbeAudio(dir.file(name));
    EXPECT_EQ(info.codec, "mp3");
    EXPECT_EQ(info.formatName, "mp3");
    EXPECT_EQ(info.sampleRate, 44100);
    EXPECT_EQ(info.channels, 2);
  }
  EXPECT_EQ(DecodedSampleCount(dir.file("b.mp3")), DecodedSampleCount(mp3));  // the input is untouched
}

// ---- The "MPEG Layer-3 Decoder" filter ----

// Runs a graph to its end on the default main context; false on an error or time-out.
bool RunGraphToEnd(Graph* graph, double seconds) {
  GraphSetNotify(graph, nullptr);
  if (!GraphRun(graph)) return false;
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
  while (!GraphCompleted(graph) && g_get_monotonic_time() < end) {
    g_main_context_iteration(nullptr, FALSE);
    long code = 0;
    std::string text;
    if (GraphGetEvent(graph, &code, &text) && code == kEventErrorAbort) {
      ADD_FAILURE() << text;
      break;
    }
    g_usleep(1000);
  }
  GraphStop(graph);
  return GraphCompleted(graph);
}

// An MP3 file read as bytes decodes to 16-bit PCM at its own rate and channels.
TEST(Mp3DecoderTest, DecodesAnMp3StreamTo16BitPcm) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are needed to make and judge media";
  runtest::InitEngineForTests();
  if (!Installed(kCategoryLegacyAmFilter, "MPEG Layer-3 Decoder"))
    GTEST_SKIP() << "mpg123audiodec is not installed: there is no \"MPEG Layer-3 Decoder\"";
  TempDir dir;
  std::string input = MakeFixture(Fixture::Mp3Mono22k, dir.path(), 2.0, "in.mp3");

  GraphRef graph = CreateGraph(kClsidFilterGraph);
  FilterRef source = GraphAddSourceFilter(graph.get(), input);
  FilterRef decoder = AddFilterByFriendlyName(graph.get(), kCategoryLegacyAmFilter, "MPEG Layer-3 Decoder");
  ASSERT_TRUE(decoder);
  FilterRef wavDest = AddFilterByClsid(graph.get(), kClsidWavDest);
  FilterRef writer = AddSinkFilterByClsid(graph.get(), kClsidFileWriter, dir.file("out.wav"));
  ASSERT_TRUE(ConnectFiltersDirect(graph.get(), source.get(), decoder.get(), nullptr));
  ASSERT_TRUE(ConnectFiltersDirect(graph.get(), decoder.get(), wavDest.get(), nullptr));
  ASSERT_TRUE(ConnectFiltersDirect(graph.get(), wavDest.get(), writer.get(), nullptr));
  ASSERT_TRUE(RunGraphToEnd(graph.get(), 30));

  AudioInfo info = ProbeAudio(dir.file("out.wav"));
  EXPECT_EQ(info.codec, "pcm_s16le");
  EXPECT_EQ(info.sampleRate, 22050);
  EXPECT_EQ(info.channels, 1);
  // ffmpeg trims the encoder delay and padding its gapless header declares; this
  // decoder keeps them, at most a frame of padding and the delay.
  const int64_t trimmed = DecodedSampleCount(input);
  const int64_t decoded = DecodedSampleCount(dir.file("out.wav"));
  EXPECT_GE(decoded, trimmed);
  EXPECT_LE(decoded, trimmed + kEncoderDelay + 576);
}

}  // namespace
