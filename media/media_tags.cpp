// The tags an output carries over from its input.
//
// Demuxers and parsers inside the decoder chain (ID3v1/ID3v2, APE, ASF, RIFF INFO,
// Vorbis comments) send their tags downstream as tag events. Where those events enter
// a writing filter, and again behind each encoder (which adds its own), they are cut
// down to what an output carries: title, artist, album, track number, date, genre,
// comment and the cover picture, one value each. Technical tags (codec, bit rate, the
// tool that made the input) never reach a file, so an input that has no others gives
// the same bytes as one without tags. With Batch.noTags nothing passes at all.
#include <gst/gst.h>

#include "common/batch.h"
#include "media/media_internal.h"

#define GST_CAT_DEFAULT ql_media_debug

namespace {

// The tags carried, in the order a writer meets them.
constexpr const char* kCarriedTags[] = {GST_TAG_TITLE,     GST_TAG_ARTIST, GST_TAG_ALBUM,   GST_TAG_TRACK_NUMBER,
                                        GST_TAG_DATE_TIME, GST_TAG_GENRE,  GST_TAG_COMMENT, GST_TAG_IMAGE};

// Where the graph keeps what its prerolled source said (a GstTagList, owned).
constexpr const char* kGraphTagsKey = "ql-carried-tags";

void CopyFirst(GstTagList* to, const GstTagList* from, const char* fromTag, const char* toTag) {
  const GValue* value = gst_tag_list_get_value_index(from, fromTag, 0);
  if (!value) return;
  if (G_VALUE_HOLDS_STRING(value)) {
    const char* text = g_value_get_string(value);
    if (!text || !*text || !g_utf8_validate(text, -1, nullptr)) return;
  }
  gst_tag_list_add_value(to, GST_TAG_MERGE_REPLACE, toTag, value);
}

GstPadProbeReturn OnTagEvent(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_TAG) return GST_PAD_PROBE_OK;
  GstTagList* tags = nullptr;
  gst_event_parse_tag(event, &tags);
  GstTagList* carried = Batch.noTags ? nullptr : CarriedTags(tags);
  if (!carried) return GST_PAD_PROBE_DROP;
  gst_tag_list_set_scope(carried, gst_tag_list_get_scope(tags));
  GstEvent* kept = gst_event_new_tag(carried);
  gst_event_set_seqnum(kept, gst_event_get_seqnum(event));
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = kept;
  return GST_PAD_PROBE_OK;
}

// The comment as an extended comment without a description: an ID3v2 writer makes
// a plain comment frame of it, the one players show (a comment proper gets the
// description "Comment").
GstPadProbeReturn OnCommentForId3(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_TAG) return GST_PAD_PROBE_OK;
  GstTagList* tags = nullptr;
  gst_event_parse_tag(event, &tags);
  g_autofree char* comment = nullptr;
  if (!gst_tag_list_get_string_index(tags, GST_TAG_COMMENT, 0, &comment)) return GST_PAD_PROBE_OK;
  GstTagList* rewritten = gst_tag_list_copy(tags);
  gst_tag_list_remove_tag(rewritten, GST_TAG_COMMENT);
  g_autofree char* extended = g_strconcat("=", comment, nullptr);
  gst_tag_list_add(rewritten, GST_TAG_MERGE_REPLACE, GST_TAG_EXTENDED_COMMENT, extended, nullptr);
  GstEvent* kept = gst_event_new_tag(rewritten);
  gst_event_set_seqnum(kept, gst_event_get_seqnum(event));
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = kept;
  return GST_PAD_PROBE_OK;
}

}  // namespace

void CommentsForId3(GstElement* element, const char* padName) {
  g_autoptr(GstPad) pad = gst_element_get_static_pad(element, padName);
  if (pad) gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnCommentForId3, nullptr, nullptr);
}

GstTagList* CarriedTags(const GstTagList* tags) {
  if (!tags) return nullptr;
  GstTagList* carried = gst_tag_list_new_empty();
  for (const char* tag : kCarriedTags) CopyFirst(carried, tags, tag, tag);
  // One date, and an ASF file's (or a Vorbis comment's) description is its comment.
  if (!gst_tag_list_get_value_index(carried, GST_TAG_DATE_TIME, 0))
    CopyFirst(carried, tags, GST_TAG_DATE, GST_TAG_DATE);
  if (!gst_tag_list_get_value_index(carried, GST_TAG_COMMENT, 0))
    CopyFirst(carried, tags, GST_TAG_DESCRIPTION, GST_TAG_COMMENT);
  if (gst_tag_list_is_empty(carried)) {
    gst_tag_list_unref(carried);
    return nullptr;
  }
  return carried;
}

void CarryTagsThrough(GstElement* element, const char* padName) {
  g_autoptr(GstPad) pad = gst_element_get_static_pad(element, padName);
  if (pad) gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnTagEvent, nullptr, nullptr);
}

void NoteCarriedTags(Graph* graph, GstPad* prerolledPad) {
  g_autoptr(GstTagList) merged = gst_tag_list_new_empty();
  for (guint i = 0;; ++i) {
    g_autoptr(GstEvent) event = gst_pad_get_sticky_event(prerolledPad, GST_EVENT_TAG, i);
    if (!event) break;
    GstTagList* tags = nullptr;
    gst_event_parse_tag(event, &tags);
    // The first list (the container's) wins over what streams repeat later.
    gst_tag_list_insert(merged, tags, GST_TAG_MERGE_KEEP);
  }
  GstTagList* carried = Batch.noTags ? nullptr : CarriedTags(merged);
  GST_DEBUG("source tags carried: %" GST_PTR_FORMAT, carried);
  if (!carried) {
    g_object_set_data(G_OBJECT(graph->pipeline), kGraphTagsKey, nullptr);
    return;
  }
  g_object_set_data_full(G_OBJECT(graph->pipeline), kGraphTagsKey, carried,
                         [](gpointer tags) { gst_tag_list_unref(static_cast<GstTagList*>(tags)); });
}

bool GraphCarriesTags(const Graph* graph) {
  return graph && !Batch.noTags && g_object_get_data(G_OBJECT(graph->pipeline), kGraphTagsKey);
}
