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
