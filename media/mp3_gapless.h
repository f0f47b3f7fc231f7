// The encoder delay and padding an MP3 file declares in its LAME tag, so that a
// decoded file starts and ends where the encoded audio did.
#pragma once

#include <cstdint>
#include <string>

struct Mp3Gapless {
  int64_t skipSamples = 0;   // decoded samples (per channel) to drop at the start
  int64_t keepSamples = -1;  // samples to keep after those; -1: to the end
};

// Reads the first frame of an MP3 file; false when it carries no LAME tag with
// delays (a plain stream, another container, or not MP3 at all).
bool ReadMp3Gapless(const std::string& path, Mp3Gapless* gapless);
