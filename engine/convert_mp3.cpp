// Not written yet.
#include "common/error_box.h"
#include "engine/builders.h"

static bool NotAvailable() {
  ShowErrorBox("QuillLomare", "not available yet");
  return false;
}

bool ConvertToMp3(const std::string&) { return NotAvailable(); }
