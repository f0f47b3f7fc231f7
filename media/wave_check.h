// Whether a RIFF WAVE file's "fmt " chunk describes audio that can be read as stated,
// checked before GStreamer's WAV parser sees the file: that parser trusts the record
// and fails badly on some inconsistent ones (a null buffer on a large block align, a
// whole stream allocated at once on a huge rate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "media/wave_format.h"

// Copies up to size bytes at offset into buffer; returns how many it copied (fewer at
// the end of the file).
using WaveReadAt = std::function<size_t(uint64_t offset, uint8_t* buffer, size_t size)>;

// Walks the chunks of a RIFF, RIFX (big-endian) or RF64 WAVE file to its "fmt " chunk and
// checks the record there with WaveFormatUsable. False when the file is not such a file,
// ends before the chunk, or has its "data" chunk first.
bool WaveHeaderUsable(const WaveReadAt& readAt);

// Where the MPEG audio stream of a RIFF WAVE file with an MPEG format tag (0x0050,
// 0x0055) lies: the "data" chunk's start and its size (cut to fileSize, or up to it where
// the size is 0 or 0xFFFFFFFF). False for any other file.
bool FindMpegWaveData(const WaveReadAt& readAt, uint64_t fileSize, uint64_t* start, uint64_t* size);

// The record's checks: a known format tag; 1 to 64 channels; a rate from 1,000 to
// 768,000 Hz; for PCM, float, A-law and mu-law the bits the tag allows, block align of
// one whole sample per channel and bytes per second of rate times block align; for
// WAVE_FORMAT_EXTENSIBLE at least 22 extra bytes, valid bits (if any) more than half the
// container and no more than it,
// a channel mask of exactly as many speakers as channels (or none) and a sub-format
// GUID of one of those four formats; for compressed formats a block align of 1 to 16,384.
bool WaveFormatUsable(const WaveFormat& format);
