// The Xing writer: our GStreamer element that puts a Xing frame in front of a
// layer-3 MPEG audio stream on its way to a file sink.
//
//   lamemp3enc ! qlxingwriter ! filesink location=out.mp3
//
// The Xing frame is a frame without audio whose "Xing" tag holds the number of audio
// frames that follow, the size of the file in bytes and a 100-entry seek table, so
// that readers know the length without scanning the file. The counts are unknown at
// the start, so the frame first goes out with none; at the end of the stream the
// element seeks downstream to byte 0 and writes it again, complete (the sink must
// honour a BYTES segment, as filesink does). The work per frame is constant, so
// streams of any length cost the same per second.
//
// Behind the Xing fields the frame keeps room for the LAME extension, which tells
// readers the encoder's delay and padding so that they decode exactly the samples
// the encoder was given. It is filled at the end when the int64 property
// "input-samples" (those samples, per channel; -1 unknown) has been set by then.
#pragma once

#include <cstdint>
#include <vector>

constexpr const char* kXingWriterElement = "qlxingwriter";
constexpr const char* kXingInputSamplesProperty = "input-samples";
// Samples LAME puts in front of the signal (a decoder adds its own 529 more).
constexpr int64_t kLameEncoderDelay = 576;

// Registers the element factory "qlxingwriter" with the process's GStreamer registry.
// Needs gst_init first; later calls do nothing and return the first result.
bool RegisterXingWriter();

// The Xing frame for a stream whose first frame has the given header: same version,
// rate and channel mode, the least bit rate whose frame holds the tag. frameOffsets
// are the byte offsets of the audio frames in the stream (not counting the Xing
// frame); empty gives a frame whose tag holds no counts yet. inputSamples >= 0 (with
// offsets) fills the LAME extension: delay kLameEncoderDelay, padding the rest of
// the frames' samples; left empty when that padding is out of 0..4095.
std::vector<uint8_t> MakeXingFrame(uint32_t firstHeader, const std::vector<uint64_t>& frameOffsets,
                                   uint64_t streamBytes, int64_t inputSamples = -1);

// The size in bytes and samples per frame of a layer-3 frame header; false when the
// four bytes are not one.
bool ParseLayer3Header(uint32_t header, uint32_t* frameBytes, uint32_t* samplesPerFrame);
