// The batch mode's writers, each encoder, multiplexer and file sink in one bin:
//   FLAC:       sink ! audioconvert ! capsfilter (S8, S16LE or S24LE)        ! flacenc   ! filesink
//   Ogg Opus:   sink ! audioconvert ! audioresample ! capsfilter (48000 Hz)  ! opusenc   ! oggmux ! filesink
//   Ogg Vorbis: sink ! audioconvert ! capsfilter                             ! vorbisenc ! oggmux ! filesink
//   AAC M4A:    sink ! audioconvert ! capsfilter                             ! avenc_aac ! mp4mux ! filesink
// The encoders and multiplexers write the tags that reach them in their file's own form:
// Vorbis comments (the cover as a FLAC picture block, or METADATA_BLOCK_PICTURE in Ogg)
// and MP4 atoms (the cover as covr).
//
// Every writer times its input itself (OnWriterInput), so that decoders' uneven
// timestamps place no sample wrong.
//
// FLAC is fed the decoders' own format (see GraphConnectDirect) and keeps 8, 16 and 24
// bits; wider integers and floats become 24-bit integers, the widest the encoder takes.
// The file's STREAMINFO and seek table are written at the end, when the length is known.
//
// Opus: the resampler's output is filled to the input's length (ResampledTail); the
// encoder then writes the pre-skip and trims the last page to that length.
//
// AAC: the encoder starts every stream with kAacEncoderDelay samples of its own, which
// the multiplexer's edit list does not leave out; the edit list is rewritten as the
// movie header passes (PatchEditList) so that players start at the first real sample
// and stop at the last. The multiplexer writes a date only from a calendar day, as
// "Y-M-D"; it is given the day, and the movie header gets the input's own text back
// ("2019" stays "2019", see RewriteMp4Date).
#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "media/media_internal.h"
#include "media/writers.h"

#define GST_CAT_DEFAULT ql_media_debug

static constexpr int kDefaultFlacLevel = 5;
static constexpr int kDefaultOpusKbps = 128;
static constexpr double kDefaultVorbisQuality = 5;
static constexpr int kDefaultAacKbps = 192;
static constexpr int kOpusRate = 48000;         // Hz: the only rate Opus codes at
static constexpr int kFlacSeekInterval = -10;   // a seek point every 10 s
static constexpr uint32_t kAacEncoderDelay = 1024;  // samples the AAC encoder puts first

struct WriterElement {
  const char* factory;
  const char* package;  // the Debian package that installs it
};

struct WriterEntry {
  const char* friendlyName;
  FilterKind kind;
  std::initializer_list<WriterElement> elements;
};

static constexpr const char* kBase = "gstreamer1.0-plugins-base";
static constexpr const char* kGood = "gstreamer1.0-plugins-good";
static constexpr const char* kCore = "libgstreamer1.0-0";

static const WriterEntry kWriters[] = {
    {kFlacWriterName, FilterKind::FlacWriter,
     {{"audioconvert", kBase}, {"capsfilter", kCore}, {"flacenc", kGood}, {"filesink", kCore}}},
    {kOpusWriterName, FilterKind::OpusWriter,
     {{"audioconvert", kBase}, {"audioresample", kBase}, {"capsfilter", kCore}, {"opusenc", kBase},
      {"oggmux", kBase}, {"filesink", kCore}}},
    {kVorbisWriterName, FilterKind::VorbisWriter,
     {{"audioconvert", kBase}, {"capsfilter", kCore}, {"vorbisenc", kBase}, {"oggmux", kBase}, {"filesink", kCore}}},
    {kAacWriterName, FilterKind::AacWriter,
     {{"audioconvert", kBase}, {"capsfilter", kCore}, {"avenc_aac", "gstreamer1.0-libav"}, {"mp4mux", kGood},
      {"filesink", kCore}}},
};

static const WriterEntry* FindWriter(const std::string& friendlyName) {
  for (const WriterEntry& entry : kWriters)
    if (friendlyName == entry.friendlyName) return &entry;
  return nullptr;
}

std::string MissingWriterPackage(const std::string& friendlyName) {
  const WriterEntry* entry = FindWriter(friendlyName);
  if (!entry) return "";
  for (const WriterElement& element : entry->elements) {
    g_autoptr(GstElementFactory) factory = gst_element_factory_find(element.factory);
    if (!factory) return element.package;
  }
  return "";
}

bool IsEncoderWriterKind(FilterKind kind) {
  return kind == FilterKind::FlacWriter || kind == FilterKind::OpusWriter || kind == FilterKind::VorbisWriter ||
         kind == FilterKind::AacWriter;
}

// ---------------------------------------------------------------------------
// Input timing

// The resampler stops at the time of its last input sample, short of the input's end
// by up to one input sample (5 samples of 8000 Hz audio at 48 kHz). The tail is filled
// with the last sample held, so the output lasts what the input lasts; it is handed to
// the encoder before the end of stream reaches it.
struct ResampledTail {
  const InputClock* input;            // the writer's input, counted
  int rate = 0;
  int bytesPerFrame = 0;
  uint64_t samples = 0;               // resampled since the stream started
  std::vector<uint8_t> lastFrame;     // the last sample of every channel
};

static GstPadProbeReturn OnResampledOutput(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  ResampledTail* tail = static_cast<ResampledTail*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    const size_t size = gst_buffer_get_size(buffer);
    if (tail->bytesPerFrame <= 0 || size < static_cast<size_t>(tail->bytesPerFrame)) return GST_PAD_PROBE_OK;
    tail->samples += size / static_cast<size_t>(tail->bytesPerFrame);
    tail->lastFrame.resize(static_cast<size_t>(tail->bytesPerFrame));
    gst_buffer_extract(buffer, size - tail->lastFrame.size(), tail->lastFrame.data(), tail->lastFrame.size());
    return GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_STREAM_START:
    case GST_EVENT_FLUSH_STOP:
      tail->samples = 0;
      break;
    case GST_EVENT_CAPS:
      ReadAudioCaps(event, &tail->rate, &tail->bytesPerFrame);
      break;
    case GST_EVENT_EOS: {
      if (tail->input->rate <= 0 || tail->rate <= 0 || tail->lastFrame.empty()) break;
      const uint64_t expected = gst_util_uint64_scale_int_round(tail->input->samples, tail->rate, tail->input->rate);
      if (expected <= tail->samples || expected - tail->samples > static_cast<uint64_t>(tail->rate)) break;
      const uint64_t missing = expected - tail->samples;
      GstBuffer* fill = gst_buffer_new_allocate(nullptr, missing * tail->lastFrame.size(), nullptr);
      GstMapInfo map;
      if (gst_buffer_map(fill, &map, GST_MAP_WRITE)) {
        for (uint64_t i = 0; i < missing; ++i)
          std::memcpy(map.data + i * tail->lastFrame.size(), tail->lastFrame.data(), tail->lastFrame.size());
        gst_buffer_unmap(fill, &map);
      }
      GST_BUFFER_PTS(fill) = gst_util_uint64_scale_int(tail->samples, GST_SECOND, tail->rate);
      GST_BUFFER_DURATION(fill) = gst_util_uint64_scale_int(expected, GST_SECOND, tail->rate) - GST_BUFFER_PTS(fill);
      GST_DEBUG("resampled tail: %" G_GUINT64_FORMAT " samples held", missing);
      gst_pad_chain(pad, fill);
      break;
    }
    default:
      break;
  }
  return GST_PAD_PROBE_OK;
}

// ---------------------------------------------------------------------------
// FLAC: the sample format follows the input's

static const char* FlacFormatFor(const GstAudioInfo& info) {
  if (GST_AUDIO_INFO_IS_FLOAT(&info)) return "S24LE";
  const int depth = GST_AUDIO_INFO_DEPTH(&info);
  return depth <= 8 ? "S8" : depth <= 16 ? "S16LE" : "S24LE";
}

static GstPadProbeReturn OnFlacInputCaps(GstPad*, GstPadProbeInfo* info, gpointer capsfilter) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
  GstCaps* caps = nullptr;
  gst_event_parse_caps(event, &caps);
  GstAudioInfo audio;
  if (!gst_audio_info_from_caps(&audio, caps)) return GST_PAD_PROBE_OK;
  g_autoptr(GstCaps) wanted = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, FlacFormatFor(audio),
                                                  "layout", G_TYPE_STRING, "interleaved", nullptr);
  g_object_set(capsfilter, "caps", wanted, nullptr);
  return GST_PAD_PROBE_OK;
}

// The encoder gives its output caps only with its first frame, and a stream that ends
// within its first blocks has its segment sent before that. Plain FLAC caps go out
// first; the encoder's own (with the stream headers) follow them.
static GstPadProbeReturn OnFlacEncoderCaps(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
  GstCaps* caps = nullptr;
  gst_event_parse_caps(event, &caps);
  GstAudioInfo audio;
  g_autoptr(GstElement) encoder = gst_pad_get_parent_element(pad);
  g_autoptr(GstPad) output = encoder ? gst_element_get_static_pad(encoder, "src") : nullptr;
  if (!output || gst_pad_has_current_caps(output) || !gst_audio_info_from_caps(&audio, caps)) return GST_PAD_PROBE_OK;
  GstCaps* flac = gst_caps_new_simple("audio/x-flac", "rate", G_TYPE_INT, GST_AUDIO_INFO_RATE(&audio), "channels",
                                      G_TYPE_INT, GST_AUDIO_INFO_CHANNELS(&audio), "framed", G_TYPE_BOOLEAN, TRUE,
                                      nullptr);
  gst_pad_push_event(output, gst_event_new_caps(flac));
  gst_caps_unref(flac);
  return GST_PAD_PROBE_OK;
}

// ---------------------------------------------------------------------------
// AAC: the encoder delay in the edit list

struct AacTiming {
  int rate = 0;
  int bytesPerFrame = 0;
  uint64_t samples = 0;  // fed to the encoder since the stream started
  std::string date;      // the input's date as it kept it; empty for none
};

static GstPadProbeReturn OnAacInput(GstPad*, GstPadProbeInfo* info, gpointer data) {
  AacTiming* timing = static_cast<AacTiming*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START) timing->samples = 0;
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) ReadAudioCaps(event, &timing->rate, &timing->bytesPerFrame);
    return GST_PAD_PROBE_OK;
  }
  if (timing->bytesPerFrame > 0) {
    const uint64_t size = gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
    timing->samples += size / static_cast<uint64_t>(timing->bytesPerFrame);
  }
  return GST_PAD_PROBE_OK;
}

static uint32_t ReadBe32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

static void WriteBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

static void WriteBe64(uint8_t* p, uint64_t v) {
  WriteBe32(p, static_cast<uint32_t>(v >> 32));
  WriteBe32(p + 4, static_cast<uint32_t>(v));
}

// Rewrites the single edit of a movie header in place: it starts after the encoder's
// delay and lasts the samples fed (the movie and the track both count at the sample
// rate). Any other edit list is left as the multiplexer wrote it.
static void PatchEditList(uint8_t* data, size_t size, uint64_t samples) {
  for (size_t at = 4; at + 24 <= size; ++at) {
    if (std::memcmp(data + at, "elst", 4) != 0) continue;
    uint8_t* box = data + at - 4;
    const uint32_t boxSize = ReadBe32(box);
    const uint8_t version = box[8];
    const size_t entrySize = version == 1 ? 20 : 12;
    if (boxSize != 16 + entrySize || at - 4 + boxSize > size || ReadBe32(box + 12) != 1) return;
    uint8_t* entry = box + 16;
    if (version == 1) {
      WriteBe64(entry, samples);
      WriteBe64(entry + 8, kAacEncoderDelay);
    } else {
      WriteBe32(entry, static_cast<uint32_t>(samples));
      WriteBe32(entry + 4, kAacEncoderDelay);
    }
    GST_DEBUG("AAC edit list: %" G_GUINT64_FORMAT " samples after %u", samples, kAacEncoderDelay);
    return;
  }
}

// Finds the text of the first date atom (\xA9day/data) among the boxes from at to end,
// inside the boxes that hold others, whose text is not already text; boxes gets where
// each box around it starts.
static bool FindMp4DateText(const uint8_t* data, size_t at, size_t end, const std::string& text,
                            std::vector<size_t>* boxes, size_t* textAt, size_t* textEnd) {
  while (at + 8 <= end) {
    const uint32_t boxSize = ReadBe32(data + at);
    if (boxSize < 8 || boxSize > end - at) return false;
    const char* type = reinterpret_cast<const char*>(data + at + 4);
    // meta is a full box (version and flags first); data holds its type and locale first.
    size_t inside = 0;
    for (const char* container : {"trak", "udta", "ilst", "\xA9" "day"})
      if (std::memcmp(type, container, 4) == 0) inside = 8;
    if (std::memcmp(type, "meta", 4) == 0) inside = 12;
    const bool inDate = !boxes->empty() && std::memcmp(data + boxes->back() + 4, "\xA9" "day", 4) == 0;
    if (inDate && std::memcmp(type, "data", 4) == 0 && boxSize >= 16 &&
        std::string(reinterpret_cast<const char*>(data + at + 16), boxSize - 16) != text) {
      boxes->push_back(at);
      *textAt = at + 16;
      *textEnd = at + boxSize;
      return true;
    }
    if (inside && boxSize >= inside) {
      boxes->push_back(at);
      if (FindMp4DateText(data, at + inside, at + boxSize, text, boxes, textAt, textEnd)) return true;
      boxes->pop_back();
    }
    at += boxSize;
  }
  return false;
}

// Replaces the text of the movie header's date atoms (the movie's, the track's) by text,
// resizing every box around them. The movie header follows the samples, so no offset
// into the file moves.
static void RewriteMp4Date(std::vector<uint8_t>* moov, const std::string& text) {
  if (moov->size() < 8 || ReadBe32(moov->data()) != moov->size()) return;
  for (std::vector<size_t> boxes = {0};; boxes = {0}) {
    size_t at = 0, end = 0;
    if (!FindMp4DateText(moov->data(), 8, moov->size(), text, &boxes, &at, &end)) return;
    const int64_t change = static_cast<int64_t>(text.size()) - static_cast<int64_t>(end - at);
    for (size_t box : boxes) WriteBe32(&(*moov)[box], static_cast<uint32_t>(ReadBe32(&(*moov)[box]) + change));
    moov->erase(moov->begin() + static_cast<ptrdiff_t>(at), moov->begin() + static_cast<ptrdiff_t>(end));
    moov->insert(moov->begin() + static_cast<ptrdiff_t>(at), text.begin(), text.end());
  }
}

// Gives the multiplexer the calendar day of the input's date (the first of its year or
// month where it has no day), and keeps the date's own text.
static GstPadProbeReturn OnMp4Tags(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_TAG) return GST_PAD_PROBE_OK;
  GstTagList* tags = nullptr;
  gst_event_parse_tag(event, &tags);
  GstDateTime* when = nullptr;
  if (!gst_tag_list_get_date_time_index(tags, GST_TAG_DATE_TIME, 0, &when)) return GST_PAD_PROBE_OK;
  const int year = gst_date_time_get_year(when);
  const int month = gst_date_time_has_month(when) ? gst_date_time_get_month(when) : 0;
  const int day = gst_date_time_has_day(when) ? gst_date_time_get_day(when) : 0;
  gst_date_time_unref(when);
  if (year < 1 || year > 9999) return GST_PAD_PROBE_OK;
  g_autofree char* text = month == 0 ? g_strdup_printf("%04d", year)
                         : day == 0 ? g_strdup_printf("%04d-%02d", year, month)
                                    : g_strdup_printf("%04d-%02d-%02d", year, month, day);
  static_cast<AacTiming*>(data)->date = text;
  GDate* date = g_date_new_dmy(static_cast<GDateDay>(std::max(day, 1)), static_cast<GDateMonth>(std::max(month, 1)),
                               static_cast<GDateYear>(year));
  GstTagList* dated = gst_tag_list_copy(tags);
  gst_tag_list_add(dated, GST_TAG_MERGE_REPLACE, GST_TAG_DATE, date, nullptr);
  g_date_free(date);
  return ReplaceTagEvent(info, dated);
}

// Rewrites the movie header on its way to the file: its edit list and its date.
static GstPadProbeReturn OnMp4Output(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const AacTiming* timing = static_cast<const AacTiming*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
  std::vector<uint8_t> moov;
  if (map.size >= 8 && std::memcmp(map.data + 4, "moov", 4) == 0) moov.assign(map.data, map.data + map.size);
  gst_buffer_unmap(buffer, &map);
  if (moov.empty()) return GST_PAD_PROBE_OK;
  if (timing->samples > 0 && timing->samples <= G_MAXUINT32) PatchEditList(moov.data(), moov.size(), timing->samples);
  if (!timing->date.empty()) RewriteMp4Date(&moov, timing->date);
  GstBuffer* rewritten = gst_buffer_new_memdup(moov.data(), moov.size());
  gst_buffer_copy_into(rewritten, buffer, GST_BUFFER_COPY_METADATA, 0, -1);
  gst_buffer_unref(buffer);
  GST_PAD_PROBE_INFO_DATA(info) = rewritten;
  return GST_PAD_PROBE_OK;
}

// The movie counts at the sample rate too, so that the edit's length is exact.
static GstPadProbeReturn OnAacEncodedCaps(GstPad*, GstPadProbeInfo* info, gpointer muxer) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
  GstCaps* caps = nullptr;
  gst_event_parse_caps(event, &caps);
  int rate = 0;
  if (gst_structure_get_int(gst_caps_get_structure(caps, 0), "rate", &rate) && rate > 0)
    g_object_set(muxer, "movie-timescale", static_cast<guint>(rate), nullptr);
  return GST_PAD_PROBE_OK;
}

// The timing is the bin's, which outlives the pads of its elements.
static void RecordEncoderDelay(GstElement* bin, GstElement* encoder, GstElement* muxer) {
  AacTiming* timing = new AacTiming;
  g_object_set_data_full(G_OBJECT(bin), "ql-aac-timing", timing,
                         [](gpointer data) { delete static_cast<AacTiming*>(data); });
  g_autoptr(GstPad) input = gst_element_get_static_pad(encoder, "sink");
  gst_pad_add_probe(input,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    OnAacInput, timing, nullptr);
  g_autoptr(GstPad) encoded = gst_element_get_static_pad(encoder, "src");
  gst_pad_add_probe(encoded, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnAacEncodedCaps, muxer, nullptr);
  gst_pad_add_probe(encoded, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnMp4Tags, timing, nullptr);
  g_autoptr(GstPad) output = gst_element_get_static_pad(muxer, "src");
  gst_pad_add_probe(output, GST_PAD_PROBE_TYPE_BUFFER, OnMp4Output, timing, nullptr);
}

// ---------------------------------------------------------------------------
// The writer bins

static GstElement* MakeEncoderFor(FilterKind kind) {
  switch (kind) {
    case FilterKind::FlacWriter: return MakeElement("flacenc");
    case FilterKind::OpusWriter: return MakeElement("opusenc");
    case FilterKind::VorbisWriter: return MakeElement("vorbisenc");
    case FilterKind::AacWriter: return MakeElement("avenc_aac");
    default: return nullptr;
  }
}

FilterRef MakeEncoderWriter(FilterKind kind) {
  GstElement* capsfilter = MakeElement("capsfilter");
  GstElement* encoder = MakeEncoderFor(kind);
  GstElement* fileSink = MakeElement("filesink");
  GstElement* muxer = nullptr;
  GstElement* bin = nullptr;
  switch (kind) {
    case FilterKind::FlacWriter: {
      // Lossless: a change of sample format moves the bits, adding no dither.
      GstElement* convert = MakeElement("audioconvert");
      if (convert) g_object_set(convert, "dithering", 0, "noise-shaping", 0, nullptr);
      bin = MakeChainBin({convert, capsfilter, encoder, fileSink});
      break;
    }
    case FilterKind::OpusWriter:
      muxer = MakeElement("oggmux");
      bin = MakeChainBin({MakeElement("audioconvert"), MakeElement("audioresample"), capsfilter, encoder, muxer,
                          fileSink});
      break;
    case FilterKind::VorbisWriter:
      muxer = MakeElement("oggmux");
      bin = MakeChainBin({MakeElement("audioconvert"), capsfilter, encoder, muxer, fileSink});
      break;
    case FilterKind::AacWriter:
      muxer = MakeElement("mp4mux");
      bin = MakeChainBin({MakeElement("audioconvert"), capsfilter, encoder, muxer, fileSink});
      break;
    default:
      return nullptr;
  }
  if (!bin) return nullptr;

  // The bin owns what its probes share; it outlives the pads of its elements.
  InputClock* clock = new InputClock;
  g_object_set_data_full(G_OBJECT(bin), "ql-input-clock", clock,
                         [](gpointer data) { delete static_cast<InputClock*>(data); });
  g_autoptr(GstPad) input = gst_element_get_static_pad(bin, "sink");
  gst_pad_add_probe(input,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    OnWriterInput, clock, nullptr);
  // The input's tags reach the file; what an encoder adds of its own does not.
  if (muxer) CarryTagsThrough(encoder, "src");
  switch (kind) {
    case FilterKind::FlacWriter: {
      g_object_set(encoder, "seekpoints", kFlacSeekInterval, nullptr);
      gst_pad_add_probe(input, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnFlacInputCaps, capsfilter, nullptr);
      g_autoptr(GstPad) encoderInput = gst_element_get_static_pad(encoder, "sink");
      gst_pad_add_probe(encoderInput, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnFlacEncoderCaps, nullptr, nullptr);
      break;
    }
    case FilterKind::OpusWriter: {
      g_autoptr(GstCaps) caps = gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, kOpusRate, nullptr);
      g_object_set(capsfilter, "caps", caps, nullptr);
      // Variable bit rate, the bit rate the average, as the Opus tools encode files: the
      // element's constrained default spends the full rate on every frame.
      gst_util_set_object_arg(G_OBJECT(encoder), "bitrate-type", "vbr");
      ResampledTail* tail = new ResampledTail;
      tail->input = clock;
      g_object_set_data_full(G_OBJECT(bin), "ql-resampled-tail", tail,
                             [](gpointer data) { delete static_cast<ResampledTail*>(data); });
      g_autoptr(GstPad) resampled = gst_element_get_static_pad(encoder, "sink");
      gst_pad_add_probe(resampled,
                        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                        OnResampledOutput, tail, nullptr);
      break;
    }
    case FilterKind::AacWriter:
      RecordEncoderDelay(bin, encoder, muxer);
      break;
    default:
      break;
  }

  FilterRef writer = NewFilterOf(kind, bin);
  writer->capsfilter = capsfilter;
  writer->encoder = encoder;
  writer->fileSink = fileSink;
  // The file is complete at the end of stream; nothing to preroll into a file.
  g_object_set(fileSink, "async", FALSE, nullptr);
  writer->pins = {NewPinOf(writer.get(), PinDirection::Input, "sink")};
  FilterSetEncoderSetting(writer.get(), kind == FilterKind::FlacWriter     ? kDefaultFlacLevel
                                        : kind == FilterKind::OpusWriter   ? kDefaultOpusKbps
                                        : kind == FilterKind::VorbisWriter ? kDefaultVorbisQuality
                                                                           : kDefaultAacKbps);
  return writer;
}

bool EncoderWriterAccepts(const Pin*, const MediaType& type) {
  return type.major == MajorType::Audio &&
         (!type.hasFormat || type.format.formatTag == kWaveFormatPcm ||
          type.format.formatTag == kWaveFormatIeeeFloat || type.format.formatTag == kWaveFormatExtensible);
}

bool FilterSetEncoderSetting(Filter* writer, double value) {
  if (!writer || !IsEncoderWriterKind(writer->kind)) return false;
  switch (writer->kind) {
    case FilterKind::FlacWriter:
      if (value < 0 || value > 8 || value != static_cast<int>(value)) return false;
      g_object_set(writer->encoder, "quality", static_cast<int>(value), nullptr);
      return true;
    case FilterKind::OpusWriter:
      if (value < 6 || value > 510) return false;
      g_object_set(writer->encoder, "bitrate", static_cast<int>(value * 1000), nullptr);
      return true;
    case FilterKind::VorbisWriter:
      if (value < -1 || value > 10) return false;
      g_object_set(writer->encoder, "quality", static_cast<float>(value / 10), nullptr);
      return true;
    case FilterKind::AacWriter:
      if (value < 8 || value > 512) return false;
      g_object_set(writer->encoder, "bitrate", static_cast<int>(value * 1000), nullptr);
      return true;
    default:
      return false;
  }
}
