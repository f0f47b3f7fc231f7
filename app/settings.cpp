#include "app/settings.h"

#include <glib.h>
#include <unistd.h>

#include <charconv>
#include <limits>
#include <vector>

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

// A key of the settings file's contents, read once for every key.
std::string ReadSetting(const std::string& file, const char* key, const char* defaultValue) {
  return GetProfileStringFrom(file, kSectionSetting, key, defaultValue);
}

int32_t ReadSettingNumber(const std::string& file, const char* key, const char* defaultValue) {
  return ParseSettingNumber(ReadSetting(file, key, defaultValue));
}

// One save's keys go to the file together. The configuration folder is made only when
// something is about to be written there.
void WriteSettings(const std::vector<ProfileEntry>& entries) {
  std::string path = SettingsFilePath();
  if (settingsInConfigFolder) {
    g_autofree gchar* folder = g_path_get_dirname(path.c_str());
    g_mkdir_with_parents(folder, 0700);
  }
  WritePrivateProfileStrings(path, entries);
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
  const std::string file = ReadPrivateProfile(SettingsFilePath());

  Settings.ChangeWavFormat = ReadSetting(file, kKeyChangeWavFormat, "0") == "1" ? 1 : 0;
  Settings.DecodeMode = ReadSettingNumber(file, kKeyDecodeMode, "0");
  Settings.WavFormat = ReadSettingNumber(file, kKeyWavFormat, "15");
  Settings.Mp3Format = ReadSettingNumber(file, kKeyMp3Format, "15");
  Settings.WmaFormat = ReadSettingNumber(file, kKeyWmaFormat, "15");
  Settings.Riff = ReadSettingNumber(file, kKeyRiff, "15") == 1 ? 1 : 0;
  Settings.rDialogWindow.left = ReadSettingNumber(file, kKeyDialogLeft, "0");
  Settings.rDialogWindow.top = ReadSettingNumber(file, kKeyDialogTop, "0");
  Settings.rLomareWindow.left = ReadSettingNumber(file, kKeyLomareLeft, "-1");
  Settings.rLomareWindow.top = ReadSettingNumber(file, kKeyLomareTop, "-1");
  std::string initialDir = ReadSetting(file, kKeyInitialDir, kNoInitialDir);
  if (initialDir != kNoInitialDir) Settings.InitialDir = initialDir;

  if (Settings.rLomareWindow.left == kCentred)
    Settings.rLomareWindow.left = (desktopWidth - kStatusWidthAllowance) / 2;
  if (Settings.rLomareWindow.top == kCentred)
    Settings.rLomareWindow.top = (desktopHeight - kStatusHeightAllowance) / 2;
}

void SaveSettings() {
  WriteSettings({
      {kSectionSetting, kKeyChangeWavFormat, FormatOption(Settings.ChangeWavFormat)},
      {kSectionSetting, kKeyRiff, FormatOption(Settings.Riff)},
      {kSectionSetting, kKeyDecodeMode, FormatSettingNumber(Settings.DecodeMode)},
      {kSectionSetting, kKeyWavFormat, FormatSettingNumber(Settings.WavFormat)},
      {kSectionSetting, kKeyMp3Format, FormatSettingNumber(Settings.Mp3Format)},
      {kSectionSetting, kKeyWmaFormat, FormatSettingNumber(Settings.WmaFormat)},
      {kSectionSetting, kKeyDialogLeft, FormatSettingNumber(Settings.rDialogWindow.left)},
      {kSectionSetting, kKeyDialogTop, FormatSettingNumber(Settings.rDialogWindow.top)},
      {kSectionSetting, kKeyInitialDir, Settings.InitialDir},
      {kSectionVersion, kKeyVersion, kVersionText},
  });
}

void SaveWindowPosition() {
  WriteSettings({
      {kSectionSetting, kKeyLomareLeft, FormatSettingNumber(Settings.rLomareWindow.left)},
      {kSectionSetting, kKeyLomareTop, FormatSettingNumber(Settings.rLomareWindow.top)},
  });
}
