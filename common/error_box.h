// The one way the program shows a message to the user.
#pragma once

#include <string>

using ErrorBoxHandler = void (*)(const std::string& caption, const std::string& text);

// Shows a modal message with an OK button; without a display, writes
// "caption: text" to standard error.
void ShowErrorBox(const std::string& caption, const std::string& text);

// The GUI hands its dialog down at start-up; nullptr restores standard error.
void SetErrorBoxHandler(ErrorBoxHandler handler);
