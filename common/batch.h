// The batch of selected files and the path helpers every layer uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The selection of one run, filled by the selection dialog (or the batch mode).
struct BatchState {
  // One full path, or a folder followed by names; each ended by a zero byte,
  // the whole list by a second one. Grows as needed (no fixed size).
  std::string fileList;
  uint32_t fileCount = 0;    // files in fileList, at least 1 once a run has begun
  uint32_t currentFile = 0;  // 1-based number of the file in hand
  bool noTags = false;       // outputs leave out the tags of their inputs (--no-tags)
};

extern BatchState Batch;

// Number of files in Batch.fileList: the names after the folder, or 1 for a
// single full path (and for an empty list).
uint32_t CountBatchFiles();

// Full path of file n (1-based) of Batch.fileList; Batch.fileCount must be set.
std::string GetBatchFile(uint32_t n);

// Builds a fileList: one path alone, or a folder and names relative to it.
std::string MakeFileList(const std::string& folder, const std::vector<std::string>& names);

// True for anything that is not a directory, including paths that cannot be examined.
bool IsFilePath(const std::string& path);

// Everything after the last '/', or "" for an empty path.
std::string GetFileNamePart(const std::string& path);

// From the last '.' (searched back to position 1, passing '/') to the end, lower-cased
// (UTF-8 aware); the whole path, lower-cased, when there is no such dot.
std::string GetLowerExtension(const std::string& path);

// The path up to and including its last '/', or "" for an empty path.
std::string GetDirectoryPart(const std::string& path);

// The folder of the running program, ending in '/'.
std::string GetProgramDirectory();

// True when the settings file and the output folder for optical media go beside the
// program: its folder is writable and it is not an installed copy.
bool ProgramFolderTakesFiles();
