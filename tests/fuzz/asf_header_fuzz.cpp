// The tags of an ASF header object over any bytes: every text read is valid UTF-8 and
// a track is a number from 1; a packet count found short lies within the file.
#include <glib.h>

#include <algorithm>
#include <cstring>

#include "media/asf_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const AsfReadAt readAt = [&](uint64_t offset, uint8_t* buffer, size_t n) -> size_t {
    if (offset >= size) return 0;
    n = std::min<size_t>(n, size - offset);
    std::memcpy(buffer, data + offset, n);
    return n;
  };
  AsfHeaderTags tags;
  ReadAsfHeaderTags(readAt, &tags);
  for (const std::string* text : {&tags.title, &tags.artist, &tags.album, &tags.date, &tags.genre, &tags.comment})
    if (!g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) __builtin_trap();
  if (!tags.track.empty() && (tags.track[0] == '0' || tags.track.find_first_not_of("0123456789") != std::string::npos))
    __builtin_trap();
  // The packet count lies inside the file, in a data object after the header.
  const uint64_t count = AsfShortPacketCountAt(readAt, size);
  if (count != 0 && (count < 40 || count + 8 > size)) __builtin_trap();
  return 0;
}
