#include "dialog/format_lists.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/mp3_formats.h"

namespace {

struct PcmRowCase {
  const char* label;
  uint32_t rate;
  uint16_t bits;
  uint16_t channels;
  uint32_t bytesPerSec;
};

const PcmRowCase kPcmRows[kPcmFormatCount] = {
    {" 8,000 Hz ,  8ビット , モノラル", 8000, 8, 1, 8000},
    {" 8,000 Hz ,  8ビット , ステレオ", 8000, 8, 2, 16000},
    {" 8,000 Hz , 16ビット , モノラル", 8000, 16, 1, 16000},
    {" 8,000 Hz , 16ビット , ステレオ", 8000, 16, 2, 32000},
    {"11,025 Hz ,  8ビット , モノラル", 11025, 8, 1, 11025},
    {"11,025 Hz ,  8ビット , ステレオ", 11025, 8, 2, 22050},
    {"11,025 Hz , 16ビット , モノラル", 11025, 16, 1, 22050},
    {"11,025 Hz , 16ビット , ステレオ", 11025, 16, 2, 44100},
    {"22,050 Hz ,  8ビット , モノラル", 22050, 8, 1, 22050},
    {"22,050 Hz ,  8ビット , ステレオ", 22050, 8, 2, 44100},
    {"22,050 Hz , 16ビット , モノラル", 22050, 16, 1, 44100},
    {"22,050 Hz , 16ビット , ステレオ", 22050, 16, 2, 88200},
    {"32,000 Hz ,  8ビット , モノラル", 32000, 8, 1, 32000},
    {"32,000 Hz ,  8ビット , ステレオ", 32000, 8, 2, 64000},
    {"32,000 Hz , 16ビット , モノラル", 32000, 16, 1, 64000},
    {"32,000 Hz , 16ビット , ステレオ", 32000, 16, 2, 128000},
    {"44,100 Hz ,  8ビット , モノラル", 44100, 8, 1, 44100},
    {"44,100 Hz ,  8ビット , ステレオ", 44100, 8, 2, 88200},
    {"44,100 Hz , 16ビット , モノラル", 44100, 16, 1, 88200},
    {"44,100 Hz , 16ビット , ステレオ", 44100, 16, 2, 176400},
    {"48,000 Hz ,  8ビット , モノラル", 48000, 8, 1, 48000},
    {"48,000 Hz ,  8ビット , ステレオ", 48000, 8, 2, 96000},
    {"48,000 Hz , 16ビット , モノラル", 48000, 16, 1, 96000},
    {"48,000 Hz , 16ビット , ステレオ", 48000, 16, 2, 192000},
};

TEST(PcmFormatTable, EveryRowHasItsLabelAndFormat) {
  for (int row = 0; row < kPcmFormatCount; ++row) {
    SCOPED_TRACE("row " + std::to_string(row));
    const PcmRowCase& want = kPcmRows[row];
    EXPECT_EQ(PcmFormatLabel(row), want.label);
    TargetAudioFormat f = PcmFormatForRow(row);
    EXPECT_EQ(f.samplesPerSec, want.rate);
    EXPECT_EQ(f.bitsPerSample, want.bits);
    EXPECT_EQ(f.channels, want.channels);
    EXPECT_EQ(f.avgBytesPerSec, want.bytesPerSec);
  }
}

TEST(PcmFormatTable, RowsOutsideTheTableKeepTheDecodedFormat) {
  for (int row : {-1, kPcmFormatCount, 1000}) {
    SCOPED_TRACE(row);
    TargetAudioFormat f = PcmFormatForRow(row);
    EXPECT_EQ(f.samplesPerSec, 0u);
    EXPECT_EQ(f.avgBytesPerSec, 0u);
    EXPECT_EQ(f.bitsPerSample, 0u);
    EXPECT_EQ(f.channels, 0u);
    EXPECT_EQ(PcmFormatLabel(row), "");
  }
}

TEST(WmaProfileTable, EveryRowPairsItsLabelWithItsProfile) {
  const WmaProfileRow kWant[kWmaProfileCount] = {
      {"V40 6.5Kbps (Voice Audio)", "{D508978A-11A0-4D15-B0DA-ACDC99D4F890}"},
      {"V40 16Kbps (AM Radio)", "{0F4BE81F-D57D-41E1-B2E3-2FAD986BFEC2}"},
      {"V40 28.8Kbps (FM Radio Mono)", "{7FA57FC8-6EA4-4645-8ABF-B6E5A8F814A1}"},
      {"V40 28.8Kbps (FM Radio Stereo)", "{22FCF466-AA40-431F-A289-06D0EA1A1E40}"},
      {"V40 56Kbps (DialUp Stereo)", "{E8026F87-E905-4594-A3C7-00D00041D1D9}"},
      {"V40 64Kbps (Near CD Quality)", "{4820B3F7-CBEC-41DC-9391-78598714C8E5}"},
      {"V40 96Kbps (CD Quality)", "{0EFA0EE3-9E64-41E2-837F-3C0038F327BA}"},
      {"V40 128Kbps (CD Quality)", "{93DDBE12-13DC-4E32-A35E-40378E34279A}"},
      {"V70 6.5Kbps (Voice Audio)", "{EABA9FBF-B64F-49B3-AA0C-73FBDD150AD0}"},
      // The AM label selects the FM mono profile, the FM mono label the FM stereo one.
      {"V70 28.8Kbps (AM Radio)", "{C012A833-A03B-44A5-96DC-ED95CC65582D}"},
      {"V70 28.8Kbps (FM Radio Mono)", "{E96D67C9-1A39-4DC4-B900-B1184DC83620}"},
      {"V70 56Kbps (DialUp Stereo)", "{674EE767-0949-4FAC-875E-F4C9C292013B}"},
      {"V70 64Kbps (ISDN Stereo)", "{91DEA458-9D60-4212-9C59-D40919C939E4}"},
      {"V70 64Kbps (Near CD Quality)", "{B29CFFC6-F131-41DB-B5E8-99D8B0B945F4}"},
      {"V70 96Kbps (CD Quality)", "{A9D4B819-16CC-4A59-9F37-693DBB0302D6}"},
      {"V70 128Kbps (CD Quality)", "{C64CF5DA-DF45-40D3-8027-DE698D68DC66}"},
  };
  for (int row = 0; row < kWmaProfileCount; ++row) {
    SCOPED_TRACE("row " + std::to_string(row));
    EXPECT_STREQ(WmaProfileTable[row].label, kWant[row].label);
    EXPECT_STREQ(WmaProfileTable[row].guid, kWant[row].guid);
  }
}

WaveFormat Mp3(uint32_t rate, uint16_t channels, uint32_t kbps) {
  WaveFormat f;
  f.formatTag = kWaveFormatMpegLayer3;
  f.channels = channels;
  f.samplesPerSec = rate;
  f.avgBytesPerSec = kbps * 125;
  f.blockAlign = 1;
  return f;
}

TEST(Mp3FormatLabel, FormatsFixedWidthFields) {
  EXPECT_EQ(FormatMp3Label(Mp3(8000, 1, 8)), "  8Kbps  8000Hz モノラル");
  EXPECT_EQ(FormatMp3Label(Mp3(22050, 2, 56)), " 56Kbps 22050Hz ステレオ");
  EXPECT_EQ(FormatMp3Label(Mp3(44100, 2, 320)), "320Kbps 44100Hz ステレオ");
  // Any channel count but one is called stereo; bytes per second truncate to kbps.
  WaveFormat odd = Mp3(48000, 6, 0);
  odd.avgBytesPerSec = 16001;
  EXPECT_EQ(FormatMp3Label(odd), "128Kbps 48000Hz ステレオ");
}

TEST(Mp3FormatLabel, ParsesFieldsAtFixedPositions) {
  struct Case {
    const char* text;
    uint32_t bytesPerSec, rate;
    uint16_t channels;
  };
  const Case kCases[] = {
      {"  8Kbps  8000Hz モノラル", 1000, 8000, 1},
      {" 56Kbps 22050Hz ステレオ", 7000, 22050, 2},
      {"128Kbps 44100Hz ステレオ", 16000, 44100, 2},
      {"", 0, 0, 1},
      {"128Kbps", 16000, 0, 1},           // ends before the rate field
      {"128Kbps ", 16000, 0, 1},          // ends right before it
      {"128Kbps 441", 16000, 441, 1},     // rate field cut short
      {"ステレオ", 0, 0, 2},              // only the tail decides the channels
      {"64 Kbps 32000Hz ステレオ", 8000, 32000, 2},
      {"abcKbps 32000Hz", 0, 32000, 1},   // no digits in the kbps field
      {"-64bps  32000Hz", 0, 32000, 1},   // no sign is read
      {"56Kbps 22050Hz ステレオ", 7000, 2050, 2},  // typed without padding: columns shift
      {"128Kbps 44100Hz ステレオ ", 16000, 44100, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    TargetAudioFormat f = ParseMp3FormatLabel(c.text);
    EXPECT_EQ(f.avgBytesPerSec, c.bytesPerSec);
    EXPECT_EQ(f.samplesPerSec, c.rate);
    EXPECT_EQ(f.channels, c.channels);
    EXPECT_EQ(f.bitsPerSample, 16u);
  }
}

TEST(Mp3FormatLabel, EveryEncoderFormatSurvivesTheRoundTrip) {
  for (const WaveFormat& format : Mp3EncoderFormats()) {
    std::string label = FormatMp3Label(format);
    SCOPED_TRACE(label);
    TargetAudioFormat f = ParseMp3FormatLabel(label);
    EXPECT_EQ(f.avgBytesPerSec, format.avgBytesPerSec);
    EXPECT_EQ(f.samplesPerSec, format.samplesPerSec);
    EXPECT_EQ(f.channels, format.channels);
    EXPECT_EQ(f.bitsPerSample, 16u);
  }
}

TEST(ComboSortLess, OrdersLikeTheSortedList) {
  struct Case {
    const char* before;
    const char* after;
  };
  const Case kCases[] = {
      {"  8Kbps", " 16Kbps"},          // a space sorts before every digit
      {" 96Kbps", "112Kbps"},
      {" 1", "0"},
      {"128Kbps  8000Hz", "128Kbps 11025Hz"},
      {"abc", "ABD"},                  // letters compare without case
      {"ABC", "abd"},
      {"ab", "abc"},                   // a prefix sorts first
      {"", "a"},
      {"128Kbps 44100Hz ステレオ", "128Kbps 44100Hz モノラル"},
      {"_", "A"},                      // letters fold to lower case, above '_'
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.before) + " < " + c.after);
    EXPECT_TRUE(ComboSortLess(c.before, c.after));
    EXPECT_FALSE(ComboSortLess(c.after, c.before));
  }
  EXPECT_FALSE(ComboSortLess("Kbps", "kBPS"));
  EXPECT_FALSE(ComboSortLess("kBPS", "Kbps"));
  EXPECT_FALSE(ComboSortLess("x", "x"));
}

TEST(ComboSortLess, MalformedTextSortsConsistently) {
  const std::string bad = "a\xE3\x83";  // cut inside a three-byte character
  EXPECT_TRUE(ComboSortLess("a", bad));
  EXPECT_TRUE(ComboSortLess("aモ", bad));
  EXPECT_FALSE(ComboSortLess(bad, bad));
}

TEST(Mp3FormatList, NoEncoderGivesNoneAndNoLabels) {
  Mp3FormatList list = BuildMp3FormatList(false, Mp3EncoderFormats());
  EXPECT_EQ(list.grade, kMp3GradeNone);
  EXPECT_STREQ(Mp3CodecGradeText(list.grade), "None Codec");
  EXPECT_TRUE(list.labels.empty());
}

TEST(Mp3FormatList, GradeDependsOnA44100HzFormat) {
  Mp3FormatList without = BuildMp3FormatList(true, {Mp3(48000, 2, 128), Mp3(22050, 1, 32)});
  EXPECT_EQ(without.grade, kMp3GradeAdvanced);
  EXPECT_STREQ(Mp3CodecGradeText(without.grade), "(Advanced)");
  EXPECT_EQ(without.labels,
            (std::vector<std::string>{" 32Kbps 22050Hz モノラル", "128Kbps 48000Hz ステレオ"}));

  Mp3FormatList with =
      BuildMp3FormatList(true, {Mp3(48000, 2, 128), Mp3(44100, 1, 8), Mp3(8000, 1, 8)});
  EXPECT_EQ(with.grade, kMp3GradeProfessional);
  EXPECT_STREQ(Mp3CodecGradeText(with.grade), "(Professional)");
  EXPECT_EQ(with.labels.size(), 3u);

  EXPECT_EQ(BuildMp3FormatList(true, {}).grade, kMp3GradeAdvanced);
  EXPECT_STREQ(Mp3CodecGradeText(3), "");
}

TEST(Mp3FormatList, TwelveKilohertzFormatsAreLeftOut) {
  Mp3FormatList list = BuildMp3FormatList(true, {Mp3(12000, 1, 16), Mp3(12000, 2, 24)});
  EXPECT_EQ(list.grade, kMp3GradeAdvanced);
  EXPECT_STREQ(Mp3CodecGradeText(list.grade), "(Advanced)");
  EXPECT_TRUE(list.labels.empty());
}

TEST(Mp3FormatList, EncoderLadderPutsTheDefaultSixteenth) {
  const std::vector<WaveFormat>& formats = Mp3EncoderFormats();
  Mp3FormatList list = BuildMp3FormatList(true, formats);
  EXPECT_EQ(list.grade, kMp3GradeProfessional);
  ASSERT_GT(list.labels.size(), 15u);
  EXPECT_EQ(list.labels[15], "128Kbps 44100Hz ステレオ");
  EXPECT_TRUE(std::is_sorted(list.labels.begin(), list.labels.end(), ComboSortLess));

  size_t twelveKhz = std::count_if(formats.begin(), formats.end(),
                                   [](const WaveFormat& f) { return f.samplesPerSec == 12000; });
  EXPECT_GT(twelveKhz, 0u);
  EXPECT_EQ(list.labels.size(), formats.size() - twelveKhz);
  // Every listed label is distinct, so a stored index names one format.
  EXPECT_EQ(std::adjacent_find(list.labels.begin(), list.labels.end()), list.labels.end());
}

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | b[at + 1] << 8; }

TEST(Mp3EncoderFormats, EveryEntryIsALegalConstantBitRateFormat) {
  for (const WaveFormat& f : Mp3EncoderFormats()) {
    uint32_t kbps = f.avgBytesPerSec / 125;
    SCOPED_TRACE(FormatMp3Label(f));
    EXPECT_EQ(f.avgBytesPerSec % 125, 0u);
    EXPECT_TRUE(IsLegalMp3CbrFormat(f.samplesPerSec, kbps));
    EXPECT_EQ(f.formatTag, kWaveFormatMpegLayer3);
    EXPECT_TRUE(f.channels == 1 || f.channels == 2);
    EXPECT_EQ(f.blockAlign, 1u);
    EXPECT_EQ(f.bitsPerSample, 0u);
    ASSERT_EQ(f.extra.size(), 12u);
    EXPECT_EQ(Le16(f.extra, 0), 1u);                          // wID
    EXPECT_EQ(Le16(f.extra, 2) | Le16(f.extra, 4) << 16, 2u);  // fdwFlags
    uint32_t perFrame = f.samplesPerSec >= 32000 ? 144000 : 72000;
    EXPECT_EQ(Le16(f.extra, 6), perFrame * kbps / f.samplesPerSec);  // nBlockSize
    EXPECT_EQ(Le16(f.extra, 8), 1u);                          // nFramesPerBlock
    EXPECT_EQ(Le16(f.extra, 10), 1393u);                      // nCodecDelay
  }
}

TEST(Mp3EncoderFormats, LegalTableFollowsTheMpegVersions) {
  struct Case {
    uint32_t rate, kbps;
    bool legal;
  };
  const Case kCases[] = {
      {44100, 320, true}, {48000, 32, true}, {32000, 24, false}, {44100, 144, false},
      {22050, 160, true}, {24000, 8, true},  {16000, 144, false}, {22050, 192, false},
      {8000, 64, true},   {12000, 8, true},  {11025, 80, false},  {96000, 128, false},
      {44100, 130, false}, {0, 0, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz " + std::to_string(c.kbps) + " kbps");
    EXPECT_EQ(IsLegalMp3CbrFormat(c.rate, c.kbps), c.legal);
  }
}

}  // namespace
