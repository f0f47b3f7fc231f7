// The output format chosen for the run, read by the WAV and MP3 builders and the preview.
#pragma once

#include <cstdint>

struct TargetAudioFormat {
  uint32_t samplesPerSec = 0;   // Hz; 0 keeps the decoded format
  uint32_t avgBytesPerSec = 0;  // PCM: rate x bits / 8 x channels; MP3: kbps x 125
  uint16_t bitsPerSample = 0;   // 8 or 16 (always 16 for MP3)
  uint16_t channels = 0;        // 1 or 2
};

extern TargetAudioFormat TargetFormat;

// The encoder settings of the batch mode's own formats (--flac-level and the like).
struct EncoderSettings {
  int32_t flacLevel = 5;     // FLAC compression level 0-8
  int32_t opusKbps = 128;    // Opus bit rate, kbps
  double vorbisQuality = 5;  // Vorbis quality -1 to 10
  int32_t aacKbps = 192;     // AAC bit rate, kbps
};

extern EncoderSettings EncoderChoice;
