// The texts of the status display: the two picture lines and the captions.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "common/i18n.h"

// The two text lines of the status picture. Written by the builders and the output
// naming on the main thread; read by whoever paints. Hold StatusLock to read or write.
extern std::mutex StatusLock;
extern std::string StatusFileName;  // output file name, drawn below the notice
extern std::string StatusNotice;    // "くいるろまれ outputフォルダ" or empty

inline constexpr const char* kOutputFolderNotice = N_("くいるろまれ outputフォルダ");
inline constexpr const char* kSelectingCaption = N_("ろまれのファイル選択");
inline constexpr const char* kPreparingCaption = N_("エンコード 準備中");

// True for MP3 and WMA, the modes the status display calls encoding (ゆまれ).
bool IsEncodingMode(int32_t decodeMode);

// Caption while file i of n converts; percent -1 means no measure.
std::string FormatProgressCaption(int32_t decodeMode, uint32_t i, uint32_t n, int percent);

// Caption between files, after file i of n finished.
std::string FormatFileDoneCaption(int32_t decodeMode, uint32_t i, uint32_t n);

// Caption after the last file: "100% -ろまれ完了-" or "100% -ゆまれ完了-".
std::string FormatFinishedCaption(int32_t decodeMode);
