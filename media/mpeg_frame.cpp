#include "media/mpeg_frame.h"

namespace {

// Bit rates in kbps by bit-rate index: MPEG-1 layers 1 to 3, then MPEG-2/2.5.
constexpr uint16_t kKbps[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
constexpr uint32_t kMpeg1Rates[3] = {44100, 48000, 32000};

}  // namespace

uint32_t MpegFrame::SamplesPerFrame() const {
  if (layer == 1) return 384;
  return layer == 3 && !mpeg1 ? 576 : 1152;
}

uint32_t MpegFrame::FrameBytes() const {
  if (rate == 0) return 0;
  if (layer == 1) return 12 * bitrate / rate * 4;
  return SamplesPerFrame() / 8 * bitrate / rate;
}

uint32_t MpegFrame::FrameBytesPadded() const { return FrameBytes() + (padded ? (layer == 1 ? 4 : 1) : 0); }

uint32_t MpegFrame::SideInfoBytes() const {
  const bool mono = channelMode == 3;
  if (mpeg1) return mono ? 17 : 32;
  return mono ? 9 : 17;
}

bool ParseMpegFrameHeader(const uint8_t* p, size_t size, MpegFrame* frame) {
  if (size < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  const uint32_t version = (p[1] >> 3) & 3;  // 0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1
  const uint32_t layerBits = (p[1] >> 1) & 3;
  const uint32_t bitrateIndex = p[2] >> 4;
  const uint32_t rateIndex = (p[2] >> 2) & 3;
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 ||
      (p[3] & 3) == 2)
    return false;
  MpegFrame f;
  f.layer = 4 - layerBits;
  f.mpeg1 = version == 3;
  f.bitrate = kKbps[f.mpeg1 ? 0 : 1][f.layer - 1][bitrateIndex] * 1000u;
  f.rate = kMpeg1Rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  f.crc = (p[1] & 1) == 0;
  f.padded = (p[2] >> 1) & 1;
  f.privateBit = p[2] & 1;
  f.channelMode = p[3] >> 6;
  f.modeExtension = (p[3] >> 4) & 3;
  f.copyright = (p[3] >> 3) & 1;
  f.original = (p[3] >> 2) & 1;
  f.emphasis = p[3] & 3;
  *frame = f;
  return true;
}

bool FindMpegFrame(const uint8_t* data, size_t size, MpegFrame* frame, size_t* offset) {
  for (size_t i = 0; i + 4 <= size; ++i) {
    MpegFrame f;
    if (!ParseMpegFrameHeader(data + i, size - i, &f)) continue;
    const size_t next = i + f.FrameBytesPadded();
    MpegFrame g;
    if (next + 4 <= size && (!ParseMpegFrameHeader(data + next, size - next, &g) || g.layer != f.layer ||
                             g.mpeg1 != f.mpeg1 || g.rate != f.rate))
      continue;
    *frame = f;
    if (offset) *offset = i;
    return true;
  }
  return false;
}

namespace {

// Whether a run starts at data[0] (see FindMpegFrameRun).
bool IsMpegFrameRun(const uint8_t* data, size_t size, bool endsFile) {
  constexpr size_t kId3v1Bytes = 128;
  MpegFrame first;
  if (!ParseMpegFrameHeader(data, size, &first)) return false;
  size_t at = 0;
  for (int frames = 0;; ++frames) {
    MpegFrame f;
    if (at + 4 > size || !ParseMpegFrameHeader(data + at, size - at, &f)) {
      const bool fileEnds = endsFile && (at == size || (at + kId3v1Bytes == size && data[at] == 'T' &&
                                                       data[at + 1] == 'A' && data[at + 2] == 'G'));
      return fileEnds && frames >= 2;
    }
    if (f.layer != first.layer || f.mpeg1 != first.mpeg1 || f.rate != first.rate ||
        f.Channels() != first.Channels())
      return false;
    if (frames + 1 == kMpegRunFrames) return true;
    at += f.FrameBytesPadded();
  }
}

}  // namespace

bool FindMpegFrameRun(const uint8_t* data, size_t size, bool endsFile, size_t* offset) {
  for (size_t i = 0; i + 4 <= size; ++i) {
    if (data[i] != 0xFF || !IsMpegFrameRun(data + i, size - i, endsFile)) continue;
    *offset = i;
    return true;
  }
  return false;
}
