// The one-line audio description of a file, shown in the settings panel.
#pragma once

#include <cstdint>
#include <string>

// Opens the file in a graph of its own, lets the decoders connect it to a renderer and
// describes the audio that arrives: "44100Hz 16Bit ステレオ" ("%5dHz %2dBit モノラル" for one
// channel, "... ステレオ" otherwise). False, with the text untouched, when the file has no
// audio that decodes. Safe on any thread; never touches the conversion or preview graph.
bool DescribeMediaFile(const std::string& path, std::string* text);

// The description text of a decoded format.
std::string FormatAudioDescription(uint32_t samplesPerSec, uint16_t bitsPerSample, uint16_t channels);
