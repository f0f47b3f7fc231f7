#include "app/batch_mode.h"
#include "app/gui_main.h"
#include "common/i18n.h"

int main(int argc, char** argv) {
  InitLocalization();
  if (IsBatchInvocation(argc, argv)) return RunBatchMode(argc, argv);
  return RunWindowMode(argc, argv);
}
