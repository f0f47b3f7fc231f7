// Element helpers: making elements and chains of them, setting caps, linking a pin's
// pad through its parser, and waiting on a bus.
#include <gst/gst.h>

#include <algorithm>

#include "media/media_internal.h"

#define GST_CAT_DEFAULT ql_media_debug

// Makes an element or logs which factory is missing.
GstElement* MakeElement(const char* factory, const char* name) {
  GstElement* element = gst_element_factory_make(factory, name);
  if (!element) GST_WARNING("element %s is not installed", factory);
  return element;
}

// A floating bin of the elements linked in order, with ghost pads "sink" and "src" at
// its ends where they have such pads; nullptr (every element dropped) when one is
// missing or a link fails.
GstElement* MakeChainBin(std::initializer_list<GstElement*> elements) {
  bool complete = std::all_of(elements.begin(), elements.end(), [](GstElement* e) { return e; });
  if (!complete) {
    for (GstElement* e : elements)
      if (e) gst_object_unref(gst_object_ref_sink(e));
    return nullptr;
  }
  GstElement* bin = gst_bin_new(nullptr);
  GstElement* previous = nullptr;
  bool linked = true;
  for (GstElement* e : elements) {
    gst_bin_add(GST_BIN(bin), e);
    if (previous) linked = linked && gst_element_link(previous, e);
    previous = e;
  }
  if (!linked) {
    GST_WARNING("cannot link a chain of %zu elements", elements.size());
    gst_object_unref(gst_object_ref_sink(bin));
    return nullptr;
  }
  g_autoptr(GstPad) sink = gst_element_get_static_pad(*elements.begin(), "sink");
  g_autoptr(GstPad) src = gst_element_get_static_pad(previous, "src");
  if (sink) gst_element_add_pad(bin, gst_ghost_pad_new("sink", sink));
  if (src) gst_element_add_pad(bin, gst_ghost_pad_new("src", src));
  return bin;
}

void SetCaps(GstElement* capsfilter, GstCaps* caps) {
  g_object_set(capsfilter, "caps", caps, nullptr);
  gst_caps_unref(caps);
}

// ---------------------------------------------------------------------------
// Waiting on a bus

static WaitHook waitHook = nullptr;

void SetWaitHook(WaitHook hook) { waitHook = hook; }

GstMessage* PopBusMessage(GstBus* bus, GstClockTime timeout, GstMessageType types) {
  static constexpr GstClockTime kWaitSlice = 100 * GST_MSECOND;
  const GstClockTime deadline = gst_util_get_timestamp() + timeout;
  for (;;) {
    const GstClockTime now = gst_util_get_timestamp();
    if (now >= deadline) return nullptr;
    if (GstMessage* message = gst_bus_timed_pop_filtered(bus, std::min(kWaitSlice, deadline - now), types))
      return message;
    if (waitHook) waitHook();
  }
}
// ---------------------------------------------------------------------------
// Linking a pin's pad

bool LinkPinPad(Pin* out, GstPad* src) {
  PinRef in = out->peer.lock();
  if (!in) return false;
  g_autoptr(GstPad) sink = gst_element_get_static_pad(in->filter->element, in->padName.c_str());
  if (!sink) return false;
  if (out->parser.empty()) return gst_pad_link(src, sink) == GST_PAD_LINK_OK;

  // A parser (or a short chain, "a ! b") between the two, living in the graph's pipeline.
  GstElement* parser = nullptr;
  if (out->parser.find('!') == std::string::npos)
    parser = gst_element_factory_make(out->parser.c_str(), nullptr);
  else
    parser = gst_parse_bin_from_description(out->parser.c_str(), TRUE, nullptr);
  GstObject* pipeline = gst_element_get_parent(in->filter->element);
  if (!parser || !pipeline) {
    if (parser) gst_object_unref(gst_object_ref_sink(parser));
    if (pipeline) gst_object_unref(pipeline);
    return false;
  }
  gst_bin_add(GST_BIN(pipeline), parser);
  gst_object_unref(pipeline);
  g_autoptr(GstPad) parserSink = gst_element_get_static_pad(parser, "sink");
  g_autoptr(GstPad) parserSrc = gst_element_get_static_pad(parser, "src");
  bool linked = gst_pad_link(src, parserSink) == GST_PAD_LINK_OK &&
                gst_pad_link(parserSrc, sink) == GST_PAD_LINK_OK;
  gst_element_sync_state_with_parent(parser);
  return linked;
}
