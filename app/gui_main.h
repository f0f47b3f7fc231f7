// The window mode: the status window shows the run from the first file to the last.
#pragma once

#include <string>
#include <vector>

// quilllomare [FILE...]: converts the files in the status window; without files the
// selection dialog chooses them and the choices first. Returns the exit status: 0 also
// when the dialog is cancelled (nothing is saved then).
int RunWindowMode(int argc, char** argv);

// Hands the selection to the run: the files given, or (none given) the selection dialog.
// Prepares the status window for the chosen mode and starts the first file. False when
// there is nothing to convert (the dialog was cancelled).
bool InitializeRun(const std::vector<std::string>& files);
