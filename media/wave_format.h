// A wave format record, as stored in a RIFF WAVE "fmt " chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint16_t kWaveFormatPcm = 0x0001;
constexpr uint16_t kWaveFormatAdpcm = 0x0002;     // MS ADPCM
constexpr uint16_t kWaveFormatIeeeFloat = 0x0003;
constexpr uint16_t kWaveFormatAlaw = 0x0006;
constexpr uint16_t kWaveFormatMulaw = 0x0007;
constexpr uint16_t kWaveFormatImaAdpcm = 0x0011;
constexpr uint16_t kWaveFormatMpeg = 0x0050;      // MPEG-1 layer 1 and 2
constexpr uint16_t kWaveFormatMpegLayer3 = 0x0055;
constexpr uint16_t kWaveFormatDolbyAc3 = 0x2000;
constexpr uint16_t kWaveFormatDts = 0x2001;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE; // the sample format is in the extra bytes

struct WaveFormat {
  uint16_t formatTag = 0;
  uint16_t channels = 0;
  uint32_t samplesPerSec = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  std::vector<uint8_t> extra;  // the cbSize bytes after the 18-byte record

  bool operator==(const WaveFormat&) const = default;
};

// A PCM wave format with block align and byte rate derived from the rest.
inline WaveFormat PcmWaveFormat(uint32_t rate, uint16_t bits, uint16_t channels) {
  WaveFormat f;
  f.formatTag = kWaveFormatPcm;
  f.channels = channels;
  f.samplesPerSec = rate;
  f.bitsPerSample = bits;
  f.blockAlign = static_cast<uint16_t>(bits / 8 * channels);
  f.avgBytesPerSec = rate * f.blockAlign;
  return f;
}

// The record of integer PCM (8, 16, 24 or 32 bits) or 32-bit IEEE float. Integer
// PCM of more than 16 bits and any stream of more than two channels is written as
// WAVE_FORMAT_EXTENSIBLE, whose extra bytes carry the valid bits, the channel mask
// (bits as in the WAV format's speaker positions; 0 for mono and stereo means
// centre and left-right) and the sample format; the rest keeps its plain tag.
WaveFormat RawWaveFormat(bool isFloat, uint16_t bits, uint32_t rate, uint16_t channels,
                         uint32_t channelMask);

// Little-endian fields of RIFF files.
inline void PutLe16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
inline void PutLe32(std::vector<uint8_t>* out, uint32_t v) {
  PutLe16(out, static_cast<uint16_t>(v));
  PutLe16(out, static_cast<uint16_t>(v >> 16));
}
inline uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) { return GetLe16(p) | (static_cast<uint32_t>(GetLe16(p + 2)) << 16); }

// The "fmt " chunk body: the 16-byte record for PCM without extra bytes, otherwise
// the 18-byte record with cbSize followed by the extra bytes. Little-endian.
std::vector<uint8_t> SerializeWaveFormat(const WaveFormat& format);

// Reads a "fmt " chunk body; false when it is shorter than 16 bytes or its
// cbSize runs past the end.
bool ParseWaveFormat(const uint8_t* data, size_t size, WaveFormat* format);
