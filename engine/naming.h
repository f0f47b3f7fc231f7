// Naming the output file of an input.
#pragma once

#include <string>

// The output path for an input and a new extension (without its dot): beside the
// input, or in the output folder for inputs on optical media; numbered "_2", "_3", ...
// so that nothing existing is ever overwritten. Sets StatusNotice.
std::string MakeOutputPath(const std::string& inputPath, const std::string& extension);

// The folder outputs of optical media go to, ending in '/': "output/" beside the
// program when its folder is writable and it is not installed, else "output/" in the
// user's Music folder.
std::string GetOutputFolder();

// Whether a path lies on optical media: an ISO 9660 or UDF file system, or the
// desktop's audio-CD mount (a folder whose name starts with "cdda:").
bool IsOnOpticalMedia(const std::string& path);

// Tests replace the optical media test; nullptr restores the real one.
using OpticalMediaTest = bool (*)(const std::string& path);
void SetOpticalMediaTest(OpticalMediaTest test);
