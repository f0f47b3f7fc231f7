// The LAME/Xing tag reader on arbitrary file heads.
#include "media/mp3_gapless.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Mp3Gapless gapless;
  if (ReadMp3Gapless(FuzzFileWith(data, size), &gapless) &&
      (gapless.skipSamples < 0 || gapless.keepSamples < -1))
    __builtin_trap();
  return 0;
}
