// The one-line audio description of a file, shown in the settings panel.
#pragma once

#include <cstdint>
#include <string>

#include "media/wave_format.h"

// Opens the file in a graph of its own, lets the decoders connect it and describes the
// audio they deliver, as a WAV conversion keeping the format writes it. False, with the
// text untouched, when the file has no audio that decodes. Safe on any thread; never
// touches the conversion or preview graph.
bool DescribeMediaFile(const std::string& path, std::string* text);

// The description text of a decoded format: "44100Hz 16Bit ステレオ" ("%5uHz %2uBit
// モノラル" for one channel, "... 6ch" for more than two, "32Bit float" for float samples).
std::string FormatAudioDescription(const WaveFormat& format);

// The describer process. The dialog has its files described by a child process, this
// program run again with kDescriberOption, so that no file can crash or hang the dialog:
// a child that dies or takes longer than its time limit is ended, and the file counts
// as one that cannot be described. The child serves one caller, one file at a time, and
// is started again for the next file after it died.
inline constexpr const char* kDescriberOption = "--describer";

// The child's side: reads paths, each ended by a NUL byte, on standard input and writes
// a line for each on standard output: the description, or "-" when there is none. Ends
// at the end of its input or when the program that started it has gone. beforeEach, when
// given, is called with each path first (the tests' stand-in for a file that kills it).
int RunDescriber(void (*beforeEach)(const std::string& path) = nullptr);

struct DescriberChild;

// DescribeMediaFile in the child held by *child (started when there is none). False,
// with the text untouched, when the file cannot be described or the child died or was
// ended; it is then replaced by a new one.
bool DescribeInChild(DescriberChild** child, const std::string& path, std::string* text);

// Starts the child when there is none, so that it is ready by the first file.
void StartDescriberChild(DescriberChild** child);

// Ends the child, if any, and releases it.
void StopDescriberChild(DescriberChild** child);
