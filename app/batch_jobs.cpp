// The parent of a batch's workers: starts them, hands them the files in turn, reads what
// they report and shows it in input order (the lines are described in app/batch_worker.h).
#include "app/batch_jobs.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>

#include <gio/gio.h>
#include <glib-unix.h>

#include "app/batch_worker.h"
#include "common/batch.h"
#include "common/i18n.h"
#include "engine/naming.h"

// A flush that lasts longer than this lets the next file start beside it; a shorter one
// is not worth starting another worker (about 100 ms of plugin loading).
static constexpr unsigned kFlushGraceMs = 150;
static constexpr const char* kCrashCaption = N_("エラー No.601");
static constexpr const char* kCrashText = N_("変換中にエラーが発生しました。\n");

namespace {

enum class JobPhase {
  Waiting,     // not started
  Converting,  // a worker runs its graph
  Flushing,    // its output is complete and on its way to the disk and its name
  Ended,
};

enum class JobResult { None, Converted, Failed, Skipped, Stopped };

struct Job {
  BatchFile file;
  JobPhase phase = JobPhase::Waiting;
  JobResult result = JobResult::None;
  int worker = -1;                 // the worker converting it; -1 none
  bool claimed = false, stopped = false;
  bool named = false;              // its output is under its final name: converted, whatever comes next
  bool mayClaim = false, mayCommit = false;  // the "go"s sent
  std::string finalPath;           // the name it claimed, then the name it got
  int64_t duration = -1;           // 100-ns units; -1 unknown
  int percent = 0;                 // as the worker measures it; -1 no measure
  gint64 flushSince = 0;           // monotonic microseconds
  gint64 startedAt = 0;            // monotonic microseconds; 0 never started
  std::vector<std::pair<std::string, std::string>> messages;
};

struct Worker {
  GSubprocess* process = nullptr;  // owned; nullptr once it has ended
  GDataInputStream* out = nullptr; // its lines
  GOutputStream* in = nullptr;     // our lines; nullptr once closed
  int job = -1;                    // the file in hand; -1 idle
};

struct JobsState {
  std::vector<Job> jobs;
  std::deque<Worker> workers;   // every worker started; a deque keeps them in place
  unsigned limit = 1;           // conversions at once
  bool keepGoing = false;
  std::vector<std::string> workerArgs;
  BatchJobsDisplay display;
  BatchTally* tally = nullptr;
  size_t nextStart = 0;         // first job not started
  size_t claimTurn = 0;         // first job not past choosing its name
  size_t reported = 0;          // jobs shown to the user so far
  bool noMoreStarts = false;    // a failure or an interruption
  bool interrupted = false;
  bool failedShown = false;     // the batch's first failure was shown; nothing more is
  bool running = false;         // started and not yet ended
  bool showing = false;         // results are being shown (a message box may run a loop)
  guint progressTimer = 0;
  void (*pipeHandler)(int) = SIG_DFL;
  RunOutcome outcome = RunOutcome::Running;
};

JobsState state;
pid_t parentPid = 0;

}  // namespace

static void Send(Worker& worker, const std::string& line) {
  if (!worker.in) return;
  std::string text = line + "\n";
  g_output_stream_write_all(worker.in, text.data(), text.size(), nullptr, nullptr, nullptr);
}

static void CloseInput(Worker& worker) {
  if (worker.in) g_output_stream_close(worker.in, nullptr, nullptr);
  g_clear_object(&worker.in);
}

// A worker told to stop that has not ended after this long is killed: one stopped by
// SIGSTOP, or stuck, must not hold up the end of the batch.
static constexpr unsigned kStopGraceMs = 3000;

static void KillStoppedWorkers() {
  for (Worker& worker : state.workers)
    if (worker.process && worker.job >= 0 && state.jobs[worker.job].stopped)
      g_subprocess_send_signal(worker.process, SIGKILL);
}

static void Stop(Job& job) {
  if (job.worker < 0 || job.stopped) return;
  job.stopped = true;
  Worker& worker = state.workers[job.worker];
  CloseInput(worker);
  if (!worker.process) return;
  g_subprocess_send_signal(worker.process, SIGTERM);
  g_subprocess_send_signal(worker.process, SIGCONT);  // a stopped worker acts on it
  g_timeout_add(kStopGraceMs, [](gpointer) {
    if (state.running) KillStoppedWorkers();
    return gboolean{G_SOURCE_REMOVE};
  }, nullptr);
}

static void StopFrom(size_t first) {
  for (size_t i = first; i < state.jobs.size(); ++i) Stop(state.jobs[i]);
}

static void Pump();
static void EndBatch();

static unsigned Number(const Job& job) { return static_cast<unsigned>(&job - state.jobs.data()) + 1; }

static void TellEnded(const Job& job, FileStatus status) {
  if (!state.display.fileEnded) return;
  FileEnd end;
  end.status = status;
  if (status == FileStatus::Converted) end.output = job.finalPath;
  if (status != FileStatus::Skipped) end.messages = job.messages;
  if (job.startedAt) end.seconds = static_cast<double>(g_get_monotonic_time() - job.startedAt) / G_USEC_PER_SEC;
  if (job.duration > 0) end.audioSeconds = static_cast<double>(job.duration) / 1e7;
  state.display.fileEnded(job.file, end);
}

static void EndJob(Job& job, JobResult result) {
  job.phase = JobPhase::Ended;
  job.result = result;
  if (result == JobResult::Converted) TellEnded(job, FileStatus::Converted);
  else if (result == JobResult::Failed) TellEnded(job, FileStatus::Failed);
  else if (result == JobResult::Skipped) TellEnded(job, FileStatus::Skipped);
  if (job.worker >= 0) state.workers[job.worker].job = -1;
  job.worker = -1;
  if (result == JobResult::Failed && !state.keepGoing) {
    // A failure stops every later file; earlier ones finish.
    state.noMoreStarts = true;
    StopFrom(static_cast<size_t>(&job - state.jobs.data()) + 1);
  }
}

static void InterruptBatch() {
  state.interrupted = state.noMoreStarts = true;
  StopFrom(0);
}

static void HandleLine(Job& job, const std::string& line) {
  const size_t space = line.find(' ');
  const std::string word = line.substr(0, space);
  const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  if (word == "name") {
    g_autofree char* path = g_strcompress(rest.c_str());
    job.finalPath = path;
    job.named = job.phase == JobPhase::Flushing;  // a name after the flush is the one it got
    job.claimed = true;
  } else if (word == "start") {
    job.duration = g_ascii_strtoll(rest.c_str(), nullptr, 10);
    if (state.display.fileRunning) state.display.fileRunning(Number(job));
  } else if (word == "progress") {
    job.percent = std::clamp(static_cast<int>(g_ascii_strtoll(rest.c_str(), nullptr, 10)), -1, 100);
    if (state.display.fileProgress) state.display.fileProgress(Number(job), job.percent);
  } else if (word == "status") {
    const size_t tab = rest.find('\t');
    g_autofree char* name = g_strcompress(rest.substr(0, tab).c_str());
    g_autofree char* notice = g_strcompress(tab == std::string::npos ? "" : rest.substr(tab + 1).c_str());
    if (state.display.statusText) state.display.statusText(name, notice);
  } else if (word == "flush") {
    job.phase = JobPhase::Flushing;
    job.percent = 100;
    job.flushSince = g_get_monotonic_time();
    g_timeout_add(kFlushGraceMs + 1, [](gpointer) {
      if (state.running) Pump();
      return gboolean{G_SOURCE_REMOVE};
    }, nullptr);
  } else if (word == "message") {
    const size_t tab = rest.find('\t');
    g_autofree char* caption = g_strcompress(rest.substr(0, tab).c_str());
    g_autofree char* text = g_strcompress(tab == std::string::npos ? "" : rest.substr(tab + 1).c_str());
    job.messages.emplace_back(caption, text);
  } else if (word == "end") {
    const int status = static_cast<int>(g_ascii_strtoll(rest.c_str(), nullptr, 10));
    if (status == 0) {
      EndJob(job, JobResult::Converted);
    } else if (status != 130) {
      EndJob(job, JobResult::Failed);
    } else {
      // Stopped by us, or interrupted from outside (Ctrl-C reaches the whole process
      // group): then so is the batch.
      if (!job.stopped) InterruptBatch();
      EndJob(job, JobResult::Stopped);
    }
  }
}

// A worker that ended in the middle of a file crashed there (a decoder fault): the
// file fails with 601 and its temporary is ours to remove.
static void OnWorkerExited(GObject* source, GAsyncResult* result, gpointer data) {
  Worker& worker = state.workers[GPOINTER_TO_SIZE(data)];
  GSubprocess* process = G_SUBPROCESS(source);
  g_subprocess_wait_finish(process, result, nullptr);
  if (worker.job >= 0) {
    Job& job = state.jobs[worker.job];
    if (job.named) {
      EndJob(job, JobResult::Converted);  // ended between its output's move and its report
    } else if (job.stopped) {
      // Killed after its grace, it could not remove its temporary.
      if (job.claimed && g_subprocess_get_if_signaled(process)) unlink(TemporaryOutputPath(job.finalPath).c_str());
      EndJob(job, JobResult::Stopped);
    } else {
      if (job.claimed) unlink(TemporaryOutputPath(job.finalPath).c_str());
      std::string reason = g_subprocess_get_if_signaled(process)
                               ? g_strsignal(g_subprocess_get_term_sig(process))
                               : "exit status " + std::to_string(g_subprocess_get_exit_status(process));
      job.messages.emplace_back(_(kCrashCaption), _(kCrashText) + reason);
      EndJob(job, JobResult::Failed);
    }
  }
  CloseInput(worker);
  g_clear_object(&worker.out);
  g_clear_object(&worker.process);
  Pump();
}

static void ReadNextLine(size_t index);

static void OnWorkerLine(GObject* source, GAsyncResult* result, gpointer data) {
  const size_t index = GPOINTER_TO_SIZE(data);
  Worker& worker = state.workers[index];
  g_autofree char* line = g_data_input_stream_read_line_finish(G_DATA_INPUT_STREAM(source), result, nullptr, nullptr);
  if (!line) {
    g_subprocess_wait_async(worker.process, nullptr, OnWorkerExited, data);
    return;
  }
  if (worker.job >= 0) HandleLine(state.jobs[worker.job], line);
  Pump();
  ReadNextLine(index);
}

static void ReadNextLine(size_t index) {
  g_data_input_stream_read_line_async(state.workers[index].out, G_PRIORITY_DEFAULT, nullptr, OnWorkerLine,
                                      GSIZE_TO_POINTER(index));
}

// In the worker before it runs: it ends when the parent does, whatever ends the parent.
static void DieWithParent(gpointer) {
  signal(SIGPIPE, SIG_DFL);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parentPid) _exit(130);
}

// A new worker, idle; -1 with the reason when none can be started.
static int StartWorker(std::string* reason) {
  std::vector<const char*> argv = {"/proc/self/exe", "--batch", "--worker"};
  for (const std::string& arg : state.workerArgs) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE));
  g_subprocess_launcher_set_child_setup(launcher, DieWithParent, nullptr, nullptr);
  g_autoptr(GError) error = nullptr;
  GSubprocess* process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
  if (!process) {
    *reason = error->message;
    return -1;
  }
  Worker& worker = state.workers.emplace_back();
  worker.process = process;
  worker.in = G_OUTPUT_STREAM(g_object_ref(g_subprocess_get_stdin_pipe(process)));
  worker.out = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process));
  ReadNextLine(state.workers.size() - 1);
  return static_cast<int>(state.workers.size() - 1);
}

static void StartJob(size_t index, int worker) {
  Job& job = state.jobs[index];
  job.phase = JobPhase::Converting;
  job.startedAt = g_get_monotonic_time();
  job.worker = worker;
  state.workers[worker].job = static_cast<int>(index);
  Send(state.workers[worker], "file " + ProtocolEscaped(job.file.path) + "\t" + ProtocolEscaped(job.file.outputFolder));
  if (state.display.fileBegun) state.display.fileBegun(Number(job));
}

static void ShowJob(Job& job) {
  BatchTally& tally = *state.tally;
  for (const auto& [caption, text] : job.messages) state.display.message(job.file.path, caption, text);
  if (job.result == JobResult::Skipped) {
    ++tally.skipped;
    return;
  }
  if (job.result == JobResult::Converted) {
    ++tally.converted;
    state.display.fileDone(static_cast<unsigned>(&job - state.jobs.data()) + 1,
                           static_cast<unsigned>(state.jobs.size()), job.finalPath);
    return;
  }
  std::string text;
  for (const auto& [caption, message] : job.messages) text += caption + ": " + message + "\n";
  tally.failures.emplace_back(job.file.path, text);
  if (!state.keepGoing) state.failedShown = state.noMoreStarts = true;
}

// Results in input order; after the first failure nothing more is shown, and a file
// stopped before its end shows nothing. A message box shown meanwhile runs the main
// loop: what ends in it is shown after it, by the loop here.
static void ShowEndedJobs() {
  if (state.showing) return;
  state.showing = true;
  std::vector<Job>& jobs = state.jobs;
  while (!state.failedShown && state.reported < jobs.size() && jobs[state.reported].phase == JobPhase::Ended) {
    Job& job = jobs[state.reported++];
    if (job.result != JobResult::Stopped) ShowJob(job);
  }
  state.showing = false;
}

// Starts files while fewer than limit convert. A worker whose file is flushing is busy,
// so one more worker than limit lets a long flush overlap the next file's work; workers
// stay for the next file and go once no file is left to start.
static void StartFiles() {
  std::vector<Job>& jobs = state.jobs;
  unsigned converting = 0, workers = 0;
  const gint64 graceStart = g_get_monotonic_time() - kFlushGraceMs * G_TIME_SPAN_MILLISECOND;
  for (const Job& job : jobs)
    converting += job.phase == JobPhase::Converting ||
                  (job.phase == JobPhase::Flushing && (state.limit == 1 || job.flushSince > graceStart));
  for (const Worker& worker : state.workers) workers += worker.process != nullptr;
  while (!state.noMoreStarts && state.nextStart < jobs.size() && converting < state.limit) {
    int idle = -1;
    for (size_t w = 0; w < state.workers.size() && idle < 0; ++w)
      if (state.workers[w].process && state.workers[w].in && state.workers[w].job < 0) idle = static_cast<int>(w);
    Job& next = jobs[state.nextStart];
    if (!next.file.failCaption.empty()) {
      ++state.nextStart;
      next.startedAt = g_get_monotonic_time();
      next.messages.emplace_back(next.file.failCaption, next.file.failText);
      EndJob(next, JobResult::Failed);
      continue;
    }
    if (state.display.skip && state.display.skip(next.file)) {
      ++state.nextStart;
      EndJob(next, JobResult::Skipped);
      continue;
    }
    std::string reason;
    if (idle < 0 && workers >= state.limit + 1) break;
    if (idle < 0 && (idle = StartWorker(&reason)) < 0) {
      Job& job = jobs[state.nextStart++];
      job.messages.emplace_back(_(kCrashCaption), _(kCrashText) + reason);
      EndJob(job, JobResult::Failed);
      continue;
    }
    if (idle >= static_cast<int>(workers)) ++workers;
    StartJob(state.nextStart++, idle);
    ++converting;
  }
  if (state.noMoreStarts || state.nextStart == jobs.size())
    for (Worker& worker : state.workers)
      if (worker.job < 0) CloseInput(worker);
}

// Everything that waits on the order of the files moves as far as it can.
static void Pump() {
  std::vector<Job>& jobs = state.jobs;
  const size_t n = jobs.size();

  ShowEndedJobs();
  StartFiles();
  // Names are chosen in input order: a file claims once every earlier one has. The
  // "go" is sent ahead, so that a worker finds it waiting.
  while (state.claimTurn < n && (jobs[state.claimTurn].claimed || jobs[state.claimTurn].phase == JobPhase::Ended))
    ++state.claimTurn;
  if (state.claimTurn < n && jobs[state.claimTurn].worker >= 0 && !jobs[state.claimTurn].mayClaim) {
    std::string go = "go";
    for (const Job& other : jobs)
      if (other.claimed && other.phase != JobPhase::Ended) go += "\t" + ProtocolEscaped(other.finalPath);
    jobs[state.claimTurn].mayClaim = true;
    Send(state.workers[jobs[state.claimTurn].worker], go);
  }

  // Outputs take their names in input order unless the batch goes on past failures:
  // a later file never bears a final name where a sequential run stops before it.
  for (Job& job : jobs) {
    if (job.worker >= 0 && job.mayClaim && !job.mayCommit) {
      job.mayCommit = true;
      Send(state.workers[job.worker], "go");
    }
    if (!state.keepGoing && job.result != JobResult::Converted && job.result != JobResult::Skipped) break;
  }

  ShowEndedJobs();  // a file no worker could take fails in its turn like any other

  if (!state.showing &&
      std::none_of(state.workers.begin(), state.workers.end(), [](const Worker& w) { return w.process; }))
    EndBatch();
}

static gboolean OnProgressTick(gpointer) {
  unsigned done = 0;
  std::vector<std::string> inFlight;
  double known = 0;
  int knownCount = 0;
  for (const Job& job : state.jobs) {
    if (job.duration > 0) {
      known += static_cast<double>(job.duration);
      ++knownCount;
    }
  }
  // Files whose length is not known yet count as long as the average known one.
  const double unknownWeight = knownCount ? known / knownCount : 1.0;
  double total = 0, weighted = 0;
  for (const Job& job : state.jobs) {
    const double weight = job.duration > 0 ? static_cast<double>(job.duration) : unknownWeight;
    total += weight;
    if (job.result == JobResult::Converted || job.result == JobResult::Skipped) {
      ++done;
      weighted += weight;
    } else if (job.result == JobResult::Failed) {
      ++done;  // as the line after it counts it
    } else if (job.phase == JobPhase::Converting || job.phase == JobPhase::Flushing) {
      weighted += weight * std::max(job.percent, 0) / 100;
      inFlight.push_back(GetFileNamePart(job.claimed ? job.finalPath : job.file.path));
    }
  }
  state.display.progress(done, static_cast<unsigned>(state.jobs.size()), inFlight,
                         total > 0 ? static_cast<int>(weighted * 100 / total) : 0);
  return G_SOURCE_CONTINUE;
}

void StopBatchJobs() {
  if (!state.running) return;
  InterruptBatch();
  Pump();
}

static gboolean OnInterrupt(gpointer) {
  StopBatchJobs();
  return G_SOURCE_CONTINUE;
}

void StartBatchJobs(const std::vector<BatchFile>& files, unsigned jobs, bool keepGoing,
                    const std::vector<std::string>& workerArgs, const BatchJobsDisplay& display,
                    BatchTally* tally) {
  state = JobsState{};
  state.jobs.resize(files.size());
  for (size_t i = 0; i < files.size(); ++i) state.jobs[i].file = files[i];
  state.limit = std::max(1u, jobs);
  state.keepGoing = keepGoing;
  state.workerArgs = workerArgs;
  state.display = display;
  state.tally = tally;
  state.running = true;
  parentPid = getpid();
  state.pipeHandler = signal(SIGPIPE, SIG_IGN);  // a worker gone before our answer is seen at its end
  if (display.progress) state.progressTimer = g_timeout_add(kProgressIntervalMs, OnProgressTick, nullptr);
  Pump();
}

// Every worker has gone: what became of the files is told, and the batch is over.
static void EndBatch() {
  if (!state.running) return;
  state.running = false;
  if (state.progressTimer) g_source_remove(state.progressTimer);
  state.progressTimer = 0;
  for (const Job& job : state.jobs)
    if (job.phase != JobPhase::Ended || job.result == JobResult::Stopped) TellEnded(job, FileStatus::Skipped);
  signal(SIGPIPE, state.pipeHandler);
  state.outcome = state.interrupted ? RunOutcome::Closed
                  : state.tally->failures.empty() ? RunOutcome::Finished
                                                  : RunOutcome::Failed;
  if (state.display.ended) state.display.ended(state.outcome);
}

static GMainLoop* blockingLoop = nullptr;  // RunBatchJobs's

RunOutcome RunBatchJobs(const std::vector<BatchFile>& files, unsigned jobs, bool keepGoing,
                        const std::vector<std::string>& workerArgs, const BatchJobsDisplay& display,
                        BatchTally* tally) {
  blockingLoop = g_main_loop_new(nullptr, FALSE);
  guint sources[std::size(kInterruptSignals)];
  for (size_t i = 0; i < std::size(kInterruptSignals); ++i)
    sources[i] = g_unix_signal_add(kInterruptSignals[i], OnInterrupt, nullptr);

  BatchJobsDisplay untilEnded = display;
  untilEnded.ended = [](RunOutcome) { g_main_loop_quit(blockingLoop); };
  StartBatchJobs(files, jobs, keepGoing, workerArgs, untilEnded, tally);
  if (state.running) g_main_loop_run(blockingLoop);

  for (guint source : sources) g_source_remove(source);
  g_main_loop_unref(blockingLoop);
  blockingLoop = nullptr;
  state.workers.clear();
  return state.outcome;
}
