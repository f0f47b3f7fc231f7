// The settings file "QuillLomare.ini": AppSettings between runs.
#pragma once

#include <cstdint>
#include <string>

// Reads every key into Settings (a missing file or key gives its default), then places a
// status window whose position is -1 near the centre of a desktop of the given size.
void LoadSettings(int desktopWidth, int desktopHeight);

// Writes the conversion choices, the dialog position and InitialDir, then the version.
// Called once the selection dialog is confirmed. Failures to write are not reported.
void SaveSettings();

// Writes the status window position. Called when the run ends or the window is closed.
void SaveWindowPosition();

// Decimal text of a value as the file stores it; 0 or less gives "0".
std::string FormatSettingNumber(int32_t value);

// Text to integer like the C library's atoi, without its locale: leading blanks, an optional
// sign, then digits up to the first other character; 0 without digits. Clamped to 32 bits.
int32_t ParseSettingNumber(const std::string& text);

// The settings file: "QuillLomare.ini" beside the program when its folder is writable,
// otherwise in the user's configuration folder ($XDG_CONFIG_HOME/quilllomare). Decided once.
std::string SettingsFilePath();

// Uses path as the settings file from now on; an empty path restores the automatic choice.
void SetSettingsFilePath(const std::string& path);
