// The MPEG-1, MPEG-2 and AVI splitters.
//
//   filesrc ! mpegpsdemux ! (audio_80 ! ac3parse | audio_88 ! dcaparse | audio_c0
//                            | audio_a0 ! dvdlpcmdec ! audioconvert | video_e0 ...)
//   filesrc ! avidemux ! (audio_0 | video_0 ...)
//
// A splitter has one input pin, "sink". Its output pads appear only while it runs, so
// its output pins are learnt from the file beforehand: a throwaway pipeline runs the
// same demuxer over the file until it has announced all its pads, and each pad
// becomes a pin of the same name and order, offering the pad's media type. When the
// real graph runs, each pad that has a connected pin is linked as it appears.
//
// mpegpsdemux announces its pads once it has read about two seconds of the stream (a
// stream first seen later gets no pad at all), and at the end of a shorter file. Its
// DVD AC3 and DTS pads carry the private-stream headers; ac3parse and dcaparse behind
// them give the bare frames. DVD LPCM has no elementary-stream form: its pad is
// decoded, for a wave file of the same samples. avidemux announces its pads after the file header; their caps lack the
// format tag, the byte rate and the block align, so an audio pin offers the stream's
// own "strf" record instead, read from the file.
#include <mutex>
#include <string_view>
#include <utility>

#include <gst/gst.h>

#include "media/avi_header.h"
#include "media/media_internal.h"

#define GST_CAT_DEFAULT ql_media_debug

namespace {

// Generous: the first probe of a process also loads the plugins.
constexpr GstClockTime kPadsProbeTimeout = 20 * GST_SECOND;

// Our own bus message: the probed demuxer has announced all its pads.
constexpr const char* kPadsAnnouncedMessage = "ql-splitter-pads-announced";


constexpr const char* kAc3Parser = "ac3parse";
constexpr const char* kDtsParser = "dcaparse";
constexpr const char* kLpcmDecoder = "dvdlpcmdec ! audioconvert";

const char* DemuxerOf(FilterKind kind) {
  return kind == FilterKind::AviSplitter ? "avidemux" : "mpegpsdemux";
}

// Links a pad that has just appeared to the peer of its pin; pads nobody asked for
// stay unlinked.
void OnSplitterPadAdded(GstElement*, GstPad* pad, gpointer data) {
  Filter* splitter = static_cast<Filter*>(data);
  g_autofree char* name = gst_pad_get_name(pad);
  for (const PinRef& pin : splitter->pins) {
    if (pin->direction != PinDirection::Output || pin->padName != name) continue;
    if (pin->peer.expired()) return;
    KeepLeadingAudio(pad);
    if (!LinkPinPad(pin.get(), pad)) GST_WARNING("cannot link splitter pad %s", name);
    return;
  }
}

// ---------------------------------------------------------------------------
// Probing the demuxer's pads

struct ProbedPad {
  std::string name;
  GstCaps* caps = nullptr;  // owned; nullptr when the pad had none
};

struct PadsProbe {
  GstElement* pipeline = nullptr;  // borrowed
  std::mutex lock;                 // the streaming thread adds, the caller reads
  std::vector<ProbedPad> pads;     // in the order the demuxer added them

  ~PadsProbe() {
    for (ProbedPad& pad : pads)
      if (pad.caps) gst_caps_unref(pad.caps);
  }
};

// Records the pad and gives it a sink, so that the demuxer streams on to its next
// streams.
void OnProbePadAdded(GstElement*, GstPad* pad, gpointer data) {
  PadsProbe* probe = static_cast<PadsProbe*>(data);
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) caps = gst_pad_query_caps(pad, nullptr);
  {
    std::lock_guard guard(probe->lock);
    g_autofree char* name = gst_pad_get_name(pad);
    probe->pads.push_back({name, caps});
  }
  GstElement* sink = gst_element_factory_make("fakesink", nullptr);
  if (!sink) return;
  g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
  gst_bin_add(GST_BIN(probe->pipeline), sink);
  gst_element_sync_state_with_parent(sink);
  g_autoptr(GstPad) sinkPad = gst_element_get_static_pad(sink, "sink");
  gst_pad_link(pad, sinkPad);
}

void OnProbeNoMorePads(GstElement* demuxer, gpointer) {
  gst_element_post_message(demuxer,
                           gst_message_new_application(GST_OBJECT(demuxer),
                                                       gst_structure_new_empty(kPadsAnnouncedMessage)));
}

// Runs filesrc ! demuxer over the file until the demuxer has announced its pads (or
// the file ended, or it failed). False when it announced none: not a file it reads.
bool ProbePads(FilterKind kind, const std::string& path, PadsProbe* probe) {
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
  GstElement* source = gst_element_factory_make("filesrc", nullptr);
  GstElement* demuxer = gst_element_factory_make(DemuxerOf(kind), nullptr);
  if (!source || !demuxer) {
    for (GstElement* e : {source, demuxer})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    return false;
  }
  g_object_set(source, "location", path.c_str(), nullptr);
  gst_bin_add_many(GST_BIN(pipeline), source, demuxer, nullptr);
  if (!gst_element_link(source, demuxer)) return false;
  probe->pipeline = pipeline;
  g_signal_connect(demuxer, "pad-added", G_CALLBACK(OnProbePadAdded), probe);
  g_signal_connect(demuxer, "no-more-pads", G_CALLBACK(OnProbeNoMorePads), nullptr);

  const gint64 start = g_get_monotonic_time();
  const char* ending = "timeout";
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
    g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
    for (;;) {
      g_autoptr(GstMessage) message = PopBusMessage(
          bus, kPadsProbeTimeout,
          static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS | GST_MESSAGE_APPLICATION));
      if (!message) break;
      if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_APPLICATION &&
          !gst_message_has_name(message, kPadsAnnouncedMessage))
        continue;
      ending = GST_MESSAGE_TYPE_NAME(message);
      if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        g_autoptr(GError) error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        GST_INFO("%s cannot read %s: %s", DemuxerOf(kind), path.c_str(), error->message);
      }
      break;
    }
  } else {
    ending = "failure to start";
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  GST_DEBUG("%s probe of %s: %zu pads, ended by %s after %" G_GINT64_FORMAT " us", DemuxerOf(kind),
            path.c_str(), probe->pads.size(), ending, g_get_monotonic_time() - start);
  std::lock_guard guard(probe->lock);
  return !probe->pads.empty();
}

// ---------------------------------------------------------------------------
// Media types of the pins

// What goes behind an MPEG audio pad to give the elementary stream as a stream copy
// has it: the bare frames of DVD AC3 and DTS (their private-stream header
// removed); DVD LPCM, which has no such form, decoded to PCM for a wave file.
// Empty for pads whose bytes are the stream already (MPEG audio).
const char* MpegPadParser(const GstCaps* caps) {
  if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) return "";
  const char* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  if (g_str_equal(name, "audio/x-private1-ac3") || g_str_equal(name, "audio/ac3") ||
      g_str_equal(name, "audio/x-ac3"))
    return kAc3Parser;
  if (g_str_equal(name, "audio/x-private1-dts")) return kDtsParser;
  if (g_str_equal(name, "audio/x-private1-lpcm")) return kLpcmDecoder;
  return "";
}

// The type of an MPEG pad: audio keeps the format tag its caps imply. DVD LPCM is
// PCM whose rate, size and channels only its decoder learns (all 0 here).
MediaType MpegPadType(const GstCaps* caps) {
  MediaType type = MediaTypeFromCaps(caps);
  if (type.major == MajorType::Audio && type.format.formatTag == kWaveFormatDolbyAc3)
    type.hasFormat = true;
  if (type.major == MajorType::Audio && MpegPadParser(caps) == std::string_view(kLpcmDecoder)) {
    type.hasFormat = true;
    type.format = PcmWaveFormat(0, 0, 0);
  }
  return type;
}

// The number in avidemux's "audio_N": the N-th usable audio stream of the header.
bool AviAudioNumber(const std::string& padName, size_t* number) {
  static constexpr std::string_view kPrefix = "audio_";
  if (!padName.starts_with(kPrefix) || padName.size() == kPrefix.size()) return false;
  size_t value = 0;
  for (char c : padName.substr(kPrefix.size())) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  *number = value;
  return true;
}

// The type of an AVI pad. An audio pad offers its stream's "strf" record when the
// header's stream agrees with what the demuxer says of it; otherwise what the caps say.
MediaType AviPadType(const std::string& padName, const GstCaps* caps,
                     const std::vector<AviStream>& streams) {
  MediaType type = MediaTypeFromCaps(caps);
  size_t number = 0;
  if (type.major != MajorType::Audio || !AviAudioNumber(padName, &number)) return type;
  for (const AviStream& stream : streams) {
    if (stream.kind != AviStreamKind::Audio || !stream.usable) continue;
    if (number-- > 0) continue;
    const WaveFormat& said = type.format;
    const bool agrees = (said.channels == 0 || said.channels == stream.format.channels) &&
                        (said.samplesPerSec == 0 || said.samplesPerSec == stream.format.samplesPerSec);
    if (agrees) {
      type.hasFormat = true;
      type.format = stream.format;
    } else {
      GST_WARNING("%s: header says %u ch %u Hz, demuxer %u ch %u Hz", padName.c_str(),
                  stream.format.channels, stream.format.samplesPerSec, said.channels, said.samplesPerSec);
    }
    break;
  }
  return type;
}

}  // namespace

FilterRef MakeSplitter(FilterKind kind) {
  FilterRef filter = NewFilterOf(kind, gst_element_factory_make(DemuxerOf(kind), nullptr));
  if (!filter) return nullptr;
  filter->dynamicPads = true;
  filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink")};
  // The element never outlives its filter: the filter holds the last reference.
  g_signal_connect(filter->element, "pad-added", G_CALLBACK(OnSplitterPadAdded), filter.get());
  return filter;
}

// A splitter reads the bytes of a file: whether they are its container is found out
// by ProbeSplitterOutputs.
bool SplitterAccepts(const Pin*, const MediaType& type) {
  return type.major == MajorType::None || type.major == MajorType::Stream;
}

bool ProbeSplitterOutputs(Filter* splitter, const std::string& path) {
  if (!splitter || path.empty()) return false;
  std::erase_if(splitter->pins, [](const PinRef& pin) { return pin->direction == PinDirection::Output; });

  if (splitter->kind == FilterKind::AviSplitter && !AviStreamsUsable(path)) return false;
  PadsProbe probe;
  if (!ProbePads(splitter->kind, path, &probe)) return false;

  std::vector<AviStream> streams;
  if (splitter->kind == FilterKind::AviSplitter && !ReadAviStreamList(path, &streams))
    GST_WARNING("no stream list in the header of %s", path.c_str());

  for (const ProbedPad& pad : probe.pads) {
    PinRef pin = NewPinOf(splitter, PinDirection::Output, pad.name);
    if (splitter->kind == FilterKind::AviSplitter) {
      pin->offered = {AviPadType(pad.name, pad.caps, streams)};
    } else {
      pin->offered = {MpegPadType(pad.caps)};
      pin->parser = MpegPadParser(pad.caps);
    }
    splitter->pins.push_back(std::move(pin));
  }
  return true;
}
