// The Xing frame's LAME extension at its edges. (Whole files of every MPEG version, their
// frame sizes, counts and seek tables, are judged in the MP3 conversion tests.)
#include <gtest/gtest.h>

#include <string>

#include "media/xing_writer.h"

namespace {

uint32_t Be32At(const auto& b, size_t i) { return uint32_t{b[i]} << 24 | b[i + 1] << 16 | b[i + 2] << 8 | b[i + 3]; }

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
