#include "app/settings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/app_settings.h"
#include "tests/support/media_fixtures.h"

namespace {

using mediatest::ReadFileBytes;
using mediatest::TempDir;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetSettingsFilePath(ini); }  // every test loads before it looks
  void TearDown() override {
    SetSettingsFilePath("");
    Settings = AppSettings{};
  }
  void WriteIni(const std::string& text) { std::ofstream(ini, std::ios::binary) << text; }
  // The file after a complete run saved the settings and the window's position.
  std::string Saved() { SaveSettings(); SaveWindowPosition(); return ReadFileBytes(ini); }

  TempDir dir;
  std::string ini = dir.file("QuillLomare.ini");
};

TEST_F(SettingsTest, ReadingConversions) {
  WriteIni(
      "[Setting]\nDecodeMode= 3 modes\nRiff=01\nChangeWavFormat=01\nInitialDir=NULL\n"
      "rDialogWindow.left=-1\nrLomareWindow.left=-1\n");
  LoadSettings(1024, 768);
  EXPECT_EQ(Settings.DecodeMode, kModeExtract);
  EXPECT_EQ(Settings.Riff, 1);             // read as a number
  EXPECT_EQ(Settings.ChangeWavFormat, 0);  // only the exact text "1"
  EXPECT_EQ(Settings.InitialDir, "");
  EXPECT_EQ(Settings.rDialogWindow.left, -1);
  EXPECT_EQ(Settings.rLomareWindow.left, 462);  // -1 stored means "not stored"

  WriteIni("[Setting]\nRiff=2\nChangeWavFormat=1\nInitialDir=/home/u/動画 フォルダ\nrLomareWindow.left=-8\n");
  LoadSettings(1024, 768);
  EXPECT_EQ(Settings.Riff, 0);
  EXPECT_EQ(Settings.ChangeWavFormat, 1);
  EXPECT_EQ(Settings.InitialDir, "/home/u/動画 フォルダ");
  EXPECT_EQ(Settings.rLomareWindow.left, -8);
}

TEST(SettingNumbers, TextAndBack) {
  const std::pair<const char*, int32_t> cases[] = {
      {"  42", 42}, {"\t\n 5", 5}, {"+7", 7},   {"-7", -7},   {"12ab", 12}, {"abc", 0},
      {"", 0},      {"- 5", 0},    {"--5", 0},  {"0x10", 0},  {"1,000", 1},
      {"99999999999", INT32_MAX},  {"-99999999999", INT32_MIN},
      {"2147483647", INT32_MAX},   {"-2147483648", INT32_MIN},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseSettingNumber(text), value) << text;
  for (int32_t negative : {INT32_MIN, -8}) EXPECT_EQ(FormatSettingNumber(negative), "0") << negative;
  EXPECT_EQ(FormatSettingNumber(12345), "12345");
}

// Without a file every setting has its default (the status window centred on the
// desktop); a complete run then writes every key in its order, negative positions as 0.
TEST_F(SettingsTest, FirstCompleteRunWritesTheWholeFile) {
  LoadSettings(1024, 768);
  EXPECT_EQ(Saved(),
            "[Setting]\nChangeWavFormat=0\nRiff=0\nDecodeMode=0\nWavFormat=15\nMp3Format=15\n"
            "WmaFormat=15\nrDialogWindow.left=0\nrDialogWindow.top=0\nInitialDir=\n"
            "rLomareWindow.left=462\nrLomareWindow.top=364\n[Version]\nVersion=4.10\n");

  Settings = {.DecodeMode = kModeMp3, .WavFormat = 3, .Mp3Format = 22, .WmaFormat = 7,
              .ChangeWavFormat = 1, .Riff = 0, .InitialDir = "/home/u/音楽",
              .rDialogWindow = {-12, 40}, .rLomareWindow = {-8, 1000}};
  EXPECT_EQ(Saved(),
            "[Setting]\nChangeWavFormat=1\nRiff=0\nDecodeMode=1\nWavFormat=3\nMp3Format=22\n"
            "WmaFormat=7\nrDialogWindow.left=0\nrDialogWindow.top=40\nInitialDir=/home/u/音楽\n"
            "rLomareWindow.left=0\nrLomareWindow.top=1000\n[Version]\nVersion=4.10\n");
}

// Keys in another letter case are read and updated where they are; new keys go after
// the last of their section, even one whose last line has no line break; comments,
// blank lines and unknown keys and sections stay.
TEST_F(SettingsTest, HandWrittenFileIsUpdatedInPlace) {
  WriteIni(
      "; my notes\n[version]\nVERSION=4.00\n\n[Mine]\ncolour=blue\n"
      "[SETTING]\ndecodemode=2\nRIFF=1\nExtra=keep me\nrlomarewindow.LEFT=5");
  LoadSettings(1024, 768);
  EXPECT_EQ(Settings.DecodeMode, 2);
  EXPECT_EQ(Settings.Riff, 1);
  EXPECT_EQ(Settings.rLomareWindow.left, 5);

  Settings.DecodeMode = kModeMp3;
  Settings.rLomareWindow.left = 7;
  EXPECT_EQ(Saved(),
            "; my notes\n[version]\nVERSION=4.10\n\n[Mine]\ncolour=blue\n"
            "[SETTING]\ndecodemode=1\nRIFF=1\nExtra=keep me\nrlomarewindow.LEFT=7\n"
            "ChangeWavFormat=0\nWavFormat=15\nMp3Format=15\nWmaFormat=15\nrDialogWindow.left=0\n"
            "rDialogWindow.top=0\nInitialDir=\nrLomareWindow.top=364\n");
}

}  // namespace
