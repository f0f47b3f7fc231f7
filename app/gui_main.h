// The window mode: the status window shows the run from the first file to the last.
#pragma once

#include <string>
#include <vector>

// quilllomare FILE...: converts the files with the settings file's choices in the
// status window; returns the exit status. Without files it says that files must be given.
int RunWindowMode(int argc, char** argv);

// Hands the selection to the run: the files given, or (none given) the selection dialog.
// Prepares the status window for the chosen mode and starts the first file. False when
// there is nothing to convert.
bool InitializeRun(const std::vector<std::string>& files);
