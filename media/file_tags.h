// Tags read from the file itself where GStreamer's readers miss them or read them
// wrongly:
// - the ID3v2 tags at the start of a file (MP3): a year kept as TYER in a v2.4 tag,
//   zlib-compressed frames, text with a byte that is not UTF-8, and the fields of a
//   second tag that follows the first;
// - a RIFF WAVE file's LIST INFO chunk and `id3 ` chunk wherever they are, after the
//   audio included (GStreamer's WAV parser, fed by push, stops at the audio), with
//   IPRT as the track number like ITRK;
// - an AIFF file's "ID3 " chunk and text chunks, which our own reader of the format
//   passes over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Copies up to size bytes at offset into buffer; returns how many it copied (fewer at
// the end of the file).
using FileReadAt = std::function<size_t(uint64_t offset, uint8_t* buffer, size_t size)>;

// UTF-8; empty where the file has nothing. The track is a number from 1, the date the
// text as stored ("2019", "2019-05-06"). A genre stored as an ID3v1 genre number
// ("13", "(13)") is that number in genreNumber, the genre text staying empty.
// picture: the cover's bytes as stored; pictureType its ID3v2 picture type (3 the
// front cover).
struct FileTags {
  std::string title, artist, album, track, date, genre, comment;
  int genreNumber = -1;
  std::string picture;
  uint8_t pictureType = 0;
};

// Reads the ID3v2 tags that follow each other from offset on; the first value of each
// field wins. A frame that cannot be read is skipped, and no tag larger than 64 MB is
// read. False when there is no ID3v2 tag at offset.
bool ReadId3v2Tags(const FileReadAt& readAt, uint64_t offset, FileTags* tags);

// Reads the LIST INFO chunk and the `id3 ` chunk of a RIFF WAVE file, wherever they
// are among its top-level chunks; LIST INFO's values win. False when the file is not
// a RIFF WAVE file.
bool ReadWaveTags(const FileReadAt& readAt, FileTags* tags);

// Reads an AIFF or AIFC file's "ID3 " chunk wherever it is, its NAME, AUTH and ANNO
// chunks filling what the ID3 tag leaves empty. False when the file is not one.
bool ReadAiffTags(const FileReadAt& readAt, FileTags* tags);

// The track number at the start of a text ("7", "7/12"); empty unless at least 1.
std::string TrackOfText(const std::string& text);
