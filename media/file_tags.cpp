// ID3v2 tags and RIFF WAVE tag chunks, read from the file's bytes.
//   ID3v2: "ID3", version (2, 3 or 4), revision, flags, syncsafe size; then frames,
//     each an id (3 or 4 letters), a size (syncsafe in v2.4), two flag bytes (not in
//     v2.2) and its data; v2.2 and v2.3 unsynchronise the whole tag, v2.4 each frame.
//   RIFF WAVE: "RIFF", size, "WAVE", then chunks (id, little-endian size, data, a pad
//     byte after odd sizes); LIST chunks of type "INFO" hold one text chunk per field.
#include "media/file_tags.h"

#include <gio/gio.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

constexpr uint64_t kLargestTag = 64u << 20;  // bytes of an ID3v2 tag read, and of a frame uncompressed
constexpr int kMostTags = 16;                // ID3v2 tags read one after another
constexpr int kMostChunks = 1024;            // top-level chunks of a WAV file walked
constexpr uint32_t kLargestInfo = 1u << 20;  // bytes of a LIST chunk read

// ID3v2 flags: the tag's, then a frame's in v2.3 and in v2.4.
constexpr uint8_t kTagUnsynchronised = 0x80, kTagExtendedHeader = 0x40, kTagFooter = 0x10;
constexpr uint16_t kV3Compressed = 0x0080, kV3Encrypted = 0x0040, kV3Grouped = 0x0020;
constexpr uint16_t kV4Grouped = 0x0040, kV4Compressed = 0x0008, kV4Encrypted = 0x0004, kV4Unsynchronised = 0x0002,
                   kV4DataLength = 0x0001;

// ID3v2 text encodings.
constexpr uint8_t kLatin1 = 0, kUtf16 = 1, kUtf16Be = 2, kUtf8 = 3;

using Bytes = std::string;

uint32_t GetBe(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}
uint32_t GetLe(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
uint32_t GetSyncsafe(const uint8_t* p) { return p[0] << 21 | p[1] << 14 | p[2] << 7 | p[3]; }
const uint8_t* U8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }

void SetFirst(std::string* field, std::string value) {
  if (field->empty()) *field = std::move(value);
}

void AppendChar(std::string* out, gunichar c) {
  char utf8[6];
  out->append(utf8, g_unichar_to_utf8(c, utf8));
}

// Text as UTF-8: kept where it is UTF-8 already, each invalid byte becoming U+FFFD.
std::string ValidUtf8(const Bytes& bytes) {
  g_autofree char* valid = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
  return valid;
}

std::string Latin1ToUtf8(const Bytes& bytes) {
  std::string out;
  for (unsigned char c : bytes) AppendChar(&out, c);
  return out;
}

// UTF-16 as UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const Bytes& bytes, bool bigEndian) {
  std::string out;
  auto unit = [&](size_t i) { return bigEndian ? GetBe(U8(bytes) + i, 2) : GetLe(U8(bytes) + i, 2); };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    gunichar c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    AppendChar(&out, c);
  }
  return out;
}

// Decodes one zero-terminated (or final) string of an ID3v2 frame from *at on and moves
// *at past its terminator.
std::string TakeText(uint8_t encoding, const Bytes& data, size_t* at) {
  const bool wide = encoding == kUtf16 || encoding == kUtf16Be;
  size_t end = *at;
  if (wide) {
    while (end + 1 < data.size() && (data[end] || data[end + 1])) end += 2;
    if (end + 1 >= data.size()) end = data.size();
  } else {
    end = std::min(data.find('\0', *at), data.size());
  }
  Bytes raw = data.substr(*at, end - *at);
  *at = std::min(data.size(), end + (wide ? 2 : 1));
  switch (encoding) {
    case kLatin1:
      return Latin1ToUtf8(raw);
    case kUtf16: {
      bool bigEndian = false;  // without a byte order mark: little-endian, as most writers
      if (raw.size() >= 2 && U8(raw)[0] == 0xFE && U8(raw)[1] == 0xFF) bigEndian = true;
      if (raw.size() >= 2 && (GetBe(U8(raw), 2) == 0xFEFF || GetBe(U8(raw), 2) == 0xFFFE)) raw.erase(0, 2);
      return Utf16ToUtf8(raw, bigEndian);
    }
    case kUtf16Be:
      return Utf16ToUtf8(raw, true);
    case kUtf8:
      return ValidUtf8(raw);
    default:
      return "";
  }
}

// Undoes unsynchronisation: every 0xFF 0x00 loses its 0x00.
Bytes Resynchronised(const Bytes& bytes) {
  Bytes out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += bytes[i];
    if (U8(bytes)[i] == 0xFF && i + 1 < bytes.size() && bytes[i + 1] == '\0') ++i;
  }
  return out;
}

// A zlib stream uncompressed; empty when it is damaged or larger than kLargestTag.
Bytes Uncompressed(const Bytes& bytes) {
  g_autoptr(GZlibDecompressor) inflater = g_zlib_decompressor_new(G_ZLIB_COMPRESSOR_FORMAT_ZLIB);
  Bytes out;
  char buffer[64 * 1024];
  size_t at = 0;
  for (;;) {
    gsize read = 0, written = 0;
    const GConverterResult result =
        g_converter_convert(G_CONVERTER(inflater), bytes.data() + at, bytes.size() - at, buffer, sizeof buffer,
                            G_CONVERTER_INPUT_AT_END, &read, &written, nullptr);
    if (result == G_CONVERTER_ERROR) return "";
    at += read;
    out.append(buffer, written);
    if (out.size() > kLargestTag) return "";
    if (result == G_CONVERTER_FINISHED) return out;
    if (read == 0 && written == 0) return "";
  }
}

// The ID3v1 genre number a genre text stands for ("13", "(13)", "(13)Pop"); -1 for
// none. *reference: whether the text refers to a genre ("(" or digits first) rather
// than naming one.
int GenreNumber(const std::string& genre, bool* reference) {
  const size_t first = genre.starts_with("(") ? 1 : 0;
  const size_t end = std::min(genre.find_first_not_of("0123456789", first), genre.size());
  *reference = first == 1 || (!genre.empty() && end == genre.size());
  if (end == first || end - first > 3 || (first == 1 && (end == genre.size() || genre[end] != ')'))) return -1;
  return std::stoi(genre.substr(first, end - first));
}

// The frame's data once its flags are undone; false for a frame that cannot be read
// (encrypted, damaged).
bool FrameContent(int version, uint16_t flags, bool tagUnsynchronised, Bytes* data) {
  size_t skip = 0;
  bool compressed = false, unsynchronised = false;
  if (version == 3) {
    if (flags & kV3Encrypted) return false;
    compressed = flags & kV3Compressed;
    skip = (compressed ? 4 : 0) + (flags & kV3Grouped ? 1 : 0);
  } else if (version == 4) {
    if (flags & kV4Encrypted) return false;
    compressed = flags & kV4Compressed;
    unsynchronised = tagUnsynchronised || (flags & kV4Unsynchronised);
    skip = (flags & kV4Grouped ? 1 : 0) + (flags & kV4DataLength ? 4 : 0);
  }
  if (skip > data->size()) return false;
  data->erase(0, skip);
  if (unsynchronised) *data = Resynchronised(*data);
  if (compressed) *data = Uncompressed(*data);
  return !data->empty();
}

// The fields of one frame, by its v2.3/v2.4 id.
void ReadFrame(const std::string& id, const Bytes& data, bool v22, FileTags* tags) {
  const uint8_t encoding = U8(data)[0];
  size_t at = 1;
  const struct {
    const char* id;
    std::string FileTags::*field;
  } kTexts[] = {{"TIT2", &FileTags::title}, {"TPE1", &FileTags::artist}, {"TALB", &FileTags::album},
                {"TDRC", &FileTags::date},  {"TYER", &FileTags::date},   {"TCON", &FileTags::genre}};
  for (const auto& text : kTexts) {
    if (id != text.id) continue;
    std::string value = TakeText(encoding, data, &at);
    if (text.field != &FileTags::genre) {
      SetFirst(&(tags->*text.field), std::move(value));
    } else if (tags->genre.empty() && tags->genreNumber < 0) {
      bool reference = false;
      tags->genreNumber = GenreNumber(value, &reference);
      if (!reference) tags->genre = std::move(value);
    }
    return;
  }
  if (id == "TRCK") {
    SetFirst(&tags->track, TrackOfText(TakeText(encoding, data, &at)));
  } else if (id == "COMM" && data.size() > 4) {
    at = 4;  // past the language
    // Only the comment without a description is the one players show; described ones
    // belong to the tools that wrote them.
    if (!TakeText(encoding, data, &at).empty()) return;
    SetFirst(&tags->comment, TakeText(encoding, data, &at));
  } else if (id == "APIC" && tags->picture.empty()) {
    if (v22) {
      at += 3;  // the image format: "PNG", "JPG"
    } else {
      at = std::min(data.find('\0', at), data.size()) + 1;  // the MIME type
    }
    if (at >= data.size()) return;
    const uint8_t type = U8(data)[at++];
    if (type == 1) return;          // a 32x32 file icon, no cover
    TakeText(encoding, data, &at);  // the description
    if (at >= data.size()) return;
    tags->picture = data.substr(at);
    tags->pictureType = type;
  }
}

// The v2.2 names of the frames read.
std::string FrameId(const uint8_t* p, bool v22) {
  if (!v22) return std::string(reinterpret_cast<const char*>(p), 4);
  static const std::pair<const char*, const char*> kV22[] = {{"TT2", "TIT2"}, {"TP1", "TPE1"}, {"TAL", "TALB"},
                                                             {"TRK", "TRCK"}, {"TYE", "TYER"}, {"TCO", "TCON"},
                                                             {"COM", "COMM"}, {"PIC", "APIC"}};
  for (const auto& [old, now] : kV22)
    if (memcmp(p, old, 3) == 0) return now;
  return "";
}

// Whether a frame (or the padding, or the end of the tag) starts at the offset.
bool FrameStartsAt(const Bytes& body, uint64_t at) {
  if (at >= body.size() || body[at] == '\0') return at <= body.size();
  if (body.size() - at < 10) return false;
  return std::all_of(body.begin() + at, body.begin() + at + 4,
                     [](char c) { return g_ascii_isupper(c) || g_ascii_isdigit(c); });
}

// The size of a v2.4 frame. Some writers store it as v2.3 does, not syncsafe; the
// frame that follows tells which it is.
uint32_t V24FrameSize(const Bytes& body, size_t at) {
  const uint32_t plain = GetBe(U8(body) + at + 4, 4), syncsafe = GetSyncsafe(U8(body) + at + 4);
  if (plain & 0x80808080) return plain;
  if (plain <= 0x7F || FrameStartsAt(body, at + 10 + uint64_t{syncsafe})) return syncsafe;
  return FrameStartsAt(body, at + 10 + uint64_t{plain}) ? plain : syncsafe;
}

// The frames of one tag's body (after its 10-byte header).
void ReadTagBody(int version, uint8_t flags, Bytes body, FileTags* tags) {
  if (version == 2 && (flags & kTagExtendedHeader)) return;  // v2.2's compression: no scheme was ever defined
  if (version < 4 && (flags & kTagUnsynchronised)) body = Resynchronised(body);
  size_t at = 0;
  if (version >= 3 && (flags & kTagExtendedHeader) && body.size() >= 4)
    at = version == 3 ? 4 + GetBe(U8(body), 4) : GetSyncsafe(U8(body));
  const bool v22 = version == 2;
  const size_t headerBytes = v22 ? 6 : 10;
  while (at < body.size() && body.size() - at >= headerBytes && body[at] != '\0') {
    const uint8_t* head = U8(body) + at;
    const uint32_t size = v22 ? GetBe(head + 3, 3) : version == 4 ? V24FrameSize(body, at) : GetBe(head + 4, 4);
    if (size > body.size() - at - headerBytes) break;
    const std::string id = FrameId(head, v22);
    const uint16_t frameFlags = v22 ? 0 : static_cast<uint16_t>(GetBe(head + 8, 2));
    Bytes data = body.substr(at + headerBytes, size);
    at += headerBytes + size;
    if (id.empty() || !(id[0] == 'T' || id == "COMM" || id == "APIC")) continue;
    if (FrameContent(version, frameFlags, flags & kTagUnsynchronised, &data)) ReadFrame(id, data, v22, tags);
  }
}

void FillGaps(FileTags* tags, FileTags more) {
  for (std::string FileTags::*field : {&FileTags::title, &FileTags::artist, &FileTags::album, &FileTags::track,
                                       &FileTags::date, &FileTags::genre, &FileTags::comment})
    SetFirst(&(tags->*field), std::move(more.*field));
  if (tags->genre.empty() && tags->genreNumber < 0) tags->genreNumber = more.genreNumber;
  if (tags->picture.empty()) {
    tags->picture = std::move(more.picture);
    tags->pictureType = more.pictureType;
  }
}

// The text of a chunk that holds one: up to its first NUL, UTF-8 where it is, Latin-1
// where it is not.
std::string ChunkText(Bytes text) {
  text.resize(std::min(text.find('\0'), text.size()));
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) ? text : Latin1ToUtf8(text);
}

// The fields of a LIST INFO chunk's body (after "INFO"). Text that is not UTF-8 is
// taken as Latin-1.
void ReadInfo(const Bytes& body, FileTags* tags) {
  const std::pair<const char*, std::string FileTags::*> kItems[] = {
      {"INAM", &FileTags::title}, {"IART", &FileTags::artist}, {"IPRD", &FileTags::album},
      {"ITRK", &FileTags::track}, {"IPRT", &FileTags::track},  {"ICRD", &FileTags::date},
      {"IGNR", &FileTags::genre}, {"ICMT", &FileTags::comment}};
  for (size_t at = 0; at + 8 <= body.size();) {
    const uint32_t size = GetLe(U8(body) + at + 4, 4);
    if (size > body.size() - at - 8) break;
    for (const auto& [id, field] : kItems) {
      if (memcmp(body.data() + at, id, 4) != 0) continue;
      const std::string value = ChunkText(body.substr(at + 8, size));
      SetFirst(&(tags->*field), field == &FileTags::track ? TrackOfText(value) : value);
    }
    at += 8 + size + (size & 1);
  }
}

// Up to size bytes at offset, fewer at the end of the file; read in pieces, so that a
// size the file does not have costs no memory.
Bytes ReadBytes(const FileReadAt& readAt, uint64_t offset, size_t size) {
  constexpr size_t kPiece = 1 << 20;
  Bytes bytes;
  while (bytes.size() < size) {
    const size_t had = bytes.size(), piece = std::min(size - had, kPiece);
    bytes.resize(had + piece);
    const size_t got = readAt(offset + had, reinterpret_cast<uint8_t*>(bytes.data() + had), piece);
    bytes.resize(had + got);
    if (got < piece) break;
  }
  return bytes;
}

// Calls visit(id, where its body starts, its size) for each top-level chunk of a RIFF
// or FORM file. Walked to the end of the file rather than of the size in its header,
// which not every tool updates when it appends a chunk.
void WalkChunks(const FileReadAt& readAt, bool bigEndian,
                const std::function<void(const char* id, uint64_t body, uint32_t size)>& visit) {
  uint64_t at = 12;
  for (int i = 0; i < kMostChunks; ++i) {
    uint8_t chunk[8];
    if (readAt(at, chunk, sizeof chunk) != sizeof chunk) break;
    const uint32_t size = bigEndian ? GetBe(chunk + 4, 4) : GetLe(chunk + 4, 4);
    visit(reinterpret_cast<const char*>(chunk), at + 8, size);
    at += 8 + uint64_t{size} + (size & 1);
  }
}

}  // namespace

std::string TrackOfText(const std::string& text) {
  uint64_t n = 0;
  size_t digits = 0;
  for (; digits < text.size() && digits < 9 && g_ascii_isdigit(text[digits]); ++digits)
    n = n * 10 + (text[digits] - '0');
  return n >= 1 ? std::to_string(n) : "";
}

bool ReadId3v2Tags(const FileReadAt& readAt, uint64_t offset, FileTags* tags) {
  bool found = false;
  for (int i = 0; i < kMostTags; ++i) {
    uint8_t head[10];
    if (readAt(offset, head, sizeof head) != sizeof head || memcmp(head, "ID3", 3) != 0 || head[3] < 2 || head[3] > 4 ||
        ((head[6] | head[7] | head[8] | head[9]) & 0x80))
      break;
    found = true;
    const uint32_t size = GetSyncsafe(head + 6);
    // A tag cut short by the end of the file gives the frames it holds.
    if (size <= kLargestTag) ReadTagBody(head[3], head[5], ReadBytes(readAt, offset + sizeof head, size), tags);
    offset += sizeof head + size + (head[3] == 4 && (head[5] & kTagFooter) ? 10 : 0);
  }
  return found;
}

bool ReadWaveTags(const FileReadAt& readAt, FileTags* tags) {
  uint8_t head[12];
  if (readAt(0, head, sizeof head) != sizeof head || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0)
    return false;
  FileTags id3;
  WalkChunks(readAt, false, [&](const char* id, uint64_t body, uint32_t size) {
    if (memcmp(id, "LIST", 4) == 0 && size >= 4 && size <= kLargestInfo) {
      const Bytes list = ReadBytes(readAt, body, size);
      if (list.starts_with("INFO")) ReadInfo(list.substr(4), tags);
    } else if (memcmp(id, "id3 ", 4) == 0 || memcmp(id, "ID3 ", 4) == 0) {
      ReadId3v2Tags(readAt, body, &id3);
    }
  });
  FillGaps(tags, std::move(id3));
  return true;
}

bool ReadAiffTags(const FileReadAt& readAt, FileTags* tags) {
  uint8_t head[12];
  if (readAt(0, head, sizeof head) != sizeof head || memcmp(head, "FORM", 4) != 0 ||
      (memcmp(head + 8, "AIFF", 4) != 0 && memcmp(head + 8, "AIFC", 4) != 0))
    return false;
  const std::pair<const char*, std::string FileTags::*> kTextChunks[] = {
      {"NAME", &FileTags::title}, {"AUTH", &FileTags::artist}, {"ANNO", &FileTags::comment}};
  FileTags text;
  WalkChunks(readAt, true, [&](const char* id, uint64_t body, uint32_t size) {
    if (memcmp(id, "ID3 ", 4) == 0 || memcmp(id, "id3 ", 4) == 0) ReadId3v2Tags(readAt, body, tags);
    for (const auto& [textId, field] : kTextChunks)
      if (memcmp(id, textId, 4) == 0 && size <= kLargestInfo)
        SetFirst(&(text.*field), ChunkText(ReadBytes(readAt, body, size)));
  });
  FillGaps(tags, std::move(text));
  return true;
}
