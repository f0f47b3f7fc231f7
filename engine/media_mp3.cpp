// "MPEG Layer-3" encoder and "MPEG Layer-3 Decoder". Not written yet.
#include "engine/media_internal.h"

FilterRef MakeMp3Encoder() { return nullptr; }
FilterRef MakeMp3Decoder() { return nullptr; }
bool Mp3EncoderAccepts(const Pin*, const MediaType&) { return false; }
bool Mp3DecoderAccepts(const Pin*, const MediaType&) { return false; }
bool Mp3EncoderApplyOutputType(Pin*, Pin*, const MediaType&) { return false; }
