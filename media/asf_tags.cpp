// The ASF tag writer: the multiplexer's bytes in, the same file with its tags out.
//
//   sink (ASF bytes) --> [header object with the tags] [everything after it, moved] --> src
#include "media/asf_tags.h"

#include <gst/gst.h>
#include <gst/tag/tag.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "media/asf_header.h"
#include "media/wave_format.h"

GST_DEBUG_CATEGORY_STATIC(ql_asf_tags_debug);
#define GST_CAT_DEFAULT ql_asf_tags_debug

namespace {

// The file properties object's GUID as stored.
constexpr uint8_t kFileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr size_t kFileSizeAt = 40;         // file properties: the file's size in bytes
constexpr size_t kMaxText = 0x7FFE;        // UTF-16 bytes a 16-bit length can hold, with room

uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void SetLe(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutLe64(std::vector<uint8_t>* out, uint64_t v) {
  PutLe32(out, static_cast<uint32_t>(v));
  PutLe32(out, static_cast<uint32_t>(v >> 32));
}

// UTF-16LE with its terminating zero; empty for an empty or invalid text.
std::vector<uint8_t> Utf16(const std::string& text) {
  if (text.empty()) return {};
  glong units = 0;
  g_autofree gunichar2* utf16 = g_utf8_to_utf16(text.c_str(), static_cast<glong>(text.size()), nullptr, &units, nullptr);
  if (!utf16) return {};
  std::vector<uint8_t> out;
  for (glong i = 0; i < units && out.size() < kMaxText; ++i) PutLe16(&out, utf16[i]);
  PutLe16(&out, 0);
  return out;
}

void PutObjectHead(std::vector<uint8_t>* out, const uint8_t (&guid)[16], uint64_t size) {
  out->insert(out->end(), guid, guid + 16);
  PutLe64(out, size);
}

std::vector<uint8_t> ContentDescription(const AsfTagTexts& tags) {
  const std::vector<uint8_t> texts[5] = {Utf16(tags.title), Utf16(tags.author), {}, Utf16(tags.description), {}};
  std::vector<uint8_t> body;
  for (const auto& text : texts) PutLe16(&body, static_cast<uint16_t>(text.size()));
  for (const auto& text : texts) body.insert(body.end(), text.begin(), text.end());
  if (texts[0].empty() && texts[1].empty() && texts[3].empty()) return {};
  std::vector<uint8_t> object;
  PutObjectHead(&object, kAsfContentDescription, kAsfObjectBytes + body.size());
  object.insert(object.end(), body.begin(), body.end());
  return object;
}

void PutDescriptor(std::vector<uint8_t>* out, const char* name, uint16_t type, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> key = Utf16(name);
  PutLe16(out, static_cast<uint16_t>(key.size()));
  out->insert(out->end(), key.begin(), key.end());
  PutLe16(out, type);
  PutLe16(out, static_cast<uint16_t>(value.size()));
  out->insert(out->end(), value.begin(), value.end());
}

// The WM/Picture value: picture type, length of the picture, MIME type and (empty)
// description, each text UTF-16LE with its zero, then the picture. Empty when there is
// none or it is too large for a descriptor's 16-bit length.
std::vector<uint8_t> PictureValue(const AsfTagTexts& tags) {
  std::vector<uint8_t> mime = Utf16(tags.pictureMime);
  if (tags.picture.empty() || mime.empty()) return {};
  std::vector<uint8_t> value = {tags.pictureType};
  PutLe32(&value, static_cast<uint32_t>(std::min<size_t>(tags.picture.size(), UINT32_MAX)));
  value.insert(value.end(), mime.begin(), mime.end());
  PutLe16(&value, 0);  // no description
  if (tags.picture.size() > 0xFFFF - value.size()) return {};
  value.insert(value.end(), tags.picture.begin(), tags.picture.end());
  return value;
}

// Extended content descriptors: name, type (0 a string, 1 bytes), value.
std::vector<uint8_t> Descriptors(const AsfTagTexts& tags, uint16_t* count) {
  const std::pair<const char*, const std::string*> items[] = {
      {"WM/AlbumTitle", &tags.album}, {"WM/TrackNumber", &tags.track}, {"WM/Year", &tags.year},
      {"WM/Genre", &tags.genre}};
  std::vector<uint8_t> out;
  *count = 0;
  for (const auto& [name, text] : items) {
    std::vector<uint8_t> value = Utf16(*text);
    if (value.empty()) continue;
    PutDescriptor(&out, name, 0, value);
    ++*count;
  }
  if (std::vector<uint8_t> picture = PictureValue(tags); !picture.empty()) {
    PutDescriptor(&out, "WM/Picture", 1, picture);
    ++*count;
  }
  return out;
}

}  // namespace

bool AddAsfTags(std::vector<uint8_t>* header, const AsfTagTexts& tags) {
  const std::vector<uint8_t>& in = *header;
  if (in.size() < kAsfHeaderObjectBytes || memcmp(in.data(), kAsfHeaderObject, 16) != 0 ||
      GetLe(in.data() + 16, 8) != in.size())
    return false;
  std::vector<uint8_t> cd = ContentDescription(tags);
  uint16_t added = 0;
  std::vector<uint8_t> descriptors = Descriptors(tags, &added);
  uint32_t objects = static_cast<uint32_t>(GetLe(in.data() + 24, 4));

  std::vector<uint8_t> out(in.begin(), in.begin() + kAsfHeaderObjectBytes);
  size_t fileProperties = 0;  // where they are in out; 0 none
  bool extendedSeen = false, cdPlaced = cd.empty();
  for (size_t at = kAsfHeaderObjectBytes; at < in.size();) {
    if (in.size() - at < kAsfObjectBytes) return false;
    const uint64_t size = GetLe(in.data() + at + 16, 8);
    if (size < kAsfObjectBytes || size > in.size() - at) return false;
    const uint8_t* object = in.data() + at;
    if (memcmp(object, kAsfExtendedContent, 16) == 0 && !extendedSeen && size >= kAsfObjectBytes + 2 && added > 0) {
      extendedSeen = true;
      const size_t start = out.size();
      out.insert(out.end(), object, object + size);
      out.insert(out.end(), descriptors.begin(), descriptors.end());
      SetLe(&out[start + 16], size + descriptors.size(), 8);
      SetLe(&out[start + kAsfObjectBytes], GetLe(object + kAsfObjectBytes, 2) + added, 2);
    } else if (memcmp(object, kAsfContentDescription, 16) == 0 && !cd.empty()) {
      --objects;  // replaced by ours
    } else {
      const bool properties = memcmp(object, kFileProperties, 16) == 0 && size >= kFileSizeAt + 8;
      if (properties && fileProperties == 0) fileProperties = out.size();
      out.insert(out.end(), object, object + size);
      if (properties && !cdPlaced) {
        out.insert(out.end(), cd.begin(), cd.end());
        cdPlaced = true;
        ++objects;
      }
    }
    at += size;
  }
  if (!cdPlaced) return false;  // no file properties to put it behind
  if (added > 0 && !extendedSeen) {
    PutObjectHead(&out, kAsfExtendedContent, kAsfObjectBytes + 2 + descriptors.size());
    PutLe16(&out, added);
    out.insert(out.end(), descriptors.begin(), descriptors.end());
    ++objects;
  }
  const uint64_t grown = out.size() - in.size();
  SetLe(&out[16], out.size(), 8);
  SetLe(&out[24], objects, 4);
  if (fileProperties != 0) {
    const uint64_t fileSize = GetLe(&out[fileProperties + kFileSizeAt], 8);
    if (fileSize != 0) SetLe(&out[fileProperties + kFileSizeAt], fileSize + grown, 8);
  }
  *header = std::move(out);
  return true;
}

// ---------------------------------------------------------------------------
// The element

namespace {

// Streaming-thread state, reset in one place.
struct AsfTagsStream {
  bool decided = false;       // whether tags are written is known (at the first segment)
  bool passthrough = false;   // nothing to add: every byte passes unchanged
  bool holding = false;       // gathering the header object written at offset 0
  std::vector<uint8_t> held;  // its bytes so far
  uint64_t headerBytes = 0;   // size of the header object being held; 0 unknown
  uint64_t firstBytes = 0;    // size of the first one written; 0 none yet
  uint64_t grown = 0;         // bytes our tags add to it
  AsfTagTexts texts;          // what is added, fixed at the first segment
};

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

std::string TagText(const GstTagList* tags, const char* tag) {
  g_autofree char* text = nullptr;
  return gst_tag_list_get_string_index(tags, tag, 0, &text) && text ? text : "";
}

// The cover (or else the preview picture) of a tag list, its type numbered as in
// ID3v2, as id3mux numbers it for a plain MP3 file.
void PictureOfTags(const GstTagList* tags, AsfTagTexts* texts) {
  g_autoptr(GstSample) sample = nullptr;
  bool preview = false;
  if (!gst_tag_list_get_sample_index(tags, GST_TAG_IMAGE, 0, &sample)) {
    if (!gst_tag_list_get_sample_index(tags, GST_TAG_PREVIEW_IMAGE, 0, &sample)) return;
    preview = true;
  }
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  const GstCaps* caps = gst_sample_get_caps(sample);
  const char* mime = caps && !gst_caps_is_empty(caps) ? gst_structure_get_name(gst_caps_get_structure(caps, 0)) : "";
  if (!buffer || !g_str_has_prefix(mime, "image/")) return;  // a link to a picture is no picture
  texts->pictureMime = mime;
  texts->pictureType = preview ? 1 : 0;  // a 32x32 icon, or other
  const GstStructure* info = gst_sample_get_info(sample);
  const GValue* type = info && !preview ? gst_structure_get_value(info, "image-type") : nullptr;
  if (type && G_VALUE_HOLDS_ENUM(type) && g_value_get_enum(type) >= GST_TAG_IMAGE_TYPE_FRONT_COVER &&
      g_value_get_enum(type) <= GST_TAG_IMAGE_TYPE_PUBLISHER_STUDIO_LOGO)
    texts->pictureType = static_cast<uint8_t>(g_value_get_enum(type) + 2);
  texts->picture.resize(gst_buffer_get_size(buffer));
  gst_buffer_extract(buffer, 0, texts->picture.data(), texts->picture.size());
}

// The texts of a tag list; false when it gives none.
bool TextsOfTags(const GstTagList* tags, AsfTagTexts* texts) {
  if (!tags) return false;
  texts->title = TagText(tags, GST_TAG_TITLE);
  texts->author = TagText(tags, GST_TAG_ARTIST);
  texts->description = TagText(tags, GST_TAG_COMMENT);
  texts->album = TagText(tags, GST_TAG_ALBUM);
  texts->genre = TagText(tags, GST_TAG_GENRE);
  guint track = 0;
  if (gst_tag_list_get_uint_index(tags, GST_TAG_TRACK_NUMBER, 0, &track) && track > 0)
    texts->track = std::to_string(track);
  GstDateTime* when = nullptr;
  GDate* date = nullptr;
  if (gst_tag_list_get_date_time_index(tags, GST_TAG_DATE_TIME, 0, &when)) {
    if (gst_date_time_has_year(when)) texts->year = std::to_string(gst_date_time_get_year(when));
    gst_date_time_unref(when);
  } else if (gst_tag_list_get_date_index(tags, GST_TAG_DATE, 0, &date)) {
    if (g_date_valid(date)) texts->year = std::to_string(g_date_get_year(date));
    g_date_free(date);
  }
  PictureOfTags(tags, texts);
  return !(texts->title.empty() && texts->author.empty() && texts->description.empty() && texts->album.empty() &&
           texts->genre.empty() && texts->track.empty() && texts->year.empty() && PictureValue(*texts).empty());
}

}  // namespace

G_BEGIN_DECLS
#define QL_TYPE_ASF_TAGS (ql_asf_tags_get_type())
G_DECLARE_FINAL_TYPE(QlAsfTags, ql_asf_tags, QL, ASF_TAGS, GstElement)
G_END_DECLS

struct _QlAsfTags {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;
  AsfTagsStream* stream;  // owned
};

G_DEFINE_TYPE_WITH_CODE(QlAsfTags, ql_asf_tags, GST_TYPE_ELEMENT,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_TAG_SETTER, nullptr))

static bool PushSegmentAt(QlAsfTags* self, uint64_t start) {
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  segment.start = start;
  segment.position = start;
  segment.time = start;
  return gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment));
}

static GstFlowReturn PushBytes(QlAsfTags* self, const uint8_t* data, size_t size) {
  if (size == 0) return GST_FLOW_OK;
  return gst_pad_push(self->srcpad, gst_buffer_new_memdup(data, size));
}

// Sends what is held: the header object with the tags once it is complete, or the
// bytes as they are when the stream ends or moves before that.
static GstFlowReturn ReleaseHeld(QlAsfTags* self, bool complete) {
  AsfTagsStream* st = self->stream;
  st->holding = false;
  std::vector<uint8_t> held = std::move(st->held);
  st->held.clear();
  if (!complete) {
    GST_WARNING_OBJECT(self, "header object incomplete (%zu bytes): written without tags", held.size());
    PushSegmentAt(self, 0);
    return PushBytes(self, held.data(), held.size());
  }
  std::vector<uint8_t> header(held.begin(), held.begin() + static_cast<ptrdiff_t>(st->headerBytes));
  if (!AddAsfTags(&header, st->texts)) {
    GST_WARNING_OBJECT(self, "not an ASF header object: written without tags");
    st->passthrough = true;
    PushSegmentAt(self, 0);
    return PushBytes(self, held.data(), held.size());
  }
  const uint64_t grown = header.size() - st->headerBytes;
  // Everything behind the header has moved by what the first one grew.
  if (st->firstBytes != 0 && (st->headerBytes != st->firstBytes || grown != st->grown)) {
    GST_ELEMENT_ERROR(self, STREAM, MUX, (nullptr), ("the header object changed its size"));
    return GST_FLOW_ERROR;
  }
  st->firstBytes = st->headerBytes;
  st->grown = grown;
  PushSegmentAt(self, 0);
  GstFlowReturn ret = PushBytes(self, header.data(), header.size());
  if (ret != GST_FLOW_OK) return ret;
  return PushBytes(self, held.data() + st->headerBytes, held.size() - st->headerBytes);
}

static GstFlowReturn ql_asf_tags_chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
  QlAsfTags* self = QL_ASF_TAGS(parent);
  AsfTagsStream* st = self->stream;
  if (!st->holding) {
    if (!st->passthrough && GST_BUFFER_OFFSET_IS_VALID(buffer)) {
      buffer = gst_buffer_make_writable(buffer);
      GST_BUFFER_OFFSET(buffer) += st->grown;
      GST_BUFFER_OFFSET_END(buffer) = GST_BUFFER_OFFSET_NONE;
    }
    return gst_pad_push(self->srcpad, buffer);
  }
  GstMapInfo map;
  if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    st->held.insert(st->held.end(), map.data, map.data + map.size);
    gst_buffer_unmap(buffer, &map);
  }
  gst_buffer_unref(buffer);
  if (st->headerBytes == 0 && st->held.size() >= kAsfHeaderObjectBytes) {
    st->headerBytes = memcmp(st->held.data(), kAsfHeaderObject, 16) == 0 ? GetLe(st->held.data() + 16, 8) : 0;
    if (st->headerBytes < kAsfHeaderObjectBytes || st->headerBytes > (1u << 20)) {
      st->passthrough = true;
      return ReleaseHeld(self, false);
    }
  }
  if (st->headerBytes != 0 && st->held.size() >= st->headerBytes) return ReleaseHeld(self, true);
  return GST_FLOW_OK;
}

static gboolean ql_asf_tags_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  QlAsfTags* self = QL_ASF_TAGS(parent);
  AsfTagsStream* st = self->stream;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_SEGMENT: {
      const GstSegment* segment = nullptr;
      gst_event_parse_segment(event, &segment);
      if (!st->decided) {
        // The multiplexer opens the file once its input has begun: the tags are in.
        st->decided = true;
        g_autoptr(GstTagList) tags = nullptr;
        if (const GstTagList* set = gst_tag_setter_get_tag_list(GST_TAG_SETTER(self))) tags = gst_tag_list_copy(set);
        st->passthrough = segment->format != GST_FORMAT_BYTES || !TextsOfTags(tags, &st->texts);
      }
      if (st->passthrough) break;
      if (st->holding) ReleaseHeld(self, false);
      if (segment->start == 0) {
        // The header object is (re)written here: held until it is complete.
        st->holding = true;
        st->held.clear();
        st->headerBytes = 0;
        gst_event_unref(event);
        return TRUE;
      }
      const uint64_t start = segment->start;
      gst_event_unref(event);
      return PushSegmentAt(self, start + st->grown);
    }
    case GST_EVENT_EOS:
      if (st->holding) ReleaseHeld(self, false);
      break;
    default:
      break;
  }
  return gst_pad_event_default(pad, parent, event);
}

static GstStateChangeReturn ql_asf_tags_change_state(GstElement* element, GstStateChange transition) {
  QlAsfTags* self = QL_ASF_TAGS(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) *self->stream = AsfTagsStream{};
  GstStateChangeReturn ret = GST_ELEMENT_CLASS(ql_asf_tags_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    *self->stream = AsfTagsStream{};
    gst_tag_setter_reset_tags(GST_TAG_SETTER(self));
  }
  return ret;
}

static void ql_asf_tags_finalize(GObject* object) {
  QlAsfTags* self = QL_ASF_TAGS(object);
  delete self->stream;
  self->stream = nullptr;
  G_OBJECT_CLASS(ql_asf_tags_parent_class)->finalize(object);
}

static void ql_asf_tags_class_init(QlAsfTagsClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  object_class->finalize = ql_asf_tags_finalize;
  element_class->change_state = ql_asf_tags_change_state;
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "ASF tag writer", "Formatter/Metadata",
                                        "Puts tags into the header object of an ASF file", "QuillLomare");
}

static void ql_asf_tags_init(QlAsfTags* self) {
  self->stream = new AsfTagsStream();
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, ql_asf_tags_chain);
  gst_pad_set_event_function(self->sinkpad, ql_asf_tags_sink_event);
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
}

bool RegisterAsfTags() {
  static std::mutex mutex;
  static bool registered = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (registered) return true;
  if (!gst_is_initialized()) return false;
  GST_DEBUG_CATEGORY_INIT(ql_asf_tags_debug, "qlasftags", 0, "ASF tag writer");
  registered = gst_element_register(nullptr, kAsfTagsElement, GST_RANK_NONE, QL_TYPE_ASF_TAGS);
  return registered;
}
