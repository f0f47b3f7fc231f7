#include <cstdio>

#include "app/batch_mode.h"
#include "app/settings.h"
#include "common/app_settings.h"

int main(int argc, char** argv) {
  if (IsBatchInvocation(argc, argv)) return RunBatchMode(argc, argv);
  LoadSettings(0, 0);
  std::fprintf(stderr,
               "QuillLomare: settings read from %s (mode %d). The window mode is not built yet; "
               "convert with --batch (see --batch --help).\n",
               SettingsFilePath().c_str(), Settings.DecodeMode);
  return 0;
}
