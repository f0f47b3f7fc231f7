// The tags of an ASF file's header object (WMA, WMV), read from the file itself: the
// content description object and the extended content description object. GStreamer's
// demuxer leaves out WM/Genre, and the year and comment ffmpeg writes ("date",
// "Description"); these fill the gaps in what it gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The layout shared by what reads and what writes ASF headers: object GUIDs as stored,
// the header object's fixed part (GUID, size, object count, two reserved bytes) and any
// object's (GUID and size).
inline constexpr uint8_t kAsfHeaderObject[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
inline constexpr uint8_t kAsfContentDescription[16] = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
inline constexpr uint8_t kAsfExtendedContent[16] = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                                    0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
inline constexpr uint8_t kAsfFileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                   0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
inline constexpr uint8_t kAsfDataObject[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                               0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
inline constexpr size_t kAsfHeaderObjectBytes = 30;
inline constexpr size_t kAsfObjectBytes = 24;

// Copies up to size bytes at offset into buffer; returns how many it copied (fewer at
// the end of the file).
using AsfReadAt = std::function<size_t(uint64_t offset, uint8_t* buffer, size_t size)>;

// UTF-8; empty where the header has nothing. The track is a number from 1, the date
// the text as stored ("2019", "2019-05-06").
struct AsfHeaderTags {
  std::string title, artist, album, track, date, genre, comment;
};

// Reads the tags of the header object at the start of the file. The first value of
// each wins; the objects are read up to the first one that does not fit the header,
// texts that are not valid UTF-16 are left out, and no read exceeds 64 KB. False when
// the file does not start with an ASF header object.
bool ReadAsfHeaderTags(const AsfReadAt& readAt, AsfHeaderTags* tags);

// Where the data object of an ASF file states its packet count (a file offset) when the
// file holds more whole packets than that count: packets of the header's fixed size in
// the data object's bytes present. 0 when the count is right or unknown (0), the packet
// size is not fixed, or the file is not ASF.
uint64_t AsfShortPacketCountAt(const AsfReadAt& readAt, uint64_t fileSize);
