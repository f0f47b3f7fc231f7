// The batch mode: the same run as the window's, without any window, for scripts. The
// options it is given are read in app/batch_options.cpp.
#include "app/batch_mode.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <fstream>
#include <limits>
#include <map>

#include <glib-unix.h>
#include <glib.h>

#include "app/batch_inputs.h"
#include "app/batch_jobs.h"
#include "app/batch_options.h"
#include "app/batch_report.h"
#include "app/batch_records.h"
#include "app/batch_worker.h"
#include "app/run.h"
#include "app/settings.h"
#include "common/app_settings.h"
#include "common/batch.h"
#include "common/error_box.h"
#include "common/i18n.h"
#include "common/status_text.h"
#include "common/target_format.h"
#include "engine/graph.h"
#include "engine/naming.h"
#include "media/media.h"

static constexpr const char* kProgramVersion = QL_VERSION;
static constexpr int kBarWidth = 30;
static constexpr unsigned kClaimRenewalSeconds = 30;
static constexpr const char* kInterruptedLine = N_("quilllomare: 変換を中断しました。\n");

static BatchOptions options;

// ---------------------------------------------------------------------------
// Progress on standard error

static GMainLoop* loop = nullptr;
static guint progressTimer = 0;
static bool onTerminal = false;  // progress is one line rewritten in place
static bool lineOpen = false;    // that line has no newline yet
static int lastPercent = -1;
static unsigned hereIndex = 0, hereCount = 0;  // file i of n converting in this process

static void EndProgressLine() {
  if (lineOpen) std::fputc('\n', stderr);
  lineOpen = false;
}

// Messages start on a line of their own and name the input they are about.
static void ShowInputMessage(const std::string& inputPath, const std::string& caption, const std::string& text) {
  EndProgressLine();
  if (inputPath.empty()) std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  else std::fprintf(stderr, "%s: %s: %s\n", inputPath.c_str(), caption.c_str(), text.c_str());
}

static void ShowBatchErrorBox(const std::string& caption, const std::string& text) {
  ShowInputMessage("", caption, text);
}

static std::string ShownFileName() {
  std::lock_guard lock(StatusLock);
  return StatusFileName;
}

static void DrawLine(const std::string& caption, int percent, const std::string& name = ShownFileName()) {
  if (!onTerminal || options.quiet) return;
  std::string bar;
  if (percent >= 0) {
    int filled = std::clamp(percent, 0, 100) * kBarWidth / 100;
    bar = " [" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]";
  }
  std::fprintf(stderr, "\r\033[K%s%s %s", caption.c_str(), bar.c_str(), name.c_str());
  std::fflush(stderr);
  lineOpen = true;
}

static gboolean OnProgressTick(gpointer) {
  if (StopAnimation) {
    progressTimer = 0;
    return G_SOURCE_REMOVE;
  }
  if (!AnimationPaused) {
    lastPercent = QueryProgressPercent();
    DrawLine(FormatProgressCaption(Settings.DecodeMode, hereIndex, hereCount, lastPercent),
             lastPercent);
  }
  return G_SOURCE_CONTINUE;
}

static void SetCaption(const std::string& caption) {
  if (options.quiet) return;
  if (onTerminal) {
    DrawLine(caption, 100);
    return;
  }
  std::fprintf(stderr, "%s %s\n", caption.c_str(), ShownFileName().c_str());
}

static void StartProgress() { progressTimer = g_timeout_add(kProgressIntervalMs, OnProgressTick, nullptr); }

static void StopProgress() {
  if (progressTimer) g_source_remove(progressTimer);
  progressTimer = 0;
}

// The end of one file's run; the progress line goes on with the next file.
static void EndBatchRun(RunOutcome) {
  StopProgress();
  if (loop) g_main_loop_quit(loop);
}

// SIGINT, SIGTERM and SIGHUP all end the batch alike: the output being written is
// removed, like a closed window's, and no later file starts.
static guint interruptSources[std::size(kInterruptSignals)];
static bool hereInterrupted = false;

static gboolean OnInterrupt(gpointer) {
  hereInterrupted = true;
  if (CurrentRunOutcome() == RunOutcome::Running) CloseRun();
  return G_SOURCE_CONTINUE;
}

// An interrupt while the file's decoders are being set up: no output of it exists yet.
static void EndInterruptedWait() {
  if (CurrentRunOutcome() == RunOutcome::Running) CloseRun();
  std::fputs(_(kInterruptedLine), stderr);
  _exit(130);
}

static void WatchInterrupts() {
  for (size_t i = 0; i < std::size(kInterruptSignals); ++i)
    interruptSources[i] = g_unix_signal_add(kInterruptSignals[i], OnInterrupt, GUINT_TO_POINTER(i));
  EndOnSignalsDuringWaits(EndInterruptedWait);
}

static void UnwatchInterrupts() {
  for (guint& source : interruptSources) {
    if (source) g_source_remove(source);
    source = 0;
  }
}

// ---------------------------------------------------------------------------

std::string FileListFor(const std::vector<std::string>& files) {
  if (files.size() == 1) return MakeFileList(AbsolutePath(files[0]), {});
  std::vector<std::string> paths;
  for (const std::string& f : files) paths.push_back(AbsolutePath(f));
  std::string folder = GetDirectoryPart(paths[0]);
  for (const std::string& p : paths)
    while (folder.size() > 1 && p.compare(0, folder.size(), folder) != 0)
      folder = GetDirectoryPart(folder.substr(0, folder.size() - 1));
  std::vector<std::string> names;
  for (const std::string& p : paths) names.push_back(p.substr(folder.size()));
  if (folder.size() > 1) folder.pop_back();  // a folder other than "/" has no trailing separator
  return MakeFileList(folder, names);
}

bool IsBatchInvocation(int argc, char** argv) {
  static const char* const kWindowlessOptions[] = {"--batch", "--help", "-h", "--help-all",
                                                   "--version", "--list-formats"};
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    for (const char* option : kWindowlessOptions)
      if (std::strcmp(argv[i], option) == 0) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The files of the batch

static std::map<std::string, std::string> outputFolders;  // input -> its output folder

static std::string OutputFolderOf(const std::string& inputPath) {
  auto found = outputFolders.find(inputPath);
  return found == outputFolders.end() ? "" : found->second;
}

// With --skip-existing, decided when the file's turn comes, so that what other instances
// did meanwhile counts: an input another instance holds is left to it, one converted
// already is done. The claim comes first, so that an instance finishing the input
// meanwhile is seen.
static bool SkipInItsTurn(const BatchFile& file) {
  if (!options.skipExisting) return false;
  if (!ClaimInput(file.path)) return true;
  if (!InputConverted(file.path)) return false;
  ReleaseInput(file.path);
  return true;
}

// The mode and format outputs are recorded under.
static std::string ConversionKey() {
  const TargetAudioFormat& f = TargetFormat;
  std::string key = std::to_string(Settings.DecodeMode) + ":" + std::to_string(f.samplesPerSec) + "," +
                    std::to_string(f.avgBytesPerSec) + "," + std::to_string(f.bitsPerSample) + "," +
                    std::to_string(f.channels);
  if (Settings.DecodeMode == kModeMp3) key += ":" + std::to_string(Settings.Riff);
  if (Settings.DecodeMode == kModeWma) key += ":" + std::to_string(Settings.WmaFormat);
  const EncoderSettings& e = EncoderChoice;
  if (Settings.DecodeMode == kModeFlac) key += ":" + std::to_string(e.flacLevel);
  if (Settings.DecodeMode == kModeOpus) key += ":" + std::to_string(e.opusKbps);
  char quality[G_ASCII_DTOSTR_BUF_SIZE];
  if (Settings.DecodeMode == kModeVorbis) key += std::string(":") + g_ascii_dtostr(quality, sizeof quality, e.vorbisQuality);
  if (Settings.DecodeMode == kModeAac) key += ":" + std::to_string(e.aacKbps);
  return key;
}

// An input's end: its claim goes, and its line goes to the report.
static void ReportFileEnd(const BatchFile& file, const FileEnd& end) {
  ReleaseInput(file.path);
  ReportBatchFileEnd(file, end);
}

// ---------------------------------------------------------------------------
// The run, here or in workers

static BatchTally tally;
static std::string fileMessages;  // the messages of the file in hand
static std::vector<std::pair<std::string, std::string>> fileMessageList;
static const BatchFile* hereFile = nullptr;  // the file converting in this process
static std::string hereOutput;               // its output's final name, once it has one

static void ShowAndKeepMessage(const std::string& caption, const std::string& text) {
  ShowInputMessage(hereFile ? hereFile->path : "", caption, text);
  fileMessages += caption + ": " + text + "\n";
  fileMessageList.emplace_back(caption, text);
}

static void OnHereOutputStep(OutputStep step, const std::string& finalPath) {
  if (step == OutputStep::BeforeFlush) RecordOutput(hereFile->path, OutputWritePath(finalPath), finalPath);
  if (step != OutputStep::Moved) return;
  RecordNamedOutput(hereFile->path, finalPath);
  hereOutput = finalPath;
}

// A run converts one file; the captions count the batch's files.
static void SetHereCaption(const std::string&) {
  SetCaption(hereIndex == hereCount ? FormatFinishedCaption(Settings.DecodeMode)
                                    : FormatFileDoneCaption(Settings.DecodeMode, hereIndex, hereCount));
}

// Converts the file in this process: its outcome once its run has ended.
static RunOutcome ConvertHere(const BatchFile& file, FileEnd* end) {
  Batch.fileList = MakeFileList(file.path, {});
  Batch.fileCount = 1;
  Batch.currentFile = 1;
  hereOutput.clear();
  ConversionGraph.duration = 0;
  if (BeginRun()) g_main_loop_run(loop);
  const RunOutcome outcome = CurrentRunOutcome();
  end->status = outcome == RunOutcome::Finished ? FileStatus::Converted
              : outcome == RunOutcome::Failed   ? FileStatus::Failed
                                                : FileStatus::Skipped;
  if (end->status == FileStatus::Converted) end->output = hereOutput;
  if (ConversionGraph.duration > 0) end->audioSeconds = static_cast<double>(ConversionGraph.duration) / 1e7;
  return outcome;
}

static RunOutcome RunHere(const std::vector<BatchFile>& files) {
  SetErrorBoxHandler(ShowAndKeepMessage);
  SetOutputStepHook(OnHereOutputStep);
  loop = g_main_loop_new(nullptr, FALSE);
  RunFrontEnd frontEnd;
  frontEnd.setCaption = SetHereCaption;
  frontEnd.startAnimation = StartProgress;
  frontEnd.stopAnimation = StopProgress;
  frontEnd.endRun = EndBatchRun;
  SetRunFrontEnd(frontEnd);
  hereInterrupted = false;
  WatchInterrupts();

  RunOutcome outcome = RunOutcome::Finished;
  hereCount = static_cast<unsigned>(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    const BatchFile& file = files[i];
    hereFile = &file;
    hereIndex = static_cast<unsigned>(i + 1);
    fileMessages.clear();
    fileMessageList.clear();
    const gint64 start = g_get_monotonic_time();
    FileEnd end;
    const bool stopped = hereInterrupted || (outcome == RunOutcome::Failed && !options.keepGoing);
    if (stopped) {
      end.status = FileStatus::Skipped;
    } else if (!file.failCaption.empty()) {
      ShowErrorBox(file.failCaption, file.failText);
      end.status = FileStatus::Failed;
    } else if (SkipInItsTurn(file)) {
      end.status = FileStatus::Skipped;
      ++tally.skipped;
    } else if (ConvertHere(file, &end) == RunOutcome::Closed) {
      hereInterrupted = true;
    }
    if (!stopped && !hereInterrupted) {
      if (end.status == FileStatus::Converted) ++tally.converted;
      if (end.status == FileStatus::Failed) {
        tally.failures.emplace_back(file.path, fileMessages);
        outcome = RunOutcome::Failed;
      }
    }
    end.messages = fileMessageList;
    if (end.status == FileStatus::Skipped) end.messages.clear();
    end.seconds = static_cast<double>(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
    ReportFileEnd(file, end);
  }
  hereFile = nullptr;
  EndProgressLine();

  UnwatchInterrupts();
  SetOutputStepHook(nullptr);
  g_main_loop_unref(loop);
  loop = nullptr;
  return hereInterrupted ? RunOutcome::Closed : outcome;
}

static void ShowJobFileDone(unsigned i, unsigned n, const std::string& finalPath) {
  {
    std::lock_guard lock(StatusLock);
    StatusFileName = GetFileNamePart(finalPath);
  }
  SetCaption(i == n ? FormatFinishedCaption(Settings.DecodeMode) : FormatFileDoneCaption(Settings.DecodeMode, i, n));
}

// "(3/12) 45% ろまれ中 [#####.....] 2: a.mp3 b.mp3": files done of all, the batch's
// percentage, the files in flight.
static void ShowJobsProgress(unsigned done, unsigned n, const std::vector<std::string>& inFlight, int percent) {
  std::string names = std::to_string(inFlight.size()) + ":";
  for (const std::string& name : inFlight) names += " " + name;
  DrawLine(FormatProgressCaption(Settings.DecodeMode, done, n, percent), percent, names);
}

static RunOutcome RunInWorkers(const std::vector<BatchFile>& files, unsigned jobs) {
  BatchJobsDisplay display;
  display.message = ShowInputMessage;
  display.fileDone = ShowJobFileDone;
  display.progress = ShowJobsProgress;
  display.skip = SkipInItsTurn;
  display.fileEnded = ReportFileEnd;
  RunOutcome outcome = RunBatchJobs(files, jobs, options.keepGoing, options.formatArgs, display, &tally);
  EndProgressLine();
  return outcome;
}

// Conversions at once as asked, but no more than the descriptors and the memory allow:
// the parent holds two pipes per worker (the soft limit is raised to the hard one), and a
// worker takes about 60 MB.
static unsigned WorkersAllowed(unsigned wanted) {
  static constexpr rlim_t kDescriptorsKept = 32;  // the parent's own, GStreamer's, a report
  static constexpr rlim_t kDescriptorsPerWorker = 4;
  static constexpr uint64_t kWorkerBytes = 60ull << 20;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    if (limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
      getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur != RLIM_INFINITY) {
      const rlim_t room = limit.rlim_cur > kDescriptorsKept ? (limit.rlim_cur - kDescriptorsKept) / kDescriptorsPerWorker : 0;
      wanted = static_cast<unsigned>(std::min<rlim_t>(wanted, std::max<rlim_t>(room, 1)));
    }
  }
  std::ifstream meminfo("/proc/meminfo");
  for (std::string key; meminfo >> key;) {
    uint64_t kilobytes = 0;
    if (key == "MemAvailable:" && meminfo >> kilobytes) {
      wanted = static_cast<unsigned>(std::min<uint64_t>(wanted, std::max<uint64_t>(kilobytes * 1024 / kWorkerBytes, 1)));
      break;
    }
    meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return wanted;
}

// "quilllomare: 変換 10、失敗 1、スキップ 2", then each failed file with its messages.
static void PrintSummary() {
  EndProgressLine();
  std::fprintf(stderr, _("quilllomare: 変換 %d、失敗 %zu、スキップ %d\n"), tally.converted, tally.failures.size(),
               tally.skipped);
  for (const auto& [path, messages] : tally.failures) {
    std::fprintf(stderr, "  %s\n", path.c_str());
    g_auto(GStrv) lines = g_strsplit(messages.c_str(), "\n", -1);
    for (char** line = lines; *line; ++line)
      if (**line) std::fprintf(stderr, "    %s\n", *line);
  }
}

int RunBatchMode(int argc, char** argv) {
  if (!ParseBatchOptions(argc, argv, &options)) return 2;
  if (options.version) {
    std::printf("quilllomare %s\n", kProgramVersion);
    return 0;
  }
  MediaLayerInit();
  if (options.listFormats) {
    ListFormats();
    return 0;
  }
  if (options.files.empty() && !options.worker) {
    BatchUsageError(_("no file to convert"));
    return 2;
  }

  LoadSettings(0, 0);
  if (!ChooseFormats(options)) return 2;
  SetConversionKey(ConversionKey());

  if (options.worker) return RunBatchWorker(options.records);

  if (!options.outputDir.empty()) {
    struct stat st;
    if (stat(options.outputDir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      BatchUsageError(std::string(_("--output-dir is not a folder: ")) + options.outputDir);
      return 2;
    }
  }
  if (!options.report.empty()) {
    std::string error;
    if (!OpenBatchReport(options.report, &error)) {
      BatchUsageError(std::string(_("cannot write the report: ")) + options.report + ": " + error);
      return 2;
    }
  }

  std::vector<BatchFile> files =
      ExpandBatchInputs(options.files, options.outputDir, options.recursive, options.shardIndex, options.shardCount);
  outputFolders.clear();
  for (const BatchFile& file : files)
    if (!file.outputFolder.empty()) outputFolders[file.path] = file.outputFolder;
  SetOutputFolderRule(OutputFolderOf);
  tally = BatchTally{};

  onTerminal = isatty(STDERR_FILENO);
  SetErrorBoxHandler(ShowBatchErrorBox);
  const unsigned jobs = WorkersAllowed(options.jobs > 0 ? static_cast<unsigned>(options.jobs) : g_get_num_processors());
  RunOutcome outcome = RunOutcome::Finished;
  const guint renewal = g_timeout_add_seconds(kClaimRenewalSeconds, [](gpointer) {
    RenewInputClaims();
    return gboolean{G_SOURCE_CONTINUE};
  }, nullptr);
  if (files.size() > 1 && jobs > 1) outcome = RunInWorkers(files, jobs);
  else if (!files.empty()) outcome = RunHere(files);
  g_source_remove(renewal);
  ReleaseAllInputs();
  SetOutputFolderRule(nullptr);
  SetErrorBoxHandler(nullptr);
  CloseBatchReport();

  if (options.keepGoing || options.skipExisting) PrintSummary();
  switch (outcome) {
    case RunOutcome::Finished: return 0;
    case RunOutcome::Closed:
      std::fputs(_(kInterruptedLine), stderr);
      return 130;
    default: return 1;
  }
}
