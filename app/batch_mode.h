// quilllomare --batch [OPTIONS] FILE...
#pragma once

#include <string>
#include <vector>

// True for --batch, and for the options that only print (--help, --version, ...).
bool IsBatchInvocation(int argc, char** argv);

// Converts the files named on the command line; returns the exit status.
int RunBatchMode(int argc, char** argv);

// Shared with the window mode for files named on the command line.

// The fileList of the named files: one absolute path alone, or the longest common folder
// of all and the names relative to it.
std::string FileListFor(const std::vector<std::string>& files);

// TargetFormat as the settings file's choices give it for Settings.DecodeMode: the
// WavFormat row when ChangeWavFormat is set, the Mp3Format row of the encoder's list.
// A mode outside 0-3 becomes WAV and a row outside its list row 0, as in the dialog.
void SetTargetFormatFromSettings();

// The options that make a worker convert as Settings and TargetFormat say (the window
// mode's choices, after SetTargetFormatFromSettings or the dialog), its outputs without
// the batch mode's records.
std::vector<std::string> WorkerOptionsForSettings();
