// The Xing frame: layer-3 headers read right, and a frame whose counts and seek table
// describe the stream behind it. (Whole files are judged by ffprobe in the MP3
// conversion tests.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "media/mpeg_frame.h"
#include "media/xing_writer.h"

namespace {

uint32_t Be32At(const auto& b, size_t i) { return uint32_t{b[i]} << 24 | b[i + 1] << 16 | b[i + 2] << 8 | b[i + 3]; }

TEST(XingWriterTest, FrameHeadersGiveFrameSizeAndSamples) {
  const std::tuple<uint32_t, uint32_t, uint32_t> rows[] = {  // header, frame bytes, samples; 0 when refused
      {0xFFFB9064, 417, 1152}, {0xFFFB9264, 418, 1152}, {0xFFFAE444, 960, 1152},  // MPEG-1 128k, padded, 320k CRC
      {0xFFF338C0, 108, 576}, {0xFFE318C0, 72, 576},  // MPEG-2 24k 16000, MPEG-2.5 8k 8000 mono
      {0xFFFD9064, 522, 1152}, {0xFFFF9064, 312, 384},  // layer 2 at 160k, layer 1 at 288k
      {0xFFEB9064, 0, 0}, {0xFFFB0064, 0, 0}, {0xFFFBF064, 0, 0},  // reserved version, free bit rate, bad bit rate
      {0xFFFB9C64, 0, 0}, {0x7FFB9064, 0, 0}, {0xFFF99064, 0, 0},  // reserved rate, no sync, reserved layer
  };
  for (const auto& [header, wantBytes, wantSamples] : rows) {
    const uint8_t bytes[] = {uint8_t(header >> 24), uint8_t(header >> 16), uint8_t(header >> 8), uint8_t(header)};
    MpegFrame frame;
    const bool valid = ParseMpegFrameHeader(bytes, sizeof bytes, &frame);
    EXPECT_EQ(std::make_tuple(valid, valid ? frame.FrameBytesPadded() : 0u, valid ? frame.SamplesPerFrame() : 0u),
              std::make_tuple(wantBytes != 0, wantBytes, wantSamples)) << std::hex << header;
    EXPECT_FALSE(ParseMpegFrameHeader(bytes, 3, &frame)) << "three bytes are no header";
  }
}

TEST(XingWriterTest, FrameHoldsCountsAndAnIncreasingSeekTable) {
  // The first header of the stream and the size of its frames; where the tag starts (after the
  // side information) and the size of the Xing frame, the least bit rate that holds the tag
  // and the 36 bytes of the LAME extension behind it.
  const std::tuple<const char*, uint32_t, uint32_t, size_t, size_t> rows[] = {
      {"MPEG-1 stereo", 0xFFFB9264, 418, 36, 208},  // 64 kbps at 44100
      {"MPEG-1 mono", 0xFFFB90C4, 417, 21, 182},    // 48 kbps is 156 bytes, short of 173
      {"MPEG-2 mono", 0xFFF338C0, 108, 13, 180},    // 40 kbps at 16000
      {"MPEG-2.5 mono", 0xFFE318C0, 72, 13, 216},   // 24 kbps at 8000
  };
  for (const auto& [name, firstHeader, audioFrameBytes, at, frameBytes] : rows) {
    SCOPED_TRACE(name);
    std::vector<uint64_t> offsets;
    for (uint64_t i = 0; i < 1000; ++i) offsets.push_back(i * audioFrameBytes);
    const uint64_t streamBytes = 1000 * uint64_t{audioFrameBytes};

    const std::vector<uint8_t> frame = MakeXingFrame(firstHeader, offsets, streamBytes);
    ASSERT_EQ(frame.size(), frameBytes);
    uint32_t size = 0, samples = 0;
    ASSERT_TRUE(ParseLayer3Header(Be32At(frame, 0), &size, &samples));
    EXPECT_EQ(size, frame.size());
    EXPECT_EQ(Be32At(frame, 0) & 0xFFFF0CC0, (firstHeader & 0xFFFE0CC0) | 0x10000) << "bit rate only; no CRC";
    // The tag, its flags (frames, bytes, seek table) and 1000 frames: the Xing frame itself is not counted.
    EXPECT_EQ(std::string(&frame[at], &frame[at + 12]), std::string("Xing\0\0\0\7\0\0\3\xE8", 12));
    EXPECT_EQ(Be32At(frame, at + 12), frame.size() + streamBytes);
    const uint8_t* toc = &frame[at + 16];
    EXPECT_EQ(toc[0], frame.size() * 256 / (frame.size() + streamBytes));
    EXPECT_NEAR(toc[50], 128, 1);
    for (int i = 1; i < 100; ++i) EXPECT_LE(toc[i - 1], toc[i]) << i;

    // Given the encoder's input, the LAME extension holds delay 576 and the padding that
    // makes the frames' samples (1000 x samples) whole; without it, or when the padding
    // does not fit 12 bits, the extension stays empty.
    const uint8_t* lame = toc + 100;
    EXPECT_EQ(std::string(lame, lame + 36), std::string(36, '\0'));
    for (const int64_t padding : {0, 1000, 4095, 4096, -1}) {
      const std::vector<uint8_t> tagged = MakeXingFrame(firstHeader, offsets, streamBytes, 1000 * samples - 576 - padding);
      ASSERT_EQ(tagged.size(), frame.size());
      const uint8_t* ext = &tagged[at + 116];
      const bool filled = padding >= 0 && padding <= 4095;
      EXPECT_EQ(std::string(ext, ext + 9), filled ? "LAME3.100" : std::string(9, '\0')) << padding;
      EXPECT_EQ(Be32At(tagged, at + 116 + 20) & 0xFFFFFF, filled ? 576u << 12 | padding : 0) << padding;
    }
  }
}

}  // namespace
