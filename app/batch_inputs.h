// The inputs a batch's command line stands for.
#pragma once

#include <string>
#include <vector>

#include "app/batch_jobs.h"

// The path made absolute, without "." and ".." (symlinks are kept).
std::string AbsolutePath(const std::string& path);

// Each file given, and the media files of each folder given (of its subfolders too when
// recursive), each real file once, in order; with an output folder, each file's output
// folder under it. Only the part shardIndex of shardCount is kept, by a stable hash of
// each input's path under its FOLDER. A folder that cannot be read is an input that
// fails in its turn with its message.
std::vector<BatchFile> ExpandBatchInputs(const std::vector<std::string>& inputs, const std::string& outputDir,
                                         bool recursive, unsigned shardIndex, unsigned shardCount);
