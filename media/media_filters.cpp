// The filters of the media layer by kind: the filter behind each class id, made here
// (sources, renderers, the ACM wrapper, WavDest, file writers, the CD track reader) or
// by the files of the encoders, writers and splitters, to which this file dispatches.
#include <gst/gst.h>

#include <charconv>

#include "common/batch.h"
#include "media/media_internal.h"
#include "media/wavdest.h"

#define GST_CAT_DEFAULT ql_media_debug

// Bytes a file source reads at a time.
static constexpr guint kSourceBlockSize = 64 * 1024;

static const uint32_t kAcmRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};

static MediaType PcmMediaType(uint32_t rate, uint16_t bits, uint16_t channels) {
  MediaType type;
  type.major = MajorType::Audio;
  type.hasFormat = true;
  type.format = PcmWaveFormat(rate, bits, channels);
  return type;
}

FilterRef MakeFilterOfKind(FilterKind kind) {
  FilterRef filter;
  switch (kind) {
    case FilterKind::FileSource:
    case FilterKind::AsfReader:
      filter = NewFilterOf(kind, MakeElement("filesrc"));
      if (!filter) break;
      // Larger reads mean fewer, larger buffers through every element downstream.
      g_object_set(filter->element, "blocksize", kSourceBlockSize, nullptr);
      filter->pins = {NewPinOf(filter.get(), PinDirection::Output, "src")};
      break;
    case FilterKind::CdTrackReader:
      filter = NewFilterOf(kind, MakeElement("cdparanoiasrc"));
      if (filter) filter->pins = {NewPinOf(filter.get(), PinDirection::Output, "src")};
      break;
    case FilterKind::ProbeRenderer: {
      GstElement* sink = MakeElement("fakesink");
      // The last sample tells whether any audio arrived while prerolling.
      if (sink) g_object_set(sink, "sync", FALSE, "enable-last-sample", TRUE, nullptr);
      filter = NewFilterOf(kind, sink);
      if (filter) filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink")};
      break;
    }
    case FilterKind::AcmWrapper: {
      GstElement* capsfilter = MakeElement("capsfilter");
      filter = NewFilterOf(kind, MakeChainBin({MakeElement("audioconvert"), MakeElement("audioresample"), capsfilter}));
      if (!filter) return nullptr;
      filter->capsfilter = capsfilter;
      filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink"),
                      NewPinOf(filter.get(), PinDirection::Output, "src")};
      for (uint32_t rate : kAcmRates)
        for (uint16_t bits : {8, 16})
          for (uint16_t channels : {1, 2})
            filter->pins[1]->offered.push_back(PcmMediaType(rate, static_cast<uint16_t>(bits), channels));
      break;
    }
    case FilterKind::WavDest:
      filter = NewFilterOf(kind, MakeElement(kWavDestElement));
      if (filter) {
        filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink"),
                        NewPinOf(filter.get(), PinDirection::Output, "src")};
        MediaType stream;
        stream.major = MajorType::Stream;
        filter->pins[1]->offered = {stream};
      }
      break;
    case FilterKind::FileWriter:
    case FilterKind::Dump:
      filter = NewFilterOf(kind, MakeElement("filesink"));
      if (filter) {
        g_object_set(filter->element, "async", FALSE, nullptr);
        filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink")};
      }
      break;
    default:
      filter = MakeExtendedFilter(kind);
      break;
  }
  return filter;
}

struct ClassEntry {
  const char* clsid;
  FilterKind kind;
};

static const ClassEntry kClassTable[] = {
    {kClsidDSoundRender, FilterKind::ProbeRenderer},
    {kClsidACMWrapper, FilterKind::AcmWrapper},
    {kClsidFileWriter, FilterKind::FileWriter},
    {kClsidMPEG1Splitter, FilterKind::Mpeg1Splitter},
    {kClsidMMSPLITTER, FilterKind::Mpeg2Splitter},
    {kClsidAviSplitter, FilterKind::AviSplitter},
    {kClsidWMAsfReader, FilterKind::AsfReader},
    {kClsidCdTrackReader, FilterKind::CdTrackReader},
    {kClsidWavDest, FilterKind::WavDest},
    {kClsidDump, FilterKind::Dump},
};

FilterRef CreateFilter(const std::string& clsid) {
  for (const ClassEntry& entry : kClassTable)
    if (g_ascii_strcasecmp(entry.clsid, clsid.c_str()) == 0) return MakeFilterOfKind(entry.kind);
  return nullptr;
}

bool FilterHasFileSource(const Filter* filter) {
  return filter && (IsSourceKind(filter->kind));
}

bool FilterHasFileSink(const Filter* filter) {
  return filter && (filter->kind == FilterKind::FileWriter || filter->kind == FilterKind::Dump ||
                    filter->kind == FilterKind::AsfWriter || IsEncoderWriterKind(filter->kind));
}

bool FilterSetFileName(Filter* filter, const std::string& path) {
  if (!FilterHasFileSink(filter)) return false;
  GstElement* sink = filter->fileSink ? filter->fileSink : filter->element;
  g_object_set(sink, "location", path.c_str(), nullptr);
  filter->path = path;
  return true;
}

// ---------------------------------------------------------------------------
// Renderers and the filters beyond

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
