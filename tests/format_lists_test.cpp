#include "dialog/format_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "media/mp3_formats.h"

namespace {

// Rate, bytes per second, bits and channels of a target format, as one printable value.
using Fields = std::tuple<uint32_t, uint32_t, int, int>;
Fields FieldsOf(const TargetAudioFormat& f) { return {f.samplesPerSec, f.avgBytesPerSec, f.bitsPerSample, f.channels}; }

// Rows go by rate, then 8 and 16 bits, then mono and stereo. (The labels are judged in
// the batch mode's --list-formats, the WMA rows by converting with each.)
TEST(PcmFormatTable, EveryRowHasItsFormat) {
  const uint32_t kRates[] = {8000, 11025, 22050, 32000, 44100, 48000};
  for (int row = 0; row < kPcmFormatCount; ++row) {
    const uint32_t rate = kRates[row / 4];
    const int bits = row % 4 < 2 ? 8 : 16, channels = row % 2 + 1;
    EXPECT_EQ(FieldsOf(PcmFormatForRow(row)), Fields(rate, rate * bits / 8 * channels, bits, channels)) << row;
  }
  // Any other row keeps the decoded format.
  for (int row : {-1, kPcmFormatCount, 1000}) {
    EXPECT_EQ(FieldsOf(PcmFormatForRow(row)), Fields(0, 0, 0, 0)) << row;
    EXPECT_EQ(PcmFormatLabel(row), "") << row;
  }
}

WaveFormat Mp3(uint32_t rate, uint16_t channels, uint32_t kbps) {
  return {kWaveFormatMpegLayer3, channels, rate, kbps * 125, /*blockAlign=*/1, /*bitsPerSample=*/0, {}};
}

TEST(Mp3FormatLabel, FormatsAndParsesFixedWidthFields) {
  EXPECT_EQ(FormatMp3Label(Mp3(8000, 1, 8)), "  8Kbps  8000Hz モノラル");
  EXPECT_EQ(FormatMp3Label(Mp3(44100, 2, 320)), "320Kbps 44100Hz ステレオ");
  WaveFormat odd = Mp3(48000, 6, 0);  // any channel count but one is stereo; kbps truncate
  odd.avgBytesPerSec = 16001;
  EXPECT_EQ(FormatMp3Label(odd), "128Kbps 48000Hz ステレオ");

  // Typed text is read at fixed byte positions and never past its end.
  const std::tuple<const char*, uint32_t, uint32_t, int> cases[] = {  // text, bytes/s, rate, channels
      {"  8Kbps  8000Hz モノラル", 1000, 8000, 1}, {"", 0, 0, 1}, {"128Kbps", 16000, 0, 1},
      {"128Kbps 441", 16000, 441, 1}, {"ステレオ", 0, 0, 2}, {"-64bps  32000Hz", 0, 32000, 1},
      {"56Kbps 22050Hz ステレオ", 7000, 2050, 2},  // typed without padding: columns shift
  };
  for (const auto& [text, bytesPerSec, rate, channels] : cases)
    EXPECT_EQ(FieldsOf(ParseMp3FormatLabel(text)), Fields(rate, bytesPerSec, 16, channels)) << text;
}

TEST(ComboSortLess, OrdersLikeTheSortedList) {
  const std::pair<std::string, std::string> kOrdered[] = {
      {"  8Kbps", " 16Kbps"}, {" 96Kbps", "112Kbps"},            // a space sorts before every digit
      {"abc", "ABD"}, {"ABC", "abd"}, {"ab", "abc"}, {"", "a"},  // letters without case; prefixes first
      {"_", "A"},                                                // letters fold to lower case, above '_'
      {"128Kbps 44100Hz ステレオ", "128Kbps 44100Hz モノラル"}, {"aモ", "a\xE3\x83"},  // a character cut short
  };
  for (const auto& [before, after] : kOrdered) {
    EXPECT_TRUE(ComboSortLess(before, after)) << before << " < " << after;
    EXPECT_FALSE(ComboSortLess(after, before)) << before << " < " << after;
  }
  const std::pair<std::string, std::string> kEqual[] = {{"x", "x"}, {"Kbps", "kBPS"}, {"a\xE3\x83", "a\xE3\x83"}};
  for (const auto& [a, b] : kEqual) EXPECT_FALSE(ComboSortLess(a, b) || ComboSortLess(b, a)) << a << " = " << b;
}

TEST(Mp3FormatList, GradeAndLabels) {
  Mp3FormatList none = BuildMp3FormatList(false, Mp3EncoderFormats());
  EXPECT_STREQ(Mp3CodecGradeText(none.grade), "None Codec");
  EXPECT_TRUE(none.labels.empty());

  // 12000 Hz formats are left out of the list.
  Mp3FormatList without = BuildMp3FormatList(true, {Mp3(48000, 2, 128), Mp3(12000, 1, 16), Mp3(22050, 1, 32)});
  EXPECT_STREQ(Mp3CodecGradeText(without.grade), "(Advanced)");
  EXPECT_EQ(without.labels, (std::vector<std::string>{" 32Kbps 22050Hz モノラル", "128Kbps 48000Hz ステレオ"}));
  EXPECT_STREQ(Mp3CodecGradeText(3), "");  // "(Professional)": the encoder's own list below
}

// The encoder's own list: sorted, every label distinct (a stored index names one format),
// the default sixteenth, and every entry a format the encoder honours whose label reads back.
TEST(Mp3FormatList, EncoderLadder) {
  const std::vector<WaveFormat>& formats = Mp3EncoderFormats();
  Mp3FormatList list = BuildMp3FormatList(true, formats);
  EXPECT_STREQ(Mp3CodecGradeText(list.grade), "(Professional)");
  ASSERT_GT(list.labels.size(), 15u);
  EXPECT_EQ(list.labels[15], "128Kbps 44100Hz ステレオ");
  EXPECT_TRUE(std::is_sorted(list.labels.begin(), list.labels.end(), ComboSortLess));
  EXPECT_EQ(std::adjacent_find(list.labels.begin(), list.labels.end()), list.labels.end());
  auto at12000 = [](const WaveFormat& f) { return f.samplesPerSec == 12000; };
  EXPECT_EQ(list.labels.size(), formats.size() - std::count_if(formats.begin(), formats.end(), at12000));

  for (const WaveFormat& f : formats) {
    const uint32_t kbps = f.avgBytesPerSec / 125;
    SCOPED_TRACE(FormatMp3Label(f));
    EXPECT_EQ(FieldsOf(ParseMp3FormatLabel(FormatMp3Label(f))), Fields(f.samplesPerSec, kbps * 125, 16, f.channels));
    EXPECT_TRUE(IsLegalMp3CbrFormat(f.samplesPerSec, kbps));
    EXPECT_TRUE(f.channels == 1 || f.channels == 2);
    // MPEGLAYER3WAVEFORMAT: wID 1, fdwFlags 2, nBlockSize, nFramesPerBlock 1, nCodecDelay 1393.
    const uint32_t block = (f.samplesPerSec >= 32000 ? 144000 : 72000) * kbps / f.samplesPerSec;
    const std::vector<uint8_t> extra = {1, 0, 2, 0, 0, 0, uint8_t(block), uint8_t(block >> 8), 1, 0, 0x71, 0x05};
    EXPECT_EQ(f, (WaveFormat{kWaveFormatMpegLayer3, f.channels, f.samplesPerSec, kbps * 125, 1, 0, extra}));
  }
}

}  // namespace
