// The system device enumerator: categories of friendly names, each name listed only
// when the GStreamer elements behind it are installed.
#include <gst/gst.h>

#include <initializer_list>

#include "media/media_internal.h"
#include "media/writers.h"

static bool FactoriesInstalled(std::initializer_list<const char*> factories) {
  for (const char* name : factories) {
    g_autoptr(GstElementFactory) factory = gst_element_factory_find(name);
    if (!factory) return false;
  }
  return true;
}

struct DeviceEntry {
  const char* category;
  const char* friendlyName;
  FilterKind kind;
  std::initializer_list<const char*> factories;
};

static const DeviceEntry kDeviceTable[] = {
    {kCategoryAudioCompressor, "MPEG Layer-3", FilterKind::Mp3Encoder,
     {"lamemp3enc", "audioresample", "audioconvert", "capsfilter"}},
    {kCategoryLegacyAmFilter, "MPEG Layer-3 Decoder", FilterKind::Mp3Decoder,
     {"mpg123audiodec", "mpegaudioparse"}},
    {kCategoryLegacyAmFilter, "WM ASF Writer", FilterKind::AsfWriter,
     {"avenc_wmav2", "avmux_asf", "filesink", "audioconvert", "audioresample", "audiobuffersplit"}},
    {kCategoryLegacyAmFilter, kFlacWriterName, FilterKind::FlacWriter, {"flacenc", "filesink", "audioconvert"}},
    {kCategoryLegacyAmFilter, kOpusWriterName, FilterKind::OpusWriter,
     {"opusenc", "oggmux", "filesink", "audioconvert", "audioresample"}},
    {kCategoryLegacyAmFilter, kVorbisWriterName, FilterKind::VorbisWriter,
     {"vorbisenc", "oggmux", "filesink", "audioconvert"}},
    {kCategoryLegacyAmFilter, kAacWriterName, FilterKind::AacWriter,
     {"avenc_aac", "mp4mux", "filesink", "audioconvert"}},
};

std::vector<std::string> ListFriendlyNames(const std::string& category) {
  std::vector<std::string> names;
  for (const DeviceEntry& entry : kDeviceTable)
    if (g_ascii_strcasecmp(entry.category, category.c_str()) == 0 && FactoriesInstalled(entry.factories))
      names.push_back(entry.friendlyName);
  return names;
}

FilterRef CreateFilterByFriendlyName(const std::string& category, const std::string& name) {
  for (const DeviceEntry& entry : kDeviceTable) {
    if (g_ascii_strcasecmp(entry.category, category.c_str()) != 0 || name != entry.friendlyName) continue;
    if (!FactoriesInstalled(entry.factories)) continue;
    return MakeFilterOfKind(entry.kind);
  }
  return nullptr;
}
