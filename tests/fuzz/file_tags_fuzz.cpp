// The ID3v2, RIFF WAVE and AIFF tag readers over any bytes: every text read is valid
// UTF-8 and a track is a number from 1. The first byte chooses the reader.
#include <glib.h>

#include <algorithm>
#include <cstring>

#include "media/file_tags.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* bytes = data + 1;
  const size_t length = size - 1;
  auto readAt = [&](uint64_t offset, uint8_t* buffer, size_t n) -> size_t {
    if (offset >= length) return 0;
    n = std::min<size_t>(n, length - offset);
    std::memcpy(buffer, bytes + offset, n);
    return n;
  };
  FileTags tags;
  switch (data[0] % 3) {
    case 0: ReadId3v2Tags(readAt, 0, &tags); break;
    case 1: ReadWaveTags(readAt, &tags); break;
    default: ReadAiffTags(readAt, &tags); break;
  }
  for (const std::string* text : {&tags.title, &tags.artist, &tags.album, &tags.date, &tags.genre, &tags.comment})
    if (!g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) __builtin_trap();
  if (!tags.track.empty() && (tags.track[0] == '0' || tags.track.find_first_not_of("0123456789") != std::string::npos))
    __builtin_trap();
  return 0;
}
