// "WM ASF Writer". Not written yet.
#include "engine/media_internal.h"

FilterRef MakeAsfWriter() { return nullptr; }
bool AsfWriterAccepts(const Pin*, const MediaType&) { return false; }
bool FilterConfigureProfile(Filter*, const std::string&) { return false; }
bool FilterHasProfileConfig(const Filter*) { return false; }
