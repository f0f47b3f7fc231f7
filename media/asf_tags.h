// The ASF tag writer: our GStreamer element that puts the tags it is given into the
// header object of the ASF file passing from the multiplexer to the file sink.
//
//   avmux_asf ! qlasftags ! filesink location=out.wma
//
// The multiplexer writes no tags of its own. The element holds the bytes of the header
// object each time the multiplexer writes it (at the start, and again at the end when
// it seeks back to fill in the sizes), adds a content description object (title,
// author, description) and extended content descriptors (WM/AlbumTitle,
// WM/TrackNumber, WM/Year, WM/Genre, and the cover as WM/Picture), corrects the header's and the file's sizes, and
// moves every later byte and seek by what it added. Tags arrive through the
// GstTagSetter interface; without any the stream passes unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr const char* kAsfTagsElement = "qlasftags";

// Registers the element factory "qlasftags"; needs gst_init first. Safe to call again.
bool RegisterAsfTags();

// The texts written, UTF-8; empty ones are left out. The picture, when it has bytes,
// goes in as WM/Picture; one that a descriptor cannot hold (64 KB) is left out.
struct AsfTagTexts {
  std::string title, author, description;  // content description
  std::string album, track, year, genre;   // extended content descriptors
  std::string pictureMime;                 // "image/png", "image/jpeg"
  uint8_t pictureType = 0;                 // as in ID3v2: 3 the front cover, 0 other
  std::vector<uint8_t> picture;            // the image file's bytes
};

// The header object (its complete bytes) with the tags added: a content description
// object after the file properties, the extended descriptors appended to the existing
// extended content description object or in a new one, and the file size in the file
// properties (when set) grown by the bytes added. False, leaving it alone, when the
// bytes are not a well-formed header object.
bool AddAsfTags(std::vector<uint8_t>* header, const AsfTagTexts& tags);
