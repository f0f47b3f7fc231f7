// Steps every graph builder takes.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int64_t kUnitsPerSecond = 10000000;  // durations are in 100-ns units

// Shows the numbered message and returns false, the builder's failure.
bool Fail(const char* caption, const char* text);

// The output path of an input (MakeOutputPath), its name shown in the status picture.
std::string NameOutputFile(const std::string& inputPath, const std::string& extension);
