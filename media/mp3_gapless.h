// The encoder delay and padding an MP3 file declares in the LAME extension of its
// Info/Xing frame, so that a decoded file starts and ends where the encoded audio did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Mp3Gapless {
  int64_t skipSamples = 0;   // decoded samples (per channel) to drop at the start
  int64_t keepSamples = -1;  // samples to keep after those; -1: to the end
  char encoder[5] = {};      // the first four characters of the tag's encoder name
};

// Bytes taken by the ID3v2 tag at the start of data (header, body and footer); 0 when
// data does not start with one. Only the 10-byte header is read, so the result may
// exceed size. Tags may follow one another.
uint64_t Id3v2TagBytes(const uint8_t* data, size_t size);

// Reads the LAME extension of the Info/Xing frame in data, which starts where the
// file's audio starts (after its ID3v2 tags); false when there is none with delays
// (a plain stream, another container, or not MP3 at all).
bool ParseMp3Gapless(const uint8_t* data, size_t size, Mp3Gapless* gapless);

// The same for a file, whatever the size of its tags; audioStart, when not 0, is where
// its frames start (FindJunkBeforeMpegFrames).
bool ReadMp3Gapless(const std::string& path, Mp3Gapless* gapless, uint64_t audioStart = 0);

// Bytes after the ID3v2 tags of an MPEG audio file, looked through for its frames.
inline constexpr uint64_t kMpegJunkScanBytes = 1 << 20;

// Junk between an MPEG audio file's ID3v2 tags (if any) and its frames: a file cut in
// the middle of a stream, or left with a broken tag or other bytes in front. Found
// when no run of frames (FindMpegFrameRun) starts right after the tags but one starts
// within kMpegJunkScanBytes of them: [*junkStart, *junkEnd) lies between. False for a
// file whose frames follow its tags, and for one where no run is found (not MPEG
// audio, or nothing that can be trusted).
bool FindJunkBeforeMpegFrames(int fd, uint64_t fileSize, uint64_t* junkStart, uint64_t* junkEnd);
