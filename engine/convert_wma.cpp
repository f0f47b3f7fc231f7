// Not written yet.
#include "common/error_box.h"
#include "engine/builders.h"

static bool NotAvailable() {
  ShowErrorBox("QuillLomare", "not available yet");
  return false;
}

bool ConvertToWma(const std::string&, uint32_t) { return NotAvailable(); }
