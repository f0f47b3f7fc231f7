// WavDest's parsing of what it is given: the wave-format property (a "fmt " chunk body)
// and the first buffer of an MPEG stream, whose frame header (media/mpeg_frame.*)
// completes the format. The format's file is compiled in whole so that its internal
// parsers are reachable.
#include "media/wavdest_format.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WaveFormat format;
  if (ParseWaveFormat(data, size, &format)) {
    std::vector<uint8_t> body = SerializeWaveFormat(format);
    MakeRiffWaveHeader(body, size);
  }
  MpegFrame frame;
  size_t offset = 0;
  bool found = FindMpegFrame(data, size, &frame, &offset);
  if (found && (offset + 4 > size || frame.FrameBytesPadded() == 0 || frame.rate == 0)) __builtin_trap();
  size_t run = 0;
  if (FindMpegFrameRun(data, size, size % 2 == 0, &run) &&
      (run + 4 > size || !FindMpegFrame(data + run, size - run, &frame)))
    __builtin_trap();
  // The caps side as the element sees it: rate and channels may be missing (0).
  WaveFormat mpeg;
  MpegCaps caps;
  if (size > 0) {
    mpeg.samplesPerSec = data[0] & 1 ? 0 : 44100u >> (data[0] % 3);
    mpeg.channels = static_cast<uint16_t>(data[0] >> 7);
    caps.layer = (data[0] >> 1) % 4;
    caps.bitrate = data[0] & 0x20 ? 0 : 128000;
  }
  CompleteMpegFormat(&mpeg, caps, found ? &frame : nullptr);
  return 0;
}
