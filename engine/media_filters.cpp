// The filters of the media layer beyond the decoding chain: renderers, splitters,
// encoders and the CD track reader.
#include <gst/gst.h>

#include "engine/media_internal.h"

#define GST_CAT_DEFAULT ql_media_debug

static FilterRef NewFilterOf(FilterKind kind, GstElement* element) {
  if (!element) return nullptr;
  auto filter = std::make_shared<Filter>();
  filter->kind = kind;
  filter->element = GST_ELEMENT(gst_object_ref_sink(element));
  return filter;
}

// Links the pad of a splitter's stream to whatever its pin was connected to.
static void OnSplitterPadAdded(GstElement*, GstPad* pad, gpointer data) {
  Filter* splitter = static_cast<Filter*>(data);
  g_autofree char* name = gst_pad_get_name(pad);
  for (const PinRef& pin : splitter->pins) {
    if (pin->direction != PinDirection::Output || pin->padName != name) continue;
    if (!pin->peer.expired() && !LinkPinPad(pin.get(), pad))
      GST_WARNING("cannot link splitter pad %s", name);
    return;
  }
}

FilterRef MakeExtendedFilter(FilterKind kind) {
  FilterRef filter;
  switch (kind) {
    case FilterKind::AudioRenderer:
      filter = NewFilterOf(kind, gst_element_factory_make("autoaudiosink", nullptr));
      if (filter) filter->pins = {std::make_shared<Pin>()};
      if (filter) {
        filter->pins[0]->filter = filter.get();
        filter->pins[0]->padName = "sink";
      }
      break;
    case FilterKind::Mpeg1Splitter:
    case FilterKind::Mpeg2Splitter:
    case FilterKind::AviSplitter:
      filter = NewFilterOf(kind, gst_element_factory_make(
                                     kind == FilterKind::AviSplitter ? "avidemux" : "mpegpsdemux", nullptr));
      if (!filter) break;
      filter->dynamicPads = true;
      filter->pins = {std::make_shared<Pin>()};
      filter->pins[0]->filter = filter.get();
      filter->pins[0]->padName = "sink";
      g_signal_connect(filter->element, "pad-added", G_CALLBACK(OnSplitterPadAdded), filter.get());
      break;
    default:
      break;
  }
  return filter;
}

bool ExtendedAccepts(const Pin* in, const MediaType& type) {
  switch (in->filter->kind) {
    case FilterKind::Mpeg1Splitter:
    case FilterKind::Mpeg2Splitter:
    case FilterKind::AviSplitter:
      return type.major == MajorType::None || type.major == MajorType::Stream;
    default:
      return false;
  }
}

bool ApplyOutputType(Pin*, const MediaType&) { return true; }

bool LinkPinPad(Pin* out, GstPad* src) {
  PinRef in = out->peer.lock();
  if (!in) return false;
  g_autoptr(GstPad) sink = gst_element_get_static_pad(in->filter->element, in->padName.c_str());
  if (!sink) return false;
  return gst_pad_link(src, sink) == GST_PAD_LINK_OK;
}

bool ProbeSplitterPins(Filter*, const std::string&) { return false; }

bool LoadCdTrack(Filter*, const std::string&) { return false; }
