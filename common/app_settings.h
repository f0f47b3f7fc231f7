// The user's persisted choices (read and written by app/settings).
#pragma once

#include <cstdint>
#include <string>

enum DecodeModeValue : int32_t {
  kModeWav = 0,      // "wavに変換"
  kModeMp3 = 1,      // "mp3に変換"
  kModeWma = 2,      // "wmaに変換"
  kModeExtract = 3,  // "そのまま抽出"
  // The batch mode's own formats; never stored, never offered by the dialog.
  kModeFlac = 4,
  kModeOpus = 5,
  kModeVorbis = 6,
  kModeAac = 7,
};

struct ScreenRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;  // only left and top are used
};

struct AppSettings {
  // Conversion
  int32_t DecodeMode = kModeWav;  // 0 WAV, 1 MP3, 2 WMA, 3 extract as-is
  int32_t WavFormat = 15;         // row of PcmFormatTable
  int32_t Mp3Format = 15;         // index into the sorted MP3 format list
  int32_t WmaFormat = 15;         // row of WmaProfileTable
  uint8_t ChangeWavFormat = 0;    // 1: convert to the WavFormat row; 0: keep the decoded format
  uint8_t Riff = 0;               // 1: MP3 in a RIFF WAVE wrapper; 0: plain MP3 stream

  // Dialog
  std::string InitialDir;         // folder the chooser starts in; empty: none stored

  // Windows
  ScreenRect rDialogWindow;       // selection dialog position
  ScreenRect rLomareWindow;       // status window position
};

extern AppSettings Settings;
