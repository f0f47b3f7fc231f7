// The AIFF reader: an AIFF or AIFC file's bytes in, its sample frames out.
//
//   sink (audio/x-aiff, BYTES from the file's start)
//     FORM header --> chunks passed over, "COMM" read --> "SSND": caps, TIME segment
//     --> whole sample frames, stamped by position, up to the chunk's end --> src
#include "media/aiff_reader.h"

#include <gst/audio/audio.h>
#include <gst/base/gstadapter.h>
#include <gst/gst.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string_view>

GST_DEBUG_CATEGORY_STATIC(ql_aiff_reader_debug);
#define GST_CAT_DEFAULT ql_aiff_reader_debug

namespace {

// A "COMM" chunk is 18 bytes, 22 and a name of up to 255 in AIFC: a larger one is damage.
constexpr uint32_t kMaxCommBytes = 1024;
constexpr uint32_t kMaxChannels = 64;  // what GStreamer's raw audio can carry
constexpr uint32_t kMaxRate = 1536000;

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-aiff"));
GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, layout = (string) interleaved; audio/x-alaw; audio/x-mulaw"));

// What a "COMM" chunk says. bytesPerSample is 0 for a compression this reader cannot
// read.
struct AiffFormat {
  uint16_t channels = 0;
  uint16_t sampleBits = 0;
  uint32_t rate = 0;
  char compression[5] = "NONE";
  const char* mediaType = "audio/x-raw";  // or audio/x-alaw, audio/x-mulaw
  const char* sampleFormat = nullptr;     // the raw audio format name, for audio/x-raw
  uint32_t bytesPerSample = 0;
  // Signed 8-bit samples, given out as unsigned: the converter behind would otherwise
  // dither them on their way to 8-bit WAV, which is unsigned.
  bool flipSign = false;
};

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// The 80-bit IEEE extended number in which "COMM" keeps the rate; 0 for a negative one.
double Extended80(const uint8_t* p) {
  if (p[0] & 0x80) return 0;
  const int exponent = ((p[0] & 0x7F) << 8 | p[1]) - 16383 - 63;
  uint64_t mantissa = 0;
  for (int i = 2; i < 10; ++i) mantissa = mantissa << 8 | p[i];
  return std::ldexp(static_cast<double>(mantissa), std::clamp(exponent, -20000, 20000));
}

// The sample format a compression id stands for; false for one we cannot read. Signed
// 8-bit samples go out unsigned, as 8-bit WAV keeps them (see flipSign).
bool ChooseSampleFormat(AiffFormat* format) {
  static const char* const kBigEndian[] = {nullptr, "U8", "S16BE", "S24BE", "S32BE"};
  static const char* const kLittleEndian[] = {nullptr, "U8", "S16LE", "S24LE", "S32LE"};
  const std::string_view id(format->compression, 4);
  auto take = [format](const char* sampleFormat, uint32_t bytes, const char* mediaType = "audio/x-raw") {
    format->sampleFormat = sampleFormat;
    format->bytesPerSample = bytes;
    format->mediaType = mediaType;
    return true;
  };
  // Integer samples of fewer bits lie left-justified in whole bytes.
  const uint32_t bytes = (format->sampleBits + 7u) / 8u;
  format->flipSign = bytes == 1 && (id == "NONE" || id == "twos" || id == "sowt");
  if (id == "NONE" || id == "twos") return bytes >= 1 && bytes <= 4 && take(kBigEndian[bytes], bytes);
  if (id == "sowt") return bytes >= 1 && bytes <= 4 && take(kLittleEndian[bytes], bytes);
  if (id == "in24") return take("S24BE", 3);
  if (id == "in32") return take("S32BE", 4);
  if (id == "raw ") return bytes == 1 && take("U8", 1);
  if (id == "fl32" || id == "FL32") return take("F32BE", 4);
  if (id == "fl64" || id == "FL64") return take("F64BE", 8);
  if (id == "ulaw" || id == "ULAW") return take(nullptr, 1, "audio/x-mulaw");
  if (id == "alaw" || id == "ALAW") return take(nullptr, 1, "audio/x-alaw");
  return false;
}

// Reads a "COMM" chunk's body (size bytes; an AIFC's when aifc). False when it is too
// short, or its channels or rate cannot be those of sound.
bool ParseAiffComm(const uint8_t* body, size_t size, bool aifc, AiffFormat* format) {
  if (size < (aifc ? 22u : 18u)) return false;
  *format = AiffFormat{};
  format->channels = Be16(body);
  format->sampleBits = Be16(body + 6);
  const double rate = Extended80(body + 8);
  if (aifc) memcpy(format->compression, body + 18, 4);
  if (format->channels == 0 || format->channels > kMaxChannels || rate < 1 || rate > kMaxRate) return false;
  format->rate = static_cast<uint32_t>(std::lround(rate));
  if (!ChooseSampleFormat(format)) format->bytesPerSample = 0;
  return true;
}

enum class Phase { Form, Chunks, Sound, Done };

// What the streaming thread knows of the stream. The fields from aifc to soundEnd are
// set once, before the phase becomes Sound, and read under the object lock by seeks
// and queries from other threads.
struct AiffStream {
  Phase phase = Phase::Form;
  bool aifc = false;
  bool haveFormat = false;
  AiffFormat format;
  uint32_t frameBytes = 0;    // bytes of one sample frame
  uint64_t soundStart = 0;    // file position of the first sample frame
  uint64_t soundEnd = 0;      // file position where the sound's bytes end
  uint64_t at = 0;            // file position of the adapter's first byte
  uint64_t skip = 0;          // bytes still to pass over: the rest of a chunk
  uint64_t framesOut = 0;     // position of the next frame to go out
  bool segmentDue = true;     // a TIME segment goes out before the next buffer
  double segmentRate = 1.0;   // the rate of the last segment from upstream
  guint32 segmentSeqnum = GST_SEQNUM_INVALID;
};

}  // namespace

G_BEGIN_DECLS
#define QL_TYPE_AIFF_READER (ql_aiff_reader_get_type())
G_DECLARE_FINAL_TYPE(QlAiffReader, ql_aiff_reader, QL, AIFF_READER, GstElement)
G_END_DECLS

struct _QlAiffReader {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;
  GstAdapter* adapter;  // owned; the bytes not yet read
  AiffStream* stream;   // owned
};

G_DEFINE_TYPE(QlAiffReader, ql_aiff_reader, GST_TYPE_ELEMENT)

static GstFlowReturn Fail(QlAiffReader* self, const char* why) {
  GST_ELEMENT_ERROR(self, STREAM, DEMUX, (nullptr), ("%s", why));
  return GST_FLOW_ERROR;
}

static GstClockTime TimeOfFrame(const AiffStream& s, uint64_t frame) {
  return gst_util_uint64_scale_int(frame, GST_SECOND, static_cast<int>(s.format.rate));
}

// The length of the sound the "SSND" chunk declares.
static gint64 SoundDuration(const AiffStream& s) {
  return static_cast<gint64>(TimeOfFrame(s, (s.soundEnd - s.soundStart) / s.frameBytes));
}

// The sound starts: its caps go downstream, and seeks and queries can be answered.
static bool StartSound(QlAiffReader* self) {
  AiffStream& s = *self->stream;
  const AiffFormat& f = s.format;
  GstCaps* caps = gst_caps_new_simple(f.mediaType, "rate", G_TYPE_INT, static_cast<int>(f.rate), "channels",
                                      G_TYPE_INT, static_cast<int>(f.channels), nullptr);
  if (f.sampleFormat)
    gst_caps_set_simple(caps, "format", G_TYPE_STRING, f.sampleFormat, "layout", G_TYPE_STRING, "interleaved",
                        nullptr);
  // The positions a decoder takes for this many channels where a file names none.
  if (f.channels > 2)
    gst_caps_set_simple(caps, "channel-mask", GST_TYPE_BITMASK, gst_audio_channel_get_fallback_mask(f.channels),
                        nullptr);
  GST_DEBUG_OBJECT(self, "sound %" G_GUINT64_FORMAT "..%" G_GUINT64_FORMAT ": %" GST_PTR_FORMAT, s.soundStart,
                   s.soundEnd, caps);
  GST_OBJECT_LOCK(self);
  s.frameBytes = f.bytesPerSample * f.channels;
  s.phase = Phase::Sound;
  GST_OBJECT_UNLOCK(self);
  GstEvent* event = gst_event_new_caps(caps);
  gst_caps_unref(caps);
  return gst_pad_push_event(self->srcpad, event);
}

// Reads the form's header and its chunks up to the sound, with what the adapter holds.
static GstFlowReturn ReadHeaders(QlAiffReader* self) {
  AiffStream& s = *self->stream;
  GstAdapter* adapter = self->adapter;
  for (;;) {
    if (s.skip > 0) {
      const uint64_t n = std::min<uint64_t>(s.skip, gst_adapter_available(adapter));
      gst_adapter_flush(adapter, n);
      s.at += n;
      s.skip -= n;
      if (s.skip > 0) return GST_FLOW_OK;
    }
    const gsize available = gst_adapter_available(adapter);
    if (s.phase == Phase::Form) {
      if (available < 12) return GST_FLOW_OK;
      const auto* head = static_cast<const uint8_t*>(gst_adapter_map(adapter, 12));
      const bool form = memcmp(head, "FORM", 4) == 0;
      s.aifc = memcmp(head + 8, "AIFC", 4) == 0;
      const bool aiff = memcmp(head + 8, "AIFF", 4) == 0;
      gst_adapter_unmap(adapter);
      if (!form || !(aiff || s.aifc)) return Fail(self, "not an AIFF or AIFC file");
      s.skip = 12;
      s.phase = Phase::Chunks;
      continue;
    }
    if (available < 8) return GST_FLOW_OK;
    const auto* header = static_cast<const uint8_t*>(gst_adapter_map(adapter, 8));
    char id[4];
    memcpy(id, header, 4);
    const uint32_t size = Be32(header + 4);
    gst_adapter_unmap(adapter);
    if (memcmp(id, "COMM", 4) == 0) {
      if (size > kMaxCommBytes) return Fail(self, "a COMM chunk too large to be one");
      if (available < 8u + size) return GST_FLOW_OK;
      const auto* body = static_cast<const uint8_t*>(gst_adapter_map(adapter, 8 + size)) + 8;
      const bool read = ParseAiffComm(body, size, s.aifc, &s.format);
      gst_adapter_unmap(adapter);
      if (!read) return Fail(self, "a COMM chunk that describes no sound");
      if (s.format.bytesPerSample == 0) {
        GST_ELEMENT_ERROR(self, STREAM, CODEC_NOT_FOUND, (nullptr),
                          ("AIFC compression \"%.4s\" is not read", s.format.compression));
        return GST_FLOW_ERROR;
      }
      s.haveFormat = true;
    } else if (memcmp(id, "SSND", 4) == 0) {
      if (available < 16) return GST_FLOW_OK;
      if (!s.haveFormat) return Fail(self, "sound before its COMM chunk");
      const auto* fields = static_cast<const uint8_t*>(gst_adapter_map(adapter, 16));
      const uint32_t offset = Be32(fields + 8);
      gst_adapter_unmap(adapter);
      if (size < 8 || offset > size - 8) return Fail(self, "an SSND chunk smaller than its offset");
      s.soundStart = s.at + 16 + offset;
      s.soundEnd = s.at + 8 + uint64_t{size};
      gst_adapter_flush(adapter, 16);
      s.at += 16;
      return StartSound(self) ? GST_FLOW_OK : GST_FLOW_NOT_NEGOTIATED;
    }
    // Chunks of an odd size are followed by a pad byte.
    s.skip = 8 + uint64_t{size} + (size & 1);
  }
}

static void SendSegment(QlAiffReader* self) {
  AiffStream& s = *self->stream;
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  segment.rate = s.segmentRate;
  segment.start = segment.time = segment.position = TimeOfFrame(s, s.framesOut);
  GstEvent* event = gst_event_new_segment(&segment);
  if (s.segmentSeqnum != GST_SEQNUM_INVALID) gst_event_set_seqnum(event, s.segmentSeqnum);
  gst_pad_push_event(self->srcpad, event);
  s.segmentDue = false;
}

// Pushes the whole frames the adapter holds, up to the sound's end.
static GstFlowReturn PushSound(QlAiffReader* self) {
  AiffStream& s = *self->stream;
  GstAdapter* adapter = self->adapter;
  if (s.at < s.soundStart) {  // the SSND chunk's offset, or a seek that went back before the sound
    const uint64_t n = std::min<uint64_t>(s.soundStart - s.at, gst_adapter_available(adapter));
    gst_adapter_flush(adapter, n);
    s.at += n;
    if (s.at < s.soundStart) return GST_FLOW_OK;
  }
  const uint64_t left = s.soundEnd > s.at ? s.soundEnd - s.at : 0;
  uint64_t take = std::min<uint64_t>(gst_adapter_available(adapter), left);
  take -= take % s.frameBytes;
  if (left < s.frameBytes) {  // what follows the sound (a tag, a pad byte) is not sound
    s.phase = Phase::Done;
    gst_adapter_clear(adapter);
    return GST_FLOW_OK;
  }
  if (take == 0) return GST_FLOW_OK;
  GstBuffer* buffer = gst_adapter_take_buffer(adapter, take);
  s.at += take;
  // Samples are read where they lie; a chunk at an odd position would leave them unaligned.
  GstMapInfo map;
  bool aligned = true;
  if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    aligned = reinterpret_cast<uintptr_t>(map.data) % std::min<uint32_t>(s.format.bytesPerSample, 8) == 0;
    gst_buffer_unmap(buffer, &map);
  }
  if (!aligned) {
    GstBuffer* copy = gst_buffer_copy_deep(buffer);
    gst_buffer_unref(buffer);
    buffer = copy;
  } else {
    buffer = gst_buffer_make_writable(buffer);
  }
  if (s.format.flipSign && gst_buffer_map(buffer, &map, GST_MAP_READWRITE)) {
    for (gsize i = 0; i < map.size; ++i) map.data[i] ^= 0x80;
    gst_buffer_unmap(buffer, &map);
  }
  const uint64_t frames = take / s.frameBytes;
  if (s.segmentDue) SendSegment(self);
  GST_BUFFER_PTS(buffer) = TimeOfFrame(s, s.framesOut);
  GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
  GST_BUFFER_DURATION(buffer) = TimeOfFrame(s, s.framesOut + frames) - GST_BUFFER_PTS(buffer);
  GST_BUFFER_OFFSET(buffer) = s.framesOut;
  GST_BUFFER_OFFSET_END(buffer) = s.framesOut + frames;
  s.framesOut += frames;
  if (s.soundEnd - s.at < s.frameBytes) {
    s.phase = Phase::Done;
    gst_adapter_clear(adapter);
  }
  return gst_pad_push(self->srcpad, buffer);
}

static GstFlowReturn ql_aiff_reader_chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
  QlAiffReader* self = QL_AIFF_READER(parent);
  AiffStream& s = *self->stream;
  if (s.phase == Phase::Done) {
    gst_buffer_unref(buffer);
    return GST_FLOW_OK;
  }
  gst_adapter_push(self->adapter, buffer);
  if (s.phase != Phase::Sound) {
    const GstFlowReturn flow = ReadHeaders(self);
    if (flow != GST_FLOW_OK || s.phase != Phase::Sound) return flow;
  }
  return PushSound(self);
}

static gboolean ql_aiff_reader_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  QlAiffReader* self = QL_AIFF_READER(parent);
  AiffStream& s = *self->stream;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS:  // the file's type; ours go out with the sound
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_SEGMENT: {
      // A segment in bytes of the file: from its start, or from where a seek went.
      const GstSegment* segment = nullptr;
      gst_event_parse_segment(event, &segment);
      s.segmentRate = segment->rate;
      s.segmentSeqnum = gst_event_get_seqnum(event);
      if (segment->format == GST_FORMAT_BYTES && s.phase >= Phase::Sound) {
        s.at = segment->start;
        s.framesOut = s.at > s.soundStart ? (s.at - s.soundStart) / s.frameBytes : 0;
        if (s.at > s.soundStart) s.at = s.soundStart + s.framesOut * s.frameBytes;
        s.phase = Phase::Sound;
        gst_adapter_clear(self->adapter);
      }
      s.segmentDue = true;
      gst_event_unref(event);
      return TRUE;
    }
    case GST_EVENT_FLUSH_STOP:
      gst_adapter_clear(self->adapter);
      s.segmentDue = true;
      break;
    case GST_EVENT_EOS:
      if (s.phase < Phase::Sound) {
        gst_event_unref(event);
        Fail(self, s.haveFormat ? "no SSND chunk" : "no COMM chunk");
        return TRUE;
      }
      // A stream cut before its first whole frame still gets its segment.
      if (s.segmentDue) SendSegment(self);
      break;
    default:
      break;
  }
  return gst_pad_event_default(pad, parent, event);
}

// The sound's layout, as the streaming thread found it; false before the sound starts.
static bool SoundLayout(QlAiffReader* self, AiffStream* layout) {
  GST_OBJECT_LOCK(self);
  const bool known = self->stream->phase >= Phase::Sound;
  if (known) *layout = *self->stream;
  GST_OBJECT_UNLOCK(self);
  return known;
}

static gboolean ql_aiff_reader_src_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  QlAiffReader* self = QL_AIFF_READER(parent);
  if (GST_EVENT_TYPE(event) != GST_EVENT_SEEK) return gst_pad_event_default(pad, parent, event);
  gdouble rate;
  GstFormat format;
  GstSeekFlags flags;
  GstSeekType startType, stopType;
  gint64 start, stop;
  gst_event_parse_seek(event, &rate, &format, &flags, &startType, &start, &stopType, &stop);
  AiffStream layout;
  if (format != GST_FORMAT_TIME || !SoundLayout(self, &layout)) {
    gst_event_unref(event);
    return FALSE;
  }
  // Every sample frame is a place to start: a position in time is one in bytes.
  auto bytesAt = [&layout](gint64 time) -> gint64 {
    const uint64_t frame = gst_util_uint64_scale_int(std::max<gint64>(time, 0), layout.format.rate, GST_SECOND);
    return static_cast<gint64>(std::min(layout.soundStart + frame * layout.frameBytes, layout.soundEnd));
  };
  const auto byteFlags = static_cast<GstSeekFlags>(
      flags & ~(GST_SEEK_FLAG_ACCURATE | GST_SEEK_FLAG_KEY_UNIT | GST_SEEK_FLAG_SNAP_BEFORE | GST_SEEK_FLAG_SNAP_AFTER));
  GstEvent* bytes = gst_event_new_seek(rate, GST_FORMAT_BYTES, byteFlags, startType,
                                       startType == GST_SEEK_TYPE_NONE ? -1 : bytesAt(start), stopType,
                                       stopType == GST_SEEK_TYPE_NONE || stop < 0 ? -1 : bytesAt(stop));
  gst_event_set_seqnum(bytes, gst_event_get_seqnum(event));
  gst_event_unref(event);
  return gst_pad_push_event(self->sinkpad, bytes);
}

static gboolean ql_aiff_reader_src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
  QlAiffReader* self = QL_AIFF_READER(parent);
  AiffStream layout;
  GstFormat format = GST_FORMAT_UNDEFINED;
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_DURATION:
      gst_query_parse_duration(query, &format, nullptr);
      if (format != GST_FORMAT_TIME || !SoundLayout(self, &layout)) return FALSE;
      gst_query_set_duration(query, format, SoundDuration(layout));
      return TRUE;
    case GST_QUERY_SEEKING: {
      gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
      if (format != GST_FORMAT_TIME || !SoundLayout(self, &layout)) return FALSE;
      g_autoptr(GstQuery) bytes = gst_query_new_seeking(GST_FORMAT_BYTES);
      gboolean seekable = FALSE;
      if (gst_pad_peer_query(self->sinkpad, bytes)) gst_query_parse_seeking(bytes, nullptr, &seekable, nullptr, nullptr);
      gst_query_set_seeking(query, format, seekable, 0, SoundDuration(layout));
      return TRUE;
    }
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

static GstStateChangeReturn ql_aiff_reader_change_state(GstElement* element, GstStateChange transition) {
  QlAiffReader* self = QL_AIFF_READER(element);
  const GstStateChangeReturn result = GST_ELEMENT_CLASS(ql_aiff_reader_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    gst_adapter_clear(self->adapter);
    GST_OBJECT_LOCK(self);
    *self->stream = AiffStream{};
    GST_OBJECT_UNLOCK(self);
  }
  return result;
}

static void ql_aiff_reader_finalize(GObject* object) {
  QlAiffReader* self = QL_AIFF_READER(object);
  g_object_unref(self->adapter);
  delete self->stream;
  G_OBJECT_CLASS(ql_aiff_reader_parent_class)->finalize(object);
}

static void ql_aiff_reader_class_init(QlAiffReaderClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  object_class->finalize = ql_aiff_reader_finalize;
  element_class->change_state = ql_aiff_reader_change_state;
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "AIFF reader", "Codec/Demuxer/Audio",
                                        "Reads the sound of a pushed AIFF or AIFC file", "QuillLomare");
}

static void ql_aiff_reader_init(QlAiffReader* self) {
  self->adapter = gst_adapter_new();
  self->stream = new AiffStream();
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, ql_aiff_reader_chain);
  gst_pad_set_event_function(self->sinkpad, ql_aiff_reader_sink_event);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_set_event_function(self->srcpad, ql_aiff_reader_src_event);
  gst_pad_set_query_function(self->srcpad, ql_aiff_reader_src_query);
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
}

bool RegisterAiffReader() {
  static std::mutex mutex;
  static bool registered = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (registered) return true;
  if (!gst_is_initialized()) return false;
  GST_DEBUG_CATEGORY_INIT(ql_aiff_reader_debug, "qlaiffreader", 0, "AIFF and AIFC reader");
  registered = gst_element_register(nullptr, kAiffReaderElement, GST_RANK_PRIMARY + 1, QL_TYPE_AIFF_READER);
  return registered;
}
