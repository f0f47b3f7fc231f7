#include "dialog/format_lists.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/i18n.h"
#include "media/wma_profiles.h"

namespace {

constexpr uint32_t kPcmRates[] = {8000, 11025, 22050, 32000, 44100, 48000};

constexpr char kMono[] = N_("モノラル");
constexpr char kStereo[] = N_("ステレオ");

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
  // TRANSLATORS: follows the bits per sample in "32,000 Hz , 16ビット , ステレオ".
  label += _("ビット , ");
  label += f.channels == 1 ? _(kMono) : _(kStereo);
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

// Each row names the format it writes: row 9's AM radio at 28.8 kbps is a profile of our
// own (16000 Hz mono), row 10 the FM-radio mono profile.
const WmaProfileRow WmaProfileTable[kWmaProfileCount] = {
    {"V40 6.5Kbps (Voice Audio)", kWMProfile_V40_6VoiceAudio},
    {"V40 16Kbps (AM Radio)", kWMProfile_V40_16AMRadio},
    {"V40 28.8Kbps (FM Radio Mono)", kWMProfile_V40_288FMRadioMono},
    {"V40 28.8Kbps (FM Radio Stereo)", kWMProfile_V40_288FMRadioStereo},
    {"V40 56Kbps (DialUp Stereo)", kWMProfile_V40_56DialUpStereo},
    {"V40 64Kbps (Near CD Quality)", kWMProfile_V40_64Audio},
    {"V40 96Kbps (CD Quality)", kWMProfile_V40_96Audio},
    {"V40 128Kbps (CD Quality)", kWMProfile_V40_128Audio},
    {"V70 6.5Kbps (Voice Audio)", kWMProfile_V70_6VoiceAudio},
    {"V70 28.8Kbps (AM Radio)", kProfile_288AMRadio},
    {"V70 28.8Kbps (FM Radio Mono)", kWMProfile_V70_288FMRadioMono},
    {"V70 56Kbps (DialUp Stereo)", kWMProfile_V70_56DialUpStereo},
    {"V70 64Kbps (ISDN Stereo)", kWMProfile_V70_64AudioISDN},
    {"V70 64Kbps (Near CD Quality)", kWMProfile_V70_64Audio},
    {"V70 96Kbps (CD Quality)", kWMProfile_V70_96Audio},
    {"V70 128Kbps (CD Quality)", kWMProfile_V70_128Audio},
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

static std::string Mp3Label(const WaveFormat& format, const char* mono, const char* stereo) {
  uint32_t kbps = format.avgBytesPerSec * 8u / 1000u;  // wraps like the encoder's own arithmetic
  char label[64];
  std::snprintf(label, sizeof label, "%3uKbps %5uHz %s", kbps, format.samplesPerSec,
                format.channels == 1 ? mono : stereo);
  return label;
}

std::string FormatMp3Label(const WaveFormat& format) { return Mp3Label(format, _(kMono), _(kStereo)); }

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

  f.channels = text.ends_with(_(kStereo)) ? 2 : 1;
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
  std::vector<WaveFormat> listed;
  for (const WaveFormat& format : offered) {
    if (format.samplesPerSec == 44100) list.grade = kMp3GradeProfessional;
    if (format.samplesPerSec != 12000) listed.push_back(format);
  }
  // Sorted by the untranslated labels, whatever the language shown: the settings file
  // stores a row, which must be the same format in every language.
  std::stable_sort(listed.begin(), listed.end(), [](const WaveFormat& a, const WaveFormat& b) {
    return ComboSortLess(Mp3Label(a, kMono, kStereo), Mp3Label(b, kMono, kStereo));
  });
  for (const WaveFormat& format : listed) list.labels.push_back(FormatMp3Label(format));
  return list;
}
