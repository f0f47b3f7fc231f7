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

static void UnlinkPin(Pin* pin);

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
// Direct connections

// Whether the input pin takes a stream of this type.
static bool Accepts(const Pin* in, const MediaType& type) {
  switch (in->filter->kind) {
    case FilterKind::FileWriter:
    case FilterKind::Dump:
      return true;
    case FilterKind::WavDest:
      return type.major == MajorType::Audio && type.hasFormat;
    case FilterKind::DecoderChain:
      return true;
    case FilterKind::ProbeRenderer:
    case FilterKind::AudioRenderer:
    case FilterKind::AcmWrapper:
      return type.major == MajorType::Audio &&
             (!type.hasFormat || type.format.formatTag == kWaveFormatPcm);
    default:
      return ExtendedAccepts(in, type);
  }
}

static bool SameFormat(const MediaType& a, const MediaType& b) {
  return a.major == b.major && a.hasFormat == b.hasFormat && (!a.hasFormat || a.format == b.format);
}

// Links the GStreamer pads behind two pins, or leaves the link to be made when the
// output pad appears.
static bool LinkPads(Pin* out, Pin* in) {
  g_autoptr(GstPad) sink = gst_element_get_static_pad(in->filter->element, in->padName.c_str());
  if (!sink) return false;
  g_autoptr(GstPad) src = gst_element_get_static_pad(out->filter->element, out->padName.c_str());
  if (!src) return out->filter->dynamicPads;  // linked on pad-added
  return LinkPinPad(out, src);
}

// Measures the audio entering a writing filter: decoded audio by its samples, ADPCM by
// the samples its blocks hold (the AVI demuxer stamps such blocks by a byte rate that
// encoders fill in loosely), another coded stream by the span of its timestamps.
struct AudioMeter {
  Graph* graph;
  int rate = 0;           // raw audio and ADPCM: frames per second; 0 for another coded stream
  int bytesPerFrame = 0;  // raw audio
  int blockAlign = 0, samplesPerBlock = 0;  // ADPCM
  int64_t frames = 0;
  uint64_t bytes = 0;     // ADPCM
  GstClockTime first = GST_CLOCK_TIME_NONE;  // coded stream: first timestamp seen
  GstClockTime end = 0;                      // and the furthest end reached
};

// Samples per channel in one block of IMA ("dvi") or Microsoft ADPCM, as the caps
// describe the stream (their block align and rate go to *blockAlign and *rate); 0 for
// other streams. Each channel's part of a block opens with a header holding its first
// samples (IMA: 4 bytes and one sample, Microsoft: 7 bytes and two), then four bits a sample.
static int AdpcmSamplesPerBlock(const GstCaps* caps, int* blockAlign, int* rate) {
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  if (!gst_structure_has_name(s, "audio/x-adpcm")) return 0;
  const char* layout = gst_structure_get_string(s, "layout");
  int align = 0, channels = 0, hz = 0;
  if (!layout || !gst_structure_get_int(s, "block_align", &align) || !gst_structure_get_int(s, "channels", &channels) ||
      !gst_structure_get_int(s, "rate", &hz) || channels <= 0 || hz <= 0)
    return 0;
  const int perChannel = align / channels;
  int samples = 0;
  if (g_str_equal(layout, "dvi") && perChannel > 4) samples = (perChannel - 4) * 2 + 1;
  else if (g_str_equal(layout, "microsoft") && perChannel > 7) samples = (perChannel - 7) * 2 + 2;
  if (samples == 0) return 0;
  *blockAlign = align;
  *rate = hz;
  return samples;
}

static GstPadProbeReturn OnMeterProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
  AudioMeter* m = static_cast<AudioMeter*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START || GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
      m->frames = 0;
      m->bytes = 0;
      m->first = GST_CLOCK_TIME_NONE;
      m->end = 0;
      m->graph->audioWritten = 0;
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
      GstCaps* caps = nullptr;
      gst_event_parse_caps(event, &caps);
      GstAudioInfo audio;
      bool raw = g_str_equal(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "audio/x-raw") &&
                 gst_audio_info_from_caps(&audio, caps);
      m->rate = raw ? GST_AUDIO_INFO_RATE(&audio) : 0;
      m->bytesPerFrame = raw ? GST_AUDIO_INFO_BPF(&audio) : 0;
      m->samplesPerBlock = raw ? 0 : AdpcmSamplesPerBlock(caps, &m->blockAlign, &m->rate);
    }
    return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  int64_t units = 0;
  if (m->rate > 0 && m->bytesPerFrame > 0) {
    m->frames += static_cast<int64_t>(gst_buffer_get_size(buffer)) / m->bytesPerFrame;
    units = gst_util_uint64_scale_int(m->frames, 10000000, m->rate);
  } else if (m->samplesPerBlock > 0) {
    m->bytes += gst_buffer_get_size(buffer);
    const uint64_t samples = gst_util_uint64_scale_int(m->bytes, m->samplesPerBlock, m->blockAlign);
    units = static_cast<int64_t>(gst_util_uint64_scale_int(samples, 10000000, m->rate));
  } else if (GST_BUFFER_PTS_IS_VALID(buffer)) {
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (m->first == GST_CLOCK_TIME_NONE || pts < m->first) m->first = pts;
    m->end = std::max(m->end, pts + (GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : 0));
    units = static_cast<int64_t>((m->end - m->first) / 100);
  } else {
    units = std::max<int64_t>(m->graph->audioWritten, 1);  // something arrived; its length is unknown
  }
  m->graph->audioWritten = std::max<int64_t>(m->graph->audioWritten, units);
  return GST_PAD_PROBE_OK;
}

static bool IsWritingInput(FilterKind kind) {
  return kind == FilterKind::WavDest || kind == FilterKind::Dump || kind == FilterKind::Mp3Encoder ||
         kind == FilterKind::AsfWriter || IsEncoderWriterKind(kind);
}

static void MeterWrittenAudio(Graph* graph, Pin* in) {
  g_autoptr(GstPad) sink = gst_element_get_static_pad(in->filter->element, in->padName.c_str());
  if (!sink) return;
  graph->audioWritten = 0;
  gst_pad_add_probe(sink,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    OnMeterProbe, new AudioMeter{graph}, [](gpointer data) { delete static_cast<AudioMeter*>(data); });
}

bool GraphGetAudioWritten(const Graph* graph, int64_t* units) {
  if (!graph || graph->audioWritten < 0) return false;
  *units = graph->audioWritten;
  return true;
}

bool GraphConnectDirect(Graph* graph, Pin* out, Pin* in, const MediaType* type) {
  if (!graph || !out || !in || out->filter->graph != graph || in->filter->graph != graph) return false;
  if (out->direction != PinDirection::Output || in->direction != PinDirection::Input) return false;
  if (!out->peer.expired() || !in->peer.expired()) return false;
  if (out->filter->waveUnusable) return false;

  // WavDest and the FLAC writer behind the decoders keep the decoders' own format.
  const bool keepsDecodersFormat =
      !type && out->filter->kind == FilterKind::DecoderChain &&
      (in->filter->kind == FilterKind::WavDest || in->filter->kind == FilterKind::FlacWriter) &&
      out->filter->decodersCaps;
  MediaType connection;
  if (type) {
    auto offered = std::find_if(out->offered.begin(), out->offered.end(),
                                [type](const MediaType& t) { return SameFormat(t, *type); });
    if (!out->offered.empty() && offered == out->offered.end()) return false;
    connection = *type;
  } else if (keepsDecodersFormat) {
    connection = out->filter->decodersType;
  } else if (!out->offered.empty()) {
    connection = out->offered.front();
  }
  if (!Accepts(in, connection)) return false;

  // Settle the output's format on the GStreamer side.
  if (out->filter->kind == FilterKind::AcmWrapper && connection.hasFormat)
    SetCaps(out->filter->capsfilter, PcmCaps(connection.format));
  if (keepsDecodersFormat) SetCaps(out->filter->capsfilter, gst_caps_ref(out->filter->decodersCaps));
  if (!ApplyOutputType(out, in, connection)) return false;
  if (in->filter->kind == FilterKind::WavDest && connection.hasFormat) {
    std::vector<uint8_t> header = SerializeWaveFormat(connection.format);
    g_autoptr(GBytes) bytes = g_bytes_new(header.data(), header.size());
    if (connection.format.formatTag != kWaveFormatPcm || !connection.format.extra.empty() ||
        connection.format.avgBytesPerSec != 0)
      g_object_set(in->filter->element, "wave-format", bytes, nullptr);
  }

  out->peer = PinSelf(in);
  in->peer = PinSelf(out);
  out->connection = connection;
  in->connection = connection;
  if (!LinkPads(out, in)) {
    out->peer.reset();
    in->peer.reset();
    return false;
  }
  if (IsWritingInput(in->filter->kind)) MeterWrittenAudio(graph, in);
  // An extracted stream stays as it is; the other writers carry the input's tags.
  if (IsWritingInput(in->filter->kind) && in->filter->kind != FilterKind::Dump)
    CarryTagsThrough(in->filter->element, in->padName.c_str());
  // A splitter knows its outputs once it knows what it reads.
  if (in->filter->dynamicPads && IsSourceKind(out->filter->kind) &&
      !ProbeSplitterPins(in->filter, out->filter->path)) {
    UnlinkPin(in);
    return false;
  }
  return true;
}

static void UnlinkPin(Pin* pin) {
  PinRef peer = pin->peer.lock();
  if (!peer) return;
  Pin* out = pin->direction == PinDirection::Output ? pin : peer.get();
  Pin* in = pin->direction == PinDirection::Output ? peer.get() : pin;
  g_autoptr(GstPad) sink = gst_element_get_static_pad(in->filter->element, in->padName.c_str());
  if (sink) {
    g_autoptr(GstPad) src = gst_pad_get_peer(sink);
    if (src) gst_pad_unlink(src, sink);
  }
  out->peer.reset();
  in->peer.reset();
  out->connection = MediaType{};
  in->connection = MediaType{};
  (void)out;
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
