// "WM ASF Writer": encoder, multiplexer and file sink in one bin,
//   sink ! audioconvert ! audioresample ! capsfilter (F32LE interleaved, rate, channels)
//        ! avenc_wmav2 (bitrate) ! avmux_asf ! filesink
// configured by a system profile id, which chooses the rate, channels and bit rate.
#include <gst/gst.h>

#include <algorithm>
#include <iterator>

#include "media/media_internal.h"
#include "media/wma_profiles.h"

#define GST_CAT_DEFAULT ql_media_debug

// The encoder refuses anything below this; lower profiles are written at it.
static constexpr uint32_t kLeastBitRate = 24000;  // bits per second

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
};

// What a new writer uses until it is configured.
static const AsfProfile& kDefaultProfile = kSystemProfiles[std::size(kSystemProfiles) - 1];

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
  GST_DEBUG("ASF writer: %u Hz, %u channels, %u b/s", profile.samplesPerSec, profile.channels,
            bitsPerSec);
}

FilterRef MakeAsfWriter() {
  GstElement* capsfilter = MakeElement("capsfilter");
  GstElement* encoder = MakeElement("avenc_wmav2");
  GstElement* fileSink = MakeElement("filesink");
  GstElement* bin = MakeChainBin({MakeElement("audioconvert"), MakeElement("audioresample"), capsfilter,
                                  encoder, MakeElement("avmux_asf"), fileSink});
  if (!bin) return nullptr;

  FilterRef writer = NewFilterOf(FilterKind::AsfWriter, bin);
  writer->capsfilter = capsfilter;
  writer->encoder = encoder;
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
