// The Xing writer: layer-3 frames in, the same frames behind a Xing frame out.
//
//   sink (audio/mpeg layer 3) --> [Xing frame, no counts] [frames unchanged] --> src
//                                 and at EOS: BYTES segment to 0, the Xing frame complete
//                                 (with the LAME extension once "input-samples" is known)
#include "media/xing_writer.h"

#include <gst/gst.h>

#include <algorithm>
#include <mutex>

#include "media/mpeg_frame.h"

GST_DEBUG_CATEGORY_STATIC(ql_xing_writer_debug);
#define GST_CAT_DEFAULT ql_xing_writer_debug

namespace {

constexpr uint32_t kXingFrames = 0x1;  // flags of the Xing tag: which fields follow
constexpr uint32_t kXingBytes = 0x2;
constexpr uint32_t kXingToc = 0x4;
constexpr size_t kTocEntries = 100;
// Tag, flags, frame count, byte count and seek table.
constexpr size_t kXingTagBytes = 4 + 4 + 4 + 4 + kTocEntries;
// The LAME extension behind the seek table: encoder name, the fields up to the delay
// and padding, the rest up to the music length, the music CRC and the tag's own CRC.
constexpr size_t kLameTagBytes = 36;
constexpr size_t kLameDelayAt = 21;   // 12-bit delay, 12-bit padding
constexpr size_t kLameLengthAt = 28;  // music length: the file's bytes
constexpr size_t kLameCrcAt = 34;     // CRC-16 of the frame's bytes in front of it
constexpr uint8_t kLameCbr = 1;       // tag revision 0, bit rate method CBR
constexpr int64_t kMaxLameCount = 0xFFF;

enum { PROP_0, PROP_INPUT_SAMPLES };

const char kCaps[] = "audio/mpeg, mpegversion = (int) 1, layer = (int) 3";

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(kCaps));
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(kCaps));

// The header's four bytes as they appear in the stream.
MpegFrame HeaderFrame(uint32_t header, bool* valid) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(header >> 24), static_cast<uint8_t>(header >> 16),
                            static_cast<uint8_t>(header >> 8), static_cast<uint8_t>(header)};
  MpegFrame frame;
  *valid = ParseMpegFrameHeader(bytes, sizeof bytes, &frame) && frame.layer == 3;
  return frame;
}

void PutBe32(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v >> 24);
  out[1] = static_cast<uint8_t>(v >> 16);
  out[2] = static_cast<uint8_t>(v >> 8);
  out[3] = static_cast<uint8_t>(v);
}

uint32_t Clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// CRC-16 with the reflected polynomial 0xA001, starting at 0: the LAME tag's CRC.
uint16_t Crc16(const uint8_t* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

// Fills the LAME extension at lame (zeros) of a Xing frame whose fields are written;
// false, leaving it zero, when the padding does not fit its 12 bits.
bool PutLameTag(uint8_t* frame, uint8_t* lame, uint32_t firstHeader, uint64_t frames, uint32_t samplesPerFrame,
                int64_t inputSamples, uint64_t fileBytes) {
  const int64_t padding = static_cast<int64_t>(frames * samplesPerFrame) - kLameEncoderDelay - inputSamples;
  if (padding < 0 || padding > kMaxLameCount) return false;
  std::copy_n("LAME3.100", 9, lame);
  lame[9] = kLameCbr;
  bool valid = false;
  lame[20] = static_cast<uint8_t>(std::min<uint32_t>(255, HeaderFrame(firstHeader, &valid).bitrate / 1000));
  const uint32_t delays = static_cast<uint32_t>(kLameEncoderDelay) << 12 | static_cast<uint32_t>(padding);
  lame[kLameDelayAt] = static_cast<uint8_t>(delays >> 16);
  lame[kLameDelayAt + 1] = static_cast<uint8_t>(delays >> 8);
  lame[kLameDelayAt + 2] = static_cast<uint8_t>(delays);
  PutBe32(lame + kLameLengthAt, Clamp32(fileBytes));
  const size_t crcAt = static_cast<size_t>(lame + kLameCrcAt - frame);
  const uint16_t crc = Crc16(frame, crcAt);
  frame[crcAt] = static_cast<uint8_t>(crc >> 8);
  frame[crcAt + 1] = static_cast<uint8_t>(crc);
  return true;
}

// Streaming-thread state, reset in one place.
struct XingStream {
  uint32_t firstHeader = 0;            // header of the first audio frame; 0 none yet
  std::vector<GstBuffer*> held;        // buffers that came before the first header, owned
  bool segmentSent = false;            // our BYTES segment has gone downstream
  size_t xingBytes = 0;                // size of the Xing frame at the file's start; 0 not sent
  uint64_t streamBytes = 0;            // audio bytes seen
  std::vector<uint64_t> frameOffsets;  // stream offset of each audio frame
  uint32_t head = 0;                   // header bytes gathered so far, big-endian
  int headBytes = 0;                   // how many of them
  uint64_t skip = 0;                   // bytes left of the current frame's body
};

}  // namespace

G_BEGIN_DECLS
#define QL_TYPE_XING_WRITER (ql_xing_writer_get_type())
G_DECLARE_FINAL_TYPE(QlXingWriter, ql_xing_writer, QL, XING_WRITER, GstElement)
G_END_DECLS

struct _QlXingWriter {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;
  XingStream* stream;  // owned
  int64_t inputSamples;  // "input-samples", under the object lock; -1 unknown
};

G_DEFINE_TYPE(QlXingWriter, ql_xing_writer, GST_TYPE_ELEMENT)

bool ParseLayer3Header(uint32_t header, uint32_t* frameBytes, uint32_t* samplesPerFrame) {
  bool valid = false;
  const MpegFrame frame = HeaderFrame(header, &valid);
  if (!valid) return false;
  *samplesPerFrame = frame.SamplesPerFrame();
  *frameBytes = frame.FrameBytesPadded();
  return true;
}

std::vector<uint8_t> MakeXingFrame(uint32_t firstHeader, const std::vector<uint64_t>& frameOffsets,
                                   uint64_t streamBytes, int64_t inputSamples) {
  // No CRC, no padding; the least bit rate whose frame holds the tag and the LAME
  // extension (room for it is kept from the start: the frame is rewritten in place).
  uint32_t header = (firstHeader & ~(0xFu << 12) & ~(1u << 9)) | (1u << 16);
  bool valid = false;
  const size_t tag = 4 + HeaderFrame(header | 1u << 12, &valid).SideInfoBytes();
  if (!valid) return {};
  const size_t needed = tag + kXingTagBytes + kLameTagBytes;
  uint32_t frameBytes = 0, samplesPerFrame = 0;
  for (uint32_t index = 1; index < 15; ++index) {
    header = (header & ~(0xFu << 12)) | index << 12;
    if (ParseLayer3Header(header, &frameBytes, &samplesPerFrame) && frameBytes >= needed) break;
  }
  if (frameBytes < needed) return {};

  std::vector<uint8_t> frame(frameBytes, 0);
  PutBe32(frame.data(), header);
  uint8_t* p = frame.data() + tag;
  std::copy_n("Xing", 4, p);
  if (frameOffsets.empty()) return frame;  // flags 0: nothing counted yet

  const uint64_t fileBytes = frameBytes + streamBytes;
  PutBe32(p + 4, kXingFrames | kXingBytes | kXingToc);
  PutBe32(p + 8, Clamp32(frameOffsets.size()));
  PutBe32(p + 12, Clamp32(fileBytes));
  // Entry i: where i percent of the playing time starts, in 1/256 of the file.
  for (size_t i = 0; i < kTocEntries; ++i) {
    const uint64_t offset = frameBytes + frameOffsets[i * frameOffsets.size() / kTocEntries];
    p[16 + i] = static_cast<uint8_t>(std::min<uint64_t>(255, offset * 256 / fileBytes));
  }
  if (inputSamples >= 0)
    PutLameTag(frame.data(), p + kXingTagBytes, firstHeader, frameOffsets.size(), samplesPerFrame, inputSamples,
               fileBytes);
  return frame;
}

static void ResetStream(QlXingWriter* self) {
  XingStream* st = self->stream;
  for (GstBuffer* buffer : st->held) gst_buffer_unref(buffer);
  *st = XingStream{};
}

// Counts the frames whose bytes pass; a header may straddle buffers. Bytes that do
// not start a frame are skipped one at a time until one does.
static void ScanFrames(XingStream* st, const uint8_t* data, size_t size) {
  size_t i = 0;
  while (i < size) {
    if (st->skip > 0) {
      const size_t step = static_cast<size_t>(std::min<uint64_t>(st->skip, size - i));
      st->skip -= step;
      i += step;
      continue;
    }
    st->head = st->head << 8 | data[i++];
    if (++st->headBytes < 4) continue;
    uint32_t frameBytes = 0, samplesPerFrame = 0;
    if (!ParseLayer3Header(st->head, &frameBytes, &samplesPerFrame)) {
      st->headBytes = 3;  // drop the oldest byte, try again with the next one
      continue;
    }
    st->frameOffsets.push_back(st->streamBytes + i - 4);
    if (st->firstHeader == 0) st->firstHeader = st->head;
    st->skip = frameBytes - 4;
    st->headBytes = 0;
    st->head = 0;
  }
  st->streamBytes += size;
}

// Sends a BYTES segment starting at 0: the first one opens the file, a later one
// makes the sink seek back to rewrite the Xing frame.
static bool PushSegmentToStart(QlXingWriter* self) {
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  self->stream->segmentSent = true;
  return gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment));
}

static GstFlowReturn PushXingFrame(QlXingWriter* self, const std::vector<uint64_t>& frameOffsets,
                                   int64_t inputSamples) {
  XingStream* st = self->stream;
  std::vector<uint8_t> frame = MakeXingFrame(st->firstHeader, frameOffsets, st->streamBytes, inputSamples);
  if (frame.empty()) {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, (nullptr), ("no bit rate holds a Xing tag"));
    return GST_FLOW_ERROR;
  }
  st->xingBytes = frame.size();
  return gst_pad_push(self->srcpad, gst_buffer_new_memdup(frame.data(), frame.size()));
}

static GstFlowReturn ql_xing_writer_chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
  QlXingWriter* self = QL_XING_WRITER(parent);
  XingStream* st = self->stream;
  GstMapInfo map;
  if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    ScanFrames(st, map.data, map.size);
    gst_buffer_unmap(buffer, &map);
  }
  if (st->xingBytes > 0) return gst_pad_push(self->srcpad, buffer);

  // Nothing goes out before the Xing frame, which needs the first frame's header.
  st->held.push_back(buffer);
  if (st->firstHeader == 0) return GST_FLOW_OK;
  if (!st->segmentSent) PushSegmentToStart(self);
  GstFlowReturn ret = PushXingFrame(self, {}, -1);
  std::vector<GstBuffer*> held = std::move(st->held);
  st->held.clear();
  for (GstBuffer* b : held) {
    if (ret == GST_FLOW_OK) ret = gst_pad_push(self->srcpad, b);
    else gst_buffer_unref(b);
  }
  return ret;
}

// The Xing frame again, with the counts and seek table of the whole stream and, when
// the encoder's input is known, its delay and padding.
static void FinishStream(QlXingWriter* self) {
  XingStream* st = self->stream;
  if (st->xingBytes == 0) return;
  if (!PushSegmentToStart(self)) {
    GST_WARNING_OBJECT(self, "the sink cannot seek back: the Xing frame keeps no counts");
    return;
  }
  GST_OBJECT_LOCK(self);
  const int64_t inputSamples = self->inputSamples;
  GST_OBJECT_UNLOCK(self);
  PushXingFrame(self, st->frameOffsets, inputSamples);
}

static gboolean ql_xing_writer_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  QlXingWriter* self = QL_XING_WRITER(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_SEGMENT:
      // The output is a byte stream from offset 0 whatever the input's segment.
      if (!self->stream->segmentSent) PushSegmentToStart(self);
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_EOS:
      FinishStream(self);
      return gst_pad_push_event(self->srcpad, event);
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

static GstStateChangeReturn ql_xing_writer_change_state(GstElement* element, GstStateChange transition) {
  QlXingWriter* self = QL_XING_WRITER(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    ResetStream(self);
    GST_OBJECT_LOCK(self);
    self->inputSamples = -1;
    GST_OBJECT_UNLOCK(self);
  }
  GstStateChangeReturn ret = GST_ELEMENT_CLASS(ql_xing_writer_parent_class)->change_state(element, transition);
  // The pads are inactive now: no streaming thread touches the state.
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) ResetStream(self);
  return ret;
}

static void ql_xing_writer_finalize(GObject* object) {
  QlXingWriter* self = QL_XING_WRITER(object);
  ResetStream(self);
  delete self->stream;
  self->stream = nullptr;
  G_OBJECT_CLASS(ql_xing_writer_parent_class)->finalize(object);
}

static void ql_xing_writer_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  QlXingWriter* self = QL_XING_WRITER(object);
  if (id != PROP_INPUT_SAMPLES) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  GST_OBJECT_LOCK(self);
  self->inputSamples = g_value_get_int64(value);
  GST_OBJECT_UNLOCK(self);
}

static void ql_xing_writer_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  QlXingWriter* self = QL_XING_WRITER(object);
  if (id != PROP_INPUT_SAMPLES) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  GST_OBJECT_LOCK(self);
  g_value_set_int64(value, self->inputSamples);
  GST_OBJECT_UNLOCK(self);
}

static void ql_xing_writer_class_init(QlXingWriterClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  object_class->finalize = ql_xing_writer_finalize;
  object_class->set_property = ql_xing_writer_set_property;
  object_class->get_property = ql_xing_writer_get_property;
  g_object_class_install_property(
      object_class, PROP_INPUT_SAMPLES,
      g_param_spec_int64(kXingInputSamplesProperty, "Input samples",
                         "Sample frames the encoder was given; -1 unknown (no LAME extension)", -1, G_MAXINT64, -1,
                         static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  element_class->change_state = ql_xing_writer_change_state;
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "Xing writer", "Formatter/Metadata",
                                        "Puts a Xing frame in front of a layer-3 MPEG audio stream",
                                        "QuillLomare");
}

static void ql_xing_writer_init(QlXingWriter* self) {
  self->stream = new XingStream();
  self->inputSamples = -1;
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, ql_xing_writer_chain);
  gst_pad_set_event_function(self->sinkpad, ql_xing_writer_sink_event);
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
}

bool RegisterXingWriter() {
  static std::mutex mutex;
  static bool registered = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (registered) return true;
  if (!gst_is_initialized()) return false;
  GST_DEBUG_CATEGORY_INIT(ql_xing_writer_debug, "qlxingwriter", 0, "Xing frame writer");
  registered = gst_element_register(nullptr, kXingWriterElement, GST_RANK_NONE, QL_TYPE_XING_WRITER);
  return registered;
}
