// The graph builders, one per conversion mode. Each builds and starts the graph of one
// input file into ConversionGraph and returns true, or shows one numbered message and
// returns false, leaving the graph as far as it was built.
#pragma once

#include <cstdint>
#include <string>

bool ConvertToWav(const std::string& path);
bool ConvertToMp3(const std::string& path);
bool ConvertToWma(const std::string& path, uint32_t profileIndex);
bool ExtractAsIs(const std::string& path);
// The batch mode's own formats: mode is kModeFlac, kModeOpus, kModeVorbis or kModeAac.
bool ConvertToEncoded(const std::string& path, int32_t mode);
// The extension of the outputs of a mode ConvertToEncoded writes (FLAC, Opus, Vorbis, AAC); nullptr for another.
const char* EncodedModeExtension(int32_t mode);
