// The check of a WAV file's "fmt " chunk: the chunk walk over any bytes, and a record
// that passes must describe samples of a sane size.
#include <algorithm>
#include <cstring>

#include "media/wave_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool usable = WaveHeaderUsable([&](uint64_t offset, uint8_t* buffer, size_t n) -> size_t {
    if (offset >= size) return 0;
    n = std::min<size_t>(n, size - offset);
    std::memcpy(buffer, data + offset, n);
    return n;
  });
  WaveFormat format;
  if (ParseWaveFormat(data, size, &format) && WaveFormatUsable(format)) {
    if (format.blockAlign == 0 || format.channels == 0 || format.channels > 64) __builtin_trap();
    if (format.samplesPerSec < 1000 || format.samplesPerSec > 768000) __builtin_trap();
  }
  (void)usable;
  return 0;
}
