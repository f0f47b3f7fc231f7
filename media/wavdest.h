// WavDest: our GStreamer element that turns one audio stream into the bytes of a
// RIFF WAVE file for a file sink.
//
//   ... ! qlwavdest [wave-format=<fmt chunk body>] ! filesink location=out.wav
//
// The element writes "RIFF" <size> "WAVE", a "fmt " chunk, then a "data" chunk
// holding the input buffers unchanged. The sizes are unknown at the start, so the
// header goes out with 0xFFFFFFFF in both size fields; at the end of the stream
// the element seeks downstream to byte 0 and writes the same header again with
// the real sizes (the sink must honour a BYTES segment, as filesink does). A
// stream that ends early with EOS therefore still gives a valid file; a pipeline
// set to NULL before EOS leaves the placeholder sizes.
//
// The format record comes from the "wave-format" property (a GBytes holding the
// "fmt " chunk body, written verbatim) when it is set, otherwise from the caps:
// raw PCM and float (WAVE_FORMAT_EXTENSIBLE beyond two channels or 16 bits), MPEG
// audio (layer 3 as tag 0x0055, layers 1 and 2 as 0x0050), MS and IMA ADPCM, A-law
// and mu-law. Set the property before linking when the
// caps are of any other kind: only then does the element accept them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr const char* kWavDestElement = "qlwavdest";
constexpr const char* kWavDestWaveFormatProperty = "wave-format";  // GBytes*

// Registers the element factory "qlwavdest" with the process's GStreamer registry.
// Needs gst_init first. Safe to call again from any thread: once registered, it
// returns true at once; after a failure it tries again.
bool RegisterWavDest();

// The WAV speaker mask of a GStreamer channel mask of that many channels; 0 (no
// positions) when the layout has no WAV equivalent in the same channel order.
uint32_t WaveChannelMask(uint64_t gstChannelMask, uint16_t channels);

// The file header up to and including the "data" chunk's size field, for the
// given "fmt " chunk body and data length in bytes. The RIFF size counts the pad
// byte that follows odd-sized data, and trailingBytes of chunks after that (the
// "LIST" chunk of the tags). Both sizes saturate at 0xFFFFFFFF, so a dataBytes of
// UINT64_MAX gives the placeholder header written at the start.
std::vector<uint8_t> MakeRiffWaveHeader(const std::vector<uint8_t>& fmtBody,
                                        uint64_t dataBytes, uint64_t trailingBytes = 0);

// A "LIST" chunk of type "INFO" holding the given items (four-character id, UTF-8
// text), each text ended by a zero byte and padded to an even size; empty when no
// item has text. The element writes one after the data, from the tag events it
// receives: INAM title, IART artist, IPRD album, ITRK track number, ICRD date, IGNR
// genre, ICMT comment.
std::vector<uint8_t> MakeInfoListChunk(const std::vector<std::pair<std::string, std::string>>& items);
