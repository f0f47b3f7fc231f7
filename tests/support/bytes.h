// File layouts built and patched byte by byte: integers in either byte order, RIFF and
// IFF chunks, ID3v2's syncsafe sizes.
#pragma once

#include <cstdint>
#include <string>

namespace bytestest {

// The low `bytes` bytes of v written over b from at, stopping at b's end.
inline void PutLe(std::string& b, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes && at + i < b.size(); ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
inline void PutBe(std::string& b, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes && at + i < b.size(); ++i) b[at + i] = static_cast<char>(v >> (8 * (bytes - 1 - i)));
}
inline std::string Le(uint64_t v, int bytes) { std::string b(bytes, '\0'); PutLe(b, 0, v, bytes); return b; }
inline std::string Be(uint64_t v, int bytes) { std::string b(bytes, '\0'); PutBe(b, 0, v, bytes); return b; }

inline uint64_t GetLe(const std::string& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}
inline uint64_t GetBe(const std::string& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}

// A RIFF chunk (little-endian size) or an IFF chunk (big-endian), a pad byte after an
// odd body.
inline std::string Chunk(const std::string& id, const std::string& body) {
  return id + Le(body.size(), 4) + body + std::string(body.size() % 2, '\0');
}
inline std::string IffChunk(const std::string& id, const std::string& body) {
  return id + Be(body.size(), 4) + body + std::string(body.size() % 2, '\0');
}

// Seven bits a byte, as ID3v2 writes its sizes.
inline std::string Syncsafe(uint32_t n) {
  return {static_cast<char>(n >> 21 & 127), static_cast<char>(n >> 14 & 127), static_cast<char>(n >> 7 & 127),
          static_cast<char>(n & 127)};
}

}  // namespace bytestest
