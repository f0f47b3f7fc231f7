// The "MPEG Layer-3" encoder and the "MPEG Layer-3 Decoder".
//
// Encoder:  audioconvert ! audioresample ! capsfilter (S16LE, MP3 rate and channels)
//             ! lamemp3enc (CBR) ! capsfilter (audio/mpeg, MP3 rate and channels)
//           [ ! qlxingwriter, when it feeds a file writer: a plain MP3 file ]
//           [ ! id3mux, behind that, when the input has tags to carry ]
//           a probe on lamemp3enc's sink counts the sample frames it is given and at
//           the end hands the count to that qlxingwriter ("input-samples")
// Decoder:  mpegaudioparse ! mpg123audiodec ! audioconvert ! capsfilter (S16LE)
//
// lamemp3enc neither resamples nor keeps the rate it is given at low bit rates, so
// the rate is pinned on both sides of it and the resampling is done in front of it:
// the encoder's input takes PCM at any rate (the 16000 and 24000 Hz formats are fed
// 32000 and 48000 Hz PCM).
#include <gst/gst.h>

#include <string>

#include "media/media_internal.h"
#include "media/mp3_formats.h"
#include "media/xing_writer.h"

#define GST_CAT_DEFAULT ql_media_debug

namespace {

// Element names inside the encoder's bin.
constexpr const char* kPcmCapsName = "pcm-caps";
constexpr const char* kMp3CapsName = "mp3-caps";
// Writes the tags in front of a plain file (ID3v2.3, UTF-16). The good plugins'
// taglib writer garbles a comment that is not ASCII.
constexpr const char* kId3WriterElement = "id3mux";

// LAME's default algorithm quality, the one the lame tool and ffmpeg use: encoding
// keeps pace with them without trading quality for speed.
constexpr const char* DEFAULT_ENGINE_QUALITY = "standard";

bool IsMpegAudio(const MediaType& type) {
  return type.hasFormat &&
         (type.format.formatTag == kWaveFormatMpegLayer3 || type.format.formatTag == kWaveFormatMpeg);
}

// An element of the bin, borrowed: the bin keeps it for as long as the filter lives.
GstElement* ChildByName(GstElement* bin, const char* name) {
  GstElement* child = gst_bin_get_by_name(GST_BIN(bin), name);
  if (child) gst_object_unref(child);
  return child;
}

// The PCM that LAME is given in one run, counted on its sink pad (streaming thread).
struct EncoderInput {
  uint64_t frames = 0;      // sample frames since the stream started
  uint64_t frameBytes = 0;  // bytes of one sample frame (S16LE); 0 before the caps
};

bool IsXingWriter(GstElement* element) {
  GstElementFactory* factory = element ? gst_element_get_factory(element) : nullptr;
  return factory && g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)), kXingWriterElement) == 0;
}

// The Xing writer that the encoder's bin feeds, alone or at the head of a short chain
// (the ID3v2 writer behind it), or nullptr (a RIFF file, no link).
GstElement* XingWriterBehind(GstElement* bin) {
  g_autoptr(GstPad) src = gst_element_get_static_pad(bin, "src");
  g_autoptr(GstPad) peer = src ? gst_pad_get_peer(src) : nullptr;
  GstElement* next = peer ? gst_pad_get_parent_element(peer) : nullptr;
  if (IsXingWriter(next)) return next;
  GstElement* writer = nullptr;
  if (next && GST_IS_BIN(next)) {
    GstIterator* children = gst_bin_iterate_elements(GST_BIN(next));
    GValue item = G_VALUE_INIT;
    while (!writer && gst_iterator_next(children, &item) == GST_ITERATOR_OK) {
      auto* child = GST_ELEMENT(g_value_get_object(&item));
      if (IsXingWriter(child)) writer = GST_ELEMENT(gst_object_ref(child));
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(children);
  }
  if (next) gst_object_unref(next);
  return writer;
}

GstPadProbeReturn CountEncoderInput(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  auto* input = static_cast<EncoderInput*>(data);
  if (info->type & (GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST)) {
    const size_t bytes = (info->type & GST_PAD_PROBE_TYPE_BUFFER)
                             ? gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info))
                             : gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
    if (input->frameBytes) input->frames += bytes / input->frameBytes;
    return GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_STREAM_START:
      *input = EncoderInput{};
      break;
    case GST_EVENT_CAPS: {
      GstCaps* caps = nullptr;
      gst_event_parse_caps(event, &caps);
      int channels = 0;
      gst_structure_get_int(gst_caps_get_structure(caps, 0), "channels", &channels);
      input->frameBytes = channels > 0 ? 2 * static_cast<uint64_t>(channels) : 0;
      break;
    }
    case GST_EVENT_EOS: {
      // LAME flushes after this; the writer finishes at the EOS that follows.
      g_autoptr(GstElement) lame = gst_pad_get_parent_element(pad);
      g_autoptr(GstObject) bin = lame ? gst_element_get_parent(lame) : nullptr;
      if (GstElement* writer = bin ? XingWriterBehind(GST_ELEMENT(bin)) : nullptr) {
        g_object_set(writer, kXingInputSamplesProperty, static_cast<gint64>(input->frames), nullptr);
        gst_object_unref(writer);
      }
      break;
    }
    default:
      break;
  }
  return GST_PAD_PROBE_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Encoder

FilterRef MakeMp3Encoder() {
  GstElement* pcmCaps = MakeElement("capsfilter", kPcmCapsName);
  GstElement* lame = MakeElement("lamemp3enc");
  GstElement* mp3Caps = MakeElement("capsfilter", kMp3CapsName);
  GstElement* bin = MakeChainBin({MakeElement("audioconvert"), MakeElement("audioresample"), pcmCaps, lame, mp3Caps});
  if (!bin) return nullptr;

  gst_util_set_object_arg(G_OBJECT(lame), "target", "bitrate");
  gst_util_set_object_arg(G_OBJECT(lame), "encoding-engine-quality", DEFAULT_ENGINE_QUALITY);
  g_object_set(lame, "cbr", TRUE, nullptr);
  g_autoptr(GstPad) lameSink = gst_element_get_static_pad(lame, "sink");
  const auto counted = static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                                    GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM);
  gst_pad_add_probe(lameSink, counted, CountEncoderInput, new EncoderInput(),
                    [](gpointer data) { delete static_cast<EncoderInput*>(data); });
  // The input's tags go on; the encoder's own do not.
  CarryTagsThrough(lame, "src");

  FilterRef filter = NewFilterOf(FilterKind::Mp3Encoder, bin);
  filter->capsfilter = pcmCaps;
  filter->encoder = lame;
  filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink"),
                  NewPinOf(filter.get(), PinDirection::Output, "src")};
  for (const WaveFormat& format : Mp3EncoderFormats()) {
    MediaType type;
    type.major = MajorType::Audio;
    type.hasFormat = true;
    type.format = format;
    filter->pins[1]->offered.push_back(type);
  }
  return filter;
}

// 16-bit integer PCM of one or two channels at any rate; a type without a format is
// the decoded audio of intelligent connect, which the bin converts.
bool Mp3EncoderAccepts(const Pin*, const MediaType& type) {
  if (type.major != MajorType::Audio) return false;
  if (!type.hasFormat) return true;
  const WaveFormat& f = type.format;
  return f.formatTag == kWaveFormatPcm && f.bitsPerSample == 16 && f.channels >= 1 && f.channels <= 2 &&
         f.samplesPerSec > 0;
}

// Pins the PCM in front of LAME and the MP3 behind it to the type's rate and channels
// and sets the constant bit rate; a plain file gets a Xing frame.
bool Mp3EncoderApplyOutputType(Pin* out, Pin* in, const MediaType& type) {
  const WaveFormat& f = type.format;
  const uint32_t kbps = f.avgBytesPerSec / 125;
  if (!type.hasFormat || f.formatTag != kWaveFormatMpegLayer3 || f.avgBytesPerSec % 125 != 0 ||
      f.channels < 1 || f.channels > 2 || !IsLegalMp3CbrFormat(f.samplesPerSec, kbps))
    return false;
  Filter* encoder = out->filter;
  const int rate = static_cast<int>(f.samplesPerSec);
  const int channels = f.channels;

  GstCaps* pcm = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "layout", G_TYPE_STRING,
                                     "interleaved", "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT, channels,
                                     nullptr);
  g_object_set(encoder->capsfilter, "caps", pcm, nullptr);
  gst_caps_unref(pcm);

  g_object_set(encoder->encoder, "bitrate", static_cast<int>(kbps), nullptr);

  GstCaps* mp3 = gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, 1, "layer", G_TYPE_INT, 3, "rate",
                                     G_TYPE_INT, rate, "channels", G_TYPE_INT, channels, nullptr);
  g_object_set(ChildByName(encoder->element, kMp3CapsName), "caps", mp3, nullptr);
  gst_caps_unref(mp3);

  // A plain file starts with a Xing frame, which tells readers its length, and with
  // an ID3v2 tag in front of that when the input has tags to carry.
  out->parser.clear();
  if (in->filter->kind == FilterKind::FileWriter) {
    g_autoptr(GstElementFactory) id3 = gst_element_factory_find(kId3WriterElement);
    out->parser = kXingWriterElement;
    if (id3 && GraphCarriesTags(encoder->graph)) {
      out->parser += std::string(" ! ") + kId3WriterElement;
      CommentsForId3(encoder->element, "src");
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Decoder

FilterRef MakeMp3Decoder() {
  GstElement* pcmCaps = MakeElement("capsfilter");
  GstElement* bin = MakeChainBin({MakeElement("mpegaudioparse"), MakeElement("mpg123audiodec"),
                               MakeElement("audioconvert"), pcmCaps});
  if (!bin) return nullptr;
  GstCaps* s16 = gst_caps_from_string("audio/x-raw, format=(string)S16LE, layout=(string)interleaved");
  g_object_set(pcmCaps, "caps", s16, nullptr);
  gst_caps_unref(s16);

  FilterRef filter = NewFilterOf(FilterKind::Mp3Decoder, bin);
  filter->capsfilter = pcmCaps;
  filter->pins = {NewPinOf(filter.get(), PinDirection::Input, "sink"),
                  NewPinOf(filter.get(), PinDirection::Output, "src")};
  // 16-bit PCM at the stream's own rate and channels (0: known once it plays).
  MediaType pcm;
  pcm.major = MajorType::Audio;
  pcm.hasFormat = true;
  pcm.format = PcmWaveFormat(0, 16, 0);
  filter->pins[1]->offered = {pcm};
  return filter;
}

// MPEG audio, or a byte stream that the parser finds frames in.
bool Mp3DecoderAccepts(const Pin*, const MediaType& type) {
  switch (type.major) {
    case MajorType::None:
    case MajorType::Stream:
      return true;
    case MajorType::Audio:
      return !type.hasFormat || IsMpegAudio(type);
    default:
      return false;
  }
}
