// Modes whose builders are not written yet.
#include "common/error_box.h"
#include "engine/builders.h"

static bool NotAvailable() {
  ShowErrorBox("QuillLomare", "not available yet");
  return false;
}

bool ConvertToMp3(const std::string&) { return NotAvailable(); }
bool ConvertToWma(const std::string&, uint32_t) { return NotAvailable(); }
bool ExtractAsIs(const std::string&) { return NotAvailable(); }
