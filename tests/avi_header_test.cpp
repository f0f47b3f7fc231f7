// The AVI stream list: what real files hold (checked against an independent RIFF
// reader), and what damaged or hostile headers give (never a read past the data).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/avi_header.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

std::string Le16(uint32_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }
std::string Le32(uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

std::string Chunk(const std::string& id, const std::string& body) {
  std::string out = id + Le32(static_cast<uint32_t>(body.size())) + body;
  if (body.size() % 2) out += '\0';
  return out;
}

std::string List(const std::string& type, const std::string& children) { return Chunk("LIST", type + children); }

std::string Riff(const std::string& chunks) {
  return "RIFF" + Le32(static_cast<uint32_t>(4 + chunks.size())) + "AVI " + chunks;
}

// A stream header: type, scale at 20, rate at 24, sample size at 44; 56 bytes.
std::string Strh(const std::string& type, uint32_t scale = 1, uint32_t sampleSize = 1) {
  std::string body = type + std::string(16, '\0') + Le32(scale) + Le32(44100) + std::string(16, '\0') +
                     Le32(sampleSize) + std::string(8, '\0');
  return Chunk("strh", body);
}

std::string WaveRecord(uint16_t tag, uint32_t avgBytes, uint16_t blockAlign, uint16_t bits) {
  return Le16(tag) + Le16(2) + Le32(44100) + Le32(avgBytes) + Le16(blockAlign) + Le16(bits);
}

const std::string kVideo = List("strl", Strh("vids") + Chunk("strf", std::string(40, '\x01')));
const std::string kPcm = List("strl", Strh("auds") + Chunk("strf", WaveRecord(1, 176400, 4, 16)));
const std::string kAvih = Chunk("avih", std::string(56, '\0'));

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

struct Parsed {
  bool ok = false;
  std::vector<AviStream> streams;
};

Parsed Parse(const std::string& file) {
  Parsed p;
  std::vector<uint8_t> bytes = Bytes(file);  // exact size: ASan sees any overread
  p.ok = ParseAviStreamList(bytes.data(), bytes.size(), &p.streams);
  return p;
}

TEST(AviHeader, HeadersOfEveryShape) {
  const std::string mp3Extra = std::string("\x01\x00\x02\x00\x00\x00\xA1\x01\x01\x00\x71\x05", 12);
  struct Row {
    const char* name;
    std::string file;
    bool ok;
    std::vector<AviStreamKind> kinds;
    std::vector<bool> usable;
  };
  const Row rows[] = {
      {"video then audio", Riff(List("hdrl", kAvih + kVideo + kPcm) + List("movi", "")), true,
       {AviStreamKind::Video, AviStreamKind::Audio}, {true, true}},
      {"junk before the header", Riff(Chunk("JUNK", std::string(7, 'j')) + List("hdrl", kPcm)), true,
       {AviStreamKind::Audio}, {true}},
      {"strf before strh",
       Riff(List("hdrl", List("strl", Chunk("strf", WaveRecord(1, 176400, 4, 16)) + Strh("auds")))), true,
       {AviStreamKind::Audio}, {false}},
      {"no strf", Riff(List("hdrl", List("strl", Strh("auds")))), true, {AviStreamKind::Audio}, {false}},
      {"short strh", Riff(List("hdrl", List("strl", Chunk("strh", "auds" + std::string(20, '\0'))))), true,
       {AviStreamKind::Other}, {false}},
      {"short strf", Riff(List("hdrl", List("strl", Strh("auds") + Chunk("strf", std::string(14, '\0'))))),
       true, {AviStreamKind::Audio}, {false}},
      {"constant rate without byte rate",
       Riff(List("hdrl", List("strl", Strh("auds") + Chunk("strf", WaveRecord(1, 0, 4, 16))))), true,
       {AviStreamKind::Audio}, {false}},
      {"variable rate without byte rate",
       Riff(List("hdrl", List("strl", Strh("auds", 1152, 0) + Chunk("strf", WaveRecord(0x55, 0, 1152, 0))))),
       true, {AviStreamKind::Audio}, {true}},
      {"unknown stream type", Riff(List("hdrl", List("strl", Strh("mids") + Chunk("strf", "x")) + kPcm)),
       true, {AviStreamKind::Other, AviStreamKind::Audio}, {false, true}},
      {"subtitles", Riff(List("hdrl", List("strl", Strh("txts") + Chunk("strf", "xy")))), true,
       {AviStreamKind::Text}, {true}},
      {"empty strf", Riff(List("hdrl", List("strl", Strh("txts") + Chunk("strf", "")))), true,
       {AviStreamKind::Text}, {false}},
      {"a strh claiming 4 GiB", Riff(List("hdrl", List("strl", "strh" + Le32(0xFFFFFFF0) + std::string(60, 'a')))),
       true, {AviStreamKind::Other}, {false}},
      {"no header list", Riff(kAvih), false, {}, {}},
      {"data before the header list", Riff(List("movi", "") + List("hdrl", kPcm)), false, {}, {}},
      {"header list cut short", Riff(List("hdrl", kPcm)).substr(0, 40), false, {}, {}},
      {"list too small for its type", Riff(Chunk("LIST", "hd")), false, {}, {}},
      {"a WAVE file", "RIFF" + Le32(4) + "WAVE", false, {}, {}},
      {"not RIFF", std::string(64, 'x'), false, {}, {}},
      {"empty", "", false, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Parsed p = Parse(row.file);
    ASSERT_EQ(p.ok, row.ok);
    ASSERT_EQ(p.streams.size(), row.kinds.size());
    for (size_t i = 0; i < p.streams.size(); ++i) {
      EXPECT_EQ(p.streams[i].kind, row.kinds[i]) << "stream " << i;
      EXPECT_EQ(p.streams[i].usable, row.usable[i]) << "stream " << i;
    }
  }

  // The record is taken whole, extra bytes included; a cbSize that runs past the
  // chunk keeps the bytes that are there.
  const std::string mp3 = WaveRecord(0x55, 16000, 1, 0) + Le16(12) + mp3Extra;
  Parsed whole = Parse(Riff(List("hdrl", List("strl", Strh("auds") + Chunk("strf", mp3)))));
  ASSERT_EQ(whole.streams.size(), 1u);
  const WaveFormat& f = whole.streams[0].format;
  EXPECT_EQ(f.formatTag, 0x55);
  EXPECT_EQ(f.channels, 2);
  EXPECT_EQ(f.samplesPerSec, 44100u);
  EXPECT_EQ(f.avgBytesPerSec, 16000u);
  EXPECT_EQ(f.blockAlign, 1);
  EXPECT_EQ(std::string(f.extra.begin(), f.extra.end()), mp3Extra);

  const std::string overlong = WaveRecord(2, 22000, 1024, 4) + Le16(32) + "abcd";
  Parsed cut = Parse(Riff(List("hdrl", List("strl", Strh("auds") + Chunk("strf", overlong)))));
  ASSERT_EQ(cut.streams.size(), 1u);
  EXPECT_EQ(std::string(cut.streams[0].format.extra.begin(), cut.streams[0].format.extra.end()), "abcd");
}

// A real header is refused until it is whole, and read at once when it is; what it
// says of each audio stream is checked end to end by the extraction tests.
TEST(AviHeader, EveryPrefixOfARealHeader) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make AVI files";
  TempDir dir;
  const std::string file = ReadFileBytes(MakeFixture(Fixture::AviMsAdpcm, dir.path(), 1.0));
  ASSERT_GT(file.size(), 24u);
  ASSERT_EQ(file.substr(12, 4), "LIST");
  ASSERT_EQ(file.substr(20, 4), "hdrl");
  const size_t headerEnd = 20 + static_cast<uint8_t>(file[16]) + (static_cast<uint8_t>(file[17]) << 8) +
                           (static_cast<uint8_t>(file[18]) << 16);
  for (size_t size = 0; size <= headerEnd + 16 && size <= file.size(); ++size) {
    Parsed p = Parse(file.substr(0, size));
    ASSERT_EQ(p.ok, size >= headerEnd) << "first " << size << " of " << headerEnd << " header bytes";
  }

  std::vector<AviStream> streams;
  ASSERT_TRUE(ReadAviStreamList(dir.file("AviMsAdpcm.avi"), &streams));
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[1].format.formatTag, 2);
  EXPECT_EQ(streams[1].format.extra.size(), 32u);  // samples per block and the 7 coefficient pairs
  EXPECT_FALSE(ReadAviStreamList(dir.file("absent.avi"), &streams));
  EXPECT_FALSE(ReadAviStreamList(MakeFixture(Fixture::TextAsMpg, dir.path(), 1.0, "text.avi"), &streams));
  EXPECT_FALSE(ReadAviStreamList(TruncateFile(dir.file("AviMsAdpcm.avi"), headerEnd - 1, dir.file("cut.avi")),
                                 &streams));
}

}  // namespace
