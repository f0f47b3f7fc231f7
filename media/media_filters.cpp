// The filters of the media layer beyond the decoding chain, by kind: renderers and the
// CD track reader here; encoders, writers and splitters in files of their own.
#include <gst/gst.h>

#include <charconv>

#include "common/batch.h"
#include "media/media_internal.h"

#define GST_CAT_DEFAULT ql_media_debug

// A program stream's audio starts where the stream's clock did, often half a second
// in, and a player's position counts from its first sample: the stream time of the first
// buffer that reaches the renderer after a run starts. A seek keeps it.
static GstPadProbeReturn OnRendererBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  auto* playedFrom = static_cast<std::atomic<int64_t>*>(data);
  if (playedFrom->load() >= 0) return GST_PAD_PROBE_OK;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  int64_t start = 0;
  g_autoptr(GstEvent) event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
  if (event) {
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    guint64 time = GST_CLOCK_TIME_NONE;
    if (segment->format == GST_FORMAT_TIME && GST_BUFFER_PTS_IS_VALID(buffer))
      time = gst_segment_to_stream_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    if (time == GST_CLOCK_TIME_NONE && segment->format == GST_FORMAT_TIME) time = segment->time;
    if (time != GST_CLOCK_TIME_NONE) start = static_cast<int64_t>(time);
  }
  playedFrom->store(start);
  return GST_PAD_PROBE_OK;
}

static FilterRef MakeAudioRenderer() {
  GstElement* sink = nullptr;
  const char* replacement = g_getenv(kAudioSinkVariable);
  if (replacement && *replacement) {
    sink = MakeElement(replacement);
    // Real time, so that positions move as they would on a speaker.
    if (sink && g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "sync"))
      g_object_set(sink, "sync", TRUE, nullptr);
  } else if (HaveAudioOutput()) {
    // Without an output autoaudiosink fills standard error and plays into nothing.
    sink = MakeElement("autoaudiosink");
  }
  FilterRef filter = NewFilterOf(FilterKind::AudioRenderer, sink);
  if (!filter) return filter;
  filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink")};
  g_autoptr(GstPad) pad = gst_element_get_static_pad(sink, "sink");
  if (pad)
    filter->playedProbe =
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnRendererBuffer, &filter->playedFrom, nullptr);
  return filter;
}

FilterRef CreatePlaybackRenderer() { return MakeAudioRenderer(); }

FilterRef MakeExtendedFilter(FilterKind kind) {
  switch (kind) {
    case FilterKind::AudioRenderer: return MakeAudioRenderer();
    case FilterKind::Mp3Encoder: return MakeMp3Encoder();
    case FilterKind::Mp3Decoder: return MakeMp3Decoder();
    case FilterKind::AsfWriter: return MakeAsfWriter();
    case FilterKind::FlacWriter:
    case FilterKind::OpusWriter:
    case FilterKind::VorbisWriter:
    case FilterKind::AacWriter: return MakeEncoderWriter(kind);
    case FilterKind::Mpeg1Splitter:
    case FilterKind::Mpeg2Splitter:
    case FilterKind::AviSplitter:
      return MakeSplitter(kind);
    default:
      return nullptr;
  }
}

bool ExtendedAccepts(const Pin* in, const MediaType& type) {
  switch (in->filter->kind) {
    case FilterKind::Mp3Encoder: return Mp3EncoderAccepts(in, type);
    case FilterKind::Mp3Decoder: return Mp3DecoderAccepts(in, type);
    case FilterKind::AsfWriter: return AsfWriterAccepts(in, type);
    case FilterKind::FlacWriter:
    case FilterKind::OpusWriter:
    case FilterKind::VorbisWriter:
    case FilterKind::AacWriter: return EncoderWriterAccepts(in, type);
    case FilterKind::Mpeg1Splitter:
    case FilterKind::Mpeg2Splitter:
    case FilterKind::AviSplitter:
      return SplitterAccepts(in, type);
    default:
      return false;
  }
}

bool ApplyOutputType(Pin* out, Pin* in, const MediaType& type) {
  switch (out->filter->kind) {
    case FilterKind::Mp3Encoder: return Mp3EncoderApplyOutputType(out, in, type);
    default: return true;
  }
}

bool ProbeSplitterPins(Filter* splitter, const std::string& path) {
  return ProbeSplitterOutputs(splitter, path);
}

// A CD audio track file names its track: "Track05.cda" is track 5.
bool LoadCdTrack(Filter* filter, const std::string& path) {
  std::string name = GetFileNamePart(path);
  size_t digits = name.find_first_of("0123456789");
  int track = 0;
  if (digits == std::string::npos) return false;
  std::from_chars(name.data() + digits, name.data() + name.size(), track);
  if (track < 1 || track > 99) return false;
  g_object_set(filter->element, "track", track, nullptr);
  filter->path = path;
  return true;
}
