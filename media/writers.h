// The writers of the batch mode's own formats: FLAC, Ogg Opus, Ogg Vorbis and AAC in
// M4A. Each is one filter that encodes, multiplexes and writes its file, found by the
// system device enumerator under kCategoryLegacyAmFilter by the friendly names below.
#pragma once

#include <string>

#include "media/media.h"

inline constexpr const char* kFlacWriterName = "FLAC Writer";
inline constexpr const char* kOpusWriterName = "Ogg Opus Writer";
inline constexpr const char* kVorbisWriterName = "Ogg Vorbis Writer";
inline constexpr const char* kAacWriterName = "AAC M4A Writer";

// The Debian package holding the first GStreamer element the named writer lacks; ""
// when every element is installed (or the name is not a writer's).
std::string MissingWriterPackage(const std::string& friendlyName);

// The encoder's setting: the FLAC compression level 0-8, the Opus and AAC bit rate in
// kbps, the Vorbis quality -1 to 10. False for another filter or a value out of range.
bool FilterSetEncoderSetting(Filter* writer, double value);
