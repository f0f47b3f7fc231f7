// The LAME/Xing tag reader on arbitrary file heads, from memory and from a file.
#include "media/mp3_gapless.h"
#include "tests/fuzz/fuzz_file.h"

static void Check(const Mp3Gapless& gapless) {
  if (gapless.skipSamples < 0 || gapless.keepSamples < -1) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Mp3Gapless gapless;
  Id3v2TagBytes(data, size);
  if (ParseMp3Gapless(data, size, &gapless)) Check(gapless);
  gapless = Mp3Gapless{};
  if (ReadMp3Gapless(FuzzFileWith(data, size), &gapless)) Check(gapless);
  return 0;
}
