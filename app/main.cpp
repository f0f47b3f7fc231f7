#include <cstdio>

#include "app/batch_mode.h"

int main(int argc, char** argv) {
  if (IsBatchInvocation(argc, argv)) return RunBatchMode(argc, argv);
  std::fputs("QuillLomare: the window mode is not built yet; use --batch (see --batch --help).\n", stderr);
  return 0;
}
