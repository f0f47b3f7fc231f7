// Choosing the source filter of an input file.
#pragma once

#include <string>

#include "media/media.h"

// Adds to the graph a source filter that reads the file, chosen by its extension:
// ".asf" the ASF reader, ".cda" the CD track reader, anything else the generic file
// source. nullptr on failure; the ASF and CD branches may have shown a message.
FilterRef AddSourceForFile(Graph* graph, const std::string& path);
