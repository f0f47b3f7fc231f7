#include "tests/support/run_harness.h"

#include <glib.h>

#include <utility>

#include "common/app_settings.h"
#include "common/batch.h"
#include "common/error_box.h"
#include "common/target_format.h"
#include "engine/graph.h"
#include "media/media.h"

namespace runtest {

static std::vector<std::string> shownMessages;
static RunResult* current = nullptr;
static GMainLoop* loop = nullptr;
static int stopAt = -1;

void InitEngineForTests() {
  MediaLayerInit();
  SetErrorBoxHandler([](const std::string& caption, const std::string& text) {
    shownMessages.push_back(caption + ": " + text);
  });
}

static gboolean PollProgress(gpointer) {
  if (!current || AnimationPaused) return G_SOURCE_CONTINUE;
  current->progress.push_back(QueryProgressPercent());
  if (stopAt >= 0 && current->progress.back() >= stopAt) g_main_loop_quit(loop);
  return G_SOURCE_CONTINUE;
}

static guint giveUpTimer = 0;

RunResult RunFiles(const std::vector<std::string>& paths, double timeoutSeconds, int stopAtPercent,
                   void (*started)()) {
  InitEngineForTests();
  RunResult result;
  current = &result;
  stopAt = stopAtPercent;
  shownMessages.clear();

  if (paths.size() == 1) {
    Batch.fileList = MakeFileList(paths[0], {});
  } else {
    // Every test file lives in one folder.
    std::string folder = GetDirectoryPart(paths[0]);
    folder.pop_back();
    std::vector<std::string> names;
    for (const std::string& p : paths) names.push_back(GetFileNamePart(p));
    Batch.fileList = MakeFileList(folder, names);
  }
  Batch.fileCount = CountBatchFiles();
  Batch.currentFile = 1;

  loop = g_main_loop_new(nullptr, FALSE);
  RunFrontEnd frontEnd;
  frontEnd.setCaption = [](const std::string& caption) { current->captions.push_back(caption); };
  // Sounded once the last file completed, before its graph is released.
  frontEnd.playCompletionSound = [] { current->finalPercent = QueryProgressPercent(); };
  frontEnd.endRun = [](RunOutcome) { g_main_loop_quit(loop); };
  SetRunFrontEnd(frontEnd);
  guint poll = g_timeout_add(5, PollProgress, nullptr);
  giveUpTimer = g_timeout_add(static_cast<guint>(timeoutSeconds * 1000), [](gpointer) {
    giveUpTimer = 0;
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
  }, nullptr);

  if (BeginRun()) {
    if (started) started();
    result.progress.push_back(QueryProgressPercent());
    g_main_loop_run(loop);
  }
  result.outcome = CurrentRunOutcome();
  if (result.outcome == RunOutcome::Running) ReleaseConversionGraph();
  if (giveUpTimer) g_source_remove(giveUpTimer);
  giveUpTimer = 0;
  g_source_remove(poll);
  g_main_loop_unref(loop);
  loop = nullptr;
  current = nullptr;
  result.messages = std::exchange(shownMessages, {});
  return result;
}

void EngineTest::Prepare(int mode) {
  if (!mediatest::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are needed to make and judge media";
  InitEngineForTests();
  Settings = AppSettings{};
  Settings.DecodeMode = mode;
  TargetFormat = TargetAudioFormat{};
}

}  // namespace runtest
