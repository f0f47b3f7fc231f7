// The tags of an ASF header object, walked object by object through readAt:
//   header object: GUID, size, object count, 2 reserved bytes, then its objects
//   content description: 5 byte lengths (title, author, copyright, description,
//     rating), then the UTF-16LE texts
//   extended content description: a count, then per descriptor its name's byte length
//     and name (UTF-16LE), a value type and its byte length, and the value
#include "media/asf_header.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kMostObjects = 256;  // a header has a dozen; the rest is not looked at
constexpr size_t kLongestName = 64;     // bytes of the longest descriptor name looked for

// Value types of an extended descriptor.
constexpr uint16_t kUnicode = 0, kDword = 3, kQword = 4, kWord = 5;

uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

bool ReadExactly(const AsfReadAt& readAt, uint64_t offset, uint8_t* buffer, size_t size) {
  return size == 0 || readAt(offset, buffer, size) == size;
}

// UTF-16LE bytes as UTF-8, without the terminating zeros; empty when not valid UTF-16.
std::string Utf8Of(const uint8_t* bytes, size_t size) {
  std::vector<gunichar2> units(size / 2);
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<gunichar2>(GetLe(bytes + 2 * i, 2));
  while (!units.empty() && units.back() == 0) units.pop_back();
  if (units.empty()) return "";
  g_autofree char* text = g_utf16_to_utf8(units.data(), static_cast<glong>(units.size()), nullptr, nullptr, nullptr);
  return text ? text : "";
}

void SetFirst(std::string* field, std::string value) {
  if (field->empty()) *field = std::move(value);
}

// A track number from its text ("7", "7/12"); empty unless at least 1.
std::string TrackOf(const std::string& text) {
  uint64_t n = 0;
  size_t digits = 0;
  for (; digits < text.size() && digits < 9 && g_ascii_isdigit(text[digits]); ++digits)
    n = n * 10 + (text[digits] - '0');
  return n >= 1 ? std::to_string(n) : "";
}

void ReadContentDescription(const AsfReadAt& readAt, uint64_t at, uint64_t size, AsfHeaderTags* tags) {
  uint8_t lengths[10];
  if (size < kAsfObjectBytes + sizeof lengths || !ReadExactly(readAt, at + kAsfObjectBytes, lengths, sizeof lengths)) return;
  std::string* fields[5] = {&tags->title, &tags->artist, nullptr, &tags->comment, nullptr};
  uint64_t text = at + kAsfObjectBytes + sizeof lengths;
  const uint64_t end = at + size;
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 5; ++i) {
    const size_t length = GetLe(lengths + 2 * i, 2);
    if (length > end - text) return;
    bytes.resize(length);
    if (fields[i] && !ReadExactly(readAt, text, bytes.data(), length)) return;
    if (fields[i]) SetFirst(fields[i], Utf8Of(bytes.data(), length));
    text += length;
  }
}

// The descriptors read, by name (compared without case).
struct Descriptor {
  const char* name;
  std::string AsfHeaderTags::*field;
};
constexpr Descriptor kDescriptors[] = {
    {"Title", &AsfHeaderTags::title},         {"Author", &AsfHeaderTags::artist},
    {"WM/AlbumTitle", &AsfHeaderTags::album}, {"WM/TrackNumber", &AsfHeaderTags::track},
    {"WM/Year", &AsfHeaderTags::date},        {"date", &AsfHeaderTags::date},
    {"WM/Genre", &AsfHeaderTags::genre},      {"Description", &AsfHeaderTags::comment},
    {"comment", &AsfHeaderTags::comment},
};

// The value of a text or number descriptor as text; empty for other types.
std::string ValueText(uint16_t type, const uint8_t* value, size_t size) {
  if (type == kUnicode) return Utf8Of(value, size);
  const int bytes = type == kDword ? 4 : type == kQword ? 8 : type == kWord ? 2 : 0;
  if (bytes == 0 || size < static_cast<size_t>(bytes)) return "";
  return std::to_string(GetLe(value, bytes));
}

void ReadExtendedContent(const AsfReadAt& readAt, uint64_t at, uint64_t size, AsfHeaderTags* tags) {
  uint8_t count[2];
  if (size < kAsfObjectBytes + 2 || !ReadExactly(readAt, at + kAsfObjectBytes, count, 2)) return;
  uint64_t next = at + kAsfObjectBytes + 2;
  const uint64_t end = at + size;
  std::vector<uint8_t> value;
  for (uint64_t left = GetLe(count, 2); left > 0; --left) {
    uint8_t head[2], name[kLongestName], typed[4];
    if (end - next < 2 || !ReadExactly(readAt, next, head, 2)) break;
    const size_t nameBytes = GetLe(head, 2);
    if (end - next - 2 < nameBytes + 4) break;
    const bool named = nameBytes <= sizeof name && ReadExactly(readAt, next + 2, name, nameBytes);
    if (!ReadExactly(readAt, next + 2 + nameBytes, typed, 4)) break;
    const uint16_t type = static_cast<uint16_t>(GetLe(typed, 2));
    const size_t valueBytes = GetLe(typed + 2, 2);
    const uint64_t valueAt = next + 2 + nameBytes + 4;
    if (end - valueAt < valueBytes) break;
    next = valueAt + valueBytes;
    if (!named) continue;
    const std::string key = Utf8Of(name, nameBytes);
    std::string* field = nullptr;
    for (const Descriptor& d : kDescriptors)
      if (g_ascii_strcasecmp(key.c_str(), d.name) == 0) field = &(tags->*d.field);
    if (!field || !field->empty()) continue;
    value.resize(valueBytes);
    if (!ReadExactly(readAt, valueAt, value.data(), valueBytes)) break;
    std::string text = ValueText(type, value.data(), valueBytes);
    *field = field == &tags->track ? TrackOf(text) : std::move(text);
  }
}

}  // namespace

bool ReadAsfHeaderTags(const AsfReadAt& readAt, AsfHeaderTags* tags) {
  uint8_t head[kAsfHeaderObjectBytes];
  if (!ReadExactly(readAt, 0, head, sizeof head) || memcmp(head, kAsfHeaderObject, 16) != 0) return false;
  const uint64_t headerEnd = GetLe(head + 16, 8);
  const uint64_t objects = GetLe(head + 24, 4);
  uint64_t at = kAsfHeaderObjectBytes;
  for (uint64_t i = 0; i < objects && i < kMostObjects && headerEnd > at && headerEnd - at >= kAsfObjectBytes; ++i) {
    uint8_t object[kAsfObjectBytes];
    if (!ReadExactly(readAt, at, object, sizeof object)) break;
    const uint64_t size = GetLe(object + 16, 8);
    if (size < kAsfObjectBytes || size > headerEnd - at) break;
    if (memcmp(object, kAsfContentDescription, 16) == 0) ReadContentDescription(readAt, at, size, tags);
    if (memcmp(object, kAsfExtendedContent, 16) == 0) ReadExtendedContent(readAt, at, size, tags);
    at += size;
  }
  return true;
}

uint64_t AsfShortPacketCountAt(const AsfReadAt& readAt, uint64_t fileSize) {
  constexpr size_t kDataObjectBytes = 50;  // GUID, size, file id, packet count, 2 reserved bytes
  uint8_t head[kAsfHeaderObjectBytes];
  if (!ReadExactly(readAt, 0, head, sizeof head) || memcmp(head, kAsfHeaderObject, 16) != 0) return 0;
  const uint64_t headerEnd = GetLe(head + 16, 8);
  const uint64_t objects = GetLe(head + 24, 4);
  uint64_t packetBytes = 0;
  uint64_t at = kAsfHeaderObjectBytes;
  for (uint64_t i = 0; i < objects && i < kMostObjects && headerEnd > at && headerEnd - at >= kAsfObjectBytes; ++i) {
    uint8_t object[kAsfObjectBytes + 80];
    if (!ReadExactly(readAt, at, object, kAsfObjectBytes)) break;
    const uint64_t size = GetLe(object + 16, 8);
    if (size < kAsfObjectBytes || size > headerEnd - at) break;
    // File properties: the smallest and largest packet sizes at 92 and 96.
    if (memcmp(object, kAsfFileProperties, 16) == 0 && size >= sizeof object &&
        ReadExactly(readAt, at, object, sizeof object) && GetLe(object + 92, 4) == GetLe(object + 96, 4))
      packetBytes = GetLe(object + 92, 4);
    at += size;
  }
  uint8_t data[kDataObjectBytes];
  if (packetBytes == 0 || headerEnd >= fileSize || !ReadExactly(readAt, headerEnd, data, sizeof data) ||
      memcmp(data, kAsfDataObject, 16) != 0)
    return 0;
  const uint64_t declared = GetLe(data + 40, 8), size = GetLe(data + 16, 8);
  uint64_t present = fileSize - headerEnd;
  if (size >= kDataObjectBytes && size < present) present = size;
  const uint64_t held = (present - std::min<uint64_t>(present, kDataObjectBytes)) / packetBytes;
  return declared != 0 && held > declared ? headerEnd + 40 : 0;
}
