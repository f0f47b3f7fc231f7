// The batch mode's options: the command line read into BatchOptions, and the formats
// the options and the settings file choose, for the batch mode and for the window mode.
#pragma once

#include <string>
#include <vector>

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

// Reads the command line into *options; the encoders' options go to EncoderChoice. False
// after a usage error, which it prints. --help and --help-all print the help and end the
// process with status 0.
bool ParseBatchOptions(int argc, char** argv, BatchOptions* options);

// Prints "quilllomare: REASON (see --help)" on standard error; returns false.
bool BatchUsageError(const std::string& reason);

// --list-formats: the PCM rows, the MP3 encoder's formats and the WMA profiles.
void ListFormats();

// Sets Settings and TargetFormat for the run from the options over the settings file,
// whose mode is one of the dialog's four whatever it holds. False after a usage error,
// which it prints.
bool ChooseFormats(const BatchOptions& options);

// TargetFormat as the settings file's choices give it for Settings.DecodeMode: the
// WavFormat row when ChangeWavFormat is set, the Mp3Format row of the encoder's list.
// A mode outside 0-3 becomes WAV and a row outside its list row 0, as in the dialog.
void SetTargetFormatFromSettings();

// The options that make a worker convert as Settings and TargetFormat say (the window
// mode's choices, after SetTargetFormatFromSettings or the dialog), its outputs without
// the batch mode's records.
std::vector<std::string> WorkerOptionsForSettings();
