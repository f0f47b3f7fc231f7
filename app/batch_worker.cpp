// The worker of a batch: converts the files its parent hands it, one at a time, and tells
// the parent how each goes (the lines are described in app/batch_worker.h).
#include "app/batch_worker.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <glib-unix.h>
#include <glib.h>

#include "app/batch_records.h"
#include "app/run.h"
#include "common/batch.h"
#include "common/error_box.h"
#include "common/status_text.h"
#include "engine/graph.h"
#include "engine/naming.h"

static int protocolFd = -1;  // the parent's pipe; standard output goes to standard error

static void Tell(const std::string& line) {
  std::string text = line + "\n";
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(protocolFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string ProtocolEscaped(const std::string& text) {
  g_autofree char* escaped = g_strescape(text.c_str(), nullptr);
  return escaped;
}

// One line from the parent; false at the end of its pipe.
static bool ReadCommand(std::string* line) {
  line->clear();
  for (char c;;) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    *line += c;
  }
}

// Blocks until the parent says "go", and gives what follows it. Anything else means
// stop: the output, if any, is removed and the worker ends at once.
static std::string AwaitTurn(const std::string& finalPath) {
  std::string line;
  if (ReadCommand(&line) && (line == "go" || line.starts_with("go\t"))) return line.substr(2);
  if (!finalPath.empty()) unlink(TemporaryOutputPath(finalPath).c_str());
  _exit(130);
}

// The names other workers hold are unnamed files: nothing on the disk says they are taken.
static void AwaitClaimTurn() {
  std::vector<std::string> held;
  g_auto(GStrv) fields = g_strsplit(AwaitTurn("").c_str(), "\t", -1);
  for (char** field = fields; *field; ++field) {
    g_autofree char* name = g_strcompress(*field);
    if (*name) held.emplace_back(name);
  }
  SetNamesHeldElsewhere(std::move(held));
}

static bool recordOutputs = true;
static std::string toldStatus;  // the status lines last told for the file in hand

static void TellStatusIfChanged() {
  std::string status;
  {
    std::lock_guard lock(StatusLock);
    status = ProtocolEscaped(StatusFileName) + "\t" + ProtocolEscaped(StatusNotice);
  }
  if (status != toldStatus) Tell("status " + status);
  toldStatus = status;
}

static void OnWorkerOutputStep(OutputStep step, const std::string& finalPath) {
  switch (step) {
    case OutputStep::BeforeClaim: AwaitClaimTurn(); break;
    case OutputStep::Claimed: Tell("name " + ProtocolEscaped(finalPath)); break;
    case OutputStep::BeforeFlush:
      if (recordOutputs) RecordOutput(GetBatchFile(1), OutputWritePath(finalPath), finalPath);
      Tell("flush");
      break;
    case OutputStep::BeforeMove: AwaitTurn(finalPath); break;
    case OutputStep::Moved:
      if (recordOutputs) RecordNamedOutput(GetBatchFile(1), finalPath);
      Tell("name " + ProtocolEscaped(finalPath));
      TellStatusIfChanged();  // a name taken meanwhile gave it another number
      break;
  }
}

static void TellMessage(const std::string& caption, const std::string& text) {
  Tell("message " + ProtocolEscaped(caption) + "\t" + ProtocolEscaped(text));
}

static GMainLoop* workerLoop = nullptr;
static guint workerTimer = 0;
static int workerPercent = -2;

static gboolean OnWorkerTick(gpointer) {
  int percent = QueryProgressPercent();
  if (percent != workerPercent) Tell("progress " + std::to_string(percent));
  workerPercent = percent;
  TellStatusIfChanged();
  return G_SOURCE_CONTINUE;
}

static void OnWorkerStarted() {
  workerPercent = QueryProgressPercent();
  Tell("progress " + std::to_string(workerPercent));
  Tell("start " + std::to_string(ConversionGraph.duration));
  TellStatusIfChanged();
  workerTimer = g_timeout_add(kProgressIntervalMs, OnWorkerTick, nullptr);
}

static void OnWorkerEnded(RunOutcome) {
  if (workerTimer) g_source_remove(workerTimer);
  workerTimer = 0;
  g_main_loop_quit(workerLoop);
}

static bool workerInterrupted = false;

static gboolean OnWorkerInterrupt(gpointer) {
  workerInterrupted = true;
  if (CurrentRunOutcome() == RunOutcome::Running) CloseRun();
  return G_SOURCE_CONTINUE;
}

// Stopped while the file's decoders are being set up: the file ends as stopped.
static void EndWorkerInWait() {
  if (CurrentRunOutcome() == RunOutcome::Running) CloseRun();
  Tell("end 130");
  _exit(130);
}

static std::string workerFolder;  // the output folder of the file in hand

static std::string WorkerOutputFolder(const std::string&) { return workerFolder; }

int RunBatchWorker(bool records) {
  recordOutputs = records;
  protocolFd = dup(STDOUT_FILENO);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  SetOutputFolderRule(WorkerOutputFolder);
  SetOutputStepHook(OnWorkerOutputStep);
  SetErrorBoxHandler(TellMessage);

  workerLoop = g_main_loop_new(nullptr, FALSE);
  RunFrontEnd frontEnd;
  frontEnd.startAnimation = OnWorkerStarted;
  frontEnd.endRun = OnWorkerEnded;
  SetRunFrontEnd(frontEnd);
  guint sources[std::size(kInterruptSignals)];
  for (size_t i = 0; i < std::size(kInterruptSignals); ++i)
    sources[i] = g_unix_signal_add(kInterruptSignals[i], OnWorkerInterrupt, nullptr);
  EndOnSignalsDuringWaits(EndWorkerInWait);

  int status = 0;
  for (std::string command; status != 130 && !workerInterrupted && ReadCommand(&command);) {
    if (!command.starts_with("file ")) continue;
    const size_t tab = command.find('\t');
    g_autofree char* path = g_strcompress(command.substr(5, tab - 5).c_str());
    g_autofree char* folder = g_strcompress(tab == std::string::npos ? "" : command.substr(tab + 1).c_str());
    workerFolder = folder;
    Batch.fileList = MakeFileList(path, {});
    Batch.fileCount = 1;
    Batch.currentFile = 1;
    workerPercent = -2;
    toldStatus = "\n";  // no status looks so: the first of each file is told
    if (BeginRun()) g_main_loop_run(workerLoop);
    switch (CurrentRunOutcome()) {
      case RunOutcome::Finished: status = 0; break;
      case RunOutcome::Closed: status = 130; break;
      default: status = 1; break;
    }
    Tell("end " + std::to_string(status));
  }

  for (guint source : sources) g_source_remove(source);
  g_main_loop_unref(workerLoop);
  workerLoop = nullptr;
  return status == 130 || workerInterrupted ? 130 : 0;
}
