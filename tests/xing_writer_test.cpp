// The Xing frame: layer-3 headers read right, and the LAME extension's edges. (Whole
// files, their counts and seek tables are judged in the MP3 conversion tests.)
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

// Given the encoder's input, the LAME extension holds delay 576 and the padding that makes
// the frames' samples (1000 x 1152) whole; without it, or when the padding does not fit 12
// bits, the extension stays empty. (The counts, the seek table and a filled extension are
// judged on whole files of every MPEG version by the MP3 conversion tests.)
TEST(XingWriterTest, LameExtensionOnlyWhenThePaddingFits) {
  std::vector<uint64_t> offsets;
  for (uint64_t i = 0; i < 1000; ++i) offsets.push_back(i * 418);
  constexpr size_t kExtension = 36 + 116;  // MPEG-1 stereo: the tag, its counts and the seek table before it
  const std::vector<uint8_t> untagged = MakeXingFrame(0xFFFB9264, offsets, 418000);
  EXPECT_EQ(std::string(&untagged[kExtension], &untagged[kExtension + 36]), std::string(36, '\0'));
  for (const int64_t padding : {0, 1000, 4095, 4096, -1}) {
    const std::vector<uint8_t> tagged = MakeXingFrame(0xFFFB9264, offsets, 418000, 1000 * 1152 - 576 - padding);
    ASSERT_EQ(tagged.size(), untagged.size());
    const bool filled = padding >= 0 && padding <= 4095;
    EXPECT_EQ(std::string(&tagged[kExtension], &tagged[kExtension + 9]), filled ? "LAME3.100" : std::string(9, '\0'))
        << padding;
    EXPECT_EQ(Be32At(tagged, kExtension + 20) & 0xFFFFFF, filled ? 576u << 12 | padding : 0) << padding;
  }
}

}  // namespace
