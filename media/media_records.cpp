// The records behind the media layer's handles: graphs, filters and pins, their
// construction, and what a caller may read of them.
#include <gst/gst.h>

#include "media/media_internal.h"

Filter::~Filter() {
  if (decodersCaps) gst_caps_unref(decodersCaps);
  if (playedProbe) {
    g_autoptr(GstPad) pad = gst_element_get_static_pad(element, "sink");
    if (pad) gst_pad_remove_probe(pad, playedProbe);
  }
  if (element) gst_object_unref(element);
}

Graph::~Graph() {
  if (busWatch) g_source_remove(busWatch);
  if (postedEvent) g_source_remove(postedEvent);
  if (pipeline) {
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
  for (auto& filter : filters) filter->graph = nullptr;
}

PinRef NewPinOf(Filter* filter, PinDirection direction, const std::string& padName) {
  auto pin = std::make_shared<Pin>();
  pin->filter = filter;
  pin->direction = direction;
  pin->padName = padName;
  return pin;
}

// A filter around an element or bin; takes the floating reference. nullptr for none.
FilterRef NewFilterOf(FilterKind kind, GstElement* element) {
  if (!element) return nullptr;
  auto filter = std::make_shared<Filter>();
  filter->kind = kind;
  filter->element = GST_ELEMENT(gst_object_ref_sink(element));
  return filter;
}

PinRef PinSelf(const Pin* pin) {
  for (const PinRef& candidate : pin->filter->pins)
    if (candidate.get() == pin) return candidate;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Kinds

bool IsSourceKind(FilterKind kind) {
  return kind == FilterKind::FileSource || kind == FilterKind::AsfReader ||
         kind == FilterKind::CdTrackReader;
}

bool IsRendererKind(FilterKind kind) {
  return kind == FilterKind::ProbeRenderer || kind == FilterKind::AudioRenderer;
}

// ---------------------------------------------------------------------------
// What a caller may read

std::vector<FilterRef> GraphFilters(const Graph* graph) {
  return graph ? graph->filters : std::vector<FilterRef>{};
}

std::string FilterName(const Filter* filter) { return filter ? filter->name : std::string(); }

const std::vector<PinRef>& FilterPins(const Filter* filter) { return filter->pins; }

Graph* FilterGraph(const Filter* filter) { return filter ? filter->graph : nullptr; }

PinDirection PinQueryDirection(const Pin* pin) { return pin->direction; }

PinRef PinConnectedTo(const Pin* pin) { return pin ? pin->peer.lock() : nullptr; }

bool PinConnectionMediaType(const Pin* pin, MediaType* type) {
  if (!pin || pin->peer.expired()) return false;
  *type = pin->connection;
  return true;
}

std::vector<MediaType> PinEnumMediaTypes(const Pin* pin) { return pin ? pin->offered : std::vector<MediaType>{}; }

Filter* PinFilter(const Pin* pin) { return pin ? pin->filter : nullptr; }
