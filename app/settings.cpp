#include "app/settings.h"

#include <glib.h>
#include <unistd.h>

#include <charconv>
#include <limits>

#include "app/profile.h"
#include "common/app_settings.h"
#include "common/batch.h"

namespace {

constexpr const char* kSettingsFileName = "QuillLomare.ini";
constexpr const char* kConfigFolderName = "quilllomare";

constexpr const char* kSectionSetting = "Setting";
constexpr const char* kSectionVersion = "Version";
constexpr const char* kKeyVersion = "Version";
constexpr const char* kVersionText = "4.10";

constexpr const char* kKeyChangeWavFormat = "ChangeWavFormat";
constexpr const char* kKeyDecodeMode = "DecodeMode";
constexpr const char* kKeyWavFormat = "WavFormat";
constexpr const char* kKeyMp3Format = "Mp3Format";
constexpr const char* kKeyWmaFormat = "WmaFormat";
constexpr const char* kKeyRiff = "Riff";
constexpr const char* kKeyDialogLeft = "rDialogWindow.left";
constexpr const char* kKeyDialogTop = "rDialogWindow.top";
constexpr const char* kKeyLomareLeft = "rLomareWindow.left";
constexpr const char* kKeyLomareTop = "rLomareWindow.top";
constexpr const char* kKeyInitialDir = "InitialDir";

constexpr const char* kNoInitialDir = "NULL";  // the stored text meaning "no folder yet"
constexpr int32_t kCentred = -1;                // a window position asking for the centre
constexpr int kStatusWidthAllowance = 100;      // subtracted from the desktop width, then halved
constexpr int kStatusHeightAllowance = 40;      // subtracted from the desktop height, then halved

std::string settingsFilePath;        // empty until decided or set
bool settingsInConfigFolder = false;  // the path is the user's configuration folder, made on need

std::string ReadSetting(const char* key, const char* defaultValue) {
  return GetPrivateProfileString(SettingsFilePath(), kSectionSetting, key, defaultValue);
}

int32_t ReadSettingNumber(const char* key, const char* defaultValue) {
  return ParseSettingNumber(ReadSetting(key, defaultValue));
}

// The configuration folder is made only when something is about to be written there.
void WriteSetting(const char* section, const char* key, const std::string& value) {
  std::string path = SettingsFilePath();
  if (settingsInConfigFolder) {
    g_autofree gchar* folder = g_path_get_dirname(path.c_str());
    g_mkdir_with_parents(folder, 0700);
  }
  WritePrivateProfileString(path, section, key, value);
}

const char* FormatOption(uint8_t option) { return option == 1 ? "1" : "0"; }

}  // namespace

int32_t ParseSettingNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && g_ascii_isspace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && g_ascii_isdigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;  // saturate; more digits change nothing
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

std::string FormatSettingNumber(int32_t value) {
  if (value <= 0) return "0";
  char buffer[16];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string SettingsFilePath() {
  if (!settingsFilePath.empty()) return settingsFilePath;

  if (ProgramFolderTakesFiles()) {
    settingsFilePath = GetProgramDirectory() + kSettingsFileName;
  } else {
    g_autofree gchar* path =
        g_build_filename(g_get_user_config_dir(), kConfigFolderName, kSettingsFileName, nullptr);
    settingsFilePath = path;
    settingsInConfigFolder = true;
  }
  return settingsFilePath;
}

void SetSettingsFilePath(const std::string& path) {
  settingsFilePath = path;
  settingsInConfigFolder = false;
}

void LoadSettings(int desktopWidth, int desktopHeight) {
  Settings = AppSettings{};

  Settings.ChangeWavFormat = ReadSetting(kKeyChangeWavFormat, "0") == "1" ? 1 : 0;
  Settings.DecodeMode = ReadSettingNumber(kKeyDecodeMode, "0");
  Settings.WavFormat = ReadSettingNumber(kKeyWavFormat, "15");
  Settings.Mp3Format = ReadSettingNumber(kKeyMp3Format, "15");
  Settings.WmaFormat = ReadSettingNumber(kKeyWmaFormat, "15");
  Settings.Riff = ReadSettingNumber(kKeyRiff, "15") == 1 ? 1 : 0;
  Settings.rDialogWindow.left = ReadSettingNumber(kKeyDialogLeft, "0");
  Settings.rDialogWindow.top = ReadSettingNumber(kKeyDialogTop, "0");
  Settings.rLomareWindow.left = ReadSettingNumber(kKeyLomareLeft, "-1");
  Settings.rLomareWindow.top = ReadSettingNumber(kKeyLomareTop, "-1");
  std::string initialDir = ReadSetting(kKeyInitialDir, kNoInitialDir);
  if (initialDir != kNoInitialDir) Settings.InitialDir = initialDir;

  if (Settings.rLomareWindow.left == kCentred)
    Settings.rLomareWindow.left = (desktopWidth - kStatusWidthAllowance) / 2;
  if (Settings.rLomareWindow.top == kCentred)
    Settings.rLomareWindow.top = (desktopHeight - kStatusHeightAllowance) / 2;
}

void SaveSettings() {
  WriteSetting(kSectionSetting, kKeyChangeWavFormat, FormatOption(Settings.ChangeWavFormat));
  WriteSetting(kSectionSetting, kKeyRiff, FormatOption(Settings.Riff));
  WriteSetting(kSectionSetting, kKeyDecodeMode, FormatSettingNumber(Settings.DecodeMode));
  WriteSetting(kSectionSetting, kKeyWavFormat, FormatSettingNumber(Settings.WavFormat));
  WriteSetting(kSectionSetting, kKeyMp3Format, FormatSettingNumber(Settings.Mp3Format));
  WriteSetting(kSectionSetting, kKeyWmaFormat, FormatSettingNumber(Settings.WmaFormat));
  WriteSetting(kSectionSetting, kKeyDialogLeft, FormatSettingNumber(Settings.rDialogWindow.left));
  WriteSetting(kSectionSetting, kKeyDialogTop, FormatSettingNumber(Settings.rDialogWindow.top));
  WriteSetting(kSectionSetting, kKeyInitialDir, Settings.InitialDir);
  WriteSetting(kSectionVersion, kKeyVersion, kVersionText);
}

void SaveWindowPosition() {
  WriteSetting(kSectionSetting, kKeyLomareLeft, FormatSettingNumber(Settings.rLomareWindow.left));
  WriteSetting(kSectionSetting, kKeyLomareTop, FormatSettingNumber(Settings.rLomareWindow.top));
}
