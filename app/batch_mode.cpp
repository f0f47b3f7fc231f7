// The batch mode: the same run as the window's, without any window, for scripts.
#include "app/batch_mode.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
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
#include "dialog/encoder_formats.h"
#include "dialog/format_lists.h"
#include "engine/graph.h"
#include "engine/naming.h"
#include "media/media.h"

static constexpr const char* kProgramVersion = QL_VERSION;
static constexpr unsigned kProgressIntervalMs = 150;
static constexpr int kBarWidth = 30;
static constexpr unsigned kClaimRenewalSeconds = 30;
static constexpr const char* kInterruptedLine = N_("quilllomare: 変換を中断しました。\n");

// ---------------------------------------------------------------------------
// Options

struct BatchOptions {
  int mode = -1;            // -1: the settings file's DecodeMode
  int wavRow = -2;          // -2: from the settings file; -1: keep the decoded format
  std::string mp3Format;    // "KBPS,RATE,CH" or empty
  int mp3Form = -1;         // 0 plain, 1 RIFF, -1 from the settings file
  int wmaRow = -1;          // -1: from the settings file
  bool listFormats = false;
  bool quiet = false;       // no progress lines; messages still shown
  bool noTags = false;      // outputs carry no tags
  bool version = false;
  int jobs = 0;             // conversions at once; 0: one per processor
  bool keepGoing = false;   // a failed file does not end the batch
  bool recursive = false;   // folders given are searched to the bottom
  bool skipExisting = false;
  std::string outputDir;    // "" beside each input
  unsigned shardIndex = 1, shardCount = 1;  // --shard K/N: this instance takes part K of N
  std::string report;       // --report FILE, or empty
  bool worker = false;      // this process converts files for a parent batch
  bool records = true;      // a worker records its outputs (not the window mode's)
  std::vector<std::string> formatArgs;  // the format options as given, for workers
  std::vector<std::string> files;
};

static BatchOptions options;  // filled by the option callbacks

static constexpr const char* kSummary =
    N_("Converts each FILE as the window mode would, several at once (see --jobs); each\n"
       "output is written beside its input, or under --output-dir, numbered so that nothing\n"
       "is overwritten. A FOLDER stands for the media files in it.");
static constexpr const char* kExitStatus =
    N_("Exit status: 0 every file converted, 1 a file failed, 2 usage error,\n"
       "130 interrupted (the unfinished output is removed).");

static bool ParseInt(const std::string& text, int low, int high, int* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end && *value >= low && *value <= high;
}

static gboolean BadValue(GError** error, const std::string& message) {
  g_set_error_literal(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, message.c_str());
  return FALSE;
}

// Workers are given the format options exactly as the batch was.
static void KeepForWorkers(const char* option, const char* value) {
  options.formatArgs.push_back(std::string(option) + "=" + value);
}

static const char* const kModeNames[] = {"wav", "mp3", "wma", "extract", "flac", "opus", "vorbis", "aac"};

static gboolean OnMode(const char* option, const char* value, gpointer, GError** error) {
  KeepForWorkers(option, value);
  for (int m = 0; m < static_cast<int>(std::size(kModeNames)); ++m) {
    if (std::strcmp(value, kModeNames[m]) == 0) {
      options.mode = m;
      return TRUE;
    }
  }
  return BadValue(error, std::string(_("unknown mode: ")) + value);
}

static gboolean OnWavFormat(const char* option, const char* value, gpointer, GError** error) {
  KeepForWorkers(option, value);
  if (std::strcmp(value, "keep") == 0) {
    options.wavRow = -1;
    return TRUE;
  }
  if (ParseInt(value, 0, kPcmFormatCount - 1, &options.wavRow)) return TRUE;
  return BadValue(error, std::string(_("--wav-format takes keep or a row 0-23: ")) + value);
}

static gboolean OnMp3Form(const char* option, const char* value, gpointer, GError** error) {
  KeepForWorkers(option, value);
  if (std::strcmp(value, "mp3") == 0) options.mp3Form = 0;
  else if (std::strcmp(value, "riff") == 0) options.mp3Form = 1;
  else return BadValue(error, std::string(_("--mp3-form takes mp3 or riff: ")) + value);
  return TRUE;
}

static gboolean OnWmaProfile(const char* option, const char* value, gpointer, GError** error) {
  KeepForWorkers(option, value);
  if (ParseInt(value, 0, kWmaProfileCount - 1, &options.wmaRow)) return TRUE;
  return BadValue(error, std::string(_("--wma-profile takes a row 0-15: ")) + value);
}

static gboolean OnMp3Format(const char* option, const char* value, gpointer, GError**) {
  KeepForWorkers(option, value);
  options.mp3Format = value;
  return TRUE;
}

static gboolean OnFlacLevel(const char* option, const char* value, gpointer, GError** error) {
  KeepForWorkers(option, value);
  if (ParseInt(value, 0, 8, &EncoderChoice.flacLevel)) return TRUE;
  return BadValue(error, std::string(_("--flac-level takes a level 0-8: ")) + value);
}

static gboolean OnOpusBitrate(const char* option, const char* value, gpointer, GError** error) {
  KeepForWorkers(option, value);
  if (ParseInt(value, 6, 510, &EncoderChoice.opusKbps)) return TRUE;
  return BadValue(error, std::string(_("--opus-bitrate takes kbps 6-510: ")) + value);
}

static gboolean OnVorbisQuality(const char* option, const char* value, gpointer, GError** error) {
  KeepForWorkers(option, value);
  char* end = nullptr;
  const double quality = g_ascii_strtod(value, &end);
  if (*value && end && !*end && quality >= -1 && quality <= 10) {
    EncoderChoice.vorbisQuality = quality;
    return TRUE;
  }
  return BadValue(error, std::string(_("--vorbis-quality takes a quality -1 to 10: ")) + value);
}

static gboolean OnAacBitrate(const char* option, const char* value, gpointer, GError** error) {
  KeepForWorkers(option, value);
  if (ParseInt(value, 8, 512, &EncoderChoice.aacKbps)) return TRUE;
  return BadValue(error, std::string(_("--aac-bitrate takes kbps 8-512: ")) + value);
}

static gboolean OnJobs(const char*, const char* value, gpointer, GError** error) {
  if (ParseInt(value, 1, 1024, &options.jobs)) return TRUE;
  return BadValue(error, std::string(_("--jobs takes a number 1-1024: ")) + value);
}

static gboolean OnShard(const char*, const char* value, gpointer, GError** error) {
  const std::string text = value;
  const size_t slash = text.find('/');
  int k = 0, n = 0;
  if (slash == std::string::npos || !ParseInt(text.substr(slash + 1), 1, 1 << 20, &n) ||
      !ParseInt(text.substr(0, slash), 1, n, &k))
    return BadValue(error, std::string(_("--shard takes K/N with 1 <= K <= N: ")) + value);
  options.shardIndex = static_cast<unsigned>(k);
  options.shardCount = static_cast<unsigned>(n);
  return TRUE;
}

static gboolean batchFlag = FALSE;  // --batch itself, already seen by the caller
static gboolean listFlag = FALSE, quietFlag = FALSE, versionFlag = FALSE;
static gboolean noTagsFlag = FALSE;
static gboolean keepGoingFlag = FALSE, recursiveFlag = FALSE, skipExistingFlag = FALSE, workerFlag = FALSE;
static gboolean noRecordsFlag = FALSE;
static char* outputDirArg = nullptr;
static char* reportArg = nullptr;
static char** fileArgs = nullptr;

static const GOptionEntry kEntries[] = {
    {"batch", 0, 0, G_OPTION_ARG_NONE, &batchFlag, N_("Convert without a window"), nullptr},
    {"mode", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnMode),
     N_("Conversion mode (default: the settings file's DecodeMode)"), "wav|mp3|wma|extract|flac|opus|vorbis|aac"},
    {"wav-format", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnWavFormat),
     N_("WAV: keep the decoded format, or PCM format row 0-23"), "keep|ROW"},
    {"mp3-format", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnMp3Format),
     N_("MP3: encoder format, e.g. 128,44100,2"), "KBPS,RATE,CH"},
    {"mp3-form", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnMp3Form),
     N_("MP3: plain MP3 stream or RIFF WAVE wrapper"), "mp3|riff"},
    {"wma-profile", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnWmaProfile),
     N_("WMA: profile row 0-15"), "ROW"},
    {"flac-level", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnFlacLevel),
     N_("FLAC: compression level 0-8 (default 5)"), "LEVEL"},
    {"opus-bitrate", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnOpusBitrate),
     N_("Opus: bit rate in kbps (default 128)"), "KBPS"},
    {"vorbis-quality", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnVorbisQuality),
     N_("Vorbis: quality -1 to 10 (default 5)"), "Q"},
    {"aac-bitrate", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnAacBitrate),
     N_("AAC: bit rate in kbps (default 192)"), "KBPS"},
    {"jobs", 'j', 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnJobs),
     N_("Convert N files at once (default: one per processor; 1: one after another)"), "N"},
    {"keep-going", 0, 0, G_OPTION_ARG_NONE, &keepGoingFlag,
     N_("Go on past a file that fails; end with a summary"), nullptr},
    {"output-dir", 0, 0, G_OPTION_ARG_FILENAME, &outputDirArg,
     N_("Write the outputs under DIR, keeping the paths found under a FOLDER"), "DIR"},
    {"recursive", 'r', 0, G_OPTION_ARG_NONE, &recursiveFlag, N_("Search each FOLDER's subfolders too"), nullptr},
    {"skip-existing", 0, 0, G_OPTION_ARG_NONE, &skipExistingFlag,
     N_("Skip a file whose unnumbered output exists already"), nullptr},
    {"shard", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(OnShard),
     N_("Take only part K of N of the inputs, split by a stable hash of their paths"), "K/N"},
    {"report", 0, 0, G_OPTION_ARG_FILENAME, &reportArg,
     N_("Write one JSON line per input to FILE as it ends"), "FILE"},
    {"worker", 0, G_OPTION_FLAG_HIDDEN, G_OPTION_ARG_NONE, &workerFlag, nullptr, nullptr},
    {"no-records", 0, G_OPTION_FLAG_HIDDEN, G_OPTION_ARG_NONE, &noRecordsFlag, nullptr, nullptr},
    {"list-formats", 0, 0, G_OPTION_ARG_NONE, &listFlag,
     N_("Print the PCM rows, the MP3 encoder formats and the WMA profiles"), nullptr},
    {"quiet", 'q', 0, G_OPTION_ARG_NONE, &quietFlag, N_("Print no progress, only messages"), nullptr},
    {"no-tags", 0, 0, G_OPTION_ARG_NONE, &noTagsFlag, N_("Leave the inputs' tags out of the outputs"), nullptr},
    {"version", 0, 0, G_OPTION_ARG_NONE, &versionFlag, N_("Print the version"), nullptr},
    {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, &fileArgs, nullptr, N_("FILE|FOLDER...")},
    {},
};

static bool UsageError(const std::string& reason) {
  std::fprintf(stderr, _("quilllomare: %s (see --help)\n"), reason.c_str());
  return false;
}

static GOptionContext* NewOptionContext() {
  GOptionContext* context = g_option_context_new(nullptr);
  g_option_context_add_main_entries(context, kEntries, kTextDomain);
  g_option_context_set_translation_domain(context, kTextDomain);
  g_option_context_set_summary(context, kSummary);
  g_option_context_set_description(context, kExitStatus);
  return context;
}

// --help and --help-all print the help and end the process with status 0.
static bool ParseOptions(int argc, char** argv) {
  options = BatchOptions{};
  EncoderChoice = EncoderSettings{};
  listFlag = quietFlag = versionFlag = keepGoingFlag = recursiveFlag = skipExistingFlag = workerFlag = noTagsFlag = FALSE;
  noRecordsFlag = FALSE;
  g_autoptr(GOptionContext) context = NewOptionContext();
  g_autoptr(GError) error = nullptr;
  // "-j2", as make, xargs and parallel take it: the value joined to the short option.
  std::vector<std::string> given(argv, argv + argc);
  for (size_t i = 1; i < given.size() && given[i] != "--"; ++i) {
    if (given[i].size() > 2 && given[i].starts_with("-j") && g_ascii_isdigit(given[i][2])) {
      given.insert(given.begin() + static_cast<std::ptrdiff_t>(i) + 1, given[i].substr(2));
      given[i++] = "-j";
    }
  }
  g_auto(GStrv) args = g_new0(char*, given.size() + 1);
  for (size_t i = 0; i < given.size(); ++i) args[i] = g_strdup(given[i].c_str());
  if (!g_option_context_parse_strv(context, &args, &error)) return UsageError(error->message);
  options.listFormats = listFlag;
  options.quiet = quietFlag;
  options.noTags = noTagsFlag;
  if (options.noTags) options.formatArgs.push_back("--no-tags");  // workers write what we would
  options.version = versionFlag;
  options.keepGoing = keepGoingFlag;
  options.recursive = recursiveFlag;
  options.skipExisting = skipExistingFlag;
  options.worker = workerFlag;
  options.records = !noRecordsFlag;
  if (outputDirArg) options.outputDir = outputDirArg;
  if (reportArg) options.report = reportArg;
  for (char** f = fileArgs; f && *f; ++f) options.files.push_back(*f);
  g_clear_pointer(&fileArgs, g_strfreev);
  g_clear_pointer(&outputDirArg, g_free);
  g_clear_pointer(&reportArg, g_free);
  return true;
}

// ---------------------------------------------------------------------------
// Formats

static void ListFormats() {
  std::printf("%s", _("WAV (--wav-format ROW):\n"));
  for (int row = 0; row < kPcmFormatCount; ++row) std::printf("  %2d  %s\n", row, PcmFormatLabel(row).c_str());
  std::printf("%s", _("MP3 (--mp3-format KBPS,RATE,CH):\n"));
  Mp3FormatList mp3 = ReadMp3FormatList();
  std::printf("  %s\n", Mp3CodecGradeText(mp3.grade));
  for (const std::string& label : mp3.labels) {
    TargetAudioFormat f = ParseMp3FormatLabel(label);
    std::printf("  %u,%u,%u  %s\n", f.avgBytesPerSec / 125, f.samplesPerSec, f.channels, label.c_str());
  }
  std::printf("%s", _("WMA (--wma-profile ROW):\n"));
  for (int row = 0; row < kWmaProfileCount; ++row) std::printf("  %2d  %s\n", row, WmaProfileTable[row].label);
}

// The MP3 label for "KBPS,RATE,CH" when the encoder offers that format.
static bool FindMp3Label(const std::string& entry, std::string* label) {
  int kbps = 0, rate = 0, channels = 0;
  gchar** parts = g_strsplit(entry.c_str(), ",", -1);
  bool ok = g_strv_length(parts) == 3 && ParseInt(parts[0], 1, 999, &kbps) &&
            ParseInt(parts[1], 1, 99999, &rate) && ParseInt(parts[2], 1, 2, &channels);
  g_strfreev(parts);
  if (!ok) return false;
  for (const std::string& candidate : ReadMp3FormatList().labels) {
    TargetAudioFormat f = ParseMp3FormatLabel(candidate);
    if (f.avgBytesPerSec == static_cast<uint32_t>(kbps) * 125 && f.samplesPerSec == static_cast<uint32_t>(rate) &&
        f.channels == channels) {
      *label = candidate;
      return true;
    }
  }
  return false;
}

// The stored choices as the dialog takes them: a mode outside 0-3 shows the WAV page, and
// a row outside its list selects nothing, which the dialog stores as row 0.
static void ClampStoredChoices() {
  if (Settings.DecodeMode < kModeWav || Settings.DecodeMode > kModeExtract) Settings.DecodeMode = kModeWav;
  if (Settings.WavFormat < 0 || Settings.WavFormat >= kPcmFormatCount) Settings.WavFormat = 0;
  if (Settings.WmaFormat < 0 || Settings.WmaFormat >= kWmaProfileCount) Settings.WmaFormat = 0;
}

void SetTargetFormatFromSettings() {
  ClampStoredChoices();
  TargetFormat = TargetAudioFormat{};
  if (Settings.DecodeMode == kModeWav && Settings.ChangeWavFormat) {
    TargetFormat = PcmFormatForRow(Settings.WavFormat);
  } else if (Settings.DecodeMode == kModeMp3) {
    Mp3FormatList list = ReadMp3FormatList();
    // A row outside the encoder's list reads as row 0, as the other stored rows do.
    if (Settings.Mp3Format < 0 || static_cast<size_t>(Settings.Mp3Format) >= list.labels.size())
      Settings.Mp3Format = 0;
    std::string label;
    if (!list.labels.empty()) label = list.labels[Settings.Mp3Format];
    TargetFormat = ParseMp3FormatLabel(label);
  }
}

std::vector<std::string> WorkerOptionsForSettings() {
  std::vector<std::string> args = {"--no-records"};
  if (Settings.DecodeMode < 0 || Settings.DecodeMode >= static_cast<int>(std::size(kModeNames))) return args;
  args.push_back(std::string("--mode=") + kModeNames[Settings.DecodeMode]);
  switch (Settings.DecodeMode) {
    case kModeWav:
      args.push_back("--wav-format=" + (Settings.ChangeWavFormat ? std::to_string(Settings.WavFormat) : "keep"));
      break;
    case kModeMp3:
      // Without an encoder's format the worker finds none either, as this process did.
      if (TargetFormat.channels)
        args.push_back("--mp3-format=" + std::to_string(TargetFormat.avgBytesPerSec / 125) + "," +
                       std::to_string(TargetFormat.samplesPerSec) + "," + std::to_string(TargetFormat.channels));
      args.push_back(Settings.Riff ? "--mp3-form=riff" : "--mp3-form=mp3");
      break;
    case kModeWma: args.push_back("--wma-profile=" + std::to_string(Settings.WmaFormat)); break;
    default: break;
  }
  return args;
}

// Sets Settings and TargetFormat for the run from the options over the settings file,
// whose mode is one of the dialog's four whatever it holds.
static bool ChooseFormats(const BatchOptions& options) {
  ClampStoredChoices();
  if (options.mode >= 0) Settings.DecodeMode = options.mode;
  if (options.mp3Form >= 0) Settings.Riff = static_cast<uint8_t>(options.mp3Form);
  if (options.wmaRow >= 0) Settings.WmaFormat = options.wmaRow;
  Batch.noTags = options.noTags;

  TargetFormat = TargetAudioFormat{};
  switch (Settings.DecodeMode) {
    case kModeWav: {
      int row = options.wavRow == -2 ? (Settings.ChangeWavFormat ? Settings.WavFormat : -1) : options.wavRow;
      if (row >= 0) TargetFormat = PcmFormatForRow(row);
      break;
    }
    case kModeMp3: {
      if (!options.mp3Format.empty()) {
        std::string label;
        if (!FindMp3Label(options.mp3Format, &label)) {
          g_autofree char* reason =
              g_strdup_printf(_("the MP3 encoder offers no format %s (see --list-formats)"), options.mp3Format.c_str());
          return UsageError(reason);
        }
        TargetFormat = ParseMp3FormatLabel(label);
      } else {
        SetTargetFormatFromSettings();
      }
      break;
    }
    default:
      break;
  }
  return true;
}

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
static constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
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
  if (!ParseOptions(argc, argv)) return 2;
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
    UsageError(_("no file to convert"));
    return 2;
  }

  LoadSettings(0, 0);
  if (!ChooseFormats(options)) return 2;
  SetConversionKey(ConversionKey());

  if (options.worker) return RunBatchWorker(options.records);

  if (!options.outputDir.empty()) {
    struct stat st;
    if (stat(options.outputDir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      UsageError(std::string(_("--output-dir is not a folder: ")) + options.outputDir);
      return 2;
    }
  }
  if (!options.report.empty()) {
    std::string error;
    if (!OpenBatchReport(options.report, &error)) {
      UsageError(std::string(_("cannot write the report: ")) + options.report + ": " + error);
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
