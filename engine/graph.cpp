#include "engine/graph.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <glib.h>

#include "common/i18n.h"
#include "engine/naming.h"

static constexpr double kUnits = 1e7;  // 100-ns units per second

ConversionGraphState ConversionGraph;

static constexpr unsigned kWritebackIntervalMs = 100;
static guint writebackTimer = 0;  // main-loop source while a graph runs

static GraphCompleteHandler completeHandler = nullptr;
static GraphErrorHandler errorHandler = nullptr;

void SetGraphEventHandlers(GraphCompleteHandler onComplete, GraphErrorHandler onError) {
  completeHandler = onComplete;
  errorHandler = onError;
}

PinRef FindPin(const Filter* filter, PinDirection direction) {
  if (!filter) return nullptr;
  for (const PinRef& pin : FilterPins(filter))
    if (PinQueryDirection(pin.get()) == direction) return pin;
  return nullptr;
}

bool ConnectFilters(Graph* graph, Filter* upstream, Filter* downstream) {
  PinRef out = FindPin(upstream, PinDirection::Output);
  PinRef in = FindPin(downstream, PinDirection::Input);
  return out && in && GraphConnect(graph, out.get(), in.get());
}

bool ConnectFiltersDirect(Graph* graph, Filter* upstream, Filter* downstream, const MediaType* type) {
  PinRef out = FindPin(upstream, PinDirection::Output);
  PinRef in = FindPin(downstream, PinDirection::Input);
  return out && in && GraphConnectDirect(graph, out.get(), in.get(), type);
}

FilterRef AddFilterByClsid(Graph* graph, const std::string& clsid) {
  FilterRef filter = CreateFilter(clsid);
  if (!filter || !GraphAddFilter(graph, filter, "")) return nullptr;
  return filter;
}

FilterRef AddSinkFilterByClsid(Graph* graph, const std::string& clsid, const std::string& path) {
  FilterRef filter = AddFilterByClsid(graph, clsid);
  if (!filter || !FilterHasFileSink(filter.get())) return nullptr;
  FilterSetFileName(filter.get(), OutputWritePath(path));
  return filter;
}

FilterRef AddFilterByFriendlyName(Graph* graph, const std::string& category, const std::string& name) {
  FilterRef filter = CreateFilterByFriendlyName(category, name);
  if (!filter) return nullptr;
  if (graph && !GraphAddFilter(graph, filter, name)) return nullptr;
  return filter;
}

FilterRef AddSinkFilterByFriendlyName(Graph* graph, const std::string& category,
                                      const std::string& name, const std::string& path) {
  FilterRef filter = CreateFilterByFriendlyName(category, name);
  if (!filter || !GraphAddFilter(graph, filter, "") || !FilterHasFileSink(filter.get())) return nullptr;
  FilterSetFileName(filter.get(), OutputWritePath(path));
  return filter;
}

std::optional<MediaType> FindWaveMediaType(const Pin* pin, uint32_t samplesPerSec,
                                           uint32_t avgBytesPerSec, uint16_t bitsPerSample,
                                           uint16_t channels) {
  if (!pin) return std::nullopt;
  for (const MediaType& type : PinEnumMediaTypes(pin)) {
    const WaveFormat& f = type.format;
    if (type.hasFormat && f.samplesPerSec == samplesPerSec && f.avgBytesPerSec == avgBytesPerSec &&
        f.bitsPerSample == bitsPerSample && f.channels == channels)
      return type;
  }
  return std::nullopt;
}

PinRef FindAudioPin(const Filter* filter, PinDirection direction) {
  if (!filter) return nullptr;
  for (const PinRef& pin : FilterPins(filter)) {
    if (PinQueryDirection(pin.get()) != direction) continue;
    std::vector<MediaType> types = PinEnumMediaTypes(pin.get());
    if (!types.empty() && types.front().major == MajorType::Audio) return pin;
  }
  return nullptr;
}

PinRef DetachProbeRenderer(Graph* graph, FilterRef& renderer) {
  PinRef input = FindPin(renderer.get(), PinDirection::Input);
  PinRef decoded = PinConnectedTo(input.get());
  PinDisconnect(input.get());
  PinDisconnect(decoded.get());
  input.reset();
  GraphRemoveFilter(graph, renderer.get());
  renderer.reset();
  return decoded;
}

void ClearMediaType(MediaType* type) { *type = MediaType{}; }

int QueryProgressPercent() {
  const ConversionGraphState& g = ConversionGraph;
  if (!g.outputFile.empty()) {
    struct stat st;
    if (g.expectedBytes <= 0 || stat(g.outputFile.c_str(), &st) != 0) return -1;
    return static_cast<int>(static_cast<int64_t>(st.st_size) * 100 / g.expectedBytes);
  }
  if (g.positionSeeking) {
    int64_t position = 0;
    if (g.duration <= 0 || !GraphGetCurrentPosition(FilterGraph(g.positionSeeking.get()), &position))
      return -1;
    return static_cast<int>(position * 100 / g.duration);
  }
  return -1;
}

bool StartConversionGraph(const std::string& outputPath, bool openOutputFile) {
  ConversionGraphState& g = ConversionGraph;
  if (openOutputFile) g.outputFile = OutputWritePath(outputPath);
  g.mediaEvent = g.graph;
  GraphSetNotify(g.mediaEvent.get(), OnGraphEvent);
  g.mediaControl = g.graph;
  GraphRun(g.mediaControl.get());
  if (!writebackTimer)
    writebackTimer = g_timeout_add(kWritebackIntervalMs, [](gpointer) {
      StartOutputWriteback();
      return gboolean{G_SOURCE_CONTINUE};
    }, nullptr);
  return true;
}

// A graph can complete without error and yet have lost audio: GStreamer's demuxers end
// the stream at damage in the middle of a file (a cut in an AVI's chunk list or an ASF
// data object) as if the file were over, and a file cut short while it is read ends
// early the same way. The end of stream proves nothing, so the output is judged by
// facts. It fails when the input shrank while it was read, when it holds no audio at
// all while the source declared a length, and when it holds well under the share of
// that length the file can hold: all of it for a file as large as its header declares,
// the part present for one cut short (an AVI or ASF that ends early keeps the audio it
// has). A file whose header declares no size (MPEG, MP3, WAV) is held to it when its
// reading stopped before its last part, which a file cut short never does. The length is the
// largest known: the header's, and the graph's before and after (estimates of
// variable-rate streams settle by the end). *reason says what went wrong.
static constexpr double kLossAllowed = 0.1;  // of the declared length: frames, rounding, gaps

static bool OutputFallsShort(Graph* graph, std::string* reason) {
  char text[320];
  SourceReading reading;
  const bool haveReading = GraphGetSourceReading(graph, &reading);
  if (haveReading && reading.sizeNow < reading.sizeAtLoad) {
    std::snprintf(text, sizeof text, _("変換中に入力ファイルが短くなりました (%llu バイトから %llu バイトへ)。"),
                  static_cast<unsigned long long>(reading.sizeAtLoad),
                  static_cast<unsigned long long>(reading.sizeNow));
    *reason = text;
    return true;
  }
  int64_t written = 0;
  if (!GraphGetAudioWritten(graph, &written)) return false;
  int64_t declared = 0;
  GraphGetDuration(graph, &declared);
  declared = std::max({declared, ConversionGraph.duration, reading.declaredDuration});
  if (declared <= 0) return false;
  if (written == 0) {
    *reason = _("出力に音声がありません。");
    return true;
  }
  const double size = static_cast<double>(reading.sizeAtLoad);
  const bool stoppedEarly = haveReading ? reading.lastEnd < size * (1 - kLossAllowed) : !GraphSourceReadToEnd(graph);
  double share = 1;  // of the declared length, that the file can hold
  if (haveReading && reading.declaredSize > 0) share = std::min(1.0, size / static_cast<double>(reading.declaredSize));
  else if (!stoppedEarly) return false;
  if (written >= declared * (share - kLossAllowed)) return false;
  // Where the audio ended: where the reading stopped, or the same share of the file.
  const double lost = stoppedEarly ? static_cast<double>(reading.lastEnd)
                                   : size * static_cast<double>(written) / static_cast<double>(declared);
  const double seconds[2] = {static_cast<double>(written) / kUnits, static_cast<double>(declared) / kUnits};
  if (haveReading)
    std::snprintf(text, sizeof text,
                  _("ファイルの %.0f バイト目付近が壊れていて、その先の音声を読めませんでした "
                    "(出力 %.1f 秒、元の長さ %.1f 秒)。"),
                  lost, seconds[0], seconds[1]);
  else
    std::snprintf(text, sizeof text, _("ファイルを終わりまで読まずに変換が終わりました (出力 %.1f 秒、元の長さ %.1f 秒)。"),
                  seconds[0], seconds[1]);
  *reason = text;
  return true;
}

void OnGraphEvent() {
  Graph* graph = ConversionGraph.mediaEvent.get();
  if (!graph) return;
  long code = 0;
  std::string text;
  while (GraphGetEvent(graph, &code, &text)) {
    if (code == kEventComplete) {
      std::string reason;
      if (OutputFallsShort(graph, &reason)) {
        if (errorHandler) errorHandler(reason);
        return;
      }
      // Complete only once the output is under its final name.
      std::vector<CommittedOutput> committed;
      bool ok = CommitOutputFiles(&reason, &committed);
      for (const CommittedOutput& c : committed)
        if (ConversionGraph.outputFile == c.temporary) ConversionGraph.outputFile = c.finalPath;
      if (!ok) {
        if (errorHandler) errorHandler(reason);
      } else if (completeHandler) {
        completeHandler();
      }
      return;
    }
    if (code == kEventErrorAbort) {
      if (errorHandler) errorHandler(text);
      return;
    }
  }
}

void ReleaseConversionGraph() {
  ConversionGraphState& g = ConversionGraph;
  if (writebackTimer) g_source_remove(writebackTimer);
  writebackTimer = 0;
  g.outputFile.clear();
  if (g.mediaControl) GraphStop(g.mediaControl.get());
  g.positionSeeking.reset();
  g.mediaControl.reset();
  g.mediaEvent.reset();
  if (g.graph) {
    GraphStop(g.graph.get());
    g.graph.reset();
  }
  // An output not brought under its name is of no use to anyone; its temporary goes.
  DiscardOutputFiles();
}
