#include "app/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>

#include "common/app_settings.h"
#include "tests/support/media_fixtures.h"

namespace {

using mediatest::ReadFileBytes;
using mediatest::TempDir;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetSettingsFilePath(ini);
    Settings = AppSettings{};
  }
  void TearDown() override {
    SetSettingsFilePath("");
    Settings = AppSettings{};
  }
  void WriteIni(const std::string& text) { std::ofstream(ini, std::ios::binary) << text; }

  TempDir dir;
  std::string ini = dir.file("QuillLomare.ini");
};

TEST_F(SettingsTest, MissingFileGivesDefaults) {
  LoadSettings(1024, 768);
  EXPECT_EQ(Settings.DecodeMode, kModeWav);
  EXPECT_EQ(Settings.WavFormat, 15);
  EXPECT_EQ(Settings.Mp3Format, 15);
  EXPECT_EQ(Settings.WmaFormat, 15);
  EXPECT_EQ(Settings.ChangeWavFormat, 0);
  EXPECT_EQ(Settings.Riff, 0);
  EXPECT_EQ(Settings.InitialDir, "");
  EXPECT_EQ(Settings.rDialogWindow.left, 0);
  EXPECT_EQ(Settings.rDialogWindow.top, 0);
  EXPECT_EQ(Settings.rLomareWindow.left, 462);
  EXPECT_EQ(Settings.rLomareWindow.top, 364);
}

TEST_F(SettingsTest, CentredStatusWindowTruncatesTowardZero) {
  LoadSettings(51, 31);
  EXPECT_EQ(Settings.rLomareWindow.left, -24);
  EXPECT_EQ(Settings.rLomareWindow.top, -4);
}

TEST_F(SettingsTest, ReadingConversions) {
  using Field = int32_t (*)();
  const Field decodeMode = [] { return Settings.DecodeMode; };
  const Field riff = [] { return int32_t{Settings.Riff}; };
  const Field changeWav = [] { return int32_t{Settings.ChangeWavFormat}; };
  const Field lomareLeft = [] { return Settings.rLomareWindow.left; };
  const struct {
    const char* line;
    Field field;
    int32_t expected;
  } cases[] = {
      {"DecodeMode= 3 modes", decodeMode, 3},
      {"DecodeMode=mp3", decodeMode, 0},
      {"WavFormat=-4", [] { return Settings.WavFormat; }, -4},  // no range check on reading
      {"Riff=01", riff, 1},  // read as a number
      {"Riff=2", riff, 0},
      {"ChangeWavFormat=1", changeWav, 1},
      {"ChangeWavFormat=01", changeWav, 0},  // only the exact text "1"
      {"rLomareWindow.left=-1", lomareLeft, 462},  // -1 stored means "not stored"
      {"rLomareWindow.left=-8", lomareLeft, -8},
      {"rDialogWindow.left=-1", [] { return Settings.rDialogWindow.left; }, -1},
  };
  for (const auto& c : cases) {
    WriteIni(std::string("[Setting]\n") + c.line + "\n");
    LoadSettings(1024, 768);
    EXPECT_EQ(c.field(), c.expected) << c.line;
  }
}

TEST_F(SettingsTest, InitialDir) {
  const struct {
    const char *stored, *expected;
  } cases[] = {{"NULL", ""}, {"null", "null"}, {"/home/u/動画 フォルダ", "/home/u/動画 フォルダ"}};
  for (const auto& c : cases) {
    WriteIni(std::string("[Setting]\nInitialDir=") + c.stored + "\n");
    LoadSettings(1024, 768);
    EXPECT_EQ(Settings.InitialDir, c.expected) << c.stored;
  }
}

TEST(SettingNumbers, Parse) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"42", 42},      {"  42", 42},   {"\t\n 5", 5},  {"+7", 7},
      {"-7", -7},      {"12ab", 12},   {"abc", 0},     {"", 0},
      {"- 5", 0},      {"--5", 0},     {"0x10", 0},    {"1,000", 1},
      {"99999999999", INT32_MAX},      {"-99999999999", INT32_MIN},
      {"2147483647", INT32_MAX},       {"-2147483648", INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseSettingNumber(c.text), c.value) << c.text;
}

TEST(SettingNumbers, Format) {
  const struct {
    int32_t value;
    const char* text;
  } cases[] = {
      {INT32_MIN, "0"}, {-8, "0"}, {0, "0"},      {7, "7"},
      {15, "15"},       {462, "462"}, {1920, "1920"}, {12345, "12345"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSettingNumber(c.value), c.text) << c.value;
}

TEST_F(SettingsTest, FirstCompleteRunWritesTheWholeFile) {
  Settings.DecodeMode = kModeMp3;
  Settings.WavFormat = 3;
  Settings.Mp3Format = 22;
  Settings.WmaFormat = 15;
  Settings.ChangeWavFormat = 1;
  Settings.Riff = 0;
  Settings.InitialDir = "/home/u/音楽";
  Settings.rDialogWindow = {-12, 40, 0, 0};
  Settings.rLomareWindow = {-8, 1000, 0, 0};

  SaveSettings();
  SaveWindowPosition();

  EXPECT_EQ(ReadFileBytes(ini),
            "[Setting]\n"
            "ChangeWavFormat=1\n"
            "Riff=0\n"
            "DecodeMode=1\n"
            "WavFormat=3\n"
            "Mp3Format=22\n"
            "WmaFormat=15\n"
            "rDialogWindow.left=0\n"
            "rDialogWindow.top=40\n"
            "InitialDir=/home/u/音楽\n"
            "rLomareWindow.left=0\n"
            "rLomareWindow.top=1000\n"
            "[Version]\n"
            "Version=4.10\n");
}

TEST_F(SettingsTest, HandWrittenFileIsUpdatedInPlace) {
  WriteIni(
      "; my notes\n"
      "[SETTING]\n"
      "decodemode=2\n"
      "RIFF=1\n"
      "Extra=keep me\n"
      "rlomarewindow.LEFT=5\n"
      "\n"
      "[version]\n"
      "VERSION=4.00\n"
      "[Mine]\n"
      "colour=blue\n");
  LoadSettings(1024, 768);
  EXPECT_EQ(Settings.DecodeMode, 2);
  EXPECT_EQ(Settings.Riff, 1);
  EXPECT_EQ(Settings.rLomareWindow.left, 5);

  Settings.DecodeMode = kModeMp3;
  Settings.rLomareWindow.left = 7;
  SaveSettings();
  SaveWindowPosition();

  EXPECT_EQ(ReadFileBytes(ini),
            "; my notes\n"
            "[SETTING]\n"
            "decodemode=1\n"
            "RIFF=1\n"
            "Extra=keep me\n"
            "rlomarewindow.LEFT=7\n"
            "ChangeWavFormat=0\n"
            "WavFormat=15\n"
            "Mp3Format=15\n"
            "WmaFormat=15\n"
            "rDialogWindow.left=0\n"
            "rDialogWindow.top=0\n"
            "InitialDir=\n"
            "rLomareWindow.top=364\n"
            "\n"
            "[version]\n"
            "VERSION=4.10\n"
            "[Mine]\n"
            "colour=blue\n");
}

}  // namespace
