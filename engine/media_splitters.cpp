// MPEG-1, MPEG-2 and AVI splitters. Not written yet.
#include "engine/media_internal.h"

FilterRef MakeSplitter(FilterKind) { return nullptr; }
bool SplitterAccepts(const Pin*, const MediaType&) { return false; }
bool ProbeSplitterOutputs(Filter*, const std::string&) { return false; }
