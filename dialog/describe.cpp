#include "dialog/describe.h"

#include <cstdio>

#include "common/batch.h"
#include "common/i18n.h"
#include "engine/graph.h"

std::string FormatAudioDescription(uint32_t samplesPerSec, uint16_t bitsPerSample, uint16_t channels) {
  char text[64];
  std::snprintf(text, sizeof text, channels == 1 ? _("%5uHz %2uBit モノラル") : _("%5uHz %2uBit ステレオ"),
                static_cast<unsigned>(samplesPerSec), static_cast<unsigned>(bitsPerSample));
  return text;
}

// The source of the file: the CD track reader for ".cda", else the platform's choice.
static FilterRef AddDescribeSource(Graph* graph, const std::string& path) {
  if (GetLowerExtension(path) != ".cda") return GraphAddSourceFilter(graph, path);
  FilterRef reader = CreateFilter(kClsidCdTrackReader);
  if (!reader || !FilterLoadFile(reader.get(), path) || !GraphAddFilter(graph, reader, "WMP CD FILTER"))
    return nullptr;
  return reader;
}

bool DescribeMediaFile(const std::string& path, std::string* text) {
  // Private to this call; the graph is only prerolled, never run.
  GraphRef graph = CreateGraph(kClsidFilterGraph);
  if (!graph) return false;
  FilterRef source = AddDescribeSource(graph.get(), path);
  if (!source) return false;
  FilterRef renderer = AddFilterByClsid(graph.get(), kClsidDSoundRender);
  if (!renderer || !ConnectFilters(graph.get(), source.get(), renderer.get())) return false;

  PinRef in = FindPin(renderer.get(), PinDirection::Input);
  MediaType type;
  if (!PinConnectionMediaType(in.get(), &type) || !type.hasFormat) return false;
  *text = FormatAudioDescription(type.format.samplesPerSec, type.format.bitsPerSample, type.format.channels);
  ClearMediaType(&type);
  return true;
}
