// Not written yet.
#include "common/error_box.h"
#include "engine/builders.h"

static bool NotAvailable() {
  ShowErrorBox("QuillLomare", "not available yet");
  return false;
}

bool ExtractAsIs(const std::string&) { return NotAvailable(); }
