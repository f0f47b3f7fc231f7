// Control and events of a graph: running and stopping, the bus watch that queues its
// events, its length and the position while it plays, seeking.
#include <gst/base/gstbaseparse.h>
#include <gst/gst.h>

#include <algorithm>
#include <utility>

#include "media/media_internal.h"

#define GST_CAT_DEFAULT ql_media_debug

bool GraphCompleted(const Graph* graph) { return graph && graph->completed; }

static gboolean OnPostedEvent(gpointer data) {
  Graph* graph = static_cast<Graph*>(data);
  graph->postedEvent = 0;
  if (graph->notify) graph->notify();
  return G_SOURCE_REMOVE;
}

// Queues an event and posts one notification for the queue, as a window message would.
static void QueueEvent(Graph* graph, long code, std::string text) {
  graph->events.push_back({code, std::move(text)});
  if (!graph->postedEvent) graph->postedEvent = g_idle_add(OnPostedEvent, graph);
}

static gboolean OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
  Graph* graph = static_cast<Graph*>(data);
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
      graph->completed = true;
      QueueEvent(graph, kEventComplete, {});
      break;
    case GST_MESSAGE_ERROR:
      DumpGraph(graph, "ql-graph-error");
      QueueEvent(graph, kEventErrorAbort, ErrorText(message));
      break;
    default:
      break;
  }
  return G_SOURCE_CONTINUE;
}

void GraphSetNotify(Graph* graph, GraphNotify notify) {
  if (!graph) return;
  graph->notify = notify;
  if (!graph->busWatch) {
    g_autoptr(GstBus) bus = gst_element_get_bus(graph->pipeline);
    graph->busWatch = gst_bus_add_watch(bus, OnBusMessage, graph);
  }
}

bool GraphGetEvent(Graph* graph, long* code, std::string* text) {
  if (!graph || graph->events.empty()) return false;
  *code = graph->events.front().code;
  if (text) *text = graph->events.front().text;
  graph->events.pop_front();
  return true;
}

bool GraphRun(Graph* graph) {
  if (!graph) return false;
  if (graph->prerolled) ResetPipeline(graph);
  graph->completed = false;
  for (const FilterRef& filter : graph->filters) {
    filter->sourceReadEnd = filter->sourceLastEnd = 0;
    filter->playedFrom = -1;
  }
  if (gst_element_set_state(graph->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    // The error message on the bus tells the rest; without a watch, say it here.
    if (!graph->busWatch) return false;
  }
  return true;
}

void GraphStop(Graph* graph) {
  if (graph) gst_element_set_state(graph->pipeline, GST_STATE_NULL);
}

// The audio renderer of a player graph; nullptr in a conversion graph.
static Filter* GraphRenderer(const Graph* graph) {
  for (const FilterRef& filter : graph->filters)
    if (filter->kind == FilterKind::AudioRenderer) return filter.get();
  return nullptr;
}

// A stream parser's length of its stream before it tells one: the bytes upstream of it
// at the rate of the frames parsed so far. The MPEG audio parser, for a file without a
// frame index (no Xing or VBRI frame, an MP2 file, the data chunk of a RIFF-MP3 file),
// tells the length only every 50 frames, a second and a half into playback.
static bool EstimateParsedDuration(Graph* graph, gint64* value) {
  bool found = false;
  g_autoptr(GstIterator) it = gst_bin_iterate_recurse(GST_BIN(graph->pipeline));
  GValue item = G_VALUE_INIT;
  for (bool more = true; more && !found;) {
    switch (gst_iterator_next(it, &item)) {
      case GST_ITERATOR_OK: {
        GstElement* element = GST_ELEMENT(g_value_get_object(&item));
        if (GST_IS_BASE_PARSE(element)) {
          g_autoptr(GstPad) sink = gst_element_get_static_pad(element, "sink");
          g_autoptr(GstPad) src = gst_element_get_static_pad(element, "src");
          gint64 bytes = 0;
          found = sink && src && gst_pad_peer_query_duration(sink, GST_FORMAT_BYTES, &bytes) && bytes > 0 &&
                  gst_pad_query_convert(src, GST_FORMAT_BYTES, bytes, GST_FORMAT_TIME, value) && *value > 0;
        }
        g_value_reset(&item);
        break;
      }
      case GST_ITERATOR_RESYNC: gst_iterator_resync(it); break;
      default: more = false; break;
    }
  }
  g_value_unset(&item);
  return found;
}

bool GraphGetDuration(Graph* graph, int64_t* duration) {
  if (!graph) return false;
  gint64 value = 0;
  GstState state = GST_STATE_NULL;
  gst_element_get_state(graph->pipeline, &state, nullptr, 0);
  if (state >= GST_STATE_PAUSED &&
      ((gst_element_query_duration(graph->pipeline, GST_FORMAT_TIME, &value) && value > 0) ||
       (GraphRenderer(graph) && EstimateParsedDuration(graph, &value)))) {
    *duration = value / 100;
    return true;
  }
  *duration = graph->duration;
  return graph->duration > 0;
}

bool GraphSetCurrentPosition(Graph* graph, int64_t position) {
  if (!graph || position < 0) return false;
  const Filter* renderer = GraphRenderer(graph);
  const int64_t from = renderer ? std::max<int64_t>(renderer->playedFrom, 0) : 0;
  return gst_element_seek_simple(graph->pipeline, GST_FORMAT_TIME,
                                 static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                                 position * 100 + from);
}

bool GraphGetCurrentPosition(Graph* graph, int64_t* position) {
  gint64 value = 0;
  if (!graph || !gst_element_query_position(graph->pipeline, GST_FORMAT_TIME, &value) || value < 0)
    return false;
  if (const Filter* renderer = GraphRenderer(graph)) {
    const int64_t from = renderer->playedFrom;
    if (from < 0) return false;  // nothing played yet
    value = std::max<gint64>(value - from, 0);
  }
  *position = value / 100;
  return true;
}
