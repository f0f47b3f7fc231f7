// Preview graphs:
//   source ! decoders ! renderer                                          (as decoded)
//   source ! decoders ! ACM Wrapper ! renderer                            (a PCM format)
//   source ! decoders ! ACM Wrapper ! MPEG Layer-3 ! MPEG Layer-3 Decoder ! renderer
#include "dialog/preview.h"

#include <mutex>
#include <optional>

#include "engine/graph.h"
#include "engine/source.h"

PreviewGraphState PreviewGraph;
std::atomic<bool> previewPlaying{false};
std::atomic<bool> trackbarDragging{false};

// The watcher reads positions while the user-interface thread builds, seeks and
// releases: one lock around every use of the record.
static std::mutex previewLock;

// The graph under construction, published into the record at once so that a failed
// build is released by StopPreview like a running one.
static GraphRef NewPreviewGraph() {
  GraphRef graph = CreateGraph(kClsidFilterGraph);
  std::lock_guard lock(previewLock);
  PreviewGraph.graph = graph;
  return graph;
}

// The conversion's source selection, with the same messages.
FilterRef AddPreviewSource(Graph* graph, const std::string& path) { return AddSourceForFile(graph, path); }

// The machine's audio output, added to the graph.
static FilterRef AddPreviewRenderer(Graph* graph) {
  FilterRef renderer = CreatePlaybackRenderer();
  if (!renderer || !GraphAddFilter(graph, renderer, "Audio Renderer")) return nullptr;
  return renderer;
}

static void OnPreviewGraphEvent() {
  // The preview's notifications, its end included, change nothing: playback rests
  // at the end until the user stops it.
  std::lock_guard lock(previewLock);
  long code = 0;
  while (GraphGetEvent(PreviewGraph.mediaEvent.get(), &code, nullptr)) {
  }
}

// Steps 6 to 8 of a build: duration, events, run; then the record is complete.
static bool RunPreviewGraph(const GraphRef& graph) {
  int64_t duration = 0;
  GraphGetDuration(graph.get(), &duration);
  {
    std::lock_guard lock(previewLock);
    PreviewGraph.mediaEvent = graph;
    PreviewGraph.mediaControl = graph;
  }
  GraphSetNotify(graph.get(), OnPreviewGraphEvent);
  GraphRun(graph.get());
  std::lock_guard lock(previewLock);
  PreviewGraph.duration = duration;
  PreviewGraph.pendingSeek = -1;
  PreviewGraph.seeking = graph;
  return true;
}

// Steps 1 to 4: the file decoded into the renderer. The renderer and the pin that
// feeds it come back through the arguments.
static bool BuildDecodedPreview(const std::string& path, GraphRef* graph, FilterRef* renderer) {
  *graph = NewPreviewGraph();
  if (!*graph) return false;
  FilterRef source = AddPreviewSource(graph->get(), path);
  if (!source) return false;
  *renderer = AddPreviewRenderer(graph->get());
  if (!*renderer) return false;
  return ConnectFilters(graph->get(), source.get(), renderer->get());
}

// Step 5.1 to 5.3: the renderer detached from the decoded audio, which now feeds a new
// ACM Wrapper. The renderer stays in the graph.
static FilterRef InsertAcmWrapper(Graph* graph, Filter* renderer) {
  PinRef rendererIn = FindPin(renderer, PinDirection::Input);
  PinRef decoded = PinConnectedTo(rendererIn.get());
  if (!decoded) return nullptr;
  PinDisconnect(rendererIn.get());
  PinDisconnect(decoded.get());
  FilterRef acm = AddFilterByClsid(graph, kClsidACMWrapper);
  if (!acm) return nullptr;
  PinRef acmIn = FindPin(acm.get(), PinDirection::Input);
  if (!acmIn || !GraphConnectDirect(graph, decoded.get(), acmIn.get(), nullptr)) return nullptr;
  return acm;
}

bool BuildPcmPreview(const std::string& path, uint32_t samplesPerSec, uint32_t avgBytesPerSec,
                     uint16_t bitsPerSample, uint16_t channels) {
  GraphRef graph;
  FilterRef renderer;
  if (!BuildDecodedPreview(path, &graph, &renderer)) return false;

  if (samplesPerSec != 0) {
    FilterRef acm = InsertAcmWrapper(graph.get(), renderer.get());
    if (!acm) return false;
    PinRef acmOut = FindPin(acm.get(), PinDirection::Output);
    std::optional<MediaType> pcm =
        FindWaveMediaType(acmOut.get(), samplesPerSec, avgBytesPerSec, bitsPerSample, channels);
    if (!pcm) return false;
    if (!ConnectFiltersDirect(graph.get(), acm.get(), renderer.get(), &*pcm)) return false;
  }
  return RunPreviewGraph(graph);
}

// The encoder's 16000 and 24000 Hz formats are fed PCM at twice the rate.
static uint32_t PcmRateForMp3Rate(uint32_t mp3Rate) {
  switch (mp3Rate) {
    case 16000: return 32000;
    case 24000: return 48000;
    default: return mp3Rate;
  }
}

bool BuildMp3Preview(const std::string& path, uint32_t samplesPerSec, uint32_t avgBytesPerSec,
                     uint16_t bitsPerSample, uint16_t channels) {
  GraphRef graph;
  FilterRef renderer;
  if (!BuildDecodedPreview(path, &graph, &renderer)) return false;
  FilterRef acm = InsertAcmWrapper(graph.get(), renderer.get());
  if (!acm) return false;

  const uint32_t pcmRate = PcmRateForMp3Rate(samplesPerSec);
  PinRef acmOut = FindPin(acm.get(), PinDirection::Output);
  std::optional<MediaType> pcm = FindWaveMediaType(acmOut.get(), pcmRate, bitsPerSample / 8u * channels * pcmRate,
                                                   bitsPerSample, channels);
  if (!pcm) return false;

  FilterRef encoder = AddFilterByFriendlyName(graph.get(), kCategoryAudioCompressor, "MPEG Layer-3");
  if (!encoder) return false;
  if (!ConnectFiltersDirect(graph.get(), acm.get(), encoder.get(), &*pcm)) return false;
  ClearMediaType(&*pcm);

  // The first MP3 type with the byte rate, sample rate and channels; bits are not compared.
  PinRef encoderOut = FindPin(encoder.get(), PinDirection::Output);
  std::optional<MediaType> mp3;
  for (const MediaType& type : PinEnumMediaTypes(encoderOut.get())) {
    const WaveFormat& f = type.format;
    if (type.hasFormat && f.avgBytesPerSec == avgBytesPerSec && f.samplesPerSec == samplesPerSec &&
        f.channels == channels) {
      mp3 = type;
      break;
    }
  }
  if (!mp3) return false;

  FilterRef decoder = AddFilterByFriendlyName(graph.get(), kCategoryLegacyAmFilter, "MPEG Layer-3 Decoder");
  if (!decoder) return false;
  if (!ConnectFiltersDirect(graph.get(), encoder.get(), decoder.get(), &*mp3)) return false;
  if (!ConnectFilters(graph.get(), decoder.get(), renderer.get())) return false;
  return RunPreviewGraph(graph);
}

// Many files tell their length only once they play (MP3 without an Info frame, MPEG
// audio and program streams, RIFF-wrapped MP3), and a VBR file's estimate drifts: the
// duration is asked again on every use. The caller holds the lock.
static void RefreshPreviewDuration() {
  int64_t duration = 0;
  if (GraphGetDuration(PreviewGraph.seeking.get(), &duration) && duration > 0) PreviewGraph.duration = duration;
}

// A jump needs the length and a graph that plays; until both are there it waits, and
// every position read tries it again. Then it is made once: a graph that refuses it
// leaves the thumb to follow the playing position. The caller holds the lock.
static void TryPendingSeek() {
  if (PreviewGraph.pendingSeek < 0 || PreviewGraph.duration <= 0) return;
  int64_t position = 0;
  if (!GraphGetCurrentPosition(PreviewGraph.seeking.get(), &position)) return;
  GraphSetCurrentPosition(PreviewGraph.seeking.get(), int64_t{PreviewGraph.pendingSeek} * PreviewGraph.duration / 100);
  PreviewGraph.pendingSeek = -1;
}

void SeekPreview(int value) {
  std::lock_guard lock(previewLock);
  if (!PreviewGraph.seeking) return;
  RefreshPreviewDuration();
  PreviewGraph.pendingSeek = value;
  TryPendingSeek();
}

int32_t QueryPreviewPercent() {
  std::lock_guard lock(previewLock);
  if (!PreviewGraph.seeking) return 0;
  RefreshPreviewDuration();
  TryPendingSeek();
  if (PreviewGraph.pendingSeek >= 0) return PreviewGraph.pendingSeek;
  if (PreviewGraph.duration == 0) return 0;
  int64_t position = 0;
  GraphGetCurrentPosition(PreviewGraph.seeking.get(), &position);
  return static_cast<int32_t>(position * 100 / PreviewGraph.duration);
}

void StopPreview() {
  GraphRef graph;
  {
    std::lock_guard lock(previewLock);
    if (PreviewGraph.mediaControl) GraphStop(PreviewGraph.mediaControl.get());
    PreviewGraph.seeking.reset();
    PreviewGraph.mediaEvent.reset();
    PreviewGraph.mediaControl.reset();
    graph = std::move(PreviewGraph.graph);
    PreviewGraph.duration = 0;
    PreviewGraph.pendingSeek = -1;
  }
  // The last reference goes outside the lock: releasing a graph may wait for its threads.
}
