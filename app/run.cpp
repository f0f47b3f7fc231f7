#include "app/run.h"

#include <signal.h>

#include <algorithm>
#include <iterator>

#include "app/batch_jobs.h"
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
static bool inWorkers = false;  // the files are converted by a worker process
static bool closing = false;    // a run in workers was closed; its worker is stopping

static void FinishRun();

template <typename Hook, typename... Args>
static void Call(Hook hook, Args&&... args) {
  if (hook) hook(std::forward<Args>(args)...);
}

static void EndRun(RunOutcome result) {
  outcome = result;
  inWorkers = closing = false;  // a run in workers ends once its worker has gone
  Call(frontEnd.endRun, result);
}

void SetRunFrontEnd(const RunFrontEnd& handed) {
  frontEnd = handed;
  SetGraphEventHandlers(OnFileFinished, OnFileFailed);
}

RunOutcome CurrentRunOutcome() { return outcome; }

static void ResetRun(bool workers) {
  outcome = RunOutcome::Running;
  animationStarted = false;
  anyFailed = false;
  inWorkers = workers;
  closing = false;
  AnimationPaused = false;
  StopAnimation = false;
}

bool BeginRun() {
  ResetRun(false);
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

  FinishRun();
}

// The last file is done.
static void FinishRun() {
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
  if (closing) return;
  AnimationPaused = true;
  SaveAndRelease();
  if (inWorkers) {
    closing = true;
    StopBatchJobs();
    return;
  }
  EndRun(RunOutcome::Closed);
}

// ---------------------------------------------------------------------------
// The run in a worker process: the worker's reports drive the same sequence as the
// graph's events do above.

static uint32_t firstWorkerFile = 1;  // Batch's number of the worker batch's first file
static int workerPercent = -1;        // of the file in hand
static BatchTally workerTally;

static uint32_t BatchNumber(unsigned i) { return firstWorkerFile + i - 1; }

int CurrentFilePercent() { return inWorkers ? workerPercent : QueryProgressPercent(); }

static void OnWorkerFileBegun(unsigned i) {
  Batch.currentFile = BatchNumber(i);  // the file a message box names
  workerPercent = -1;
}

static void OnWorkerFileRunning(unsigned) {
  if (animationStarted) {
    AnimationPaused = false;
    return;
  }
  animationStarted = true;
  Call(frontEnd.startAnimation);
}

static void OnWorkerFileProgress(unsigned, int percent) { workerPercent = percent; }

static void OnWorkerStatusText(const std::string& fileName, const std::string& notice) {
  std::lock_guard lock(StatusLock);
  StatusFileName = fileName;
  StatusNotice = notice;
}

static void OnWorkerFileEnded(const BatchFile&, const FileEnd&) { AnimationPaused = true; }

static void OnWorkerFileDone(unsigned i, unsigned, const std::string&) {
  if (BatchNumber(i) >= Batch.fileCount) return;  // the finish follows once the worker has gone
  Call(frontEnd.setCaption, FormatFileDoneCaption(Settings.DecodeMode, BatchNumber(i), Batch.fileCount));
  Call(frontEnd.paintStatus, 100);
}

static void OnWorkerMessage(const std::string&, const std::string& caption, const std::string& text) {
  ShowErrorBox(caption, text);
}

static void OnWorkerRunEnded(RunOutcome result) {
  if (closing) {
    EndRun(RunOutcome::Closed);
  } else if (result == RunOutcome::Finished) {
    FinishRun();
  } else if (result == RunOutcome::Closed) {
    // The worker was interrupted from outside (Ctrl-C reaches the whole process group):
    // the run ends as if the window had been closed.
    AnimationPaused = true;
    SaveAndRelease();
    EndRun(RunOutcome::Closed);
  } else {
    EndRun(RunOutcome::Failed);
  }
}

void BeginRunInWorkers(const std::vector<std::string>& workerArgs) {
  ResetRun(true);
  workerPercent = -1;
  firstWorkerFile = std::max<uint32_t>(Batch.currentFile, 1);
  std::vector<BatchFile> files;
  for (uint32_t n = firstWorkerFile; n <= Batch.fileCount; ++n) files.emplace_back().path = GetBatchFile(n);
  BatchJobsDisplay display;
  display.message = OnWorkerMessage;
  display.fileDone = OnWorkerFileDone;
  display.fileEnded = OnWorkerFileEnded;
  display.fileBegun = OnWorkerFileBegun;
  display.fileRunning = OnWorkerFileRunning;
  display.fileProgress = OnWorkerFileProgress;
  display.statusText = OnWorkerStatusText;
  display.ended = OnWorkerRunEnded;
  workerTally = BatchTally{};
  StartBatchJobs(files, 1, false, workerArgs, display, &workerTally);
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
