// The stream list of an AVI file, read from its header ("RIFF" "AVI " > LIST "hdrl"
// > LIST "strl" > "strh", "strf") without any media library.
//
// The AVI splitter's pads say nothing of an audio stream's format tag, byte rate or
// block align; the "strf" record does, and it is what a wave file of the stream must
// carry in its header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "media/wave_format.h"

enum class AviStreamKind { Video, Audio, Text, Other };

struct AviStream {
  AviStreamKind kind = AviStreamKind::Other;  // from the "strh" type ("vids"/"iavs", "auds", "txts")
  bool usable = false;  // "strh" then "strf" both present and sound, as a demuxer needs them
  WaveFormat format;    // audio: the "strf" record, extra bytes included (cut to what is there)
  int64_t duration = 0; // audio: the length "strh" declares, 100-ns units; 0 when it says none
};

// The streams of an AVI file in header order, from the file's first bytes (at least up
// to the end of its "hdrl" list). False for anything that is not a RIFF AVI file or
// whose "hdrl" list is missing or cut short.
bool ParseAviStreamList(const uint8_t* data, size_t size, std::vector<AviStream>* streams);

// The same, read from a file: only the header is read, however large the file.
bool ReadAviStreamList(const std::string& path, std::vector<AviStream>* streams);

// False for an AVI file whose header lists a stream the demuxer cannot use: it leaves
// such a stream out and then takes the data of the streams after it for the wrong ones
// (and asserts). True for every other file, AVI or not.
bool AviStreamsUsable(const std::string& path);
