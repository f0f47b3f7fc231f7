// The media layer pieces no builder test reaches: the MP3 decoder filter, and the ASF
// and CD source branches.
#include <gtest/gtest.h>

#include <glib.h>

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <tuple>

#include "common/app_settings.h"
#include "engine/graph.h"
#include "engine/source.h"
#include "media/media_internal.h"
#include "tests/support/media_fixtures.h"
#include "tests/support/run_harness.h"

using namespace mediatest;

namespace {

class MediaLayerTest : public runtest::EngineTest {
 protected:
  void SetUp() override { Prepare(kModeWav); }
};

// Runs a built graph on the main loop until it completes or fails.
bool RunToEnd(Graph* graph) {
  static bool ended;
  ended = false;
  GraphSetNotify(graph, [] { ended = true; });
  if (!GraphRun(graph)) return false;
  for (int i = 0; i < 20000 && !ended; ++i) g_main_context_iteration(nullptr, TRUE);
  return GraphCompleted(graph);
}

TEST_F(MediaLayerTest, Mp3DecoderFilterDeliversPcm) {
  if (!CreateFilterByFriendlyName(kCategoryLegacyAmFilter, "MPEG Layer-3 Decoder")) GTEST_SKIP() << "mpg123audiodec is not installed";
  const std::string input = MakeFixture(Fixture::Mp3Mono22k, dir.path(), 1.0);
  const std::string output = dir.file("decoded.wav");

  GraphRef graph = CreateGraph(kClsidFilterGraph);
  FilterRef source = AddSourceForFile(graph.get(), input);
  FilterRef decoder = AddFilterByFriendlyName(graph.get(), kCategoryLegacyAmFilter, "MPEG Layer-3 Decoder");
  FilterRef wavDest = AddFilterByClsid(graph.get(), kClsidWavDest);
  FilterRef writer = AddSinkFilterByClsid(graph.get(), kClsidFileWriter, output);
  ASSERT_TRUE(ConnectFiltersDirect(graph.get(), source.get(), decoder.get(), nullptr));
  ASSERT_TRUE(ConnectFiltersDirect(graph.get(), decoder.get(), wavDest.get(), nullptr));
  ASSERT_TRUE(ConnectFiltersDirect(graph.get(), wavDest.get(), writer.get(), nullptr));
  ASSERT_TRUE(RunToEnd(graph.get()));
  AudioInfo info = ProbeAudio(output);
  EXPECT_EQ(std::tie(info.codec, info.sampleRate, info.channels), std::make_tuple("pcm_s16le", 22050, 1));
  EXPECT_NEAR(info.duration, 1.0, 0.1);
}

// Only the last extension counts, in any letter case; a CD track file must name its track.
TEST_F(MediaLayerTest, SourcesAreChosenByTheLastExtension) {
  const std::string asf = MakeFixture(Fixture::WmvWma, dir.path(), 1.0, "clip.wmv.ASF");
  runtest::RunResult run = runtest::RunFiles({asf});
  EXPECT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
  EXPECT_EQ(ProbeAudio(dir.file("clip.wmv.wav")).sampleRate, 44100);

  const std::string cda = MakeFixture(Fixture::TextAsMpg, dir.path(), 1.0, "Track.CDA");
  run = runtest::RunFiles({cda});
  EXPECT_EQ(run.outcome, RunOutcome::Failed);
  EXPECT_EQ(run.messages, (std::vector<std::string>{"エラー No505: ファイルを読み込めません",
                                                    "エラー No.102: ファイルの読み込みができませんでした。"}));
}

// A wait for the bus gives the program a look every 100 ms or so (a termination signal
// is acted on there), and still ends at its bound.
TEST(MediaLayerWaitTest, BusWaitsCallTheHookBetweenSlices) {
  MediaLayerInit();
  static std::atomic<int> calls{0};
  SetWaitHook([] { ++calls; });
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
  const auto start = std::chrono::steady_clock::now();
  GstMessage* message = PopBusMessage(bus, GST_SECOND, GST_MESSAGE_EOS);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  SetWaitHook(nullptr);
  EXPECT_EQ(message, nullptr);
  EXPECT_GE(seconds, 0.99);
  EXPECT_LT(seconds, 5.0);
  EXPECT_GE(calls.load(), 5);
}

}  // namespace
