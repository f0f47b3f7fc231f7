// The filter-graph layer over GStreamer.
#include "media/media.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <climits>
#include <deque>
#include <mutex>
#include <utility>

#include <gst/audio/audio.h>
#include <gst/base/gstbaseparse.h>
#include <gst/gst.h>

#include "media/asf_header.h"
#include "media/avi_header.h"
#include "media/file_read.h"
#include "media/media_internal.h"
#include "media/mp3_gapless.h"
#include "media/wavdest.h"
#include "media/wave_check.h"
#include "media/writers.h"
#include "media/xing_writer.h"

#define GST_CAT_DEFAULT ql_media_debug

// How long a probe may take to find the decoded format before the file counts as
// unreadable: generous, since the first probe of a process loads the plugins.
static constexpr GstClockTime kProbeTimeout = 20 * GST_SECOND;

// ---------------------------------------------------------------------------
// Graph

GraphRef CreateGraph(const std::string& clsid) {
  if (g_ascii_strcasecmp(clsid.c_str(), kClsidFilterGraph) != 0) return nullptr;
  auto graph = std::make_shared<Graph>();
  graph->pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
  return graph;
}

bool GraphAddFilter(Graph* graph, const FilterRef& filter, const std::string& name) {
  if (!graph || !filter || filter->graph) return false;
  if (!gst_bin_add(GST_BIN(graph->pipeline), filter->element)) return false;
  filter->graph = graph;
  filter->name = name;
  graph->filters.push_back(filter);
  return true;
}

bool GraphRemoveFilter(Graph* graph, Filter* filter) {
  if (!graph || !filter || filter->graph != graph) return false;
  for (auto& pin : filter->pins) UnlinkPin(pin.get());
  gst_element_set_state(filter->element, GST_STATE_NULL);
  gst_bin_remove(GST_BIN(graph->pipeline), filter->element);
  filter->graph = nullptr;
  std::erase_if(graph->filters, [filter](const FilterRef& f) { return f.get() == filter; });
  return true;
}

FilterRef GraphAddSourceFilter(Graph* graph, const std::string& path) {
  if (!graph) return nullptr;
  FilterRef source = MakeFilterOfKind(FilterKind::FileSource);
  if (!source || !FilterLoadFile(source.get(), path)) return nullptr;
  if (!GraphAddFilter(graph, source, "Sorce Filter")) return nullptr;
  return source;
}

// Sets the pipeline back to NULL and forgets whatever it said on its bus, so that the
// next run starts from the first sample.
static void ResetPipeline(Graph* graph) {
  gst_element_set_state(graph->pipeline, GST_STATE_NULL);
  g_autoptr(GstBus) bus = gst_element_get_bus(graph->pipeline);
  gst_bus_set_flushing(bus, TRUE);
  gst_bus_set_flushing(bus, FALSE);
  graph->prerolled = false;
}

static std::string ErrorText(GstMessage* message) {
  g_autoptr(GError) error = nullptr;
  g_autofree char* debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  GST_WARNING("error from %s: %s (%s)", GST_OBJECT_NAME(message->src), error->message,
              debug ? debug : "");
  return error->message;
}

static void DumpGraph(Graph* graph, const char* name) {
  GST_DEBUG_BIN_TO_DOT_FILE_WITH_TS(GST_BIN(graph->pipeline), GST_DEBUG_GRAPH_SHOW_ALL, name);
}

// Pauses the graph and waits until it has prerolled, failed, or found no audio. On
// success the duration is kept and the graph stopped again.
bool PrerollGraph(Graph* graph, std::string* errorText) {
  if (gst_element_set_state(graph->pipeline, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
    g_autoptr(GstBus) bus = gst_element_get_bus(graph->pipeline);
    g_autoptr(GstMessage) message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    if (message && errorText) *errorText = ErrorText(message);
    ResetPipeline(graph);
    return false;
  }
  g_autoptr(GstBus) bus = gst_element_get_bus(graph->pipeline);
  bool prerolled = false;
  for (;;) {
    g_autoptr(GstMessage) message = PopBusMessage(
        bus, kProbeTimeout,
        static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR | GST_MESSAGE_EOS |
                                    GST_MESSAGE_APPLICATION));
    if (!message) break;  // timed out
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
      std::string text = ErrorText(message);
      if (errorText) *errorText = text;
      DumpGraph(graph, "ql-probe-error");
      break;
    }
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_APPLICATION) {
      if (gst_message_has_name(message, kNoAudioMessage)) break;
      continue;
    }
    // ASYNC_DONE, or an end of stream before anything prerolled.
    prerolled = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ASYNC_DONE;
    break;
  }
  if (prerolled) {
    gint64 duration = 0;
    graph->duration = gst_element_query_duration(graph->pipeline, GST_FORMAT_TIME, &duration) &&
                              duration > 0
                          ? duration / 100
                          : 0;
    graph->prerolled = true;
  }
  return prerolled;
}

// Output pins that carry a coded stream rather than decoded audio.
static bool NeedsDecoding(const Pin* out) {
  if (IsSourceKind(out->filter->kind)) return true;
  if (out->offered.empty()) return false;
  const MediaType& type = out->offered.front();
  return type.major == MajorType::Audio &&
         !(type.hasFormat && type.format.formatTag == kWaveFormatPcm);
}

static bool WantsPcm(const Filter* filter) {
  switch (filter->kind) {
    case FilterKind::ProbeRenderer:
    case FilterKind::AudioRenderer:
    case FilterKind::AcmWrapper:
    case FilterKind::Mp3Encoder:
    case FilterKind::AsfWriter:
      return true;
    default:
      return IsEncoderWriterKind(filter->kind);
  }
}

// Whether a probe renderer received a sample while prerolling. A stream that ends
// before its first sample (a WAV file cut inside its headers, or whose data chunk is
// empty) prerolls all the same, on its end.
static bool HasDecodedSample(Filter* renderer) {
  if (renderer->kind != FilterKind::ProbeRenderer) return true;
  g_autoptr(GstSample) sample = nullptr;
  g_object_get(renderer->element, "last-sample", &sample, nullptr);
  return sample != nullptr;
}

bool GraphConnect(Graph* graph, Pin* out, Pin* in) {
  if (!graph || !out || !in || out->filter->graph != graph || in->filter->graph != graph) return false;
  if (!(NeedsDecoding(out) && WantsPcm(in->filter))) return GraphConnectDirect(graph, out, in, nullptr);

  // Intelligent connect: decode in between, and towards a renderer make sure that an
  // audio stream really decodes.
  if (IsSourceKind(out->filter->kind) && !AviStreamsUsable(out->filter->path)) return false;
  FilterRef chain = MakeDecoderChain();
  if (!chain || !GraphAddFilter(graph, chain, "Decoder")) return false;
  if (IsSourceKind(out->filter->kind) && in->filter->kind == FilterKind::AudioRenderer)
    out->filter->mpegDataAlone = true;
  // Every file with a gapless tag is trimmed here, once: GStreamer's MPEG audio parser
  // would trim those whose tag names LAME itself, not those of ffmpeg ("Lavf"/"Lavc"),
  // and its way fails on frames that hold nothing but delay or padding.
  Mp3Gapless gapless;
  // A tag whose frame count leaves no sample at all contradicts the stream it heads.
  if (IsSourceKind(out->filter->kind) && ReadMp3Gapless(out->filter->path, &gapless, out->filter->junkEnd) &&
      gapless.keepSamples != 0)
    TrimDecodedOutput(chain.get(), gapless);
  if (IsSourceKind(out->filter->kind)) {
    g_autoptr(GstPad) decoded = gst_element_get_static_pad(chain->capsfilter, "src");
    AddFileTags(decoded, out->filter->path);
  }
  Pin* chainIn = chain->pins[0].get();
  Pin* chainOut = chain->pins[1].get();
  MediaType anyAudio;
  anyAudio.major = MajorType::Audio;
  chainOut->offered = {anyAudio};
  bool ok = GraphConnectDirect(graph, out, chainIn, nullptr) &&
            GraphConnectDirect(graph, chainOut, in, nullptr);
  if (ok && IsRendererKind(in->filter->kind)) {
    ok = PrerollGraph(graph, &graph->lastError);
    if (ok) {
      g_autoptr(GstPad) pad = gst_element_get_static_pad(in->filter->element, in->padName.c_str());
      g_autoptr(GstCaps) caps = gst_pad_get_current_caps(pad);
      MediaType decoded = MediaTypeFromCaps(caps);
      ok = decoded.hasFormat && HasDecodedSample(in->filter);
      if (ok) {
        // Pin the chain to what it delivered, so every later run delivers the same.
        SetCaps(chain->capsfilter, PcmCaps(decoded.format));
        chainOut->offered = {decoded};
        chainOut->connection = decoded;
        in->connection = decoded;
        NoteDecodersOwnFormat(chain.get());
        NoteCarriedTags(graph, pad);
      }
    }
    ResetPipeline(graph);
  }
  if (!ok) GraphRemoveFilter(graph, chain.get());
  return ok;
}

bool GraphRenderFile(Graph* graph, const std::string& path) {
  FilterRef source = GraphAddSourceFilter(graph, path);
  FilterRef renderer = MakeFilterOfKind(FilterKind::ProbeRenderer);
  if (!source || !renderer || !GraphAddFilter(graph, renderer, "Renderer")) return false;
  return GraphConnect(graph, source->pins[0].get(), renderer->pins[0].get());
}

// ---------------------------------------------------------------------------
// Control and events

bool GraphCompleted(const Graph* graph) { return graph && graph->completed; }

static gboolean OnPostedEvent(gpointer data) {
  Graph* graph = static_cast<Graph*>(data);
  graph->postedEvent = 0;
  if (graph->notify) graph->notify();
  return G_SOURCE_REMOVE;
}

// Queues an event and posts one notification for the queue, as a window message would.
static void QueueEvent(Graph* graph, long code, std::string text) {
  graph->events.push_back({code, std::move(text)});
  if (!graph->postedEvent) graph->postedEvent = g_idle_add(OnPostedEvent, graph);
}

static gboolean OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
  Graph* graph = static_cast<Graph*>(data);
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
      graph->completed = true;
      QueueEvent(graph, kEventComplete, {});
      break;
    case GST_MESSAGE_ERROR:
      DumpGraph(graph, "ql-graph-error");
      QueueEvent(graph, kEventErrorAbort, ErrorText(message));
      break;
    default:
      break;
  }
  return G_SOURCE_CONTINUE;
}

void GraphSetNotify(Graph* graph, GraphNotify notify) {
  if (!graph) return;
  graph->notify = notify;
  if (!graph->busWatch) {
    g_autoptr(GstBus) bus = gst_element_get_bus(graph->pipeline);
    graph->busWatch = gst_bus_add_watch(bus, OnBusMessage, graph);
  }
}

bool GraphGetEvent(Graph* graph, long* code, std::string* text) {
  if (!graph || graph->events.empty()) return false;
  *code = graph->events.front().code;
  if (text) *text = graph->events.front().text;
  graph->events.pop_front();
  return true;
}

bool GraphRun(Graph* graph) {
  if (!graph) return false;
  if (graph->prerolled) ResetPipeline(graph);
  graph->completed = false;
  for (const FilterRef& filter : graph->filters) {
    filter->sourceReadEnd = filter->sourceLastEnd = 0;
    filter->playedFrom = -1;
  }
  if (gst_element_set_state(graph->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    // The error message on the bus tells the rest; without a watch, say it here.
    if (!graph->busWatch) return false;
  }
  return true;
}

void GraphStop(Graph* graph) {
  if (graph) gst_element_set_state(graph->pipeline, GST_STATE_NULL);
}

// The audio renderer of a player graph; nullptr in a conversion graph.
static Filter* GraphRenderer(const Graph* graph) {
  for (const FilterRef& filter : graph->filters)
    if (filter->kind == FilterKind::AudioRenderer) return filter.get();
  return nullptr;
}

// A stream parser's length of its stream before it tells one: the bytes upstream of it
// at the rate of the frames parsed so far. The MPEG audio parser, for a file without a
// frame index (no Xing or VBRI frame, an MP2 file, the data chunk of a RIFF-MP3 file),
// tells the length only every 50 frames, a second and a half into playback.
static bool EstimateParsedDuration(Graph* graph, gint64* value) {
  bool found = false;
  g_autoptr(GstIterator) it = gst_bin_iterate_recurse(GST_BIN(graph->pipeline));
  GValue item = G_VALUE_INIT;
  for (bool more = true; more && !found;) {
    switch (gst_iterator_next(it, &item)) {
      case GST_ITERATOR_OK: {
        GstElement* element = GST_ELEMENT(g_value_get_object(&item));
        if (GST_IS_BASE_PARSE(element)) {
          g_autoptr(GstPad) sink = gst_element_get_static_pad(element, "sink");
          g_autoptr(GstPad) src = gst_element_get_static_pad(element, "src");
          gint64 bytes = 0;
          found = sink && src && gst_pad_peer_query_duration(sink, GST_FORMAT_BYTES, &bytes) && bytes > 0 &&
                  gst_pad_query_convert(src, GST_FORMAT_BYTES, bytes, GST_FORMAT_TIME, value) && *value > 0;
        }
        g_value_reset(&item);
        break;
      }
      case GST_ITERATOR_RESYNC: gst_iterator_resync(it); break;
      default: more = false; break;
    }
  }
  g_value_unset(&item);
  return found;
}

bool GraphGetDuration(Graph* graph, int64_t* duration) {
  if (!graph) return false;
  gint64 value = 0;
  GstState state = GST_STATE_NULL;
  gst_element_get_state(graph->pipeline, &state, nullptr, 0);
  if (state >= GST_STATE_PAUSED &&
      ((gst_element_query_duration(graph->pipeline, GST_FORMAT_TIME, &value) && value > 0) ||
       (GraphRenderer(graph) && EstimateParsedDuration(graph, &value)))) {
    *duration = value / 100;
    return true;
  }
  *duration = graph->duration;
  return graph->duration > 0;
}

bool GraphSetCurrentPosition(Graph* graph, int64_t position) {
  if (!graph || position < 0) return false;
  const Filter* renderer = GraphRenderer(graph);
  const int64_t from = renderer ? std::max<int64_t>(renderer->playedFrom, 0) : 0;
  return gst_element_seek_simple(graph->pipeline, GST_FORMAT_TIME,
                                 static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                                 position * 100 + from);
}

bool GraphGetCurrentPosition(Graph* graph, int64_t* position) {
  gint64 value = 0;
  if (!graph || !gst_element_query_position(graph->pipeline, GST_FORMAT_TIME, &value) || value < 0)
    return false;
  if (const Filter* renderer = GraphRenderer(graph)) {
    const int64_t from = renderer->playedFrom;
    if (from < 0) return false;  // nothing played yet
    value = std::max<gint64>(value - from, 0);
  }
  *position = value / 100;
  return true;
}

bool PinDisconnect(Pin* pin) {
  if (!pin) return false;
  if (pin->filter->graph) {
    GstState state = GST_STATE_NULL;
    gst_element_get_state(pin->filter->graph->pipeline, &state, nullptr, 0);
    if (state > GST_STATE_READY) ResetPipeline(pin->filter->graph);
  }
  UnlinkPin(pin);
  return true;
}
