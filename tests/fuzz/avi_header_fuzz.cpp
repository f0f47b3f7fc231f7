// The AVI header reader, both from memory and through its own chunk walk over a file.
#include <vector>

#include "media/avi_header.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<AviStream> streams;
  ParseAviStreamList(data, size, &streams);
  streams.clear();
  ReadAviStreamList(FuzzFileWith(data, size), &streams);
  return 0;
}
