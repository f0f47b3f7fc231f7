#include "app/batch_mode.h"
#include "app/gui_main.h"

int main(int argc, char** argv) {
  if (IsBatchInvocation(argc, argv)) return RunBatchMode(argc, argv);
  return RunWindowMode(argc, argv);
}
