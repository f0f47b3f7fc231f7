#include "common/error_box.h"

#include <cstdio>

static ErrorBoxHandler errorBoxHandler = nullptr;

void SetErrorBoxHandler(ErrorBoxHandler handler) { errorBoxHandler = handler; }

void ShowErrorBox(const std::string& caption, const std::string& text) {
  if (errorBoxHandler) {
    errorBoxHandler(caption, text);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}
