#include "media/mp3_gapless.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

// Samples of synthesis delay of an MPEG audio layer 3 decoder.
static constexpr int64_t kDecoderDelay = 529;
static constexpr size_t kHeadBytes = 1 << 16;

static uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

bool ReadMp3Gapless(const std::string& path, Mp3Gapless* gapless) {
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> head(kHeadBytes);
  file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(file.gcount()));
  const uint8_t* p = head.data();
  size_t size = head.size();

  // An ID3v2 tag comes first: "ID3", version, flags, then a 28-bit size.
  size_t pos = 0;
  if (size >= 10 && std::memcmp(p, "ID3", 3) == 0) {
    pos = 10 + ((p[6] & 0x7f) << 21 | (p[7] & 0x7f) << 14 | (p[8] & 0x7f) << 7 | (p[9] & 0x7f));
    if (p[5] & 0x10) pos += 10;  // footer
  }
  if (pos + 4 > size || p[pos] != 0xff || (p[pos + 1] & 0xe0) != 0xe0) return false;

  const int version = (p[pos + 1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  const int layer = (p[pos + 1] >> 1) & 3;    // 1 layer 3
  const bool mono = (p[pos + 3] >> 6) == 3;
  if (version == 1 || layer != 1) return false;
  const bool mpeg1 = version == 3;
  const size_t sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  const int64_t samplesPerFrame = mpeg1 ? 1152 : 576;

  size_t tag = pos + 4 + sideInfo;
  if (tag + 8 > size || (std::memcmp(p + tag, "Xing", 4) != 0 && std::memcmp(p + tag, "Info", 4) != 0))
    return false;
  const uint32_t flags = BigEndian32(p + tag + 4);
  size_t field = tag + 8;
  int64_t frames = 0;
  if (flags & 1) {
    if (field + 4 > size) return false;
    frames = BigEndian32(p + field);
    field += 4;
  }
  if (flags & 2) field += 4;    // byte count
  if (flags & 4) field += 100;  // seek table
  if (flags & 8) field += 4;    // quality

  // The LAME extension: a 9-byte encoder name, then at offset 21 the delay and padding
  // as two 12-bit numbers.
  if (field + 24 > size) return false;
  const uint8_t* lame = p + field;
  if (std::memcmp(lame, "LAME", 4) != 0 && std::memcmp(lame, "Lavf", 4) != 0 &&
      std::memcmp(lame, "Lavc", 4) != 0)
    return false;
  const uint32_t delays = uint32_t{lame[21]} << 16 | uint32_t{lame[22]} << 8 | lame[23];
  const int64_t delay = delays >> 12;
  const int64_t padding = delays & 0xfff;

  gapless->skipSamples = delay + kDecoderDelay;
  gapless->keepSamples = frames > 0 ? std::max<int64_t>(0, frames * samplesPerFrame - delay - padding) : -1;
  return true;
}
