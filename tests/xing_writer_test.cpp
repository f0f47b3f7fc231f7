// The Xing frame: layer-3 headers read right, and a frame whose counts and seek table
// describe the stream behind it. (Whole files are judged by ffprobe in the MP3
// conversion tests.)
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/xing_writer.h"

namespace {

uint32_t Be32At(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

TEST(XingWriterTest, Layer3HeadersGiveFrameSizeAndSamples) {
  struct Row {
    const char* name;
    uint32_t header;
    bool valid;
    uint32_t frameBytes;
    uint32_t samples;
  } rows[] = {
      {"MPEG-1 128k 44100 stereo", 0xFFFB9064, true, 417, 1152},
      {"same, padded", 0xFFFB9264, true, 418, 1152},
      {"MPEG-1 320k 48000 with CRC", 0xFFFAE444, true, 960, 1152},
      {"MPEG-2 24k 16000 mono", 0xFFF338C0, true, 108, 576},
      {"MPEG-2.5 8k 8000 mono", 0xFFE318C0, true, 72, 576},
      {"layer 2", 0xFFFD9064, false, 0, 0},
      {"reserved version", 0xFFEB9064, false, 0, 0},
      {"free bit rate", 0xFFFB0064, false, 0, 0},
      {"bad bit rate", 0xFFFBF064, false, 0, 0},
      {"reserved rate", 0xFFFB9C64, false, 0, 0},
      {"no sync", 0x7FFB9064, false, 0, 0},
  };
  for (const Row& row : rows) {
    uint32_t frameBytes = 0, samples = 0;
    EXPECT_EQ(ParseLayer3Header(row.header, &frameBytes, &samples), row.valid) << row.name;
    if (!row.valid) continue;
    EXPECT_EQ(frameBytes, row.frameBytes) << row.name;
    EXPECT_EQ(samples, row.samples) << row.name;
  }
}

TEST(XingWriterTest, FrameHoldsCountsAndAnIncreasingSeekTable) {
  struct Row {
    const char* name;
    uint32_t firstHeader;
    size_t tagOffset;  // header and side information
    size_t frameBytes; // the least bit rate that holds the tag
  } rows[] = {
      {"MPEG-1 stereo", 0xFFFB9264, 36, 156},  // 48 kbps at 44100
      {"MPEG-1 mono", 0xFFFB90C4, 21, 156},    // 40 kbps is 130 bytes, short of 137
      {"MPEG-2 mono", 0xFFF338C0, 13, 144},    // 32 kbps at 16000
      {"MPEG-2.5 mono", 0xFFE318C0, 13, 144},  // 16 kbps at 8000
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint32_t audioFrameBytes = 0, samples = 0;
    ASSERT_TRUE(ParseLayer3Header(row.firstHeader, &audioFrameBytes, &samples));
    std::vector<uint64_t> offsets;
    for (uint64_t i = 0; i < 1000; ++i) offsets.push_back(i * audioFrameBytes);
    const uint64_t streamBytes = 1000 * uint64_t{audioFrameBytes};

    std::vector<uint8_t> frame = MakeXingFrame(row.firstHeader, offsets, streamBytes);
    ASSERT_EQ(frame.size(), row.frameBytes);
    const uint32_t header = Be32At(frame, 0);
    uint32_t size = 0, spf = 0;
    ASSERT_TRUE(ParseLayer3Header(header, &size, &spf));
    EXPECT_EQ(size, frame.size());
    EXPECT_EQ(spf, samples);
    EXPECT_EQ(header & 0xFFFE0CC0, row.firstHeader & 0xFFFE0CC0) << "version, layer, rate or mode changed";
    EXPECT_EQ(header & 0x10000u, 0x10000u) << "no CRC";
    EXPECT_EQ(std::memcmp(frame.data() + row.tagOffset, "Xing", 4), 0);
    EXPECT_EQ(Be32At(frame, row.tagOffset + 4), 7u);  // frames, bytes, seek table
    EXPECT_EQ(Be32At(frame, row.tagOffset + 8), 1000u) << "the Xing frame itself is not counted";
    EXPECT_EQ(Be32At(frame, row.tagOffset + 12), frame.size() + streamBytes);
    const uint8_t* toc = frame.data() + row.tagOffset + 16;
    EXPECT_EQ(toc[0], frame.size() * 256 / (frame.size() + streamBytes));
    EXPECT_NEAR(toc[50], 128, 1);
    for (int i = 1; i < 100; ++i) EXPECT_LE(toc[i - 1], toc[i]) << i;

    // Before anything is counted the tag is there, declaring no fields.
    std::vector<uint8_t> first = MakeXingFrame(row.firstHeader, {}, 0);
    ASSERT_EQ(first.size(), frame.size());
    EXPECT_EQ(std::memcmp(first.data() + row.tagOffset, "Xing", 4), 0);
    EXPECT_EQ(Be32At(first, row.tagOffset + 4), 0u);
  }
}

}  // namespace
