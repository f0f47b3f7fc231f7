// The AIFF reader: our GStreamer element that takes an AIFF or AIFC file, pushed from its
// first byte, and gives its samples.
//
//   filesrc ! qlaiffreader ! audioconvert ...   (decodebin plugs it in for audio/x-aiff)
//
// It reads the "COMM" chunk (channels, sample size, rate and, in AIFC, the compression),
// passes over every chunk until "SSND", and then pushes the sound's bytes in whole sample
// frames, stamped by their position, until the chunk ends; what follows (a tagger's "ID3 "
// chunk) is not sound. Everything happens in the streaming thread of its input, so the
// element never races the decoder that plugs it in. A seek in time becomes a seek in
// bytes upstream.
//
// Uncompressed AIFC ("NONE", "twos", "sowt", "raw ", "in24", "in32", "fl32", "fl64") and
// G.711 ("ulaw", "alaw") are read; other compressions fail the stream with an error.
#pragma once

constexpr const char* kAiffReaderElement = "qlaiffreader";

// Registers the element factory "qlaiffreader" with the process's GStreamer registry,
// ranked above GStreamer's own AIFF parser so that decoders choose it. Needs gst_init
// first; later calls do nothing and return the first result.
bool RegisterAiffReader();
