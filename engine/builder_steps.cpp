#include "engine/builder_steps.h"

#include "common/batch.h"
#include "common/error_box.h"
#include "common/status_text.h"
#include "engine/naming.h"

bool Fail(const char* caption, const char* text) {
  ShowErrorBox(caption, text);
  return false;
}

std::string NameOutputFile(const std::string& inputPath, const std::string& extension) {
  std::string outputPath = MakeOutputPath(inputPath, extension);
  std::lock_guard lock(StatusLock);
  StatusFileName = GetFileNamePart(outputPath);
  return outputPath;
}
