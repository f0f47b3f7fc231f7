#include "app/batch_mode.h"
#include "app/gui_main.h"
#include "common/i18n.h"
#include "dialog/describe.h"

#include <cstring>

int main(int argc, char** argv) {
  InitLocalization();
  if (argc == 2 && std::strcmp(argv[1], kDescriberOption) == 0) return RunDescriber();
  if (IsBatchInvocation(argc, argv)) return RunBatchMode(argc, argv);
  return RunWindowMode(argc, argv);
}
