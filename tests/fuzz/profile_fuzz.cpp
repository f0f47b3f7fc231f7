// The settings file reader on arbitrary file contents: the first two lines of the input
// name the section and key looked up, the rest is the file.
#include <string>
#include <string_view>

#include "app/profile.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  size_t a = in.find('\n');
  size_t b = a == std::string_view::npos ? a : in.find('\n', a + 1);
  if (b == std::string_view::npos) return 0;
  std::string section(in.substr(0, a)), key(in.substr(a + 1, b - a - 1));
  std::string path = FuzzFileWith(data + b + 1, size - b - 1);
  std::string value = GetPrivateProfileString(path, section, key, "\x01");
  if (value.find('\n') != std::string::npos) __builtin_trap();  // a value never spans lines
  return 0;
}
