// The decoder chain that intelligent connect inserts:
//   decodebin ! audioconvert ! audioresample ! capsfilter (integer PCM, 1 or 2 channels)
// It decodes the first audio stream in the file's order. Towards WavDest the capsfilter
// lets the decoders' own format through instead (NoteDecodersOwnFormat).
#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

#include "media/media_internal.h"
#include "media/mp3_gapless.h"
#include "media/wavdest.h"

#define GST_CAT_DEFAULT ql_media_debug

static GstCaps* DecodedPcmCaps() {
  return gst_caps_from_string(
      "audio/x-raw, format=(string){ S16LE, U8 }, layout=(string)interleaved, "
      "channels=(int)[ 1, 2 ]");
}

// Keeps video, pictures and subtitles undecoded: only audio is ever wanted.
static int OnDecodebinAutoplugSelect(GstElement*, GstPad*, GstCaps*, GstElementFactory* factory,
                                     gpointer) {
  const char* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
  bool visual = klass && (strstr(klass, "Video") || strstr(klass, "Image") || strstr(klass, "Subtitle"));
  bool demuxer = klass && strstr(klass, "Demux");
  enum { kTry = 0, kExpose = 1 };
  return visual && !demuxer ? kExpose : kTry;
}

// What a decoder chain learns while decodebin plugs itself together; one per chain,
// owned by the decodebin element.
struct DecodeChainState {
  GstElement* convert = nullptr;       // borrowed: the chain's audioconvert
  std::atomic<int> streamsSeen{0};     // demuxer pads so far: the next one's rank - 1
  std::mutex lock;                     // decoded pads arrive on streaming threads
  std::vector<std::pair<int, GstPad*>> decoded;  // raw audio pads (owned) and their stream's rank
  std::atomic<bool> trimmedHere{false};  // the file's gapless window is applied by our own trim
};

// The rank of a demuxer's pad: 1 for the first stream the file shows, and so on.
static GQuark StreamRankQuark() { return g_quark_from_static_string("ql-stream-rank"); }

// The pad feeding an element's src pad from upstream: the peer of the sink pad
// internally linked to it. nullptr at the top.
static GstPad* UpstreamPeer(GstPad* src) {
  GstIterator* links = gst_pad_iterate_internal_links(src);
  if (!links) return nullptr;
  GstPad* upstream = nullptr;
  GValue item = G_VALUE_INIT;
  if (gst_iterator_next(links, &item) == GST_ITERATOR_OK)
    upstream = gst_pad_get_peer(GST_PAD(g_value_get_object(&item)));
  g_value_unset(&item);
  gst_iterator_free(links);
  return upstream;
}

// The rank of the stream a decoded pad comes from; INT_MAX when no demuxer ranked it
// (a file of one stream).
static int StreamRankOf(GstPad* decoded) {
  GstPad* pad = GST_IS_GHOST_PAD(decoded) ? gst_ghost_pad_get_target(GST_GHOST_PAD(decoded))
                                          : GST_PAD(gst_object_ref(decoded));
  int rank = 0;
  for (int hop = 0; pad && rank == 0 && hop < 16; ++hop) {
    rank = GPOINTER_TO_INT(g_object_get_qdata(G_OBJECT(pad), StreamRankQuark()));
    GstPad* next = rank == 0 ? UpstreamPeer(pad) : nullptr;
    gst_object_unref(pad);
    pad = next;
  }
  if (pad) gst_object_unref(pad);
  return rank != 0 ? rank : INT_MAX;
}

// Audio that starts before its segment: a program stream's segment starts at the
// first timestamp of any stream (often the video's), and GStreamer's parsers and
// decoders clip whatever lies before it. The stream is moved to start at the
// segment's start instead, so that every sample is decoded.
struct LeadState {
  GstClockTime segmentStart = GST_CLOCK_TIME_NONE;
  bool audio = false;
  bool measured = false;  // the first timestamp of the segment has been seen
  GstClockTime shift = 0;
};

static GstPadProbeReturn OnLeadProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
  LeadState* lead = static_cast<LeadState*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
      GstCaps* caps = nullptr;
      gst_event_parse_caps(event, &caps);
      lead->audio = g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "audio/");
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
      const GstSegment* segment = nullptr;
      gst_event_parse_segment(event, &segment);
      lead->segmentStart = segment->format == GST_FORMAT_TIME ? segment->start : GST_CLOCK_TIME_NONE;
      lead->measured = false;
      lead->shift = 0;
    }
    return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!lead->audio || !GST_CLOCK_TIME_IS_VALID(lead->segmentStart)) return GST_PAD_PROBE_OK;
  if (!lead->measured) {
    GstClockTime first = GST_BUFFER_PTS(buffer);
    if (GST_BUFFER_DTS_IS_VALID(buffer) && (first == GST_CLOCK_TIME_NONE || GST_BUFFER_DTS(buffer) < first))
      first = GST_BUFFER_DTS(buffer);
    if (!GST_CLOCK_TIME_IS_VALID(first)) return GST_PAD_PROBE_OK;
    lead->measured = true;
    lead->shift = first < lead->segmentStart ? lead->segmentStart - first : 0;
    if (lead->shift) GST_DEBUG("audio starts %" GST_TIME_FORMAT " before its segment", GST_TIME_ARGS(lead->shift));
  }
  if (lead->shift == 0) return GST_PAD_PROBE_OK;
  buffer = gst_buffer_make_writable(buffer);
  if (GST_BUFFER_PTS_IS_VALID(buffer)) GST_BUFFER_PTS(buffer) += lead->shift;
  if (GST_BUFFER_DTS_IS_VALID(buffer)) GST_BUFFER_DTS(buffer) += lead->shift;
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

void KeepLeadingAudio(GstPad* demuxerPad) {
  gst_pad_add_probe(demuxerPad,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    OnLeadProbe, new LeadState, [](gpointer lead) { delete static_cast<LeadState*>(lead); });
}

// Ranks each stream of a demuxer in the order the file shows them, and keeps its
// audio from being clipped at the start.
static void OnDemuxerPadAdded(GstElement*, GstPad* pad, gpointer data) {
  DecodeChainState* state = static_cast<DecodeChainState*>(data);
  const int rank = state->streamsSeen.fetch_add(1) + 1;
  g_object_set_qdata(G_OBJECT(pad), StreamRankQuark(), GINT_TO_POINTER(rank));
  KeepLeadingAudio(pad);
}

// The MPEG audio parser marks the encoder's delay and padding of a LAME-tagged file as
// clipping of the frames that hold them. Where a frame is all delay or all padding (the
// 576-sample frames of MPEG-2 and 2.5 layer III) the 1.22 mpg123 decoder asks for an
// output buffer of no bytes and fails an assertion. Such files are trimmed after decoding
// instead (TrimDecodedOutput), so the parser's marks go.
static GstPadProbeReturn OnParsedFrame(GstPad*, GstPadProbeInfo* info, gpointer data) {
  if (!static_cast<DecodeChainState*>(data)->trimmedHere) return GST_PAD_PROBE_OK;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!gst_buffer_get_audio_clipping_meta(buffer)) return GST_PAD_PROBE_OK;
  buffer = gst_buffer_make_writable(buffer);
  while (GstAudioClippingMeta* meta = gst_buffer_get_audio_clipping_meta(buffer))
    gst_buffer_remove_meta(buffer, &meta->meta);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

static void OnDecodebinElementAdded(GstBin*, GstElement* element, gpointer state) {
  GstElementFactory* factory = gst_element_get_factory(element);
  const char* klass = factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
  if (klass && strstr(klass, "Demux")) g_signal_connect(element, "pad-added", G_CALLBACK(OnDemuxerPadAdded), state);
  if (factory && g_str_equal(GST_OBJECT_NAME(factory), "mpegaudioparse")) {
    g_autoptr(GstPad) src = gst_element_get_static_pad(element, "src");
    if (src) gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER, OnParsedFrame, state, nullptr);
  }
}

// Decoded audio pads are gathered until decodebin has announced them all.
static void OnDecodebinPadAdded(GstElement*, GstPad* pad, gpointer data) {
  DecodeChainState* state = static_cast<DecodeChainState*>(data);
  g_autoptr(GstCaps) caps = gst_pad_get_current_caps(pad);
  if (!caps) caps = gst_pad_query_caps(pad, nullptr);
  if (!caps || gst_caps_is_empty(caps)) return;
  const char* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  if (!g_str_has_prefix(name, "audio/x-raw")) return;
  const int rank = StreamRankOf(pad);
  std::lock_guard guard(state->lock);
  state->decoded.emplace_back(rank, GST_PAD(gst_object_ref(pad)));
}

// Links the audio of the stream that comes first in the file (the one extraction
// takes too); the other pads stay unlinked. No audio at all fails the connect.
static void OnDecodebinNoMorePads(GstElement* decodebin, gpointer data) {
  DecodeChainState* state = static_cast<DecodeChainState*>(data);
  std::vector<std::pair<int, GstPad*>> decoded;
  {
    std::lock_guard guard(state->lock);
    decoded.swap(state->decoded);
  }
  std::stable_sort(decoded.begin(), decoded.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  g_autoptr(GstPad) sink = gst_element_get_static_pad(state->convert, "sink");
  for (auto& [rank, pad] : decoded) {
    if (!gst_pad_is_linked(sink) && gst_pad_link(pad, sink) != GST_PAD_LINK_OK)
      GST_WARNING("cannot link decoded audio pad of stream %d", rank);
    gst_object_unref(pad);
  }
  if (gst_pad_is_linked(sink)) return;
  gst_element_post_message(decodebin, gst_message_new_application(
                                          GST_OBJECT(decodebin), gst_structure_new_empty(kNoAudioMessage)));
}

static constexpr const char* kChainDecoderName = "decoder";  // the chain's decodebin

// Trims a decoded MP3 to the samples its encoder declared (its LAME tag), as other
// decoders do: the encoder's delay and padding are not part of the audio.
struct TrimState {
  Mp3Gapless window;
  int64_t seen = 0;      // samples passed through the pad since the stream started
  int bytesPerFrame = 0;
  int rate = 0;
};

static GstPadProbeReturn OnTrimProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
  TrimState* trim = static_cast<TrimState*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START) {
      trim->seen = 0;
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
      trim->window = Mp3Gapless{};  // after a seek the position is no longer counted
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
      ReadAudioCaps(event, &trim->rate, &trim->bytesPerFrame);
    }
    return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (trim->bytesPerFrame == 0) return GST_PAD_PROBE_OK;
  const int64_t first = trim->seen;
  const int64_t last = first + static_cast<int64_t>(gst_buffer_get_size(buffer)) / trim->bytesPerFrame;
  trim->seen = last;
  const int64_t from = std::max(first, trim->window.skipSamples);
  const int64_t to = trim->window.keepSamples < 0
                         ? last
                         : std::min(last, trim->window.skipSamples + trim->window.keepSamples);
  if (to <= from) return GST_PAD_PROBE_DROP;
  if (from == first && to == last) return GST_PAD_PROBE_OK;
  GstBuffer* part = gst_buffer_copy_region(buffer, GST_BUFFER_COPY_ALL, (from - first) * trim->bytesPerFrame,
                                           (to - from) * trim->bytesPerFrame);
  // A part that starts inside the buffer comes without a timestamp: it is given its own,
  // or a resampler behind it stamps nothing and a player cannot pace it.
  if (GST_BUFFER_PTS_IS_VALID(buffer) && trim->rate > 0) {
    GST_BUFFER_PTS(part) = GST_BUFFER_PTS(buffer) + gst_util_uint64_scale_int(from - first, GST_SECOND, trim->rate);
    GST_BUFFER_DURATION(part) = gst_util_uint64_scale_int(to - from, GST_SECOND, trim->rate);
  }
  gst_buffer_unref(buffer);
  GST_PAD_PROBE_INFO_DATA(info) = part;
  return GST_PAD_PROBE_OK;
}

void TrimDecodedOutput(Filter* chain, const Mp3Gapless& window) {
  g_autoptr(GstElement) decodebin = gst_bin_get_by_name(GST_BIN(chain->element), kChainDecoderName);
  if (auto* state = static_cast<DecodeChainState*>(g_object_get_data(G_OBJECT(decodebin), "ql-decode-chain")))
    state->trimmedHere = true;
  g_autoptr(GstPad) src = gst_element_get_static_pad(chain->capsfilter, "src");
  auto* trim = new TrimState{window};
  gst_pad_add_probe(src,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    OnTrimProbe, trim, [](gpointer data) { delete static_cast<TrimState*>(data); });
}

FilterRef MakeDecoderChain() {
  GstElement* decodebin = MakeElement("decodebin", kChainDecoderName);
  GstElement* convert = MakeElement("audioconvert");
  GstElement* resample = MakeElement("audioresample");
  GstElement* capsfilter = MakeElement("capsfilter");
  if (!decodebin || !convert || !resample || !capsfilter) {
    for (GstElement* e : {decodebin, convert, resample, capsfilter})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    return nullptr;
  }
  GstElement* bin = gst_bin_new(nullptr);
  gst_bin_add_many(GST_BIN(bin), decodebin, convert, resample, capsfilter, nullptr);
  gst_element_link_many(convert, resample, capsfilter, nullptr);
  SetCaps(capsfilter, DecodedPcmCaps());
  auto* state = new DecodeChainState;
  state->convert = convert;
  g_object_set_data_full(G_OBJECT(decodebin), "ql-decode-chain", state, [](gpointer data) {
    auto* chain = static_cast<DecodeChainState*>(data);
    for (auto& entry : chain->decoded) gst_object_unref(entry.second);
    delete chain;
  });
  g_signal_connect(decodebin, "autoplug-select", G_CALLBACK(OnDecodebinAutoplugSelect), nullptr);
  g_signal_connect(decodebin, "element-added", G_CALLBACK(OnDecodebinElementAdded), state);
  g_signal_connect(decodebin, "pad-added", G_CALLBACK(OnDecodebinPadAdded), state);
  g_signal_connect(decodebin, "no-more-pads", G_CALLBACK(OnDecodebinNoMorePads), state);
  g_autoptr(GstPad) sink = gst_element_get_static_pad(decodebin, "sink");
  g_autoptr(GstPad) src = gst_element_get_static_pad(capsfilter, "src");
  gst_element_add_pad(bin, gst_ghost_pad_new("sink", sink));
  gst_element_add_pad(bin, gst_ghost_pad_new("src", src));

  FilterRef filter = NewFilterOf(FilterKind::DecoderChain, bin);
  filter->capsfilter = capsfilter;
  filter->converter = convert;
  filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink"),
                  NewPinOf(filter.get(), PinDirection::Output, "src")};
  return filter;
}

// Whether a decoder (not the file itself) made the audio reaching the chain's
// audioconvert: its input is then a compressed format.
static bool FedByDecoder(GstPad* convertSink) {
  g_autoptr(GstPad) peer = gst_pad_get_peer(convertSink);
  if (!peer || !GST_IS_GHOST_PAD(peer)) return false;
  g_autoptr(GstPad) target = gst_ghost_pad_get_target(GST_GHOST_PAD(peer));
  g_autoptr(GstElement) element = target ? gst_pad_get_parent_element(target) : nullptr;
  GstElementFactory* factory = element ? gst_element_get_factory(element) : nullptr;
  const char* klass = factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
  return klass && strstr(klass, "Decoder");
}

// Notes, while the chain is prerolled, the format WavDest writes when the decoded
// format is kept: integer samples keep their width (8, 16, 24 or 32 bits), floats
// stored in the file stay 32-bit float, floats a decoder computes from a compressed
// format become 16-bit integers, and every channel stays.
void NoteDecodersOwnFormat(Filter* chain) {
  g_autoptr(GstPad) sink = gst_element_get_static_pad(chain->converter, "sink");
  g_autoptr(GstCaps) caps = gst_pad_get_current_caps(sink);
  GstAudioInfo info;
  if (!caps || !gst_audio_info_from_caps(&info, caps)) return;
  const bool isFloat = GST_AUDIO_INFO_IS_FLOAT(&info) && !FedByDecoder(sink);
  const int depth = GST_AUDIO_INFO_DEPTH(&info);
  const uint16_t bits = isFloat ? 32 : GST_AUDIO_INFO_IS_FLOAT(&info) ? 16 : depth <= 8 ? 8 : depth <= 16 ? 16 : depth <= 24 ? 24 : 32;
  const char* format = isFloat ? "F32LE" : bits == 8 ? "U8" : bits == 16 ? "S16LE" : bits == 24 ? "S24LE" : "S32LE";
  guint64 gstMask = 0;
  const bool positioned =
      gst_structure_get(gst_caps_get_structure(caps, 0), "channel-mask", GST_TYPE_BITMASK, &gstMask, nullptr);

  GstCaps* pinned = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, format, "layout", G_TYPE_STRING,
                                        "interleaved", "rate", G_TYPE_INT, GST_AUDIO_INFO_RATE(&info), "channels",
                                        G_TYPE_INT, GST_AUDIO_INFO_CHANNELS(&info), nullptr);
  if (positioned) gst_caps_set_simple(pinned, "channel-mask", GST_TYPE_BITMASK, gstMask, nullptr);
  gst_caps_replace(&chain->decodersCaps, pinned);
  gst_caps_unref(pinned);
  const auto channels = static_cast<uint16_t>(GST_AUDIO_INFO_CHANNELS(&info));
  chain->decodersType.major = MajorType::Audio;
  chain->decodersType.hasFormat = true;
  chain->decodersType.format = RawWaveFormat(isFloat, bits, static_cast<uint32_t>(GST_AUDIO_INFO_RATE(&info)),
                                             channels, WaveChannelMask(gstMask, channels));
}
