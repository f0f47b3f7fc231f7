// The output formats of the "MPEG Layer-3" encoder (lamemp3enc at constant bit rate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/wave_format.h"

// True when lamemp3enc encodes kbps at rate as asked: the rate is one of the
// MPEG-1, MPEG-2 or MPEG-2.5 rates and kbps one of that version's layer-3 bit
// rates that the encoder honours. Any other request is clamped silently.
bool IsLegalMp3CbrFormat(uint32_t rate, uint32_t kbps);

// The MP3 wave formats the encoder's output pin offers, in its enumeration order:
// tag 0x0055, avgBytesPerSec = kbps * 125, blockAlign 1, bitsPerSample 0, and the
// 12 MPEGLAYER3WAVEFORMAT bytes (wID 1, fdwFlags 2, nBlockSize, nFramesPerBlock 1,
// nCodecDelay 1393). A ladder from speech to full quality, mono and stereo; in the
// sorted MP3 list its sixteenth label is "128Kbps 44100Hz ステレオ", the default.
const std::vector<WaveFormat>& Mp3EncoderFormats();
