// Playing a short WAVE resource through the audio output.
#include <gio/gio.h>
#include <gst/gst.h>

#include <fstream>
#include <string>

#include "media/media.h"

namespace {

// Whether the sink can open its device: for a sound server's sink, whether the server
// answers, however it is reached (its socket in the runtime folder, PULSE_SERVER, a
// client.conf, PipeWire's server for such clients).
bool SinkOpens(const char* factory) {
  GstElement* sink = gst_element_factory_make(factory, nullptr);
  if (!sink) return false;
  gst_object_ref_sink(sink);
  const bool opened = gst_element_set_state(sink, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS;
  gst_element_set_state(sink, GST_STATE_NULL);
  gst_object_unref(sink);
  return opened;
}

}  // namespace

bool HaveAudioOutput() {
  if (SinkOpens("pulsesink")) return true;
  // Lists " 0 [PCH ]: ..." per card, or "--- no soundcards ---".
  std::ifstream cards("/proc/asound/cards");
  std::string line;
  while (std::getline(cards, line))
    if (line.find('[') != std::string::npos) return true;
  return false;
}

// giostreamsrc ! wavparse ! audioconvert ! audioresample ! autoaudiosink
bool PlaySoundResource(const std::string& resourcePath, unsigned timeoutMs) {
  g_autoptr(GInputStream) stream =
      g_resources_open_stream(resourcePath.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (!stream) return false;
  g_autoptr(GstElement) pipeline = gst_parse_launch(
      "giostreamsrc name=source ! wavparse ! audioconvert ! audioresample ! autoaudiosink", nullptr);
  if (!pipeline) return false;
  g_autoptr(GstElement) source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
  g_object_set(source, "stream", stream, nullptr);
  bool played = false;
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
    g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
    g_autoptr(GstMessage) end = gst_bus_timed_pop_filtered(
        bus, GstClockTime{timeoutMs} * GST_MSECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    played = end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  return played;
}
