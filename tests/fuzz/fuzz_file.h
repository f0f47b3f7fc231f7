// The fuzz targets' way of handing bytes to a reader that takes a path: one memory file
// per process, rewritten for every input and named through /proc/self/fd.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

inline std::string FuzzFileWith(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("ql-fuzz", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, 0) != 0) abort();
  for (size_t done = 0; done < size;) {
    ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  return "/proc/self/fd/" + std::to_string(fd);
}
