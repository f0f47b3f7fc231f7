// Reading an AVI file's stream list. Chunk sizes come from the file and are never
// trusted: a chunk that claims more bytes than there are is cut to what is there, and
// a header list that is cut short makes the whole file unreadable.
#include "media/avi_header.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "media/file_read.h"

namespace {

constexpr size_t kChunkHeaderBytes = 8;     // fourcc, 32-bit little-endian size
constexpr size_t kRiffHeaderBytes = 12;     // "RIFF" size "AVI "
constexpr size_t kStrhBytes = 48;           // AVISTREAMHEADER without rcFrame
constexpr size_t kWaveRecordBytes = 16;     // WAVEFORMAT + wBitsPerSample
constexpr size_t kWaveExRecordBytes = 18;   // ... + cbSize
constexpr size_t kBitmapInfoBytes = 40;     // BITMAPINFOHEADER of a video stream
constexpr size_t kDvInfoBytes = 32;         // DVINFO of an interleaved DV stream
constexpr uint32_t kMaxHeaderListBytes = 16u << 20;  // a larger "hdrl" is not a header
constexpr int kMaxChunksBeforeHeader = 16;  // "JUNK" and the like before "hdrl"

bool IsFourcc(const uint8_t* p, const char (&id)[5]) { return std::memcmp(p, id, 4) == 0; }

struct Chunk {
  const uint8_t* id;
  const uint8_t* body;
  size_t size;     // bytes of the body present, at most the declared size
  bool cutShort;   // the declared size runs past the data
};

// Calls visit(chunk) for each chunk in data until visit returns false or no further
// chunk header fits. Bodies are padded to an even size.
template <typename Visit>
void ForEachChunk(const uint8_t* data, size_t size, Visit visit) {
  size_t at = 0;
  while (size - at >= kChunkHeaderBytes) {
    const uint64_t declared = GetLe32(data + at + 4);
    const size_t available = size - at - kChunkHeaderBytes;
    Chunk chunk{data + at, data + at + kChunkHeaderBytes,
                static_cast<size_t>(std::min<uint64_t>(declared, available)), declared > available};
    if (!visit(chunk)) return;
    const uint64_t next = at + kChunkHeaderBytes + declared + (declared & 1);
    if (next > size) return;
    at = static_cast<size_t>(next);
  }
}

// A LIST chunk of the given list type.
bool IsList(const Chunk& chunk, const char (&type)[5]) {
  return IsFourcc(chunk.id, "LIST") && chunk.size >= 4 && IsFourcc(chunk.body, type);
}

// The "strf" record of an audio stream. The extra bytes are cut to what the chunk
// holds, as a demuxer reads them.
WaveFormat AudioFormat(const uint8_t* p, size_t size) {
  WaveFormat f;
  ParseWaveFormat(p, kWaveRecordBytes, &f);  // the fixed fields; size is at least that
  if (size >= kWaveExRecordBytes) {
    const size_t extra = std::min<size_t>(GetLe16(p + 16), size - kWaveExRecordBytes);
    f.extra.assign(p + kWaveExRecordBytes, p + kWaveExRecordBytes + extra);
  }
  return f;
}

AviStreamKind KindOf(const uint8_t* type) {
  if (IsFourcc(type, "vids") || IsFourcc(type, "iavs")) return AviStreamKind::Video;
  if (IsFourcc(type, "auds")) return AviStreamKind::Audio;
  if (IsFourcc(type, "txts")) return AviStreamKind::Text;
  return AviStreamKind::Other;
}

// One "strl" list. A stream is usable when its header comes first, both records are
// complete, and an audio stream can be timed: a constant-rate stream needs its byte
// rate, a variable-rate one (no sample size, blocks of more than one byte) its scale.
AviStream ParseStreamList(const uint8_t* data, size_t size) {
  AviStream stream;
  const uint8_t* strh = nullptr;
  bool haveStrf = false;
  bool sound = true;
  ForEachChunk(data, size, [&](const Chunk& chunk) {
    if (chunk.size == 0) return true;  // an empty chunk says nothing
    if (IsFourcc(chunk.id, "strh") && !strh) {
      if (chunk.size < kStrhBytes) {
        sound = false;
        return true;
      }
      strh = chunk.body;
      stream.kind = KindOf(strh);
    } else if (IsFourcc(chunk.id, "strf") && !haveStrf) {
      haveStrf = true;
      if (!strh) {
        sound = false;
        return true;
      }
      switch (stream.kind) {
        case AviStreamKind::Audio:
          if (chunk.size < kWaveRecordBytes) sound = false;
          else stream.format = AudioFormat(chunk.body, chunk.size);
          break;
        case AviStreamKind::Video:
          if (chunk.size < (IsFourcc(strh, "iavs") ? kDvInfoBytes : kBitmapInfoBytes)) sound = false;
          break;
        case AviStreamKind::Text:
          break;
        case AviStreamKind::Other:
          sound = false;
          break;
      }
    }
    return true;
  });
  stream.usable = sound && strh && haveStrf;
  if (stream.usable && stream.kind == AviStreamKind::Audio) {
    const uint32_t scale = GetLe32(strh + 20);
    const uint32_t sampleSize = GetLe32(strh + 44);
    const bool variableRate = sampleSize == 0 && scale > 1 && stream.format.blockAlign != 1;
    stream.usable = variableRate || stream.format.avgBytesPerSec != 0;
    const uint32_t rate = GetLe32(strh + 24), length = GetLe32(strh + 32);
    if (rate != 0) stream.duration = static_cast<int64_t>(uint64_t{length} * scale * 10000000 / rate);
  }
  return stream;
}

}  // namespace

bool ParseAviStreamList(const uint8_t* data, size_t size, std::vector<AviStream>* streams) {
  if (!data || size < kRiffHeaderBytes || !IsFourcc(data, "RIFF") || !IsFourcc(data + 8, "AVI "))
    return false;
  bool found = false;
  std::vector<AviStream> list;
  ForEachChunk(data + kRiffHeaderBytes, size - kRiffHeaderBytes, [&](const Chunk& chunk) {
    if (IsList(chunk, "movi")) return false;  // the header list comes before the data
    if (!IsList(chunk, "hdrl")) return true;
    found = !chunk.cutShort;
    if (found) {
      ForEachChunk(chunk.body + 4, chunk.size - 4, [&](const Chunk& inner) {
        if (IsList(inner, "strl")) list.push_back(ParseStreamList(inner.body + 4, inner.size - 4));
        return true;
      });
    }
    return false;
  });
  if (!found) return false;
  *streams = std::move(list);
  return true;
}

bool ReadAviStreamList(const std::string& path, std::vector<AviStream>* streams) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  auto readAt = [fd](uint8_t* out, size_t size, uint64_t offset) { return ReadFileAt(fd, offset, out, size); };

  // The RIFF header, then the top-level chunk headers up to the "hdrl" list, which is
  // handed to the parser as if it came first.
  std::vector<uint8_t> header(kRiffHeaderBytes + kChunkHeaderBytes + 4);
  bool ok = readAt(header.data(), kRiffHeaderBytes, 0) == kRiffHeaderBytes &&
            IsFourcc(header.data(), "RIFF") && IsFourcc(header.data() + 8, "AVI ");
  uint64_t offset = kRiffHeaderBytes;
  for (int skipped = 0; ok; ++skipped) {
    ok = skipped < kMaxChunksBeforeHeader;
    if (!ok) break;
    uint8_t* chunk = header.data() + kRiffHeaderBytes;
    ok = readAt(chunk, kChunkHeaderBytes + 4, offset) == kChunkHeaderBytes + 4;
    if (!ok) break;
    const uint32_t declared = GetLe32(chunk + 4);
    const bool isList = IsFourcc(chunk, "LIST");
    if (isList && IsFourcc(chunk + 8, "hdrl")) {
      ok = declared >= 4 && declared <= kMaxHeaderListBytes;
      if (!ok) break;
      header.resize(kRiffHeaderBytes + kChunkHeaderBytes + declared);
      const size_t body = declared - 4;
      const size_t got = readAt(header.data() + kRiffHeaderBytes + kChunkHeaderBytes + 4, body,
                                offset + kChunkHeaderBytes + 4);
      header.resize(kRiffHeaderBytes + kChunkHeaderBytes + 4 + got);  // cut short: refused
      break;
    }
    ok = !(isList && IsFourcc(chunk + 8, "movi"));
    offset += kChunkHeaderBytes + uint64_t{declared} + (declared & 1);
  }
  close(fd);
  return ok && ParseAviStreamList(header.data(), header.size(), streams);
}

bool AviStreamsUsable(const std::string& path) {
  std::vector<AviStream> streams;
  if (!ReadAviStreamList(path, &streams)) return true;
  return std::all_of(streams.begin(), streams.end(), [](const AviStream& s) { return s.usable; });
}
