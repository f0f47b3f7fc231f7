// The file source: loading a file, the probes on its output that shape what it passes
// on (push mode alone, holes, a stream end, an ASF packet count), and what it tells of
// its reading since the graph last ran.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gst/gst.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "media/asf_header.h"
#include "media/avi_header.h"
#include "media/file_read.h"
#include "media/media_internal.h"
#include "media/mp3_gapless.h"
#include "media/wave_check.h"

#define GST_CAT_DEFAULT ql_media_debug

// ---------------------------------------------------------------------------
// Probes on the source's output

// Answers the scheduling query of a file source with push mode alone. GStreamer's WAV
// parser, pulling, stops at an odd-sized chunk (8-bit audio with an odd number of
// samples, whose pad byte follows) and spins on a file cut inside its headers; fed
// by push it reads such files to their end. AIFF files go to our own reader, which
// reads pushed bytes (GStreamer's AIFF parser raced the decoder that plugs it in,
// pulling, and crashed now and then, pushed).
static GstPadProbeReturn OnSchedulingQuery(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
  if (!static_cast<Filter*>(data)->pushOnly || GST_QUERY_TYPE(query) != GST_QUERY_SCHEDULING)
    return GST_PAD_PROBE_OK;
  gst_query_set_scheduling(query, GST_SCHEDULING_FLAG_SEEKABLE, 1, -1, 0);
  gst_query_add_scheduling_mode(query, GST_PAD_MODE_PUSH);
  return GST_PAD_PROBE_HANDLED;
}

// What of its file a source passes on: [0, holeFrom) and [holeTo, end), one stream.
struct PassedBytes {
  uint64_t holeFrom = 0, holeTo = 0, end = 0;

  uint64_t Size() const { return end - (holeTo - holeFrom); }
  // The stream's offset of a file offset (the next byte passed on, for one not passed).
  uint64_t InStream(uint64_t at) const {
    if (at <= holeFrom) return at;
    return std::clamp(at, holeTo, end) - (holeTo - holeFrom);
  }
  uint64_t InFile(uint64_t at) const { return at < holeFrom ? at : at + (holeTo - holeFrom); }
};

// A WAV file of MPEG audio reaches a player's decoders as its "data" chunk alone, a plain
// MPEG audio stream, with byte positions counted from the chunk's start. GStreamer's WAV
// parser can neither time nor seek such a file when pushed: it hands the seek to the
// MPEG parser behind it, then fails an assertion on the byte segment that comes back
// and stamps it with an invalid base, so a seek lands nowhere. Conversions, which never
// seek, keep the parser for the tags of the file's INFO chunk.
// An MPEG audio file with junk in front of its frames reaches every reader without the
// junk: GStreamer's type finder and parser would lock onto a sync word in it, or give up.
static bool PassedBytesOf(const Filter* source, PassedBytes* passed) {
  if (source->mpegDataStart != 0 && source->mpegDataAlone) {
    *passed = {0, source->mpegDataStart, source->mpegDataStart + source->mpegDataSize};
    return true;
  }
  if (source->junkEnd != 0) {
    *passed = {source->junkStart, source->junkEnd, source->sourceSize};
    return true;
  }
  return false;
}

static GstPadProbeReturn OnPassedBytes(GstPad*, GstPadProbeInfo* info, gpointer data) {
  PassedBytes passed;
  if (!PassedBytesOf(static_cast<Filter*>(data), &passed)) return GST_PAD_PROBE_OK;
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!GST_BUFFER_OFFSET_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
    const uint64_t first = GST_BUFFER_OFFSET(buffer), last = first + gst_buffer_get_size(buffer);
    GstBuffer* part = nullptr;
    auto keep = [&](uint64_t from, uint64_t to) {
      from = std::max(from, first), to = std::min(to, last);
      if (to <= from) return;
      GstBuffer* piece = gst_buffer_copy_region(buffer, GST_BUFFER_COPY_ALL, from - first, to - from);
      part = part ? gst_buffer_append(part, piece) : piece;
    };
    keep(0, passed.holeFrom);
    keep(passed.holeTo, passed.end);
    if (!part) return GST_PAD_PROBE_DROP;
    GST_BUFFER_OFFSET(part) = passed.InStream(first);
    GST_BUFFER_OFFSET_END(part) = passed.InStream(last);
    gst_buffer_unref(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = part;
    return GST_PAD_PROBE_OK;
  }
  if (info->type & GST_PAD_PROBE_TYPE_QUERY_UPSTREAM) {
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    GstFormat format = GST_FORMAT_UNDEFINED;
    if (GST_QUERY_TYPE(query) == GST_QUERY_DURATION) gst_query_parse_duration(query, &format, nullptr);
    if (format == GST_FORMAT_BYTES) gst_query_set_duration(query, format, passed.Size());
    return GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  GstEvent* replaced = nullptr;
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
    GstSegment segment;
    gst_event_copy_segment(event, &segment);
    if (segment.format != GST_FORMAT_BYTES) return GST_PAD_PROBE_OK;
    segment.start = passed.InStream(segment.start);
    segment.position = passed.InStream(segment.position);
    segment.time = passed.InStream(segment.time);
    if (segment.stop != static_cast<guint64>(-1)) segment.stop = passed.InStream(segment.stop);
    segment.duration = passed.Size();
    replaced = gst_event_new_segment(&segment);
  } else if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
    gdouble rate;
    GstFormat format;
    GstSeekFlags flags;
    GstSeekType startType, stopType;
    gint64 from, to;
    gst_event_parse_seek(event, &rate, &format, &flags, &startType, &from, &stopType, &to);
    if (format != GST_FORMAT_BYTES) return GST_PAD_PROBE_OK;
    if (startType == GST_SEEK_TYPE_SET && from >= 0) from = static_cast<gint64>(passed.InFile(from));
    if (stopType == GST_SEEK_TYPE_SET && to >= 0) to = static_cast<gint64>(passed.InFile(to));
    replaced = gst_event_new_seek(rate, format, flags, startType, from, stopType, to);
  }
  if (!replaced) return GST_PAD_PROBE_OK;
  gst_event_set_seqnum(replaced, gst_event_get_seqnum(event));
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = replaced;
  return GST_PAD_PROBE_OK;
}

// GStreamer's ASF demuxer ends the stream after the packets the data object counts: a file
// whose count falls short of the packets it holds (a writer that stopped counting) would
// lose the rest as if damaged. Its count is passed on as 0, unknown, and every packet is read.
static GstPadProbeReturn OnAsfPacketCount(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const uint64_t at = static_cast<Filter*>(data)->shortPacketCountAt;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (at == 0 || !GST_BUFFER_OFFSET_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
  constexpr uint64_t kCountBytes = 8;
  const uint64_t first = GST_BUFFER_OFFSET(buffer), last = first + gst_buffer_get_size(buffer);
  const uint64_t from = std::max(first, at), to = std::min(last, at + kCountBytes);
  if (to <= from) return GST_PAD_PROBE_OK;
  buffer = gst_buffer_make_writable(buffer);
  gst_buffer_memset(buffer, from - first, 0, to - from);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

// Follows how far into its file a source has delivered, pushed or pulled.
static GstPadProbeReturn OnSourceBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
  Filter* source = static_cast<Filter*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!GST_BUFFER_OFFSET_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
  const uint64_t end = GST_BUFFER_OFFSET(buffer) + gst_buffer_get_size(buffer);
  if (end > source->sourceReadEnd) source->sourceReadEnd = end;
  source->sourceLastEnd = end;
  return GST_PAD_PROBE_OK;
}

// Ends what a source delivers, and the size it tells, at its file's stream end where
// one is set (after the reading is followed, so that the file still counts as read).
static GstPadProbeReturn OnSourceStreamEnd(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const uint64_t end = static_cast<Filter*>(data)->streamEnd;
  if (end == 0) return GST_PAD_PROBE_OK;
  if (info->type & GST_PAD_PROBE_TYPE_QUERY_UPSTREAM) {
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    GstFormat format = GST_FORMAT_UNDEFINED;
    if (GST_QUERY_TYPE(query) == GST_QUERY_DURATION) gst_query_parse_duration(query, &format, nullptr);
    if (format == GST_FORMAT_BYTES) gst_query_set_duration(query, format, static_cast<gint64>(end));
    return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!GST_BUFFER_OFFSET_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
  const uint64_t first = GST_BUFFER_OFFSET(buffer), size = gst_buffer_get_size(buffer);
  if (first + size <= end) return GST_PAD_PROBE_OK;
  if (first >= end) return GST_PAD_PROBE_DROP;
  GstBuffer* part = gst_buffer_copy_region(buffer, GST_BUFFER_COPY_ALL, 0, end - first);
  GST_BUFFER_OFFSET_END(part) = end;
  gst_buffer_unref(buffer);
  GST_PAD_PROBE_INFO_DATA(info) = part;
  return GST_PAD_PROBE_OK;
}

// ---------------------------------------------------------------------------
// Loading a file

// The size of the whole file as its header declares it: an AVI file's RIFF chunk size, an
// ASF file's File Properties size; 0 when the header says nothing. (A WAV file is read
// to its end whatever its header says, so its size proves nothing about losses.)
static uint64_t DeclaredFileSize(int fd) {
  uint8_t head[16384];
  const ssize_t got = pread(fd, head, sizeof head, 0);
  if (got < 12) return 0;
  auto le = [&head](size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | head[at + i];
    return v;
  };
  if (memcmp(head, "RIFF", 4) == 0) return memcmp(head + 8, "AVI ", 4) == 0 ? le(4, 4) + 8 : 0;
  if (got < 30 || memcmp(head, kAsfHeaderObject, 16) != 0) return 0;
  for (size_t at = 30; at + 64 <= static_cast<size_t>(got);) {
    const uint64_t objectSize = le(at + 16, 8);
    if (memcmp(head + at, kAsfFileProperties, 16) == 0) return le(at + 40, 8);
    if (objectSize < 24 || objectSize > static_cast<uint64_t>(got)) break;
    at += objectSize;
  }
  return 0;
}

// Where the sound of an AIFF or AIFC file ends: the end of its "SSND" chunk's bytes,
// before the pad byte of an odd size and before any chunk that follows (a tagger's
// "ID3 " chunk); the source ends there, so that the file counts as read whole.
// False when the file cannot be read as it states: no "COMM" chunk of full size ahead
// of the "SSND" chunk (pushed bytes cannot go back to one that follows).
static bool FindAiffSoundEnd(int fd, uint64_t fileSize, bool aifc, uint64_t* soundEnd) {
  const uint32_t commSize = aifc ? 22 : 18;
  bool comm = false;
  for (uint64_t at = 12; at + 8 <= fileSize;) {
    uint8_t header[8];
    if (ReadFileAt(fd, at, header, sizeof header) != sizeof header) return false;
    const uint32_t size = uint32_t{header[4]} << 24 | uint32_t{header[5]} << 16 | uint32_t{header[6]} << 8 | header[7];
    if (memcmp(header, "COMM", 4) == 0) comm = size >= commSize;
    if (memcmp(header, "SSND", 4) == 0) {
      *soundEnd = std::min<uint64_t>(at + 8 + size, fileSize);
      return comm;
    }
    at += 8 + uint64_t{size} + (size & 1);
  }
  return false;
}

// Whether a file's name says MPEG audio and its first bytes do not say another
// container: only such a file is searched for frames behind junk, since other files
// may well hold MPEG audio frames inside their own structure.
static bool NamesMpegAudio(const std::string& path, const char (&head)[12]) {
  static constexpr const char* kExtensions[] = {".mp3", ".mp2", ".mp1", ".mpa"};
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos ||
      std::none_of(std::begin(kExtensions), std::end(kExtensions),
                   [&](const char* e) { return g_ascii_strcasecmp(path.c_str() + dot, e) == 0; }))
    return false;
  static constexpr const char* kContainers[] = {"RIFF", "RIFX", "RF64", "FORM", "OggS", "fLaC",
                                                "\x30\x26\xB2\x75", "\x00\x00\x01\xBA"};
  for (const char* magic : kContainers)
    if (memcmp(head, magic, 4) == 0) return false;
  return memcmp(head + 4, "ftyp", 4) != 0;
}

bool FilterLoadFile(Filter* filter, const std::string& path) {
  if (!FilterHasFileSource(filter)) return false;
  if (filter->kind == FilterKind::CdTrackReader) return LoadCdTrack(filter, path);
  // Fail now, as opening a file source does, rather than at the first run. Only a
  // regular file or a block device is read: a FIFO, a socket or a terminal could block
  // the opening thread forever where no signal is handled. Non-blocking, so that
  // even opening a FIFO returns at once.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  bool readable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
  char head[12] = {};
  // RIFF, its big-endian twin RIFX and the 64-bit RF64 all go to the same parser.
  bool wave = readable && read(fd, head, sizeof head) == sizeof head && memcmp(head + 8, "WAVE", 4) == 0 &&
              (memcmp(head, "RIFF", 4) == 0 || memcmp(head, "RIFX", 4) == 0 || memcmp(head, "RF64", 4) == 0);
  const bool aiff = memcmp(head, "FORM", 4) == 0 && (memcmp(head + 8, "AIFF", 4) == 0 || memcmp(head + 8, "AIFC", 4) == 0);
  // That parser trusts the "fmt " record: a file whose record it cannot read as stated
  // loads, as a damaged file does, but never connects.
  auto readAt = [fd](uint64_t offset, uint8_t* buffer, size_t size) { return ReadFileAt(fd, offset, buffer, size); };
  const bool waveUnusable = wave && !WaveHeaderUsable(readAt);
  uint64_t mpegStart = 0, mpegSize = 0;
  if (wave && !waveUnusable && S_ISREG(st.st_mode) && !FindMpegWaveData(readAt, st.st_size, &mpegStart, &mpegSize))
    mpegStart = mpegSize = 0;
  uint64_t soundEnd = 0;
  const bool aiffUnusable =
      aiff && S_ISREG(st.st_mode) && !FindAiffSoundEnd(fd, st.st_size, memcmp(head + 8, "AIFC", 4) == 0, &soundEnd);
  uint64_t junkStart = 0, junkEnd = 0;
  if (!wave && S_ISREG(st.st_mode) && NamesMpegAudio(path, head) &&
      FindJunkBeforeMpegFrames(fd, static_cast<uint64_t>(st.st_size), &junkStart, &junkEnd))
    GST_INFO("%s: %" G_GUINT64_FORMAT " bytes before its frames are passed over", path.c_str(), junkEnd - junkStart);
  filter->declaredSize = readable && S_ISREG(st.st_mode) ? DeclaredFileSize(fd) : 0;
  filter->shortPacketCountAt = readable && S_ISREG(st.st_mode) ? AsfShortPacketCountAt(readAt, st.st_size) : 0;
  close(fd);
  filter->declaredDuration = 0;
  std::vector<AviStream> streams;
  if (filter->declaredSize > 0 && memcmp(head + 8, "AVI ", 4) == 0 && ReadAviStreamList(path, &streams))
    for (const AviStream& stream : streams)
      if (stream.kind == AviStreamKind::Audio && stream.usable) {
        filter->declaredDuration = stream.duration;
        break;
      }
  if (!readable) return false;
  if (filter->path.empty()) {  // the first file this source is given
    g_autoptr(GstPad) pad = gst_element_get_static_pad(filter->element, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnSourceBuffer, filter, nullptr);
    gst_pad_add_probe(pad,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_QUERY_UPSTREAM |
                                                   GST_PAD_PROBE_TYPE_PULL),
                      OnSourceStreamEnd, filter, nullptr);
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnAsfPacketCount, filter, nullptr);
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PUSH),
                      OnSchedulingQuery, filter, nullptr);
    gst_pad_add_probe(pad,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                   GST_PAD_PROBE_TYPE_EVENT_UPSTREAM),
                      OnPassedBytes, filter, nullptr);
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_QUERY_UPSTREAM | GST_PAD_PROBE_TYPE_PULL),
                      OnPassedBytes, filter, nullptr);
  }
  g_object_set(filter->element, "location", path.c_str(), nullptr);
  filter->path = path;
  filter->sourceSize = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  // The junk is cut out of the stream as it is pushed.
  filter->pushOnly = wave || aiff || junkEnd != 0;
  filter->waveUnusable = waveUnusable || aiffUnusable;
  filter->streamEnd = aiffUnusable ? 0 : soundEnd;
  filter->mpegDataStart = mpegStart;
  filter->mpegDataSize = mpegSize;
  filter->junkStart = junkStart;
  filter->junkEnd = junkEnd;
  return true;
}

// ---------------------------------------------------------------------------
// The reading the completion check reads

bool GraphSourceReadToEnd(const Graph* graph) {
  if (!graph) return false;
  for (const FilterRef& filter : graph->filters)
    if (filter->sourceSize > 0 && filter->sourceReadEnd < filter->sourceSize) return false;
  return true;
}

bool GraphGetSourceReading(const Graph* graph, SourceReading* reading) {
  if (!graph) return false;
  for (const FilterRef& filter : graph->filters) {
    if (!IsSourceKind(filter->kind) || filter->sourceSize == 0) continue;
    struct stat st;
    reading->sizeAtLoad = filter->sourceSize;
    // A file moved or removed meanwhile is still read whole through the open source.
    reading->sizeNow = stat(filter->path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : filter->sourceSize;
    reading->lastEnd = filter->sourceLastEnd;
    reading->declaredSize = filter->declaredSize;
    reading->declaredDuration = filter->declaredDuration;
    return true;
  }
  return false;
}
