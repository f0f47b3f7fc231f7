// The wave format record WavDest writes, from the caps of its input: wavdest.cpp's
// own, apart from the element (see wavdest.h for the element and the RIFF bytes).
#pragma once

#include <gst/gst.h>

#include <cstdint>

#include "media/mpeg_frame.h"
#include "media/wave_format.h"

enum class CapsFormat {
  kUnusable,    // nothing to write a header from
  kComplete,    // the record is final
  kNeedsFrame,  // MPEG audio: completed from the first frame header
};

// What the caps of an MPEG stream say beyond the wave format record.
struct MpegCaps {
  uint32_t bitrate = 0;  // bits per second; 0: take it from the first frame
  uint32_t layer = 0;    // 1 to 3; 0: not given (the first frame tells)
};

// The caps' description of the stream as a wave format record. For MPEG audio the
// record is finished by CompleteMpegFormat, with what *mpeg receives.
CapsFormat WaveFormatFromCaps(const GstCaps* caps, WaveFormat* f, MpegCaps* mpeg);

// Fills in what the caps of an MPEG stream leave open, from the first frame of
// the stream (frame == nullptr: none was found; the byte rate stays as the caps
// give it). The frame's layer wins over the caps'; the caps' extra bytes are kept.
void CompleteMpegFormat(WaveFormat* f, const MpegCaps& caps, const MpegFrame* frame);

// True when a later caps event describes the stream the header was written for.
// Fields the new caps leave at 0 are not compared, nor the layer of MPEG audio
// (caps need not name it; the first frame did).
bool SameStream(const WaveFormat& written, const WaveFormat& now);
