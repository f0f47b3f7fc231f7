// Reading and writing the "fmt " chunk body of a RIFF WAVE file.
#include "media/wave_format.h"

#include <iterator>
#include <utility>

namespace {

constexpr size_t kPcmRecordBytes = 16;   // PCMWAVEFORMAT: no cbSize field
constexpr size_t kFullRecordBytes = 18;  // WAVEFORMATEX: cbSize follows bitsPerSample

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT after their first two bytes, which are
// the plain format tag.
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

}  // namespace

WaveFormat RawWaveFormat(bool isFloat, uint16_t bits, uint32_t rate, uint16_t channels,
                         uint32_t channelMask) {
  WaveFormat f = PcmWaveFormat(rate, bits, channels);
  const uint16_t tag = isFloat ? kWaveFormatIeeeFloat : kWaveFormatPcm;
  f.formatTag = tag;
  if (channels <= 2 && (isFloat || bits <= 16)) return f;

  if (channelMask == 0 && channels <= 2) channelMask = channels == 1 ? 0x4 : 0x3;
  f.formatTag = kWaveFormatExtensible;
  PutLe16(&f.extra, bits);  // wValidBitsPerSample: every bit of the container
  PutLe32(&f.extra, channelMask);
  PutLe16(&f.extra, tag);
  f.extra.insert(f.extra.end(), std::begin(kSubFormatTail), std::end(kSubFormatTail));
  return f;
}

std::vector<uint8_t> SerializeWaveFormat(const WaveFormat& format) {
  std::vector<uint8_t> out;
  out.reserve(kFullRecordBytes + format.extra.size());
  PutLe16(&out, format.formatTag);
  PutLe16(&out, format.channels);
  PutLe32(&out, format.samplesPerSec);
  PutLe32(&out, format.avgBytesPerSec);
  PutLe16(&out, format.blockAlign);
  PutLe16(&out, format.bitsPerSample);
  if (format.formatTag == kWaveFormatPcm && format.extra.empty()) return out;

  // cbSize is 16 bits; extra bytes beyond what it can count would be unreadable.
  size_t extraBytes = format.extra.size() > 0xFFFF ? 0xFFFF : format.extra.size();
  PutLe16(&out, static_cast<uint16_t>(extraBytes));
  out.insert(out.end(), format.extra.begin(), format.extra.begin() + extraBytes);
  return out;
}

bool ParseWaveFormat(const uint8_t* data, size_t size, WaveFormat* format) {
  if (data == nullptr || size < kPcmRecordBytes) return false;
  WaveFormat parsed;
  parsed.formatTag = GetLe16(data);
  parsed.channels = GetLe16(data + 2);
  parsed.samplesPerSec = GetLe32(data + 4);
  parsed.avgBytesPerSec = GetLe32(data + 8);
  parsed.blockAlign = GetLe16(data + 12);
  parsed.bitsPerSample = GetLe16(data + 14);
  // A 16-byte body (or a 17th stray byte) has no cbSize: no extra bytes.
  if (size >= kFullRecordBytes) {
    size_t extraBytes = GetLe16(data + 16);
    if (extraBytes > size - kFullRecordBytes) return false;
    parsed.extra.assign(data + kFullRecordBytes, data + kFullRecordBytes + extraBytes);
  }
  *format = std::move(parsed);
  return true;
}
