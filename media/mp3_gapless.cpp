#include "media/mp3_gapless.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "media/file_read.h"
#include "media/mpeg_frame.h"

// Samples of synthesis delay of an MPEG audio layer 3 decoder.
static constexpr int64_t kDecoderDelay = 529;
// Bytes read where the audio starts: more than any layer-3 frame (1441 bytes).
static constexpr size_t kFrameWindow = 4096;
static constexpr size_t kId3HeaderBytes = 10;

static uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint64_t Id3v2TagBytes(const uint8_t* data, size_t size) {
  if (size < kId3HeaderBytes || std::memcmp(data, "ID3", 3) != 0 || data[3] == 0xFF || data[4] == 0xFF ||
      ((data[6] | data[7] | data[8] | data[9]) & 0x80) != 0)
    return 0;
  const uint64_t body = uint64_t{data[6]} << 21 | uint64_t{data[7]} << 14 | uint64_t{data[8]} << 7 | data[9];
  return kId3HeaderBytes + body + ((data[5] & 0x10) ? kId3HeaderBytes : 0);
}

bool ParseMp3Gapless(const uint8_t* data, size_t size, Mp3Gapless* gapless) {
  MpegFrame frame;
  if (!ParseMpegFrameHeader(data, size, &frame) || frame.layer != 3) return false;
  const size_t end = std::min<size_t>(size, frame.FrameBytesPadded());  // the tag lies in this frame

  const size_t tag = 4 + frame.SideInfoBytes();
  if (tag + 8 > end || (std::memcmp(data + tag, "Xing", 4) != 0 && std::memcmp(data + tag, "Info", 4) != 0))
    return false;
  const uint32_t flags = BigEndian32(data + tag + 4);
  size_t field = tag + 8;
  int64_t frames = 0;
  if (flags & 1) {
    if (field + 4 > end) return false;
    frames = BigEndian32(data + field);
    field += 4;
  }
  if (flags & 2) field += 4;    // byte count
  if (flags & 4) field += 100;  // seek table
  if (flags & 8) field += 4;    // quality

  // The LAME extension: a 9-byte encoder name, then at offset 21 the delay and padding
  // as two 12-bit numbers. Decoders honour it for these encoder names.
  if (field + 24 > end) return false;
  const uint8_t* lame = data + field;
  if (std::memcmp(lame, "LAME", 4) != 0 && std::memcmp(lame, "Lavf", 4) != 0 &&
      std::memcmp(lame, "Lavc", 4) != 0)
    return false;
  const uint32_t delays = uint32_t{lame[21]} << 16 | uint32_t{lame[22]} << 8 | lame[23];
  const int64_t delay = delays >> 12;
  const int64_t padding = delays & 0xfff;

  std::memcpy(gapless->encoder, lame, 4);
  gapless->encoder[4] = 0;
  gapless->skipSamples = delay + kDecoderDelay;
  gapless->keepSamples =
      frames > 0 ? std::max<int64_t>(0, frames * frame.SamplesPerFrame() - delay - padding) : -1;
  return true;
}

bool ReadMp3Gapless(const std::string& path, Mp3Gapless* gapless, uint64_t audioStart) {
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> window(kFrameWindow);
  auto readAt = [&](uint64_t offset) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(window.data()), static_cast<std::streamsize>(kFrameWindow));
    return static_cast<size_t>(std::max<std::streamsize>(0, file.gcount()));
  };
  // Tags may be of any size (cover pictures run to megabytes): skip them one header at
  // a time, reading where the next one would start.
  uint64_t audio = audioStart;
  size_t got = readAt(audio);
  if (audioStart == 0)
    while (uint64_t tag = Id3v2TagBytes(window.data(), got)) {
      audio += tag;
      got = readAt(audio);
    }
  return ParseMp3Gapless(window.data(), got, gapless);
}

bool FindJunkBeforeMpegFrames(int fd, uint64_t fileSize, uint64_t* junkStart, uint64_t* junkEnd) {
  uint8_t header[kId3HeaderBytes];
  uint64_t tagsEnd = 0;
  while (tagsEnd < fileSize) {
    const uint64_t tag = Id3v2TagBytes(header, ReadFileAt(fd, tagsEnd, header, sizeof header));
    if (tag == 0) break;
    tagsEnd += tag;
  }
  if (tagsEnd >= fileSize) return false;
  // Most files have their frames right there: a first look reads a few frames' worth.
  std::vector<uint8_t> window;
  size_t run = 0;
  for (uint64_t bytes : {uint64_t{4} * kFrameWindow, kMpegJunkScanBytes + 4 * kFrameWindow}) {
    window.resize(static_cast<size_t>(std::min(bytes, fileSize - tagsEnd)));
    window.resize(ReadFileAt(fd, tagsEnd, window.data(), window.size()));
    const bool endsFile = tagsEnd + window.size() >= fileSize;
    // The scan reaches kMpegJunkScanBytes; past it, the window holds the run's frames.
    const size_t scanned = std::min<size_t>(window.size(), kMpegJunkScanBytes + 4);
    if (FindMpegFrameRun(window.data(), window.size(), endsFile, &run) && run + 4 <= scanned) {
      if (run == 0) return false;
      *junkStart = tagsEnd;
      *junkEnd = tagsEnd + run;
      return true;
    }
    if (endsFile) break;
  }
  return false;
}
