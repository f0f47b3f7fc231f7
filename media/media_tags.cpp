// The tags an output carries over from its input.
//
// Demuxers and parsers inside the decoder chain (ID3v1/ID3v2, APE, ASF, RIFF INFO,
// Vorbis comments) send their tags downstream as tag events. Where those events enter
// a writing filter, and again behind each encoder (which adds its own), they are cut
// down to what an output carries: title, artist, album, track number, date, genre,
// comment and the cover picture, one value each, the first one met winning over what
// later events say, so that every writer takes the same values. Technical tags (codec,
// bit rate, the tool that made the input) never reach a file, so an input that has no
// others gives the same bytes as one without tags. With Batch.noTags nothing passes.
//
// What GStreamer's readers leave out or read wrongly is read from the file itself and
// added to the decoder chain's tags: of an ASF file the genre and the year and comment
// as ffmpeg names them (the demuxer's values win); of a WAV file its LIST INFO and
// `id3 ` chunks wherever they are, and of a file starting with ID3v2 tags their
// fields (these win: they are what the file says, where GStreamer misses a year kept
// as TYER, a compressed picture, a text with one invalid byte, or a second tag).
#include <fcntl.h>
#include <gst/gst.h>
#include <gst/tag/tag.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/batch.h"
#include "media/asf_header.h"
#include "media/file_read.h"
#include "media/file_tags.h"
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

}  // namespace

// The tag event in the probe's hands gives way to one of tags (taken), in its place in
// the stream.
GstPadProbeReturn ReplaceTagEvent(GstPadProbeInfo* info, GstTagList* tags) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  GstEvent* kept = gst_event_new_tag(tags);
  gst_event_set_seqnum(kept, gst_event_get_seqnum(event));
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = kept;
  return GST_PAD_PROBE_OK;
}

namespace {

// The carried tags met on a pad since its stream started (owned; nullptr for none).
using CarriedSoFar = GstTagList*;

GstPadProbeReturn OnTagEvent(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  auto* soFar = static_cast<CarriedSoFar*>(data);
  if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START) g_clear_pointer(soFar, gst_tag_list_unref);
  if (GST_EVENT_TYPE(event) != GST_EVENT_TAG) return GST_PAD_PROBE_OK;
  GstTagList* tags = nullptr;
  gst_event_parse_tag(event, &tags);
  GstTagList* carried = Batch.noTags ? nullptr : CarriedTags(tags);
  if (!carried) return GST_PAD_PROBE_DROP;
  if (*soFar) {
    GstTagList* merged = gst_tag_list_merge(*soFar, carried, GST_TAG_MERGE_KEEP);
    gst_tag_list_unref(carried);
    gst_tag_list_unref(*soFar);
    carried = merged;
  }
  gst_tag_list_set_scope(carried, gst_tag_list_get_scope(tags));
  *soFar = gst_tag_list_copy(carried);
  return ReplaceTagEvent(info, carried);
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
  return ReplaceTagEvent(info, rewritten);
}

// The ASF header's tags as the file tags' fields.
FileTags FileTagsOfAsf(const AsfHeaderTags& asf) {
  FileTags tags;
  tags.title = asf.title;
  tags.artist = asf.artist;
  tags.album = asf.album;
  tags.track = asf.track;
  tags.date = asf.date;
  tags.genre = asf.genre;
  tags.comment = asf.comment;
  return tags;
}

// The tags of a file read by our own readers (ASF header, RIFF WAVE and AIFF chunks,
// ID3v2 at the start); nullptr for none. *fileWins: whether they win over the demuxer's.
GstTagList* FileTagList(const std::string& path, bool* fileWins) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  auto readAt = [fd](uint64_t offset, uint8_t* buffer, size_t size) { return ReadFileAt(fd, offset, buffer, size); };
  FileTags file;
  AsfHeaderTags asf;
  bool found = false;
  *fileWins = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (ReadAsfHeaderTags(readAt, &asf)) {
      file = FileTagsOfAsf(asf);
      found = true;
    } else {
      found = *fileWins =
          ReadWaveTags(readAt, &file) || ReadAiffTags(readAt, &file) || ReadId3v2Tags(readAt, 0, &file);
    }
  }
  close(fd);
  if (!found) return nullptr;
  GstTagList* tags = gst_tag_list_new_empty();
  const std::pair<const char*, const std::string*> texts[] = {
      {GST_TAG_TITLE, &file.title}, {GST_TAG_ARTIST, &file.artist}, {GST_TAG_ALBUM, &file.album},
      {GST_TAG_GENRE, &file.genre}, {GST_TAG_COMMENT, &file.comment}};
  for (const auto& [tag, text] : texts)
    if (!text->empty()) gst_tag_list_add(tags, GST_TAG_MERGE_KEEP, tag, text->c_str(), nullptr);
  // A genre stored as its ID3v1 number, named as GStreamer's ID3 reader names it.
  const char* genreName = file.genreNumber >= 0 ? gst_tag_id3_genre_get(file.genreNumber) : nullptr;
  if (file.genre.empty() && genreName) gst_tag_list_add(tags, GST_TAG_MERGE_KEEP, GST_TAG_GENRE, genreName, nullptr);
  if (guint64 track = g_ascii_strtoull(file.track.c_str(), nullptr, 10); track >= 1 && track <= G_MAXUINT)
    gst_tag_list_add(tags, GST_TAG_MERGE_KEEP, GST_TAG_TRACK_NUMBER, static_cast<guint>(track), nullptr);
  // "2019", or a full date and time.
  g_autoptr(GstDateTime) when = file.date.empty() ? nullptr : gst_date_time_new_from_iso8601_string(file.date.c_str());
  if (when) gst_tag_list_add(tags, GST_TAG_MERGE_KEEP, GST_TAG_DATE_TIME, when, nullptr);
  if (!file.picture.empty()) {
    // Numbered as in ID3v2: 3 the front cover, what precedes it has no GStreamer type.
    const auto type =
        file.pictureType >= 3 ? static_cast<GstTagImageType>(file.pictureType - 2) : GST_TAG_IMAGE_TYPE_UNDEFINED;
    g_autoptr(GstSample) picture = gst_tag_image_data_to_image_sample(
        reinterpret_cast<const guint8*>(file.picture.data()), static_cast<guint>(file.picture.size()), type);
    if (picture) gst_tag_list_add(tags, GST_TAG_MERGE_KEEP, GST_TAG_IMAGE, picture, nullptr);
  }
  if (gst_tag_list_is_empty(tags)) {
    gst_tag_list_unref(tags);
    return nullptr;
  }
  return tags;
}

// A file's own tags for the tag events of its decoder chain.
struct FileTagsForChain {
  GstTagList* tags;   // owned
  bool fileWins;      // over the demuxer's values; else they only fill its gaps
  bool sent = false;  // a tag event has passed since the stream started
};

GstPadProbeReturn OnDecodedTags(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  auto* file = static_cast<FileTagsForChain*>(data);
  if (info->type & (GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST)) {
    // A stream whose demuxer says nothing before its audio (a WAV file with its tags
    // after the data) gets the file's tags as an event of their own.
    if (!file->sent) gst_pad_push_event(pad, gst_event_new_tag(gst_tag_list_copy(file->tags)));
    return GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START) file->sent = false;
  if (GST_EVENT_TYPE(event) != GST_EVENT_TAG) return GST_PAD_PROBE_OK;
  file->sent = true;
  GstTagList* tags = nullptr;
  gst_event_parse_tag(event, &tags);
  GstTagList* merged = file->fileWins ? gst_tag_list_merge(file->tags, tags, GST_TAG_MERGE_KEEP)
                                      : gst_tag_list_merge(tags, file->tags, GST_TAG_MERGE_KEEP);
  gst_tag_list_set_scope(merged, gst_tag_list_get_scope(tags));
  return ReplaceTagEvent(info, merged);
}

}  // namespace

void AddFileTags(GstPad* decoded, const std::string& path) {
  if (Batch.noTags) return;
  bool fileWins = false;
  GstTagList* tags = FileTagList(path, &fileWins);
  GST_DEBUG("file tags of %s (%s): %" GST_PTR_FORMAT, path.c_str(), fileWins ? "winning" : "filling gaps", tags);
  if (!tags) return;
  gst_pad_add_probe(decoded,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM | GST_PAD_PROBE_TYPE_BUFFER |
                                                 GST_PAD_PROBE_TYPE_BUFFER_LIST),
                    OnDecodedTags, new FileTagsForChain{tags, fileWins}, [](gpointer data) {
                      auto* file = static_cast<FileTagsForChain*>(data);
                      gst_tag_list_unref(file->tags);
                      delete file;
                    });
}

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
  if (pad)
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnTagEvent, new CarriedSoFar{}, [](gpointer data) {
      auto* soFar = static_cast<CarriedSoFar*>(data);
      g_clear_pointer(soFar, gst_tag_list_unref);
      delete soFar;
    });
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
