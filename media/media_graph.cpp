// The graph: creating it, adding and removing filters, prerolling it, and intelligent
// connect, which puts the decoder chain between a coded stream and a filter that wants
// PCM and, towards a renderer, proves that audio really decodes.
//
//   source ! decoder chain ! probe renderer, WavDest, an encoder or a writer
#include <gst/gst.h>

#include <vector>

#include "media/avi_header.h"
#include "media/media_internal.h"
#include "media/mp3_gapless.h"

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
void ResetPipeline(Graph* graph) {
  gst_element_set_state(graph->pipeline, GST_STATE_NULL);
  g_autoptr(GstBus) bus = gst_element_get_bus(graph->pipeline);
  gst_bus_set_flushing(bus, TRUE);
  gst_bus_set_flushing(bus, FALSE);
  graph->prerolled = false;
}

std::string ErrorText(GstMessage* message) {
  g_autoptr(GError) error = nullptr;
  g_autofree char* debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  GST_WARNING("error from %s: %s (%s)", GST_OBJECT_NAME(message->src), error->message,
              debug ? debug : "");
  return error->message;
}

void DumpGraph(Graph* graph, const char* name) {
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
