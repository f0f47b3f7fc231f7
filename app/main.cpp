#include "app/batch_mode.h"
#include "app/gui_main.h"
#include "dialog/describe.h"

#include <cstring>

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], kDescriberOption) == 0) return RunDescriber();
  if (IsBatchInvocation(argc, argv)) return RunBatchMode(argc, argv);
  return RunWindowMode(argc, argv);
}
