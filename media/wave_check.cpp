// Checking a WAV file's "fmt " chunk before it is parsed for playing.
#include "media/wave_check.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

constexpr uint32_t kMinRate = 1000;     // below any rate audio is recorded at
constexpr uint32_t kMaxRate = 768000;   // above the fastest converters sold
constexpr uint16_t kMaxChannels = 64;
constexpr uint16_t kMaxCompressedBlock = 16384;
constexpr size_t kExtensibleExtra = 22;  // valid bits, channel mask, sub-format GUID
constexpr uint32_t kSpeakerPositions = 0x3FFFF;  // the 18 named speaker bits
constexpr int kMaxChunks = 4096;         // a file of more chunks before "fmt " is not audio
constexpr uint32_t kMaxFormatChunk = 18 + 0xFFFF;

// KSDATAFORMAT_SUBTYPE_* after their first two bytes, which are the plain format tag.
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Get16(const uint8_t* p, bool big) { return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : GetLe16(p); }
uint32_t Get32(const uint8_t* p, bool big) {
  return big ? static_cast<uint32_t>(Get16(p, true)) << 16 | Get16(p + 2, true) : GetLe32(p);
}

// The uncompressed formats: the bits each tag allows and the record's sizes.
bool PlainSamplesUsable(uint16_t tag, const WaveFormat& f) {
  const uint16_t bits = f.bitsPerSample;
  switch (tag) {
    case kWaveFormatPcm:
      if (bits < 1 || bits > 32) return false;
      break;
    case kWaveFormatIeeeFloat:
      if (bits != 32 && bits != 64) return false;
      break;
    case kWaveFormatAlaw:
    case kWaveFormatMulaw:
      if (bits != 8) return false;
      break;
    default:
      return false;
  }
  const uint32_t block = static_cast<uint32_t>((bits + 7) / 8) * f.channels;
  return f.blockAlign == block && f.avgBytesPerSec == static_cast<uint64_t>(f.samplesPerSec) * block;
}

bool ExtensibleUsable(const WaveFormat& f) {
  if (f.extra.size() < kExtensibleExtra) return false;
  const uint8_t* x = f.extra.data();
  const uint16_t validBits = GetLe16(x);
  const uint32_t mask = GetLe32(x + 2);
  const uint16_t subTag = GetLe16(x + 6);
  if (std::memcmp(x + 8, kSubFormatTail, sizeof kSubFormatTail) != 0) return false;
  // No writer pads a sample to twice its size or more; 0 is taken as the whole container.
  if (validBits > f.bitsPerSample || (validBits != 0 && validBits * 2 <= f.bitsPerSample)) return false;
  if (mask != 0 && ((mask & ~kSpeakerPositions) != 0 || std::popcount(mask) != f.channels)) return false;
  // The container of extensible PCM is whole bytes.
  if (subTag == kWaveFormatPcm && f.bitsPerSample % 8 != 0) return false;
  return PlainSamplesUsable(subTag, f);
}

}  // namespace

bool WaveFormatUsable(const WaveFormat& f) {
  if (f.channels < 1 || f.channels > kMaxChannels) return false;
  if (f.samplesPerSec < kMinRate || f.samplesPerSec > kMaxRate) return false;
  switch (f.formatTag) {
    case 0x0000:  // WAVE_FORMAT_UNKNOWN
    case 0xFFFF:  // reserved for development
      return false;
    case kWaveFormatExtensible:
      return ExtensibleUsable(f);
    case kWaveFormatPcm:
    case kWaveFormatIeeeFloat:
    case kWaveFormatAlaw:
    case kWaveFormatMulaw:
      return PlainSamplesUsable(f.formatTag, f);
    default:
      return f.blockAlign >= 1 && f.blockAlign <= kMaxCompressedBlock;
  }
}

bool WaveHeaderUsable(const WaveReadAt& readAt) {
  uint8_t head[12];
  if (readAt(0, head, sizeof head) != sizeof head || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
  const bool big = std::memcmp(head, "RIFX", 4) == 0;
  if (!big && std::memcmp(head, "RIFF", 4) != 0 && std::memcmp(head, "RF64", 4) != 0) return false;

  uint64_t at = sizeof head;
  for (int i = 0; i < kMaxChunks; ++i) {
    uint8_t chunk[8];
    if (readAt(at, chunk, sizeof chunk) != sizeof chunk) return false;
    const uint32_t size = Get32(chunk + 4, big);
    if (std::memcmp(chunk, "data", 4) == 0) return false;
    if (std::memcmp(chunk, "fmt ", 4) != 0) {
      at += sizeof chunk + size + (size & 1);
      continue;
    }
    if (size < 16 || size > kMaxFormatChunk) return false;
    std::vector<uint8_t> body(size);
    if (readAt(at + sizeof chunk, body.data(), size) != size) return false;
    WaveFormat format;
    if (!ParseWaveFormat(body.data(), size, &format)) return false;
    if (big) {
      const uint8_t* p = body.data();
      format.formatTag = Get16(p, true);
      format.channels = Get16(p + 2, true);
      format.samplesPerSec = Get32(p + 4, true);
      format.avgBytesPerSec = Get32(p + 8, true);
      format.blockAlign = Get16(p + 12, true);
      format.bitsPerSample = Get16(p + 14, true);
      if (format.formatTag == kWaveFormatExtensible) return false;  // no big-endian writer makes it
    }
    return WaveFormatUsable(format);
  }
  return false;
}

bool FindMpegWaveData(const WaveReadAt& readAt, uint64_t fileSize, uint64_t* start, uint64_t* size) {
  uint8_t head[12];
  if (readAt(0, head, sizeof head) != sizeof head || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0)
    return false;
  bool mpeg = false;
  uint64_t at = sizeof head;
  for (int i = 0; i < kMaxChunks; ++i) {
    uint8_t chunk[10];
    if (readAt(at, chunk, 8) != 8) return false;
    const uint32_t chunkSize = GetLe32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (chunkSize < 2 || readAt(at + 8, chunk + 8, 2) != 2) return false;
      const uint16_t tag = GetLe16(chunk + 8);
      mpeg = tag == kWaveFormatMpeg || tag == kWaveFormatMpegLayer3;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!mpeg || at + 8 > fileSize) return false;
      *start = at + 8;
      const uint64_t left = fileSize - *start;
      *size = chunkSize == 0 || chunkSize == 0xFFFFFFFF ? left : std::min<uint64_t>(chunkSize, left);
      return true;
    }
    at += 8 + uint64_t{chunkSize} + (chunkSize & 1);
  }
  return false;
}
