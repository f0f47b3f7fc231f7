#include "app/run.h"

#include <signal.h>

#include <iterator>

#include "common/app_settings.h"
#include "common/batch.h"
#include "common/error_box.h"
#include "common/i18n.h"
#include "common/status_text.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "media/media.h"

std::atomic<bool> AnimationPaused{false};
std::atomic<bool> StopAnimation{false};

static RunFrontEnd frontEnd;
static RunOutcome outcome = RunOutcome::Running;
static bool animationStarted = false;
static bool anyFailed = false;  // a file failed and the front end let the run go on

template <typename Hook, typename... Args>
static void Call(Hook hook, Args&&... args) {
  if (hook) hook(std::forward<Args>(args)...);
}

static void EndRun(RunOutcome result) {
  outcome = result;
  Call(frontEnd.endRun, result);
}

void SetRunFrontEnd(const RunFrontEnd& handed) {
  frontEnd = handed;
  SetGraphEventHandlers(OnFileFinished, OnFileFailed);
}

RunOutcome CurrentRunOutcome() { return outcome; }

bool BeginRun() {
  outcome = RunOutcome::Running;
  animationStarted = false;
  anyFailed = false;
  AnimationPaused = false;
  StopAnimation = false;
  if (!StartCurrentFile()) return false;
  animationStarted = true;
  Call(frontEnd.startAnimation);
  return true;
}

// A failed file ends the run, unless the front end goes on with the next one.
static bool GoOnAfterFailure() {
  anyFailed = true;
  if (!frontEnd.fileFailed || !frontEnd.fileFailed() || Batch.currentFile >= Batch.fileCount) {
    EndRun(RunOutcome::Failed);
    return false;
  }
  ++Batch.currentFile;
  return true;
}

bool StartCurrentFile() {
  for (;;) {
    const std::string path = GetBatchFile(Batch.currentFile);
    bool running = false;
    switch (Settings.DecodeMode) {
      case kModeWav: running = ConvertToWav(path); break;
      case kModeMp3: running = ConvertToMp3(path); break;
      case kModeWma: running = ConvertToWma(path, static_cast<uint32_t>(Settings.WmaFormat)); break;
      case kModeExtract: running = ExtractAsIs(path); break;
      case kModeFlac:
      case kModeOpus:
      case kModeVorbis:
      case kModeAac: running = ConvertToEncoded(path, Settings.DecodeMode); break;
    }
    if (running) return true;
    ReleaseConversionGraph();
    if (!GoOnAfterFailure()) return false;
  }
}

void OnFileFinished() {
  AnimationPaused = true;
  const uint32_t finished = Batch.currentFile++;
  if (Batch.currentFile <= Batch.fileCount) {
    Call(frontEnd.setCaption, FormatFileDoneCaption(Settings.DecodeMode, finished, Batch.fileCount));
    Call(frontEnd.paintStatus, 100);
    ReleaseConversionGraph();
    if (!StartCurrentFile()) return;
    AnimationPaused = false;
    return;
  }

  // The last file is done.
  if (animationStarted) {
    Call(frontEnd.paintStatus, 100);
    StopAnimation = true;
    Call(frontEnd.stopAnimation);
  }
  Call(frontEnd.setCaption, FormatFinishedCaption(Settings.DecodeMode));
  Call(frontEnd.playCompletionSound);
  SaveAndRelease();
  EndRun(anyFailed ? RunOutcome::Failed : RunOutcome::Finished);
}

void OnFileFailed(const std::string& errorText) {
  AnimationPaused = true;
  ShowErrorBox(_("エラー No.601"), _("変換中にエラーが発生しました。\n") + errorText);
  ReleaseConversionGraph();
  if (GoOnAfterFailure() && StartCurrentFile()) AnimationPaused = false;
}

void SaveAndRelease() {
  Call(frontEnd.saveWindowPosition);
  ReleaseConversionGraph();
}

void CloseRun() {
  AnimationPaused = true;
  SaveAndRelease();
  EndRun(RunOutcome::Closed);
}

static constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};
static struct sigaction mainLoopHandlers[std::size(kTerminationSignals)];
static volatile sig_atomic_t signalPending = 0;
static void (*endDuringWait)() = nullptr;

static void OnTerminationSignal(int signal) {
  signalPending = 1;
  for (size_t i = 0; i < std::size(kTerminationSignals); ++i)
    if (kTerminationSignals[i] == signal && !(mainLoopHandlers[i].sa_flags & SA_SIGINFO) &&
        mainLoopHandlers[i].sa_handler != SIG_DFL && mainLoopHandlers[i].sa_handler != SIG_IGN)
      mainLoopHandlers[i].sa_handler(signal);
}

static void OnMediaWait() {
  if (signalPending && endDuringWait) endDuringWait();
}

void EndOnSignalsDuringWaits(void (*end)()) {
  endDuringWait = end;
  signalPending = 0;
  for (size_t i = 0; i < std::size(kTerminationSignals); ++i) {
    struct sigaction ours = {}, current = {};
    ours.sa_handler = OnTerminationSignal;
    ours.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&ours.sa_mask);
    sigaction(kTerminationSignals[i], nullptr, &current);
    if (current.sa_handler == OnTerminationSignal) continue;  // installed by an earlier call
    sigaction(kTerminationSignals[i], &ours, &mainLoopHandlers[i]);
  }
  SetWaitHook(OnMediaWait);
}
