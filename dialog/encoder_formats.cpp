#include "dialog/encoder_formats.h"

#include "engine/graph.h"

Mp3FormatList ReadMp3FormatList() {
  FilterRef encoder = AddFilterByFriendlyName(nullptr, kCategoryAudioCompressor, "MPEG Layer-3");
  if (!encoder) return BuildMp3FormatList(false, {});
  std::vector<WaveFormat> offered;
  PinRef out = FindPin(encoder.get(), PinDirection::Output);
  for (const MediaType& type : PinEnumMediaTypes(out.get()))
    if (type.hasFormat) offered.push_back(type.format);
  return BuildMp3FormatList(true, offered);
}
