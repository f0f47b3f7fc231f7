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

bool GraphSourceReadToEnd(const Graph* graph) {
  if (!graph) return false;
  for (const FilterRef& filter : graph->filters)
    if (filter->sourceSize > 0 && filter->sourceReadEnd < filter->sourceSize) return false;
  return true;
}

bool GraphGetSourceReading(const Graph* graph, SourceReading* reading) {
  if (!graph) return false;
  for (const FilterRef& filter : graph->filters) {
    if (!IsSourceKind(filter->kind) || filter->sourceSize == 0) continue;
    struct stat st;
    reading->sizeAtLoad = filter->sourceSize;
    // A file moved or removed meanwhile is still read whole through the open source.
    reading->sizeNow = stat(filter->path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : filter->sourceSize;
    reading->lastEnd = filter->sourceLastEnd;
    reading->declaredSize = filter->declaredSize;
    reading->declaredDuration = filter->declaredDuration;
    return true;
  }
  return false;
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

// Answers the scheduling query of a file source with push mode alone. GStreamer's WAV
// parser, pulling, stops at an odd-sized chunk (8-bit audio with an odd number of
// samples, whose pad byte follows) and spins on a file cut inside its headers; fed
// by push it reads such files to their end. The AIFF parser, pulling, starts its own
// streaming thread while the decoder is still plugging it in: its first buffer can
// find its output not yet linked, and the error it then posts is dropped by the
// decoder as one of an element on trial, so the graph waits forever. Pushed, it
// receives its first bytes only once it is in place.
static GstPadProbeReturn OnSchedulingQuery(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
  if (!static_cast<Filter*>(data)->pushOnly || GST_QUERY_TYPE(query) != GST_QUERY_SCHEDULING)
    return GST_PAD_PROBE_OK;
  gst_query_set_scheduling(query, GST_SCHEDULING_FLAG_SEEKABLE, 1, -1, 0);
  gst_query_add_scheduling_mode(query, GST_PAD_MODE_PUSH);
  return GST_PAD_PROBE_HANDLED;
}

// What of its file a source passes on: [0, holeFrom) and [holeTo, end), one stream.
struct PassedBytes {
  uint64_t holeFrom = 0, holeTo = 0, end = 0;

  uint64_t Size() const { return end - (holeTo - holeFrom); }
  // The stream's offset of a file offset (the next byte passed on, for one not passed).
  uint64_t InStream(uint64_t at) const {
    if (at <= holeFrom) return at;
    return std::clamp(at, holeTo, end) - (holeTo - holeFrom);
  }
  uint64_t InFile(uint64_t at) const { return at < holeFrom ? at : at + (holeTo - holeFrom); }
};

// A WAV file of MPEG audio reaches a player's decoders as its "data" chunk alone, a plain
// MPEG audio stream, with byte positions counted from the chunk's start. GStreamer's WAV
// parser can neither time nor seek such a file when pushed: it hands the seek to the
// MPEG parser behind it, then fails an assertion on the byte segment that comes back
// and stamps it with an invalid base, so a seek lands nowhere. Conversions, which never
// seek, keep the parser for the tags of the file's INFO chunk.
// An MPEG audio file with junk in front of its frames reaches every reader without the
// junk: GStreamer's type finder and parser would lock onto a sync word in it, or give up.
static bool PassedBytesOf(const Filter* source, PassedBytes* passed) {
  if (source->mpegDataStart != 0 && source->mpegDataAlone) {
    *passed = {0, source->mpegDataStart, source->mpegDataStart + source->mpegDataSize};
    return true;
  }
  if (source->junkEnd != 0) {
    *passed = {source->junkStart, source->junkEnd, source->sourceSize};
    return true;
  }
  return false;
}

static GstPadProbeReturn OnPassedBytes(GstPad*, GstPadProbeInfo* info, gpointer data) {
  PassedBytes passed;
  if (!PassedBytesOf(static_cast<Filter*>(data), &passed)) return GST_PAD_PROBE_OK;
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!GST_BUFFER_OFFSET_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
    const uint64_t first = GST_BUFFER_OFFSET(buffer), last = first + gst_buffer_get_size(buffer);
    GstBuffer* part = nullptr;
    auto keep = [&](uint64_t from, uint64_t to) {
      from = std::max(from, first), to = std::min(to, last);
      if (to <= from) return;
      GstBuffer* piece = gst_buffer_copy_region(buffer, GST_BUFFER_COPY_ALL, from - first, to - from);
      part = part ? gst_buffer_append(part, piece) : piece;
    };
    keep(0, passed.holeFrom);
    keep(passed.holeTo, passed.end);
    if (!part) return GST_PAD_PROBE_DROP;
    GST_BUFFER_OFFSET(part) = passed.InStream(first);
    GST_BUFFER_OFFSET_END(part) = passed.InStream(last);
    gst_buffer_unref(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = part;
    return GST_PAD_PROBE_OK;
  }
  if (info->type & GST_PAD_PROBE_TYPE_QUERY_UPSTREAM) {
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    GstFormat format = GST_FORMAT_UNDEFINED;
    if (GST_QUERY_TYPE(query) == GST_QUERY_DURATION) gst_query_parse_duration(query, &format, nullptr);
    if (format == GST_FORMAT_BYTES) gst_query_set_duration(query, format, passed.Size());
    return GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  GstEvent* replaced = nullptr;
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
    GstSegment segment;
    gst_event_copy_segment(event, &segment);
    if (segment.format != GST_FORMAT_BYTES) return GST_PAD_PROBE_OK;
    segment.start = passed.InStream(segment.start);
    segment.position = passed.InStream(segment.position);
    segment.time = passed.InStream(segment.time);
    if (segment.stop != static_cast<guint64>(-1)) segment.stop = passed.InStream(segment.stop);
    segment.duration = passed.Size();
    replaced = gst_event_new_segment(&segment);
  } else if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
    gdouble rate;
    GstFormat format;
    GstSeekFlags flags;
    GstSeekType startType, stopType;
    gint64 from, to;
    gst_event_parse_seek(event, &rate, &format, &flags, &startType, &from, &stopType, &to);
    if (format != GST_FORMAT_BYTES) return GST_PAD_PROBE_OK;
    if (startType == GST_SEEK_TYPE_SET && from >= 0) from = static_cast<gint64>(passed.InFile(from));
    if (stopType == GST_SEEK_TYPE_SET && to >= 0) to = static_cast<gint64>(passed.InFile(to));
    replaced = gst_event_new_seek(rate, format, flags, startType, from, stopType, to);
  }
  if (!replaced) return GST_PAD_PROBE_OK;
  gst_event_set_seqnum(replaced, gst_event_get_seqnum(event));
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = replaced;
  return GST_PAD_PROBE_OK;
}

// GStreamer's ASF demuxer ends the stream after the packets the data object counts: a file
// whose count falls short of the packets it holds (a writer that stopped counting) would
// lose the rest as if damaged. Its count is passed on as 0, unknown, and every packet is read.
static GstPadProbeReturn OnAsfPacketCount(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const uint64_t at = static_cast<Filter*>(data)->shortPacketCountAt;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (at == 0 || !GST_BUFFER_OFFSET_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
  constexpr uint64_t kCountBytes = 8;
  const uint64_t first = GST_BUFFER_OFFSET(buffer), last = first + gst_buffer_get_size(buffer);
  const uint64_t from = std::max(first, at), to = std::min(last, at + kCountBytes);
  if (to <= from) return GST_PAD_PROBE_OK;
  buffer = gst_buffer_make_writable(buffer);
  gst_buffer_memset(buffer, from - first, 0, to - from);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

// Follows how far into its file a source has delivered, pushed or pulled.
static GstPadProbeReturn OnSourceBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
  Filter* source = static_cast<Filter*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!GST_BUFFER_OFFSET_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
  const uint64_t end = GST_BUFFER_OFFSET(buffer) + gst_buffer_get_size(buffer);
  if (end > source->sourceReadEnd) source->sourceReadEnd = end;
  source->sourceLastEnd = end;
  return GST_PAD_PROBE_OK;
}

// Ends what a source delivers, and the size it tells, at its file's stream end where
// one is set (after the reading is followed, so that the file still counts as read).
static GstPadProbeReturn OnSourceStreamEnd(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const uint64_t end = static_cast<Filter*>(data)->streamEnd;
  if (end == 0) return GST_PAD_PROBE_OK;
  if (info->type & GST_PAD_PROBE_TYPE_QUERY_UPSTREAM) {
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    GstFormat format = GST_FORMAT_UNDEFINED;
    if (GST_QUERY_TYPE(query) == GST_QUERY_DURATION) gst_query_parse_duration(query, &format, nullptr);
    if (format == GST_FORMAT_BYTES) gst_query_set_duration(query, format, static_cast<gint64>(end));
    return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!GST_BUFFER_OFFSET_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
  const uint64_t first = GST_BUFFER_OFFSET(buffer), size = gst_buffer_get_size(buffer);
  if (first + size <= end) return GST_PAD_PROBE_OK;
  if (first >= end) return GST_PAD_PROBE_DROP;
  GstBuffer* part = gst_buffer_copy_region(buffer, GST_BUFFER_COPY_ALL, 0, end - first);
  GST_BUFFER_OFFSET_END(part) = end;
  gst_buffer_unref(buffer);
  GST_PAD_PROBE_INFO_DATA(info) = part;
  return GST_PAD_PROBE_OK;
}

// The size of the whole file as its header declares it: an AVI file's RIFF chunk size, an
// ASF file's File Properties size; 0 when the header says nothing. (A WAV file is read
// to its end whatever its header says, so its size proves nothing about losses.)
static uint64_t DeclaredFileSize(int fd) {
  uint8_t head[16384];
  const ssize_t got = pread(fd, head, sizeof head, 0);
  if (got < 12) return 0;
  auto le = [&head](size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | head[at + i];
    return v;
  };
  if (memcmp(head, "RIFF", 4) == 0) return memcmp(head + 8, "AVI ", 4) == 0 ? le(4, 4) + 8 : 0;
  if (got < 30 || memcmp(head, kAsfHeaderObject, 16) != 0) return 0;
  for (size_t at = 30; at + 64 <= static_cast<size_t>(got);) {
    const uint64_t objectSize = le(at + 16, 8);
    if (memcmp(head + at, kAsfFileProperties, 16) == 0) return le(at + 40, 8);
    if (objectSize < 24 || objectSize > static_cast<uint64_t>(got)) break;
    at += objectSize;
  }
  return 0;
}

// Where the sound of an AIFF or AIFC file ends: the end of its "SSND" chunk's bytes,
// before the pad byte of an odd size and before any chunk that follows (a tagger's
// "ID3 " chunk). GStreamer's parser, pushed, reads samples up to the end of the file.
// False when the parser could not read the file as it states: no "COMM" chunk of full
// size ahead of the "SSND" chunk (pushed, the parser then maps a buffer it never got).
static bool FindAiffSoundEnd(int fd, uint64_t fileSize, bool aifc, uint64_t* soundEnd) {
  const uint32_t commSize = aifc ? 22 : 18;
  bool comm = false;
  for (uint64_t at = 12; at + 8 <= fileSize;) {
    uint8_t header[8];
    if (ReadFileAt(fd, at, header, sizeof header) != sizeof header) return false;
    const uint32_t size = uint32_t{header[4]} << 24 | uint32_t{header[5]} << 16 | uint32_t{header[6]} << 8 | header[7];
    if (memcmp(header, "COMM", 4) == 0) comm = size >= commSize;
    if (memcmp(header, "SSND", 4) == 0) {
      *soundEnd = std::min<uint64_t>(at + 8 + size, fileSize);
      return comm;
    }
    at += 8 + uint64_t{size} + (size & 1);
  }
  return false;
}

// Whether a file's name says MPEG audio and its first bytes do not say another
// container: only such a file is searched for frames behind junk, since other files
// may well hold MPEG audio frames inside their own structure.
static bool NamesMpegAudio(const std::string& path, const char (&head)[12]) {
  static constexpr const char* kExtensions[] = {".mp3", ".mp2", ".mp1", ".mpa"};
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos ||
      std::none_of(std::begin(kExtensions), std::end(kExtensions),
                   [&](const char* e) { return g_ascii_strcasecmp(path.c_str() + dot, e) == 0; }))
    return false;
  static constexpr const char* kContainers[] = {"RIFF", "RIFX", "RF64", "FORM", "OggS", "fLaC",
                                                "\x30\x26\xB2\x75", "\x00\x00\x01\xBA"};
  for (const char* magic : kContainers)
    if (memcmp(head, magic, 4) == 0) return false;
  return memcmp(head + 4, "ftyp", 4) != 0;
}

bool FilterLoadFile(Filter* filter, const std::string& path) {
  if (!FilterHasFileSource(filter)) return false;
  if (filter->kind == FilterKind::CdTrackReader) return LoadCdTrack(filter, path);
  // Fail now, as opening a file source does, rather than at the first run. Only a
  // regular file or a block device is read: a FIFO, a socket or a terminal could block
  // the opening thread forever where no signal is handled. Non-blocking, so that
  // even opening a FIFO returns at once.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  bool readable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
  char head[12] = {};
  // RIFF, its big-endian twin RIFX and the 64-bit RF64 all go to the same parser.
  bool wave = readable && read(fd, head, sizeof head) == sizeof head && memcmp(head + 8, "WAVE", 4) == 0 &&
              (memcmp(head, "RIFF", 4) == 0 || memcmp(head, "RIFX", 4) == 0 || memcmp(head, "RF64", 4) == 0);
  const bool aiff = memcmp(head, "FORM", 4) == 0 && (memcmp(head + 8, "AIFF", 4) == 0 || memcmp(head + 8, "AIFC", 4) == 0);
  // That parser trusts the "fmt " record: a file whose record it cannot read as stated
  // loads, as a damaged file does, but never connects.
  auto readAt = [fd](uint64_t offset, uint8_t* buffer, size_t size) { return ReadFileAt(fd, offset, buffer, size); };
  const bool waveUnusable = wave && !WaveHeaderUsable(readAt);
  uint64_t mpegStart = 0, mpegSize = 0;
  if (wave && !waveUnusable && S_ISREG(st.st_mode) && !FindMpegWaveData(readAt, st.st_size, &mpegStart, &mpegSize))
    mpegStart = mpegSize = 0;
  uint64_t soundEnd = 0;
  const bool aiffUnusable =
      aiff && S_ISREG(st.st_mode) && !FindAiffSoundEnd(fd, st.st_size, memcmp(head + 8, "AIFC", 4) == 0, &soundEnd);
  uint64_t junkStart = 0, junkEnd = 0;
  if (!wave && S_ISREG(st.st_mode) && NamesMpegAudio(path, head) &&
      FindJunkBeforeMpegFrames(fd, static_cast<uint64_t>(st.st_size), &junkStart, &junkEnd))
    GST_INFO("%s: %" G_GUINT64_FORMAT " bytes before its frames are passed over", path.c_str(), junkEnd - junkStart);
  filter->declaredSize = readable && S_ISREG(st.st_mode) ? DeclaredFileSize(fd) : 0;
  filter->shortPacketCountAt = readable && S_ISREG(st.st_mode) ? AsfShortPacketCountAt(readAt, st.st_size) : 0;
  close(fd);
  filter->declaredDuration = 0;
  std::vector<AviStream> streams;
  if (filter->declaredSize > 0 && memcmp(head + 8, "AVI ", 4) == 0 && ReadAviStreamList(path, &streams))
    for (const AviStream& stream : streams)
      if (stream.kind == AviStreamKind::Audio && stream.usable) {
        filter->declaredDuration = stream.duration;
        break;
      }
  if (!readable) return false;
  if (filter->path.empty()) {  // the first file this source is given
    g_autoptr(GstPad) pad = gst_element_get_static_pad(filter->element, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnSourceBuffer, filter, nullptr);
    gst_pad_add_probe(pad,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_QUERY_UPSTREAM |
                                                   GST_PAD_PROBE_TYPE_PULL),
                      OnSourceStreamEnd, filter, nullptr);
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnAsfPacketCount, filter, nullptr);
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PUSH),
                      OnSchedulingQuery, filter, nullptr);
    gst_pad_add_probe(pad,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                   GST_PAD_PROBE_TYPE_EVENT_UPSTREAM),
                      OnPassedBytes, filter, nullptr);
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PULL),
                      OnPassedBytes, filter, nullptr);
  }
  g_object_set(filter->element, "location", path.c_str(), nullptr);
  filter->path = path;
  filter->sourceSize = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  // The junk is cut out of the stream as it is pushed.
  filter->pushOnly = wave || aiff || junkEnd != 0;
  filter->waveUnusable = waveUnusable || aiffUnusable;
  filter->streamEnd = aiffUnusable ? 0 : soundEnd;
  filter->mpegDataStart = mpegStart;
  filter->mpegDataSize = mpegSize;
  filter->junkStart = junkStart;
  filter->junkEnd = junkEnd;
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
