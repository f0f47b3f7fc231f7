// ConvertToWma end to end: every profile row gives a WMA file with the row's format
// and the source's full length, progress follows the writer's position, and each
// failure shows its own numbered message. Outputs are judged by ffprobe and ffmpeg.
#include <glib.h>
#include <gst/gst.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/error_box.h"
#include "common/status_text.h"
#include "dialog/format_lists.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "engine/media.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

struct ShownError {
  std::string caption, text;
};
std::vector<ShownError> shownErrors;

void RecordError(const std::string& caption, const std::string& text) {
  shownErrors.push_back({caption, text});
}

enum class Ending { None, Complete, Error, TimedOut };

class ConvertWmaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MediaLayerInit();
    dir_ = std::make_unique<TempDir>();
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    if (ListFriendlyNames(kCategoryLegacyAmFilter).empty() ||
        !CreateFilterByFriendlyName(kCategoryLegacyAmFilter, "WM ASF Writer"))
      GTEST_SKIP() << "avenc_wmav2 or avmux_asf not installed";
    shownErrors.clear();
    ending_ = Ending::None;
    SetErrorBoxHandler(RecordError);
    SetGraphEventHandlers([] { Finish(Ending::Complete); },
                          [](const std::string& text) {
                            errorText_ = text;
                            Finish(Ending::Error);
                          });
  }

  void TearDown() override {
    ReleaseConversionGraph();
    SetGraphEventHandlers(nullptr, nullptr);
    SetErrorBoxHandler(nullptr);
  }

  static void Finish(Ending ending) {
    ending_ = ending;
    if (loop_) g_main_loop_quit(loop_);
  }

  // Runs the main loop until the graph built by ConvertToWma completes or fails.
  static Ending RunToEnd(guint timeoutSeconds = 60) {
    loop_ = g_main_loop_new(nullptr, FALSE);
    guint guard = g_timeout_add_seconds(timeoutSeconds, [](gpointer) -> gboolean {
      Finish(Ending::TimedOut);
      return G_SOURCE_REMOVE;
    }, nullptr);
    if (ending_ == Ending::None) g_main_loop_run(loop_);
    if (ending_ != Ending::TimedOut) g_source_remove(guard);
    g_main_loop_unref(loop_);
    loop_ = nullptr;
    return ending_;
  }

  static std::string CopyOf(const std::string& source, const std::string& name) {
    const std::string path = dir_->file(name);
    std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
    return path;
  }

  static std::string StatusName() {
    std::lock_guard lock(StatusLock);
    return StatusFileName;
  }

  static inline std::unique_ptr<TempDir> dir_;
  static inline GMainLoop* loop_ = nullptr;
  static inline Ending ending_ = Ending::None;
  static inline std::string errorText_;
};

// Samples of one WMA frame at the given rate: the encoder codes whole frames, and
// ffmpeg's decoder (with ffmpeg's own encoder just the same) drops the last partial
// frame, so a file decodes up to one frame short of its source, and never longer
// than the resampler's rounding of a few samples.
int WmaFrameSamples(int rate) { return rate <= 16000 ? 512 : rate <= 22050 ? 1024 : 2048; }

TEST_F(ConvertWmaTest, EveryProfileRowWritesItsFormatAtFullLength) {
  constexpr double kSeconds = 2.0;
  const std::string source = MakeFixture(Fixture::Wav16Stereo44k, dir_->path(), kSeconds, "source.wav");
  ASSERT_FALSE(source.empty());
  const int64_t sourceFrames = DecodedSampleCount(source);
  ASSERT_GT(sourceFrames, 0);

  struct Row {
    uint32_t index;
    int rate, channels;
    int64_t bitRate;  // b/s as written; the encoder's least is 24000
  };
  const Row rows[] = {
      {0, 8000, 1, 24000},      {1, 16000, 1, 24000},     {2, 22050, 1, 28800},
      {3, 22050, 2, 28800},     {4, 32000, 2, 56000},     {5, 44100, 2, 64000},
      {6, 44100, 2, 96000},     {7, 44100, 2, 128000},    {8, 8000, 1, 24000},
      {9, 22050, 1, 28800},     {10, 22050, 2, 28800},    {11, 32000, 2, 56000},
      {12, 32000, 2, 64000},    {13, 44100, 2, 64000},    {14, 44100, 2, 96000},
      {15, 44100, 2, 128000},
      // Outside the table: the writer keeps its own profile.
      {16, 44100, 2, 128000},   {UINT32_MAX, 44100, 2, 128000},
  };
  for (const Row& row : rows) {
    const std::string name = "row" + std::to_string(row.index);
    SCOPED_TRACE(name);
    shownErrors.clear();
    ending_ = Ending::None;
    const std::string input = CopyOf(source, name + ".wav");

    ASSERT_TRUE(ConvertToWma(input, row.index));
    EXPECT_EQ(StatusName(), name + ".wma");
    ASSERT_EQ(RunToEnd(), Ending::Complete) << errorText_;
    ReleaseConversionGraph();
    EXPECT_TRUE(shownErrors.empty());

    const std::string output = dir_->file(name + ".wma");
    const AudioInfo info = ProbeAudio(output);
    EXPECT_EQ(info.codec, "wmav2");
    EXPECT_EQ(info.formatName, "asf");
    EXPECT_EQ(info.sampleRate, row.rate);
    EXPECT_EQ(info.channels, row.channels);
    EXPECT_EQ(info.bitRate, row.bitRate);

    std::vector<int16_t> mono = DecodeToS16(output, 0, 1);
    const int64_t decoded = static_cast<int64_t>(mono.size());
    const int64_t expected = sourceFrames * row.rate / 44100;
    EXPECT_GE(decoded, expected - WmaFrameSamples(row.rate)) << "expected about " << expected;
    EXPECT_LE(decoded, expected + 16) << "expected about " << expected;

    // The tone survives: no garbled channels or rates. The codec's last frame fades
    // out (in ffmpeg's own encodes alike), so it is left out of the measure.
    ASSERT_GT(mono.size(), 4u * WmaFrameSamples(row.rate));
    mono.resize(mono.size() - 2 * WmaFrameSamples(row.rate));
    EXPECT_NEAR(DominantFrequency(mono, row.rate), kToneHz, 2.0);
  }
}

TEST_F(ConvertWmaTest, ProgressFollowsTheWriterPosition) {
  const std::string input = MakeFixture(Fixture::Wav16Stereo44k, dir_->path(), 30.0, "long.wav");
  ASSERT_FALSE(input.empty());
  ASSERT_TRUE(ConvertToWma(input, 15));
  EXPECT_NEAR(ConversionGraph.duration / 1e7, 30.0, 0.05);
  EXPECT_TRUE(ConversionGraph.outputFile.empty());  // a WMA file's size measures nothing

  static std::vector<int> seen;
  seen.clear();
  guint poll = g_timeout_add(3, [](gpointer) -> gboolean {
    seen.push_back(QueryProgressPercent());
    return G_SOURCE_CONTINUE;
  }, nullptr);
  const Ending ending = RunToEnd();
  const int atEnd = QueryProgressPercent();
  g_source_remove(poll);
  ASSERT_EQ(ending, Ending::Complete) << errorText_;

  std::vector<int> valid;
  std::copy_if(seen.begin(), seen.end(), std::back_inserter(valid), [](int p) { return p >= 0; });
  ASSERT_GE(valid.size(), 3u) << "polls: " << seen.size();
  EXPECT_LT(valid.front(), 50);
  EXPECT_TRUE(std::is_sorted(valid.begin(), valid.end()));
  EXPECT_LE(valid.back(), 100);
  EXPECT_GE(atEnd, 95);
  EXPECT_LE(atEnd, 100);
}

TEST_F(ConvertWmaTest, UnreadableInputsShowNo302BeforeNamingAnOutput) {
  TempDir dir;
  struct Row {
    const char* name;
    std::string path;
  };
  const Row rows[] = {
      {"text named .mpg", MakeFixture(Fixture::TextAsMpg, dir.path(), 2.0, "text.mpg")},
      {"video without audio", MakeFixture(Fixture::MpgVideoOnly, dir.path(), 2.0, "video.mpg")},
      {"missing file", dir.file("absent.mpg")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    shownErrors.clear();
    {
      std::lock_guard lock(StatusLock);
      StatusFileName = "unchanged";
    }
    EXPECT_FALSE(ConvertToWma(row.path, 15));
    ASSERT_EQ(shownErrors.size(), 1u);
    EXPECT_EQ(shownErrors[0].caption, "エラー No302");
    EXPECT_EQ(shownErrors[0].text, "読み込み可能なメディアファイルではありません。");
    EXPECT_EQ(StatusName(), "unchanged");
    ReleaseConversionGraph();
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(entry.path().extension(), ".wma") << entry.path();
}

// Without the encoder the writer does not exist: two lines, and no file left behind.
TEST_F(ConvertWmaTest, MissingWriterShowsNo303OnTwoLines) {
  const std::string input = MakeFixture(Fixture::Wav16Stereo44k, dir_->path(), 1.0, "nowriter.wav");
  ASSERT_FALSE(input.empty());
  GstRegistry* registry = gst_registry_get();
  GstPluginFeature* encoder = gst_registry_lookup_feature(registry, "avenc_wmav2");
  ASSERT_NE(encoder, nullptr);
  gst_registry_remove_feature(registry, encoder);

  const bool built = ConvertToWma(input, 15);
  gst_registry_add_feature(registry, encoder);  // the registry takes a reference of its own
  gst_object_unref(encoder);
  g_autoptr(GstElementFactory) restored = gst_element_factory_find("avenc_wmav2");
  ASSERT_NE(restored, nullptr);

  EXPECT_FALSE(built);
  ASSERT_EQ(shownErrors.size(), 1u);
  EXPECT_EQ(shownErrors[0].caption, "エラー No303");
  EXPECT_EQ(shownErrors[0].text,
            "wmaエンコードフィルターがありません。\nメディアプレーヤー7.1以降が必要です。");
  ReleaseConversionGraph();
  EXPECT_FALSE(std::filesystem::exists(dir_->file("nowriter.wma")));
}

// The writer knows every profile the WMA list offers, in either letter case, and
// nothing else; only the writer takes a profile.
TEST_F(ConvertWmaTest, WriterTakesExactlyTheListedProfiles) {
  FilterRef writer = CreateFilterByFriendlyName(kCategoryLegacyAmFilter, "WM ASF Writer");
  ASSERT_NE(writer, nullptr);
  EXPECT_TRUE(FilterHasProfileConfig(writer.get()));
  for (const WmaProfileRow& row : WmaProfileTable) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(FilterConfigureProfile(writer.get(), row.guid));
    std::string lower = row.guid;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return g_ascii_tolower(c); });
    EXPECT_TRUE(FilterConfigureProfile(writer.get(), lower));
  }
  EXPECT_FALSE(FilterConfigureProfile(writer.get(), ""));
  EXPECT_FALSE(FilterConfigureProfile(writer.get(), kClsidFileWriter));
  EXPECT_FALSE(FilterConfigureProfile(writer.get(), "{C64CF5DA-DF45-40D3-8027-DE698D68DC6}"));

  FilterRef fileWriter = CreateFilter(kClsidFileWriter);
  ASSERT_NE(fileWriter, nullptr);
  EXPECT_FALSE(FilterHasProfileConfig(fileWriter.get()));
  EXPECT_FALSE(FilterConfigureProfile(fileWriter.get(), WmaProfileTable[15].guid));
}

}  // namespace
