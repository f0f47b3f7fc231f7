#include "media/mp3_formats.h"

#include <algorithm>
#include <iterator>

#include "media/mpeg_frame.h"

namespace {

constexpr uint16_t kMpegLayer3IdMpeg = 1;            // wID
constexpr uint32_t kMpegLayer3FlagPaddingOff = 2;    // fdwFlags
constexpr uint16_t kMpegLayer3CodecDelay = 1393;     // nCodecDelay, samples

// Layer-3 bit rates (kbps) of the frame header's bit-rate index, limited to what
// lamemp3enc encodes unclamped.
constexpr uint32_t kMpeg1Kbps[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr uint32_t kMpeg2Kbps[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160};
constexpr uint32_t kMpeg25Kbps[] = {8, 16, 24, 32, 40, 48, 56, 64};

bool IsMpeg1Rate(uint32_t rate) { return rate == 32000 || rate == 44100 || rate == 48000; }
bool IsMpeg2Rate(uint32_t rate) { return rate == 16000 || rate == 22050 || rate == 24000; }
bool IsMpeg25Rate(uint32_t rate) { return rate == 8000 || rate == 11025 || rate == 12000; }

template <size_t N>
bool Contains(const uint32_t (&list)[N], uint32_t value) {
  return std::find(std::begin(list), std::end(list), value) != std::end(list);
}

void PutLe16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(std::vector<uint8_t>* out, uint32_t v) {
  PutLe16(out, v);
  PutLe16(out, v >> 16);
}

WaveFormat Mp3WaveFormat(uint32_t rate, uint16_t channels, uint32_t kbps) {
  WaveFormat f;
  f.formatTag = kWaveFormatMpegLayer3;
  f.channels = channels;
  f.samplesPerSec = rate;
  f.avgBytesPerSec = kbps * 125;
  f.blockAlign = 1;
  f.bitsPerSample = 0;
  MpegFrame frame;
  frame.layer = 3;
  frame.mpeg1 = IsMpeg1Rate(rate);
  frame.bitrate = kbps * 1000;
  frame.rate = rate;
  const uint32_t blockSize = frame.FrameBytes();  // without padding
  PutLe16(&f.extra, kMpegLayer3IdMpeg);
  PutLe32(&f.extra, kMpegLayer3FlagPaddingOff);
  PutLe16(&f.extra, blockSize);
  PutLe16(&f.extra, 1);  // nFramesPerBlock
  PutLe16(&f.extra, kMpegLayer3CodecDelay);
  return f;
}

struct LadderStep {
  uint32_t rate;
  uint16_t channels;
  uint32_t kbps;
};

// Speech at the low rates, a mono and a stereo step for every rate, then the
// music rates. 12000 Hz is offered by the encoder but left out of the user's list.
constexpr LadderStep kLadder[] = {
    {8000, 1, 8},    {8000, 2, 16},
    {11025, 1, 16},  {11025, 2, 24},
    {12000, 1, 16},  {12000, 2, 24},
    {16000, 1, 24},  {16000, 2, 32},
    {22050, 1, 32},  {22050, 2, 56},
    {24000, 1, 40},  {24000, 2, 64},
    {32000, 1, 48},  {32000, 2, 96},
    {44100, 1, 64},  {44100, 1, 128},
    {44100, 2, 96},  {44100, 2, 112}, {44100, 2, 128}, {44100, 2, 160},
    {44100, 2, 192}, {44100, 2, 224}, {44100, 2, 256}, {44100, 2, 320},
    {48000, 1, 128},
    {48000, 2, 128}, {48000, 2, 160}, {48000, 2, 192}, {48000, 2, 256}, {48000, 2, 320},
};

}  // namespace

bool IsLegalMp3CbrFormat(uint32_t rate, uint32_t kbps) {
  if (IsMpeg1Rate(rate)) return Contains(kMpeg1Kbps, kbps);
  if (IsMpeg2Rate(rate)) return Contains(kMpeg2Kbps, kbps);
  if (IsMpeg25Rate(rate)) return Contains(kMpeg25Kbps, kbps);
  return false;
}

const std::vector<WaveFormat>& Mp3EncoderFormats() {
  static const std::vector<WaveFormat> formats = [] {
    std::vector<WaveFormat> made;
    for (const LadderStep& step : kLadder)
      made.push_back(Mp3WaveFormat(step.rate, step.channels, step.kbps));
    return made;
  }();
  return formats;
}
