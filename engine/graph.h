// The conversion graph of the file in hand and the toolkit the builders are written with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "media/media.h"

struct ConversionGraphState {
  // Graph and its interfaces
  GraphRef graph;            // the graph of the file in hand; empty between files
  GraphRef mediaControl;     // runs and stops it; held once it runs
  GraphRef mediaEvent;       // its event queue; held once it runs
  FilterRef positionSeeking; // filter whose stream position measures progress (WMA); or empty

  // Progress
  std::string outputFile;    // output whose growing size measures progress; empty: not held
  int64_t duration = 0;      // source duration, 100-ns units; overwritten per file
  int64_t expectedBytes = 0; // expected output size in bytes; overwritten per file
};

extern ConversionGraphState ConversionGraph;

// What the run sequencing hands down at start-up: called from OnGraphEvent on the
// main loop when the graph completed, or stopped with an error (with its text).
using GraphCompleteHandler = void (*)();
using GraphErrorHandler = void (*)(const std::string& errorText);
void SetGraphEventHandlers(GraphCompleteHandler onComplete, GraphErrorHandler onError);

// Toolkit. None of these shows a message; failure is nullptr or false.
PinRef FindPin(const Filter* filter, PinDirection direction);
bool ConnectFilters(Graph* graph, Filter* upstream, Filter* downstream);
bool ConnectFiltersDirect(Graph* graph, Filter* upstream, Filter* downstream, const MediaType* type);
FilterRef AddFilterByClsid(Graph* graph, const std::string& clsid);
FilterRef AddSinkFilterByClsid(Graph* graph, const std::string& clsid, const std::string& path);
// With graph nullptr the filter is returned unadded.
FilterRef AddFilterByFriendlyName(Graph* graph, const std::string& category, const std::string& name);
FilterRef AddSinkFilterByFriendlyName(Graph* graph, const std::string& category,
                                      const std::string& name, const std::string& path);
std::optional<MediaType> FindWaveMediaType(const Pin* pin, uint32_t samplesPerSec,
                                           uint32_t avgBytesPerSec, uint16_t bitsPerSample,
                                           uint16_t channels);
PinRef FindAudioPin(const Filter* filter, PinDirection direction);
// Removes the probe renderer; returns the output pin that fed it, now free.
PinRef DetachProbeRenderer(Graph* graph, FilterRef& renderer);
void ClearMediaType(MediaType* type);

// Whole percent of the file in hand, not clamped; -1 when nothing measures it.
int QueryProgressPercent();

// Runs ConversionGraph.graph with its events sent to OnGraphEvent. With
// openOutputFile, the output's growing size measures progress.
bool StartConversionGraph(const std::string& outputPath, bool openOutputFile);

// Drains the graph's events; calls the complete or error handler.
void OnGraphEvent();

// Stops and forgets the graph. An output not committed (see naming.h) is deleted.
// Idempotent.
void ReleaseConversionGraph();
