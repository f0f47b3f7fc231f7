// WavDest: one audio stream in, the bytes of a RIFF WAVE file out.
//
//   sink (audio caps) --> [header] [data unchanged] [pad byte] [LIST INFO of the tags]
//                         --> src (audio/x-wav)
//                         and at EOS: BYTES segment to 0, the header with the real sizes
#include "media/wavdest.h"

#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>

#include "common/i18n.h"
#include "media/mpeg_frame.h"
#include "media/wave_format.h"
#include "media/wavdest_format.h"

GST_DEBUG_CATEGORY_STATIC(ql_wav_dest_debug);
#define GST_CAT_DEFAULT ql_wav_dest_debug

namespace {

const char kSinkCaps[] =
    "audio/x-raw, format = (string) { U8, S16LE, S24LE, S32LE, F32LE }, "
    "layout = (string) interleaved, rate = (int) [ 1, MAX ], channels = (int) [ 1, 8 ]; "
    "audio/mpeg, mpegversion = (int) 1; "
    "audio/x-adpcm, layout = (string) { microsoft, dvi }, block_align = (int) [ 1, MAX ], "
    "rate = (int) [ 1, MAX ], channels = (int) [ 1, 8 ]; "
    "audio/x-alaw, rate = (int) [ 1, MAX ], channels = (int) [ 1, 8 ]; "
    "audio/x-mulaw, rate = (int) [ 1, MAX ], channels = (int) [ 1, 8 ]; "
    // What the AVI splitter delivers for a format tag it does not know.
    "audio/x-avi-unknown, codec_id = (int) [ 1, 65535 ]";

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(kSinkCaps));
GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-wav"));

// ---- The element ----

enum class WavDestPhase {
  kNoFormat,   // no usable caps yet
  kNeedFrame,  // MPEG caps seen; the first buffer completes the format
  kReady,      // format known, nothing written
  kStreaming,  // placeholder header written, data flowing
  kEnded,      // final header written at EOS
};

// Everything that belongs to one stream; reset by ResetStream.
struct WavDestStream {
  WavDestPhase phase = WavDestPhase::kNoFormat;
  WaveFormat format;              // the record written; final from kReady on
  std::vector<uint8_t> fmtBody;   // the "fmt " chunk body as written
  MpegCaps mpegCaps;              // MPEG streams: what the caps said
  bool segmentSent = false;       // our BYTES segment has gone downstream
  GstTagList* tags = nullptr;     // owned: the tags received, the first value of each kept
  uint64_t dataBytes = 0;         // bytes in the "data" chunk so far
  std::atomic<uint64_t> bytesOut{0};  // bytes pushed downstream; read by position queries
};

}  // namespace

G_BEGIN_DECLS
#define QL_TYPE_WAV_DEST (ql_wav_dest_get_type())
G_DECLARE_FINAL_TYPE(QlWavDest, ql_wav_dest, QL, WAV_DEST, GstElement)
G_END_DECLS

struct _QlWavDest {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;
  GBytes* waveFormat;     // "wave-format"; nullptr: derive from caps. Object lock.
  WavDestStream* stream;  // streaming-thread state, owned
};

G_DEFINE_TYPE(QlWavDest, ql_wav_dest, GST_TYPE_ELEMENT)

enum { PROP_0, PROP_WAVE_FORMAT };

static void ResetStream(QlWavDest* self) {
  WavDestStream* st = self->stream;
  st->phase = WavDestPhase::kNoFormat;
  st->format = WaveFormat{};
  st->fmtBody.clear();
  st->mpegCaps = MpegCaps{};
  st->segmentSent = false;
  g_clear_pointer(&st->tags, gst_tag_list_unref);
  st->dataBytes = 0;
  st->bytesOut = 0;
}

static GBytes* DupWaveFormatProperty(QlWavDest* self) {
  GST_OBJECT_LOCK(self);
  GBytes* bytes = self->waveFormat != nullptr ? g_bytes_ref(self->waveFormat) : nullptr;
  GST_OBJECT_UNLOCK(self);
  return bytes;
}

// Pushes bytes of our own making, to be written at byte offset in the file.
static GstFlowReturn PushBytes(QlWavDest* self, const uint8_t* data, size_t size,
                               uint64_t offset) {
  GstBuffer* buffer = gst_buffer_new_memdup(data, size);
  GST_BUFFER_OFFSET(buffer) = offset;
  GST_BUFFER_OFFSET_END(buffer) = offset + size;
  return gst_pad_push(self->srcpad, buffer);
}

// Sends a BYTES segment starting at 0: the first one opens the file, a later one
// makes the sink seek back to rewrite the header.
static void PushSegmentToStart(QlWavDest* self) {
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment));
  self->stream->segmentSent = true;
}

// Writes the header at the start of the stream, with placeholder sizes.
static GstFlowReturn StartData(QlWavDest* self) {
  WavDestStream* st = self->stream;
  if (!st->segmentSent) PushSegmentToStart(self);
  std::vector<uint8_t> header = MakeRiffWaveHeader(st->fmtBody, UINT64_MAX);
  GstFlowReturn ret = PushBytes(self, header.data(), header.size(), 0);
  st->bytesOut = header.size();
  st->phase = WavDestPhase::kStreaming;
  return ret;
}

static void UseFormat(QlWavDest* self, const WaveFormat& format) {
  self->stream->format = format;
  self->stream->fmtBody = SerializeWaveFormat(format);
  self->stream->phase = WavDestPhase::kReady;
}

// Finishes an MPEG format from the first frame header found in data (if any).
static void CompleteFromFirstFrame(QlWavDest* self, const uint8_t* data, size_t size) {
  WavDestStream* st = self->stream;
  MpegFrame frame;
  bool found = data != nullptr && FindMpegFrame(data, size, &frame);
  if (!found) GST_WARNING_OBJECT(self, "no MPEG frame header in the first buffer");
  WaveFormat format = st->format;
  CompleteMpegFormat(&format, st->mpegCaps, found ? &frame : nullptr);
  UseFormat(self, format);
}

static gboolean ConfigureFromCaps(QlWavDest* self, GstCaps* caps) {
  WavDestStream* st = self->stream;
  g_autoptr(GBytes) fixed = DupWaveFormatProperty(self);
  bool written = st->phase == WavDestPhase::kStreaming || st->phase == WavDestPhase::kEnded;
  if (fixed != nullptr) {
    if (written) return TRUE;
    gsize size = 0;
    auto data = static_cast<const uint8_t*>(g_bytes_get_data(fixed, &size));
    WaveFormat format;
    if (!ParseWaveFormat(data, size, &format)) goto bad_property;
    st->format = format;
    st->fmtBody.assign(data, data + size);
    st->phase = WavDestPhase::kReady;
    return TRUE;
  }
  {
    WaveFormat format;
    MpegCaps mpeg;
    CapsFormat kind = WaveFormatFromCaps(caps, &format, &mpeg);
    if (kind == CapsFormat::kUnusable) goto unusable_caps;
    if (written) {
      if (!SameStream(st->format, format)) goto changed_caps;
      return TRUE;
    }
    if (kind == CapsFormat::kComplete) {
      UseFormat(self, format);
    } else {
      st->format = format;
      st->mpegCaps = mpeg;
      st->phase = WavDestPhase::kNeedFrame;
    }
    return TRUE;
  }

bad_property:
  GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (_("The audio format given for the WAVE header is invalid.")),
                    ("wave-format holds %" G_GSIZE_FORMAT " bytes, not a valid fmt chunk body",
                     g_bytes_get_size(fixed)));
  return FALSE;
unusable_caps:
  GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (_("This audio format cannot be written to a WAVE file.")),
                    ("no wave format for caps %" GST_PTR_FORMAT, caps));
  return FALSE;
changed_caps:
  GST_ELEMENT_ERROR(self, STREAM, FORMAT, (_("The audio format changed in the middle of the stream.")),
                    ("header written for tag 0x%04x, now caps %" GST_PTR_FORMAT,
                     st->format.formatTag, caps));
  return FALSE;
}

static void AddTagText(std::vector<std::pair<std::string, std::string>>* items, const char* id,
                       const GstTagList* tags, const char* tag) {
  g_autofree char* text = nullptr;
  if (gst_tag_list_get_string_index(tags, tag, 0, &text)) items->emplace_back(id, text);
}

// The "LIST" "INFO" chunk of the tags received; empty for none.
static std::vector<uint8_t> InfoChunkOfTags(const GstTagList* tags) {
  if (tags == nullptr) return {};
  std::vector<std::pair<std::string, std::string>> items;
  AddTagText(&items, "INAM", tags, GST_TAG_TITLE);
  AddTagText(&items, "IART", tags, GST_TAG_ARTIST);
  AddTagText(&items, "IPRD", tags, GST_TAG_ALBUM);
  guint track = 0;
  if (gst_tag_list_get_uint_index(tags, GST_TAG_TRACK_NUMBER, 0, &track) && track > 0)
    items.emplace_back("ITRK", std::to_string(track));
  GstDateTime* when = nullptr;
  GDate* date = nullptr;
  if (gst_tag_list_get_date_time_index(tags, GST_TAG_DATE_TIME, 0, &when)) {
    g_autofree char* text = gst_date_time_to_iso8601_string(when);
    if (text != nullptr) items.emplace_back("ICRD", text);
    gst_date_time_unref(when);
  } else if (gst_tag_list_get_date_index(tags, GST_TAG_DATE, 0, &date)) {
    if (g_date_valid(date)) items.emplace_back("ICRD", std::to_string(g_date_get_year(date)));
    g_date_free(date);
  }
  AddTagText(&items, "IGNR", tags, GST_TAG_GENRE);
  AddTagText(&items, "ICMT", tags, GST_TAG_COMMENT);
  return MakeInfoListChunk(items);
}

// At EOS: the pad byte after odd-sized data, the tags, then the header with the real
// sizes.
static void FinishFile(QlWavDest* self) {
  WavDestStream* st = self->stream;
  switch (st->phase) {
    case WavDestPhase::kNoFormat:
    case WavDestPhase::kEnded:
      return;
    case WavDestPhase::kNeedFrame:
      CompleteFromFirstFrame(self, nullptr, 0);
      [[fallthrough]];
    case WavDestPhase::kReady: {
      // No data at all: one header with empty sizes is the whole file.
      if (!st->segmentSent) PushSegmentToStart(self);
      std::vector<uint8_t> header = MakeRiffWaveHeader(st->fmtBody, 0);
      PushBytes(self, header.data(), header.size(), 0);
      st->bytesOut = header.size();
      break;
    }
    case WavDestPhase::kStreaming: {
      if (st->dataBytes % 2 == 1) {
        const uint8_t pad = 0;
        PushBytes(self, &pad, 1, st->bytesOut);
        st->bytesOut += 1;
      }
      std::vector<uint8_t> info = InfoChunkOfTags(st->tags);
      if (!info.empty()) {
        PushBytes(self, info.data(), info.size(), st->bytesOut);
        st->bytesOut += info.size();
      }
      PushSegmentToStart(self);
      std::vector<uint8_t> header = MakeRiffWaveHeader(st->fmtBody, st->dataBytes, info.size());
      GstFlowReturn ret = PushBytes(self, header.data(), header.size(), 0);
      if (ret != GST_FLOW_OK) {
        GST_WARNING_OBJECT(self, "final header not written: %s", gst_flow_get_name(ret));
      }
      break;
    }
  }
  st->phase = WavDestPhase::kEnded;
}

static gboolean ql_wav_dest_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  QlWavDest* self = QL_WAV_DEST(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps* caps = nullptr;
      gst_event_parse_caps(event, &caps);
      gboolean ok = ConfigureFromCaps(self, caps);
      gst_event_unref(event);
      if (!ok) return FALSE;
      if (gst_pad_has_current_caps(self->srcpad)) return TRUE;
      g_autoptr(GstCaps) wav = gst_caps_new_empty_simple("audio/x-wav");
      return gst_pad_push_event(self->srcpad, gst_event_new_caps(wav));
    }
    case GST_EVENT_SEGMENT:
      // The output is a byte stream from offset 0 whatever the input's segment.
      if (!self->stream->segmentSent) PushSegmentToStart(self);
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_EOS:
      FinishFile(self);
      return gst_pad_push_event(self->srcpad, event);
    case GST_EVENT_TAG: {
      // Kept for the end; a value already received wins over a later one.
      GstTagList* tags = nullptr;
      gst_event_parse_tag(event, &tags);
      WavDestStream* st = self->stream;
      if (st->tags == nullptr) st->tags = gst_tag_list_new_empty();
      gst_tag_list_insert(st->tags, tags, GST_TAG_MERGE_KEEP);
      return gst_pad_event_default(pad, parent, event);
    }
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

static GstFlowReturn ql_wav_dest_chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
  QlWavDest* self = QL_WAV_DEST(parent);
  WavDestStream* st = self->stream;
  switch (st->phase) {
    case WavDestPhase::kNoFormat:
      gst_buffer_unref(buffer);
      GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (nullptr), ("audio data before any caps"));
      return GST_FLOW_NOT_NEGOTIATED;
    case WavDestPhase::kEnded:
      gst_buffer_unref(buffer);
      return GST_FLOW_EOS;
    case WavDestPhase::kNeedFrame: {
      GstMapInfo map;
      if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        CompleteFromFirstFrame(self, map.data, map.size);
        gst_buffer_unmap(buffer, &map);
      } else {
        CompleteFromFirstFrame(self, nullptr, 0);
      }
      [[fallthrough]];
    }
    case WavDestPhase::kReady: {
      GstFlowReturn ret = StartData(self);
      if (ret != GST_FLOW_OK) {
        gst_buffer_unref(buffer);
        return ret;
      }
      break;
    }
    case WavDestPhase::kStreaming:
      break;
  }

  gsize size = gst_buffer_get_size(buffer);
  buffer = gst_buffer_make_writable(buffer);
  GST_BUFFER_OFFSET(buffer) = st->bytesOut;
  GST_BUFFER_OFFSET_END(buffer) = st->bytesOut + size;
  st->dataBytes += size;
  st->bytesOut += size;
  return gst_pad_push(self->srcpad, buffer);
}

static gboolean ql_wav_dest_sink_query(GstPad* pad, GstObject* parent, GstQuery* query) {
  QlWavDest* self = QL_WAV_DEST(parent);
  if (GST_QUERY_TYPE(query) != GST_QUERY_CAPS) return gst_pad_query_default(pad, parent, query);

  // With a format given, any stream is accepted: the header does not depend on caps.
  GstCaps* filter = nullptr;
  gst_query_parse_caps(query, &filter);
  g_autoptr(GBytes) fixed = DupWaveFormatProperty(self);
  g_autoptr(GstCaps) caps = fixed != nullptr ? gst_caps_new_any() : gst_pad_get_pad_template_caps(pad);
  if (filter != nullptr) {
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_take(&caps, both);
  }
  gst_query_set_caps_result(query, caps);
  return TRUE;
}

static gboolean ql_wav_dest_src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
  QlWavDest* self = QL_WAV_DEST(parent);
  if (GST_QUERY_TYPE(query) == GST_QUERY_POSITION) {
    GstFormat format;
    gst_query_parse_position(query, &format, nullptr);
    if (format == GST_FORMAT_BYTES) {
      gst_query_set_position(query, GST_FORMAT_BYTES,
                             static_cast<gint64>(self->stream->bytesOut.load()));
      return TRUE;
    }
  }
  return gst_pad_query_default(pad, parent, query);
}

static GstStateChangeReturn ql_wav_dest_change_state(GstElement* element,
                                                     GstStateChange transition) {
  QlWavDest* self = QL_WAV_DEST(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) ResetStream(self);
  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(ql_wav_dest_parent_class)->change_state(element, transition);
  // The pads are inactive now: no streaming thread touches the state.
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) ResetStream(self);
  return ret;
}

static void ql_wav_dest_set_property(GObject* object, guint id, const GValue* value,
                                     GParamSpec* pspec) {
  QlWavDest* self = QL_WAV_DEST(object);
  switch (id) {
    case PROP_WAVE_FORMAT: {
      GBytes* bytes = static_cast<GBytes*>(g_value_dup_boxed(value));
      GST_OBJECT_LOCK(self);
      std::swap(self->waveFormat, bytes);
      GST_OBJECT_UNLOCK(self);
      if (bytes != nullptr) g_bytes_unref(bytes);
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void ql_wav_dest_get_property(GObject* object, guint id, GValue* value,
                                     GParamSpec* pspec) {
  QlWavDest* self = QL_WAV_DEST(object);
  switch (id) {
    case PROP_WAVE_FORMAT:
      GST_OBJECT_LOCK(self);
      g_value_set_boxed(value, self->waveFormat);
      GST_OBJECT_UNLOCK(self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void ql_wav_dest_finalize(GObject* object) {
  QlWavDest* self = QL_WAV_DEST(object);
  g_clear_pointer(&self->waveFormat, g_bytes_unref);
  ResetStream(self);
  delete self->stream;
  self->stream = nullptr;
  G_OBJECT_CLASS(ql_wav_dest_parent_class)->finalize(object);
}

static void ql_wav_dest_class_init(QlWavDestClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  object_class->set_property = ql_wav_dest_set_property;
  object_class->get_property = ql_wav_dest_get_property;
  object_class->finalize = ql_wav_dest_finalize;
  element_class->change_state = ql_wav_dest_change_state;

  g_object_class_install_property(
      object_class, PROP_WAVE_FORMAT,
      g_param_spec_boxed(kWavDestWaveFormatProperty, "Wave format",
                         "The fmt chunk body to write; unset: derived from the caps",
                         G_TYPE_BYTES,
                         static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                  GST_PARAM_MUTABLE_READY)));
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "WavDest", "Codec/Muxer/Audio",
                                        "Writes one audio stream as a RIFF WAVE file",
                                        "QuillLomare");
}

static void ql_wav_dest_init(QlWavDest* self) {
  self->stream = new WavDestStream();
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, ql_wav_dest_chain);
  gst_pad_set_event_function(self->sinkpad, ql_wav_dest_sink_event);
  gst_pad_set_query_function(self->sinkpad, ql_wav_dest_sink_query);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_set_query_function(self->srcpad, ql_wav_dest_src_query);
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
}

bool RegisterWavDest() {
  static std::mutex mutex;
  static bool registered = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (registered) return true;
  if (!gst_is_initialized()) return false;
  GST_DEBUG_CATEGORY_INIT(ql_wav_dest_debug, "qlwavdest", 0, "RIFF WAVE writer");
  registered = gst_element_register(nullptr, kWavDestElement, GST_RANK_NONE, QL_TYPE_WAV_DEST);
  return registered;
}
