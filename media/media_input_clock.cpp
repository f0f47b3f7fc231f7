// The writers' input clock: every writer times its input itself (see InputClock).
#include <gst/gst.h>

#include "media/media_internal.h"

GstPadProbeReturn OnWriterInput(GstPad*, GstPadProbeInfo* info, gpointer data) {
  InputClock* clock = static_cast<InputClock*>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    switch (GST_EVENT_TYPE(event)) {
      case GST_EVENT_STREAM_START:
      case GST_EVENT_FLUSH_STOP:
        clock->samples = 0;
        break;
      case GST_EVENT_CAPS:
        ReadAudioCaps(event, &clock->rate, &clock->bytesPerFrame);
        break;
      case GST_EVENT_SEGMENT: {
        GstSegment segment;
        gst_segment_init(&segment, GST_FORMAT_TIME);
        GstEvent* fresh = gst_event_new_segment(&segment);
        gst_event_set_seqnum(fresh, gst_event_get_seqnum(event));
        gst_event_unref(event);
        GST_PAD_PROBE_INFO_DATA(info) = fresh;
        break;
      }
      default:
        break;
    }
    return GST_PAD_PROBE_OK;
  }
  if (clock->rate <= 0 || clock->bytesPerFrame <= 0) return GST_PAD_PROBE_OK;
  GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
  const uint64_t frames = gst_buffer_get_size(buffer) / static_cast<uint64_t>(clock->bytesPerFrame);
  const GstClockTime start = gst_util_uint64_scale_int(clock->samples, GST_SECOND, clock->rate);
  clock->samples += frames;
  GST_BUFFER_PTS(buffer) = start;
  GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
  GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale_int(clock->samples, GST_SECOND, clock->rate) - start;
  GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DISCONT);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}
