// The output format lists of the settings panel: the 24 PCM formats of the WAV
// page, the 16 Windows Media profiles of the WMA page and the MP3 encoder's
// formats of the MP3 page, with the rules that turn a choice into a
// TargetAudioFormat. No widgets here: the panel adds these labels to its boxes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/target_format.h"
#include "media/wave_format.h"

// ---- WAV page: PcmFormatTable -------------------------------------------------

constexpr int kPcmFormatCount = 24;

// Label of row 0..23, e.g. "32,000 Hz , 16ビット , ステレオ"; empty for any other row.
const std::string& PcmFormatLabel(int row);

// The four values of row 0..23: rate from 8000, 11025, 22050, 32000, 44100,
// 48000 by row / 4; 16 bits when bit 1 is set, else 8; stereo when bit 0 is set.
// Any other row gives the all-zero record, which keeps the decoded format.
TargetAudioFormat PcmFormatForRow(int row);

// ---- WMA page: WmaProfileTable ------------------------------------------------

struct WmaProfileRow {
  const char* label;  // text of the list entry
  const char* guid;   // system profile id, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
};

constexpr int kWmaProfileCount = 16;
extern const WmaProfileRow WmaProfileTable[kWmaProfileCount];

// ---- MP3 page: Mp3FormatList --------------------------------------------------

// Encoder grade shown beside the MP3 list.
constexpr int kMp3GradeNone = 0;          // no "MPEG Layer-3" encoder
constexpr int kMp3GradeAdvanced = 1;      // an encoder without 44100 Hz formats
constexpr int kMp3GradeProfessional = 2;  // an encoder offering a 44100 Hz format

// "None Codec", "(Advanced)" or "(Professional)"; "" for any other grade.
const char* Mp3CodecGradeText(int grade);

struct Mp3FormatList {
  int grade = kMp3GradeNone;        // one of kMp3Grade*
  std::vector<std::string> labels;  // in list order (sorted); Mp3Format indexes this
};

// The list entry of one encoder format: "%3dKbps %5dHz モノラル" for one channel,
// "... ステレオ" otherwise, kbps = avgBytesPerSec * 8 / 1000 in unsigned 32-bit.
std::string FormatMp3Label(const WaveFormat& format);

// The format a list text stands for. The text may have been typed, so the fields
// are read at fixed byte positions: kbps from bytes 0..2 (leading spaces skipped,
// up to the first non-digit), the rate from bytes 8..12 (a space at byte 8 reads
// as 0; bytes past the end are absent), two channels when the text ends with
// "ステレオ", else one. Bytes per second = kbps * 125; bits always 16.
TargetAudioFormat ParseMp3FormatLabel(std::string_view text);

// The sorted-list order of the MP3 box: case-insensitive (ASCII letters), then
// character by character on code points, so a space sorts before the digits and
// a right-aligned number sorts by value. Never a locale collation.
bool ComboSortLess(const std::string& a, const std::string& b);

// Grades the encoder and lists its formats: none and an empty list without an
// encoder; otherwise Advanced, or Professional when any format is at 44100 Hz,
// and a label for every format not at 12000 Hz, stably sorted by ComboSortLess of
// their untranslated labels (so a row is the same format in every language).
Mp3FormatList BuildMp3FormatList(bool encoderFound, const std::vector<WaveFormat>& offered);
