// "WM ASF Writer": encoder, multiplexer and file sink in one bin,
//   sink ! audioconvert ! audioresample ! capsfilter (F32LE interleaved, rate, channels)
//        ! audiobuffersplit (whole encoder frames) ! avenc_wmav2 (bitrate) ! avmux_asf
//        ! qlasftags ! filesink
// configured by a system profile id, which chooses the rate, channels and bit rate.
//
// The file's packet times come from the buffers' timestamps, which decoders do not
// always give (a trimmed first buffer has none, VBR streams jitter, program streams
// start late): the bin times its input itself, from the samples it has received.
#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <algorithm>
#include <iterator>

#include "media/asf_tags.h"
#include "media/media_internal.h"
#include "media/wma_profiles.h"

#define GST_CAT_DEFAULT ql_media_debug

// The encoder refuses anything below this; lower profiles are written at it.
static constexpr uint32_t kLeastBitRate = 24000;  // bits per second

// The encoder reads a mono frame in place, where it lies in the buffer it was given,
// with vector instructions that fault on memory not aligned to 16 bytes; a frame that
// starts in the middle of a buffer of odd size is not. It is therefore fed buffers of
// whole frames that start aligned. The encoder's frame is 512, 1024 or 2048 samples
// depending on the rate, so buffers of this many samples hold whole frames at every
// rate; the last buffer of a stream holds what is left.
static constexpr uint32_t kEncoderInputSamples = 2048;
static constexpr gsize kEncoderInputAlign = 63;  // GstAllocationParams mask: 64 bytes

struct AsfProfile {
  const char* guid;
  uint32_t samplesPerSec;
  uint16_t channels;
  uint32_t bitsPerSec;  // the profile's own rate, before kLeastBitRate applies
};

static const AsfProfile kSystemProfiles[] = {
    {kWMProfile_V40_6VoiceAudio, 8000, 1, 6500},
    {kWMProfile_V40_16AMRadio, 16000, 1, 16000},
    {kWMProfile_V40_288FMRadioMono, 22050, 1, 28800},
    {kWMProfile_V40_288FMRadioStereo, 22050, 2, 28800},
    {kWMProfile_V40_56DialUpStereo, 32000, 2, 56000},
    {kWMProfile_V40_64Audio, 44100, 2, 64000},
    {kWMProfile_V40_96Audio, 44100, 2, 96000},
    {kWMProfile_V40_128Audio, 44100, 2, 128000},
    {kWMProfile_V70_6VoiceAudio, 8000, 1, 6500},
    {kWMProfile_V70_288FMRadioMono, 22050, 1, 28800},
    {kWMProfile_V70_288FMRadioStereo, 22050, 2, 28800},
    {kWMProfile_V70_56DialUpStereo, 32000, 2, 56000},
    {kWMProfile_V70_64AudioISDN, 32000, 2, 64000},
    {kWMProfile_V70_64Audio, 44100, 2, 64000},
    {kWMProfile_V70_96Audio, 44100, 2, 96000},
    {kWMProfile_V70_128Audio, 44100, 2, 128000},
    {kProfile_288AMRadio, 16000, 1, 28800},
};

// What a new writer uses until it is configured.
static const AsfProfile& kDefaultProfile = kSystemProfiles[15];  // V70 128 kbps

static const AsfProfile* FindProfile(const std::string& guid) {
  for (const AsfProfile& profile : kSystemProfiles)
    if (g_ascii_strcasecmp(profile.guid, guid.c_str()) == 0) return &profile;
  return nullptr;
}

static void ApplyProfile(Filter* writer, const AsfProfile& profile) {
  GstCaps* caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "F32LE", "layout",
                                      G_TYPE_STRING, "interleaved", "rate", G_TYPE_INT,
                                      static_cast<int>(profile.samplesPerSec), "channels",
                                      G_TYPE_INT, static_cast<int>(profile.channels), nullptr);
  g_object_set(writer->capsfilter, "caps", caps, nullptr);
  gst_caps_unref(caps);
  const uint32_t bitsPerSec = std::max(profile.bitsPerSec, kLeastBitRate);
  g_object_set(writer->encoder, "bitrate", static_cast<int>(bitsPerSec), nullptr);
  g_object_set(writer->splitter, "output-buffer-size", kEncoderInputSamples * profile.channels * 4u, nullptr);
  GST_DEBUG("ASF writer: %u Hz, %u channels, %u b/s", profile.samplesPerSec, profile.channels,
            bitsPerSec);
}

// Moves a buffer whose samples do not start at an aligned address into memory that does.
static GstPadProbeReturn OnEncoderInput(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
  const bool aligned = (reinterpret_cast<uintptr_t>(map.data) & kEncoderInputAlign) == 0;
  GstBuffer* copy = nullptr;
  if (!aligned) {
    GstAllocationParams params;
    gst_allocation_params_init(&params);
    params.align = kEncoderInputAlign;
    copy = gst_buffer_new_allocate(nullptr, map.size, &params);
    if (copy) {
      gst_buffer_fill(copy, 0, map.data, map.size);
      gst_buffer_copy_into(copy, buffer, GST_BUFFER_COPY_METADATA, 0, -1);
    }
  }
  gst_buffer_unmap(buffer, &map);
  if (!copy) return GST_PAD_PROBE_OK;
  gst_buffer_unref(buffer);
  GST_PAD_PROBE_INFO_DATA(info) = copy;
  return GST_PAD_PROBE_OK;
}

// Hands the tags leaving the encoder to the tag writer behind the multiplexer, which
// writes none itself; the first value of each wins.
static GstPadProbeReturn OnEncodedTags(GstPad*, GstPadProbeInfo* info, gpointer tagWriter) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_TAG) return GST_PAD_PROBE_OK;
  GstTagList* tags = nullptr;
  gst_event_parse_tag(event, &tags);
  gst_tag_setter_merge_tags(GST_TAG_SETTER(tagWriter), tags, GST_TAG_MERGE_KEEP);
  return GST_PAD_PROBE_OK;
}

FilterRef MakeAsfWriter() {
  RegisterAsfTags();
  GstElement* capsfilter = MakeElement("capsfilter");
  GstElement* splitter = MakeElement("audiobuffersplit");
  GstElement* encoder = MakeElement("avenc_wmav2");
  GstElement* tagWriter = MakeElement(kAsfTagsElement);
  GstElement* fileSink = MakeElement("filesink");
  GstElement* bin = MakeChainBin({MakeElement("audioconvert"), MakeElement("audioresample"), capsfilter,
                                  splitter, encoder, MakeElement("avmux_asf"), tagWriter, fileSink});
  if (!bin) return nullptr;
  g_autoptr(GstPad) input = gst_element_get_static_pad(bin, "sink");
  gst_pad_add_probe(input,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    OnWriterInput, new InputClock, [](gpointer clock) { delete static_cast<InputClock*>(clock); });

  g_autoptr(GstPad) encoderInput = gst_element_get_static_pad(encoder, "sink");
  gst_pad_add_probe(encoderInput, GST_PAD_PROBE_TYPE_BUFFER, OnEncoderInput, nullptr, nullptr);

  // The input's tags go on; the encoder's own do not.
  CarryTagsThrough(encoder, "src");
  g_autoptr(GstPad) encoded = gst_element_get_static_pad(encoder, "src");
  gst_pad_add_probe(encoded, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnEncodedTags, tagWriter, nullptr);

  FilterRef writer = NewFilterOf(FilterKind::AsfWriter, bin);
  writer->capsfilter = capsfilter;
  writer->encoder = encoder;
  writer->splitter = splitter;
  writer->fileSink = fileSink;
  // The file is complete at the end of stream; nothing to preroll into a file.
  g_object_set(writer->fileSink, "async", FALSE, nullptr);
  writer->pins = {NewPinOf(writer.get(), PinDirection::Input, "sink")};
  ApplyProfile(writer.get(), kDefaultProfile);
  return writer;
}

bool AsfWriterAccepts(const Pin*, const MediaType& type) {
  return type.major == MajorType::Audio &&
         (!type.hasFormat || type.format.formatTag == kWaveFormatPcm ||
          type.format.formatTag == kWaveFormatIeeeFloat);
}

bool FilterConfigureProfile(Filter* filter, const std::string& profileGuid) {
  if (!FilterHasProfileConfig(filter)) return false;
  const AsfProfile* profile = FindProfile(profileGuid);
  if (!profile) return false;
  ApplyProfile(filter, *profile);
  return true;
}

bool FilterHasProfileConfig(const Filter* filter) {
  return filter && filter->kind == FilterKind::AsfWriter;
}
