// The batch mode's options: the option table and its callbacks, --list-formats, and the
// formats chosen from the options and the settings file.
#include "app/batch_options.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>

#include <glib.h>

#include "common/app_settings.h"
#include "common/batch.h"
#include "common/i18n.h"
#include "common/target_format.h"
#include "dialog/encoder_formats.h"
#include "dialog/format_lists.h"

// ---------------------------------------------------------------------------
// Options

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

bool BatchUsageError(const std::string& reason) {
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

bool ParseBatchOptions(int argc, char** argv, BatchOptions* parsed) {
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
  if (!g_option_context_parse_strv(context, &args, &error)) return BatchUsageError(error->message);
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
  *parsed = options;
  return true;
}

// ---------------------------------------------------------------------------
// Formats

void ListFormats() {
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

bool ChooseFormats(const BatchOptions& options) {
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
          return BatchUsageError(reason);
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
