// ConvertToWma end to end: every profile row gives a WMA file with the row's format
// and the source's full length, progress follows the writer's position, and each
// failure shows its own numbered message. Outputs are judged by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <glib.h>
#include <gst/gst.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "common/app_settings.h"
#include "common/status_text.h"
#include "engine/graph.h"
#include "media/media.h"
#include "tests/support/media_fixtures.h"
#include "tests/support/run_harness.h"

using namespace mediatest;
using runtest::RunFiles;

namespace {

class ConvertWmaTest : public runtest::EngineTest {
 protected:
  void SetUp() override {
    Prepare(kModeWma);
    if (IsSkipped()) return;
    if (!CreateFilterByFriendlyName(kCategoryLegacyAmFilter, "WM ASF Writer"))
      GTEST_SKIP() << "avenc_wmav2 or avmux_asf not installed";
  }
};

// Samples of one WMA frame at the given rate: the encoder codes whole frames, and
// ffmpeg's decoder (with ffmpeg's own encoder just the same) drops the last partial
// frame, so a file decodes up to one frame short of its source, and never longer
// than the resampler's rounding of a few samples.
int WmaFrameSamples(int rate) { return rate <= 16000 ? 512 : rate <= 22050 ? 1024 : 2048; }

// Each profile row: index, rate, channels, bit rate as written (the encoder's least is
// 24000). Outside the table the writer keeps its own profile.
struct Row { int32_t index; int rate, channels; int64_t bitRate; };
constexpr Row kRows[] = {
    {0, 8000, 1, 24000},   {1, 16000, 1, 24000},  {2, 22050, 1, 28800},  {3, 22050, 2, 28800},
    {4, 32000, 2, 56000},  {5, 44100, 2, 64000},  {6, 44100, 2, 96000},  {7, 44100, 2, 128000},
    {8, 8000, 1, 24000},   {9, 16000, 1, 28800},  {10, 22050, 1, 28800}, {11, 32000, 2, 56000},
    {12, 32000, 2, 64000}, {13, 44100, 2, 64000}, {14, 44100, 2, 96000}, {15, 44100, 2, 128000},
    {16, 44100, 2, 128000}, {-1, 44100, 2, 128000}};

TEST_F(ConvertWmaTest, EveryProfileRowWritesItsFormatAtFullLength) {
  const std::string source = MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 2.0, "source.wav");
  const int64_t sourceFrames = DecodedSampleCount(source);
  ASSERT_GT(sourceFrames, 0);
  for (const Row& row : kRows) {
    const std::string name = "row" + std::to_string(row.index);
    SCOPED_TRACE(name);
    const std::string input = dir.file(name + ".wav"), output = dir.file(name + ".wma");
    std::filesystem::copy_file(source, input);
    Settings.WmaFormat = row.index;
    runtest::RunResult run = RunFiles({input});
    ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
    EXPECT_TRUE(run.messages.empty()) << ::testing::PrintToString(run.messages);

    const AudioInfo info = ProbeAudio(output);
    EXPECT_EQ(std::tie(info.codec, info.formatName), std::tuple("wmav2", "asf"));
    EXPECT_EQ(std::tuple(info.sampleRate, info.channels, info.bitRate), std::tuple(row.rate, row.channels, row.bitRate));
    std::vector<int16_t> mono = DecodeToS16(output, 0, 1);
    const int64_t decoded = static_cast<int64_t>(mono.size()), expected = sourceFrames * row.rate / 44100;
    EXPECT_GE(decoded, expected - WmaFrameSamples(row.rate)) << "expected about " << expected;
    EXPECT_LE(decoded, expected + 16) << "expected about " << expected;
    // The tone survives: no garbled channels or rates. The codec's last frame fades
    // out (in ffmpeg's own encodes alike), so it is left out of the measure.
    ASSERT_GT(mono.size(), 4u * WmaFrameSamples(row.rate));
    mono.resize(mono.size() - 2 * WmaFrameSamples(row.rate));
    EXPECT_NEAR(DominantFrequency(mono, row.rate), kToneHz, 2.0);
  }
}

// Sources whose decoded timestamps are not a clean sample count (a VBR MP3, an
// MPEG-2 Layer III file, both trimmed to their encoder's samples), resampled to each
// profile's rate: the file's packets follow one another at the codec's frame time and
// end with the source, and its size is what the bit rate gives for that length.
TEST_F(ConvertWmaTest, ResampledSourcesKeepTheirTiming) {
  constexpr double kSeconds = 3.0;
  for (const std::string& source :
       {MakeToneFile(dir.file("vbr.mp3"), 44100, 2, kSeconds, {"-c:a", "libmp3lame", "-q:a", "4"}),
        MakeFixture(Fixture::Mp3Mono22k, dir.path(), kSeconds, "mpeg2.mp3")}) {
    ASSERT_FALSE(source.empty());
    for (int index : {0, 1, 2, 3, 4, 7}) {
      const Row& row = kRows[index];
      SCOPED_TRACE(source + " row " + std::to_string(index));
      Settings.WmaFormat = index;
      runtest::RunResult run = RunFiles({source});
      ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);

      const std::string output = source.substr(0, source.rfind('.')) + ".wma";
      EXPECT_NEAR(ProbeAudio(output).duration, kSeconds, 0.1);
      const std::vector<double> times = PacketTimes(output);
      ASSERT_FALSE(times.empty());
      const double frame = WmaFrameSamples(row.rate) / static_cast<double>(row.rate);
      for (size_t i = 1; i < times.size(); ++i)
        ASSERT_NEAR(times[i] - times[i - 1], frame, 0.002) << "packet " << i << " at " << times[i];
      EXPECT_LT(times.back(), kSeconds);
      EXPECT_LT(static_cast<double>(std::filesystem::file_size(output)), row.bitRate / 8 * kSeconds * 1.2 + 8192);
      std::filesystem::remove(output);
    }
  }
}

// Progress follows the writer's position, from the start to the end.
TEST_F(ConvertWmaTest, ProgressFollowsTheWriterPosition) {
  runtest::RunResult run = RunFiles({MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 30.0, "long.wav")});
  ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
  EXPECT_NEAR(ConversionGraph.duration / 1e7, 30.0, 0.05);
  std::vector<int> valid;
  std::copy_if(run.progress.begin(), run.progress.end(), std::back_inserter(valid), [](int p) { return p >= 0; });
  ASSERT_GE(valid.size(), 3u) << "polls: " << run.progress.size();
  EXPECT_LT(valid.front(), 50);
  EXPECT_TRUE(std::is_sorted(valid.begin(), valid.end()));
  EXPECT_LE(valid.back(), 100);
  EXPECT_NEAR(run.finalPercent, 97.5, 2.5);
}

// Unreadable inputs fail before an output is named; without the encoder the writer
// does not exist. One message each, and no file left behind.
TEST_F(ConvertWmaTest, FailuresShowTheirNumberedMessage) {
  const auto expectFailure = [](const std::string& path, const std::string& message, const char* statusName) {
    {
      std::lock_guard lock(StatusLock);
      StatusFileName = "unchanged";
    }
    runtest::RunResult run = RunFiles({path});
    EXPECT_EQ(run.outcome, RunOutcome::Failed) << path;
    EXPECT_EQ(run.messages, std::vector<std::string>{message}) << path;
    std::lock_guard lock(StatusLock);
    EXPECT_EQ(StatusFileName, statusName) << path;
  };
  const std::string no302 = "エラー No302: 読み込み可能なメディアファイルではありません。";
  for (const std::string& path : {MakeFixture(Fixture::TextAsMpg, dir.path(), 2.0, "text.mpg"),
                                  MakeFixture(Fixture::MpgVideoOnly, dir.path(), 2.0, "video.mpg"), dir.file("absent.mpg")})
    expectFailure(path, no302, "unchanged");

  GstRegistry* registry = gst_registry_get();
  GstPluginFeature* encoder = gst_registry_lookup_feature(registry, "avenc_wmav2");
  ASSERT_NE(encoder, nullptr);
  gst_registry_remove_feature(registry, encoder);
  expectFailure(MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 1.0, "nowriter.wav"),
                "エラー No303: wmaエンコードフィルターがありません。\nメディアプレーヤー7.1以降が必要です。", "nowriter.wma");
  gst_registry_add_feature(registry, encoder);  // the registry takes a reference of its own
  gst_object_unref(encoder);

  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(entry.path().extension(), ".wma") << entry.path();
}

}  // namespace
