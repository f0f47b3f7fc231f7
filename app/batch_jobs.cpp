// Worker processes for a batch: one per file in flight.
//
// The worker tells the parent, one line each on its standard output:
//   claim            wants to choose its output name; waits for "go"
//   name PATH        has claimed PATH (escaped)
//   start DURATION   its graph runs; the source lasts DURATION (100-ns units)
//   progress P       P percent of its output written
//   flush            its output is complete and goes to the disk
//   commit           flushed; waits for "go" before bringing it under its name
//   message CAPTION\tTEXT   a message for the user (both escaped)
// and ends with status 0 (converted), 1 (failed) or 130 (stopped). The parent answers
// "go" on the worker's standard input, in input order; closing that pipe, or SIGTERM,
// stops the worker, which removes its temporary.
#include "app/batch_jobs.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#include <gio/gio.h>
#include <glib-unix.h>

#include "common/batch.h"
#include "common/error_box.h"
#include "common/status_text.h"
#include "engine/graph.h"
#include "engine/naming.h"

static constexpr unsigned kProgressIntervalMs = 150;
static constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
static constexpr const char* kCrashCaption = "エラー No.601";
static constexpr const char* kCrashText = "変換中にエラーが発生しました。\n";

// ---------------------------------------------------------------------------
// The worker

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

static std::string Escaped(const std::string& text) {
  g_autofree char* escaped = g_strescape(text.c_str(), nullptr);
  return escaped;
}

// Blocks until the parent says "go". Anything else means stop: the output, if any, is
// removed and the worker ends at once.
static void AwaitTurn(const std::string& finalPath) {
  std::string line;
  char c;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  if (line == "go") return;
  if (!finalPath.empty()) unlink(TemporaryOutputPath(finalPath).c_str());
  _exit(130);
}

static void OnWorkerOutputStep(OutputStep step, const std::string& finalPath) {
  switch (step) {
    case OutputStep::BeforeClaim:
      Tell("claim");
      AwaitTurn("");
      break;
    case OutputStep::Claimed: Tell("name " + Escaped(finalPath)); break;
    case OutputStep::BeforeFlush: Tell("flush"); break;
    case OutputStep::BeforeMove:
      Tell("commit");
      AwaitTurn(finalPath);
      break;
  }
}

static void TellMessage(const std::string& caption, const std::string& text) {
  Tell("message " + Escaped(caption) + "\t" + Escaped(text));
}

static GMainLoop* workerLoop = nullptr;
static guint workerTimer = 0;
static int workerPercent = -2;

static gboolean OnWorkerTick(gpointer) {
  int percent = QueryProgressPercent();
  if (percent != workerPercent) Tell("progress " + std::to_string(percent));
  workerPercent = percent;
  return G_SOURCE_CONTINUE;
}

static void OnWorkerStarted() {
  Tell("start " + std::to_string(ConversionGraph.duration));
  workerTimer = g_timeout_add(kProgressIntervalMs, OnWorkerTick, nullptr);
}

static void OnWorkerEnded(RunOutcome) {
  if (workerTimer) g_source_remove(workerTimer);
  workerTimer = 0;
  g_main_loop_quit(workerLoop);
}

static gboolean OnWorkerInterrupt(gpointer) {
  if (CurrentRunOutcome() == RunOutcome::Running) CloseRun();
  return G_SOURCE_CONTINUE;
}

int RunBatchWorker(const std::string& outputFolder) {
  protocolFd = dup(STDOUT_FILENO);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  static std::string folder;
  folder = outputFolder;
  if (!folder.empty()) SetOutputFolderRule([](const std::string&) { return folder; });
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

  if (BeginRun()) g_main_loop_run(workerLoop);

  for (guint source : sources) g_source_remove(source);
  g_main_loop_unref(workerLoop);
  workerLoop = nullptr;
  switch (CurrentRunOutcome()) {
    case RunOutcome::Finished: return 0;
    case RunOutcome::Closed: return 130;
    default: return 1;
  }
}

// ---------------------------------------------------------------------------
// The parent

namespace {

enum class JobPhase {
  Waiting,     // not started
  Converting,  // its worker runs the graph
  Flushing,    // its output is complete and on its way to the disk and its name
  Ended,       // its worker has ended
};

enum class JobResult { None, Converted, Failed, Stopped };

struct Job {
  BatchFile file;
  JobPhase phase = JobPhase::Waiting;
  JobResult result = JobResult::None;
  GSubprocess* process = nullptr;  // owned; set while it runs
  GDataInputStream* out = nullptr; // the worker's lines
  GOutputStream* in = nullptr;     // our answers; nullptr once closed
  bool wantsClaim = false, claimed = false, wantsCommit = false, stopSent = false;
  std::string finalPath;           // the name it claimed
  int64_t duration = -1;           // 100-ns units; -1 unknown
  int percent = 0;
  std::vector<std::pair<std::string, std::string>> messages;
};

struct JobsState {
  std::vector<Job> jobs;
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
  GMainLoop* loop = nullptr;
};

JobsState state;
pid_t parentPid = 0;

}  // namespace

static void Answer(Job& job, const char* line) {
  if (!job.in) return;
  g_output_stream_write_all(job.in, line, strlen(line), nullptr, nullptr, nullptr);
}

static void Stop(Job& job) {
  if (job.phase == JobPhase::Waiting || job.phase == JobPhase::Ended || job.stopSent) return;
  job.stopSent = true;
  if (job.in) g_output_stream_close(job.in, nullptr, nullptr);
  g_clear_object(&job.in);
  g_subprocess_send_signal(job.process, SIGTERM);
}

static void StopAfter(size_t first) {
  for (size_t i = first; i < state.jobs.size(); ++i) Stop(state.jobs[i]);
}

static void Pump();

static void HandleLine(Job& job, const std::string& line) {
  const size_t space = line.find(' ');
  const std::string word = line.substr(0, space);
  const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  if (word == "claim") {
    job.wantsClaim = true;
  } else if (word == "name") {
    g_autofree char* path = g_strcompress(rest.c_str());
    job.finalPath = path;
    job.claimed = true;
  } else if (word == "start") {
    job.duration = g_ascii_strtoll(rest.c_str(), nullptr, 10);
  } else if (word == "progress") {
    job.percent = std::clamp(static_cast<int>(g_ascii_strtoll(rest.c_str(), nullptr, 10)), 0, 100);
  } else if (word == "flush") {
    job.phase = JobPhase::Flushing;
    job.percent = 100;
  } else if (word == "commit") {
    job.wantsCommit = true;
  } else if (word == "message") {
    const size_t tab = rest.find('\t');
    g_autofree char* caption = g_strcompress(rest.substr(0, tab).c_str());
    g_autofree char* text = g_strcompress(tab == std::string::npos ? "" : rest.substr(tab + 1).c_str());
    job.messages.emplace_back(caption, text);
  }
}

static void OnWorkerExited(GObject* source, GAsyncResult* result, gpointer data) {
  Job& job = state.jobs[GPOINTER_TO_SIZE(data)];
  GSubprocess* process = G_SUBPROCESS(source);
  g_subprocess_wait_finish(process, result, nullptr);
  const bool exited = g_subprocess_get_if_exited(process);
  const int status = exited ? g_subprocess_get_exit_status(process) : -1;
  if (exited && status == 0) {
    job.result = JobResult::Converted;
  } else if (job.stopSent) {
    job.result = JobResult::Stopped;
  } else if (exited && status == 130) {
    // Interrupted from outside (Ctrl-C reaches the whole process group): so is the batch.
    job.result = JobResult::Stopped;
    state.interrupted = state.noMoreStarts = true;
    StopAfter(0);
  } else {
    job.result = JobResult::Failed;
    if (!exited || status != 1 || job.messages.empty()) {
      // The worker crashed (a decoder fault): its temporary is ours to remove.
      if (job.claimed) unlink(TemporaryOutputPath(job.finalPath).c_str());
      std::string reason = g_subprocess_get_if_signaled(process)
                               ? g_strsignal(g_subprocess_get_term_sig(process))
                               : "exit status " + std::to_string(status);
      job.messages.emplace_back(kCrashCaption, kCrashText + reason);
    }
  }
  job.phase = JobPhase::Ended;
  g_clear_object(&job.in);
  g_clear_object(&job.out);
  g_clear_object(&job.process);
  // A failure stops every later file; earlier ones finish.
  if (job.result == JobResult::Failed && !state.keepGoing) {
    state.noMoreStarts = true;
    StopAfter(static_cast<size_t>(&job - state.jobs.data()) + 1);
  }
  Pump();
}

static void ReadNextLine(size_t index);

static void OnWorkerLine(GObject* source, GAsyncResult* result, gpointer data) {
  const size_t index = GPOINTER_TO_SIZE(data);
  Job& job = state.jobs[index];
  g_autofree char* line = g_data_input_stream_read_line_finish(G_DATA_INPUT_STREAM(source), result, nullptr, nullptr);
  if (!line) {
    g_subprocess_wait_async(job.process, nullptr, OnWorkerExited, data);
    return;
  }
  HandleLine(job, line);
  Pump();
  ReadNextLine(index);
}

static void ReadNextLine(size_t index) {
  g_data_input_stream_read_line_async(state.jobs[index].out, G_PRIORITY_DEFAULT, nullptr, OnWorkerLine,
                                      GSIZE_TO_POINTER(index));
}

// In the worker before it runs: it ends when the parent does, whatever ends the parent.
static void DieWithParent(gpointer) {
  signal(SIGPIPE, SIG_DFL);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parentPid) _exit(130);
}

static bool StartJob(size_t index) {
  Job& job = state.jobs[index];
  std::vector<const char*> argv = {"/proc/self/exe", "--batch", "--worker"};
  for (const std::string& arg : state.workerArgs) argv.push_back(arg.c_str());
  if (!job.file.outputFolder.empty()) {
    argv.push_back("--worker-folder");
    argv.push_back(job.file.outputFolder.c_str());
  }
  argv.push_back("--");
  argv.push_back(job.file.path.c_str());
  argv.push_back(nullptr);

  g_autoptr(GSubprocessLauncher) launcher =
      g_subprocess_launcher_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE));
  g_subprocess_launcher_set_child_setup(launcher, DieWithParent, nullptr, nullptr);
  g_autoptr(GError) error = nullptr;
  job.process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
  if (!job.process) {
    job.phase = JobPhase::Ended;
    job.result = JobResult::Failed;
    job.messages.emplace_back(kCrashCaption, kCrashText + std::string(error->message));
    return false;
  }
  job.phase = JobPhase::Converting;
  job.in = G_OUTPUT_STREAM(g_object_ref(g_subprocess_get_stdin_pipe(job.process)));
  job.out = g_data_input_stream_new(g_subprocess_get_stdout_pipe(job.process));
  ReadNextLine(index);
  return true;
}

static void ShowJob(Job& job) {
  BatchTally& tally = *state.tally;
  for (const auto& [caption, text] : job.messages) state.display.message(caption, text);
  if (job.result == JobResult::Converted) {
    ++tally.converted;
    state.display.fileDone(static_cast<unsigned>(&job - state.jobs.data()) + 1,
                           static_cast<unsigned>(state.jobs.size()), job.finalPath);
    return;
  }
  std::string text;
  for (const auto& [caption, message] : job.messages) text += caption + ": " + message + "\n";
  tally.failures.emplace_back(job.file.path, text);
  if (!state.keepGoing) state.failedShown = true;
}

// Results in input order; after the first failure nothing more is shown, and a file
// stopped before its end shows nothing.
static void ShowEndedJobs() {
  std::vector<Job>& jobs = state.jobs;
  for (; !state.failedShown && state.reported < jobs.size() && jobs[state.reported].phase == JobPhase::Ended;
       ++state.reported)
    if (jobs[state.reported].result != JobResult::Stopped) ShowJob(jobs[state.reported]);
}

// Everything that waits on the order of the files moves as far as it can.
static void Pump() {
  std::vector<Job>& jobs = state.jobs;
  const size_t n = jobs.size();

  // Names are chosen in input order: a file claims once every earlier one has.
  while (state.claimTurn < n && (jobs[state.claimTurn].claimed || jobs[state.claimTurn].phase == JobPhase::Ended))
    ++state.claimTurn;
  if (state.claimTurn < n && jobs[state.claimTurn].wantsClaim) {
    jobs[state.claimTurn].wantsClaim = false;
    Answer(jobs[state.claimTurn], "go\n");
  }

  // Outputs take their names in input order unless the batch goes on past failures:
  // a later file never bears a final name where a sequential run stops before it.
  for (size_t i = 0; i < n; ++i) {
    Job& job = jobs[i];
    if (job.wantsCommit) {
      job.wantsCommit = false;
      Answer(job, "go\n");
    }
    if (!state.keepGoing && job.result != JobResult::Converted) break;
  }

  ShowEndedJobs();

  unsigned converting = 0, live = 0;
  for (const Job& job : jobs) {
    converting += job.phase == JobPhase::Converting;
    live += job.phase == JobPhase::Converting || job.phase == JobPhase::Flushing;
  }
  // A worker flushing its output leaves its place to the next file; at most one does.
  while (!state.noMoreStarts && state.nextStart < n && converting < state.limit && live < state.limit + 1) {
    if (StartJob(state.nextStart++)) {
      ++converting;
      ++live;
    }
  }
  ShowEndedJobs();  // a worker that could not start fails in its turn like any other
  if (state.failedShown) state.noMoreStarts = true;

  if (live == 0 && (state.noMoreStarts || state.nextStart == n)) g_main_loop_quit(state.loop);
}

static gboolean OnProgressTick(gpointer) {
  unsigned done = 0;
  std::vector<std::string> inFlight;
  double known = 0, weighted = 0;
  int knownCount = 0;
  for (const Job& job : state.jobs) {
    if (job.duration > 0) {
      known += static_cast<double>(job.duration);
      ++knownCount;
    }
  }
  // Files whose length is not known yet count as long as the average known one.
  const double unknownWeight = knownCount ? known / knownCount : 1.0;
  double total = 0;
  for (const Job& job : state.jobs) {
    const double weight = job.duration > 0 ? static_cast<double>(job.duration) : unknownWeight;
    total += weight;
    if (job.result == JobResult::Converted) {
      ++done;
      weighted += weight;
    } else if (job.phase == JobPhase::Converting || job.phase == JobPhase::Flushing) {
      weighted += weight * job.percent / 100;
      inFlight.push_back(GetFileNamePart(job.claimed ? job.finalPath : job.file.path));
    }
  }
  state.display.progress(done, static_cast<unsigned>(state.jobs.size()), inFlight,
                         total > 0 ? static_cast<int>(weighted * 100 / total) : 0);
  return G_SOURCE_CONTINUE;
}

static gboolean OnInterrupt(gpointer) {
  state.interrupted = state.noMoreStarts = true;
  StopAfter(0);
  Pump();
  return G_SOURCE_CONTINUE;
}

RunOutcome RunBatchJobs(const std::vector<BatchFile>& files, unsigned jobs, bool keepGoing,
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
  state.loop = g_main_loop_new(nullptr, FALSE);
  parentPid = getpid();
  auto pipeHandler = signal(SIGPIPE, SIG_IGN);  // a worker gone before our answer is seen at its end

  guint sources[std::size(kInterruptSignals)];
  for (size_t i = 0; i < std::size(kInterruptSignals); ++i)
    sources[i] = g_unix_signal_add(kInterruptSignals[i], OnInterrupt, nullptr);
  guint timer = display.progress ? g_timeout_add(kProgressIntervalMs, OnProgressTick, nullptr) : 0;

  Pump();
  if (std::any_of(state.jobs.begin(), state.jobs.end(), [](const Job& job) {
        return job.phase == JobPhase::Converting || job.phase == JobPhase::Flushing;
      }))
    g_main_loop_run(state.loop);

  if (timer) g_source_remove(timer);
  for (guint source : sources) g_source_remove(source);
  g_main_loop_unref(state.loop);
  state.loop = nullptr;
  signal(SIGPIPE, pipeHandler);
  if (state.interrupted) return RunOutcome::Closed;
  return tally->failures.empty() ? RunOutcome::Finished : RunOutcome::Failed;
}
