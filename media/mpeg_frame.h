// The four-byte header of an MPEG audio frame (MPEG-1, 2 and 2.5; layers 1 to 3),
// decoded in this one place for every reader and writer of MPEG audio bytes.
#pragma once

#include <cstddef>
#include <cstdint>

struct MpegFrame {
  uint32_t layer = 0;        // 1 to 3
  bool mpeg1 = false;        // MPEG-1; otherwise MPEG-2 or 2.5 (half-size layer 3 frames)
  uint32_t bitrate = 0;      // bits per second
  uint32_t rate = 0;         // samples per second
  uint32_t channelMode = 0;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
  uint32_t modeExtension = 0;
  uint32_t emphasis = 0;     // 0 none, 1 50/15 us, 3 CCITT J.17
  bool padded = false;
  bool crc = false;
  bool privateBit = false;
  bool copyright = false;
  bool original = false;

  uint16_t Channels() const { return channelMode == 3 ? 1 : 2; }
  // Samples per channel: 384 (layer 1), 1152 (layer 2, MPEG-1 layer 3), 576 (MPEG-2
  // and 2.5 layer 3).
  uint32_t SamplesPerFrame() const;
  // Bytes of a frame without its padding slot, and with it when the header says so.
  uint32_t FrameBytes() const;
  uint32_t FrameBytesPadded() const;
  // Layer 3: bytes of side information after the header (where a Xing tag starts).
  uint32_t SideInfoBytes() const;
};

// Decodes the header at p (size bytes available); false when fewer than four bytes,
// no sync word, or a reserved or free-format field (frames without a bit rate).
bool ParseMpegFrameHeader(const uint8_t* p, size_t size, MpegFrame* frame);

// The first frame header in data, at *offset. A candidate counts when the next frame,
// if it starts within data, has a header of the same layer, version and rate: random
// bytes that look like a sync word are passed over.
bool FindMpegFrame(const uint8_t* data, size_t size, MpegFrame* frame, size_t* offset = nullptr);

// Frames in a row that make a run: the real stream rather than a sync word that happens
// to lie in other bytes.
inline constexpr int kMpegRunFrames = 4;

// The first offset in data where a run of frames starts: kMpegRunFrames headers in a row,
// each where the one before ends, agreeing in version, layer, rate and channels. A
// shorter chain of at least two counts when it ends exactly at the end of the file
// (endsFile: data reaches it), or at an ID3v1 tag there.
bool FindMpegFrameRun(const uint8_t* data, size_t size, bool endsFile, size_t* offset);
