#include "dialog/format_lists.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr uint32_t kPcmRates[] = {8000, 11025, 22050, 32000, 44100, 48000};

constexpr char kMono[] = "モノラル";
constexpr char kStereo[] = "ステレオ";

bool IsPcmRow(int row) { return row >= 0 && row < kPcmFormatCount; }

// 32000 -> "32,000"; 8000 -> " 8,000" (right-aligned in 6 characters).
std::string FormatRateWithComma(uint32_t rate) {
  std::string digits = std::to_string(rate);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  if (grouped.size() < 6) grouped.insert(0, 6 - grouped.size(), ' ');
  return grouped;
}

std::string MakePcmFormatLabel(int row) {
  TargetAudioFormat f = PcmFormatForRow(row);
  char bits[8];
  std::snprintf(bits, sizeof bits, "%2u", static_cast<unsigned>(f.bitsPerSample));
  std::string label = FormatRateWithComma(f.samplesPerSec);
  label += " Hz , ";
  label += bits;
  label += "ビット , ";
  label += f.channels == 1 ? kMono : kStereo;
  return label;
}

// Value of the leading decimal digits of text; 0 when it starts with none.
uint32_t LeadingDigits(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value;
}

// Next code point of s at *pos, advancing *pos. A byte that does not start a
// well-formed UTF-8 sequence stands for itself, above every real code point, so
// malformed text still sorts in a fixed order.
char32_t NextCodePoint(const std::string& s, size_t* pos) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char lead = byte(*pos);
  size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                : (lead >> 3) == 0x1E ? 4 : 0;
  bool wellFormed = length != 0 && *pos + length <= s.size();
  for (size_t i = 1; wellFormed && i < length; ++i)
    wellFormed = (byte(*pos + i) & 0xC0) == 0x80;
  if (!wellFormed) {
    ++*pos;
    return 0x110000 + lead;
  }
  char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) cp = (cp << 6) | (byte(*pos + i) & 0x3F);
  *pos += length;
  return cp;
}

char32_t FoldCase(char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

}  // namespace

// ---- PcmFormatTable -----------------------------------------------------------

const std::string& PcmFormatLabel(int row) {
  static const std::array<std::string, kPcmFormatCount> labels = [] {
    std::array<std::string, kPcmFormatCount> made;
    for (int r = 0; r < kPcmFormatCount; ++r) made[r] = MakePcmFormatLabel(r);
    return made;
  }();
  static const std::string none;
  return IsPcmRow(row) ? labels[row] : none;
}

TargetAudioFormat PcmFormatForRow(int row) {
  TargetAudioFormat f;
  if (!IsPcmRow(row)) return f;
  f.samplesPerSec = kPcmRates[row / 4];
  f.bitsPerSample = (row & 2) ? 16 : 8;
  f.channels = (row & 1) ? 2 : 1;
  f.avgBytesPerSec = f.samplesPerSec * (f.bitsPerSample / 8) * f.channels;
  return f;
}

// ---- WmaProfileTable ----------------------------------------------------------

// Rows 9 and 10 pair these labels with the FM-radio mono and stereo profiles
// respectively; stored choices depend on that pairing, so it stays.
const WmaProfileRow WmaProfileTable[kWmaProfileCount] = {
    {"V40 6.5Kbps (Voice Audio)", "{D508978A-11A0-4D15-B0DA-ACDC99D4F890}"},
    {"V40 16Kbps (AM Radio)", "{0F4BE81F-D57D-41E1-B2E3-2FAD986BFEC2}"},
    {"V40 28.8Kbps (FM Radio Mono)", "{7FA57FC8-6EA4-4645-8ABF-B6E5A8F814A1}"},
    {"V40 28.8Kbps (FM Radio Stereo)", "{22FCF466-AA40-431F-A289-06D0EA1A1E40}"},
    {"V40 56Kbps (DialUp Stereo)", "{E8026F87-E905-4594-A3C7-00D00041D1D9}"},
    {"V40 64Kbps (Near CD Quality)", "{4820B3F7-CBEC-41DC-9391-78598714C8E5}"},
    {"V40 96Kbps (CD Quality)", "{0EFA0EE3-9E64-41E2-837F-3C0038F327BA}"},
    {"V40 128Kbps (CD Quality)", "{93DDBE12-13DC-4E32-A35E-40378E34279A}"},
    {"V70 6.5Kbps (Voice Audio)", "{EABA9FBF-B64F-49B3-AA0C-73FBDD150AD0}"},
    {"V70 28.8Kbps (AM Radio)", "{C012A833-A03B-44A5-96DC-ED95CC65582D}"},
    {"V70 28.8Kbps (FM Radio Mono)", "{E96D67C9-1A39-4DC4-B900-B1184DC83620}"},
    {"V70 56Kbps (DialUp Stereo)", "{674EE767-0949-4FAC-875E-F4C9C292013B}"},
    {"V70 64Kbps (ISDN Stereo)", "{91DEA458-9D60-4212-9C59-D40919C939E4}"},
    {"V70 64Kbps (Near CD Quality)", "{B29CFFC6-F131-41DB-B5E8-99D8B0B945F4}"},
    {"V70 96Kbps (CD Quality)", "{A9D4B819-16CC-4A59-9F37-693DBB0302D6}"},
    {"V70 128Kbps (CD Quality)", "{C64CF5DA-DF45-40D3-8027-DE698D68DC66}"},
};

// ---- Mp3FormatList ------------------------------------------------------------

const char* Mp3CodecGradeText(int grade) {
  switch (grade) {
    case kMp3GradeNone: return "None Codec";
    case kMp3GradeAdvanced: return "(Advanced)";
    case kMp3GradeProfessional: return "(Professional)";
  }
  return "";
}

std::string FormatMp3Label(const WaveFormat& format) {
  uint32_t kbps = format.avgBytesPerSec * 8u / 1000u;  // wraps like the encoder's own arithmetic
  char label[64];
  std::snprintf(label, sizeof label, "%3uKbps %5uHz %s", kbps, format.samplesPerSec,
                format.channels == 1 ? kMono : kStereo);
  return label;
}

TargetAudioFormat ParseMp3FormatLabel(std::string_view text) {
  TargetAudioFormat f;

  std::string_view kbpsField = text.substr(0, std::min<size_t>(3, text.size()));
  kbpsField.remove_prefix(std::min(kbpsField.find_first_not_of(' '), kbpsField.size()));
  f.avgBytesPerSec = LeadingDigits(kbpsField) * 125;

  if (text.size() > 8) {
    std::string rateField(text.substr(8, 5));
    if (rateField[0] == ' ') rateField[0] = '0';
    f.samplesPerSec = LeadingDigits(rateField);
  }

  f.channels = text.ends_with(kStereo) ? 2 : 1;
  f.bitsPerSample = 16;
  return f;
}

bool ComboSortLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    char32_t ca = FoldCase(NextCodePoint(a, &i));
    char32_t cb = FoldCase(NextCodePoint(b, &j));
    if (ca != cb) return ca < cb;
  }
  return i == a.size() && j < b.size();  // a proper prefix sorts first
}

Mp3FormatList BuildMp3FormatList(bool encoderFound, const std::vector<WaveFormat>& offered) {
  Mp3FormatList list;
  if (!encoderFound) return list;

  list.grade = kMp3GradeAdvanced;
  for (const WaveFormat& format : offered) {
    if (format.samplesPerSec == 44100) list.grade = kMp3GradeProfessional;
      if (format.samplesPerSec != 12000) list.labels.push_back(FormatMp3Label(format));
  }
  std::stable_sort(list.labels.begin(), list.labels.end(), ComboSortLess);
  return list;
}
