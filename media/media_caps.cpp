// Media types and GStreamer caps: one converted to the other.
#include <gst/audio/audio.h>
#include <gst/gst.h>

#include "media/media_internal.h"

static GstAudioFormat PcmAudioFormat(const WaveFormat& f) {
  if (f.formatTag == kWaveFormatIeeeFloat && f.bitsPerSample == 32) return GST_AUDIO_FORMAT_F32LE;
  switch (f.bitsPerSample) {
    case 8: return GST_AUDIO_FORMAT_U8;
    case 16: return GST_AUDIO_FORMAT_S16LE;
    case 24: return GST_AUDIO_FORMAT_S24LE;
    case 32: return GST_AUDIO_FORMAT_S32LE;
    default: return GST_AUDIO_FORMAT_UNKNOWN;
  }
}

GstCaps* PcmCaps(const WaveFormat& f) {
  return gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING,
                             gst_audio_format_to_string(PcmAudioFormat(f)), "layout", G_TYPE_STRING,
                             "interleaved", "rate", G_TYPE_INT, static_cast<int>(f.samplesPerSec),
                             "channels", G_TYPE_INT, static_cast<int>(f.channels), nullptr);
}

static int StructureInt(const GstStructure* s, const char* field, int fallback = 0) {
  int value = fallback;
  gst_structure_get_int(s, field, &value);
  return value;
}

MediaType MediaTypeFromCaps(const GstCaps* caps) {
  MediaType type;
  if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) return type;
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  const char* name = gst_structure_get_name(s);
  if (g_str_has_prefix(name, "video/") || g_str_has_prefix(name, "image/") ||
      g_str_has_prefix(name, "subpicture/")) {
    type.major = MajorType::Video;
    return type;
  }
  if (!g_str_has_prefix(name, "audio/")) {
    type.major = MajorType::Stream;
    return type;
  }
  type.major = MajorType::Audio;
  WaveFormat& f = type.format;
  f.samplesPerSec = static_cast<uint32_t>(StructureInt(s, "rate"));
  f.channels = static_cast<uint16_t>(StructureInt(s, "channels"));
  if (g_str_equal(name, "audio/x-raw")) {
    GstAudioInfo info;
    if (!gst_audio_info_from_caps(&info, caps)) return type;
    f.formatTag = GST_AUDIO_INFO_IS_FLOAT(&info) ? kWaveFormatIeeeFloat : kWaveFormatPcm;
    f.bitsPerSample = static_cast<uint16_t>(GST_AUDIO_INFO_WIDTH(&info));
    f.blockAlign = static_cast<uint16_t>(GST_AUDIO_INFO_BPF(&info));
    f.avgBytesPerSec = f.samplesPerSec * f.blockAlign;
    type.hasFormat = true;
  } else if (g_str_equal(name, "audio/mpeg") && StructureInt(s, "mpegversion") == 1) {
    f.formatTag = StructureInt(s, "layer", 3) == 3 ? kWaveFormatMpegLayer3 : kWaveFormatMpeg;
    f.avgBytesPerSec = static_cast<uint32_t>(StructureInt(s, "bitrate") / 8);
    f.blockAlign = 1;
    type.hasFormat = true;
  } else if (g_str_equal(name, "audio/x-adpcm")) {
    const char* layout = gst_structure_get_string(s, "layout");
    f.formatTag = layout && g_str_equal(layout, "microsoft") ? kWaveFormatAdpcm : kWaveFormatImaAdpcm;
    f.blockAlign = static_cast<uint16_t>(StructureInt(s, "block_align"));
    f.bitsPerSample = 4;
    type.hasFormat = true;
  } else if (g_str_equal(name, "audio/x-ac3") || g_str_equal(name, "audio/x-private1-ac3")) {
    f.formatTag = kWaveFormatDolbyAc3;
    type.hasFormat = f.samplesPerSec != 0;
  } else if (g_str_equal(name, "audio/x-dts") || g_str_equal(name, "audio/x-private1-dts")) {
    f.formatTag = kWaveFormatDts;  // the tag alone tells the codec; no format block
  }
  return type;
}

bool ReadAudioCaps(GstEvent* capsEvent, int* rate, int* bytesPerFrame) {
  GstCaps* caps = nullptr;
  gst_event_parse_caps(capsEvent, &caps);
  GstAudioInfo audio;
  if (!gst_audio_info_from_caps(&audio, caps)) return false;
  *rate = GST_AUDIO_INFO_RATE(&audio);
  *bytesPerFrame = GST_AUDIO_INFO_BPF(&audio);
  return true;
}
