// Direct connections: two pins joined with one media type, the GStreamer pads behind
// them linked (or left to be linked when a splitter's pad appears), and the metering of
// the audio that enters a writing filter, which the completion check reads.
#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <algorithm>
#include <vector>

#include "media/media_internal.h"

#define GST_CAT_DEFAULT ql_media_debug

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

// ---------------------------------------------------------------------------
// Metering the written audio

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

// ---------------------------------------------------------------------------
// Connecting

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

void UnlinkPin(Pin* pin) {
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
