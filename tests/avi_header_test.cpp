// The AVI stream list of damaged or hostile headers (never a read past the data); what
// real files hold (video first, then audio) is checked end to end by the extraction tests,
// their prefixes by the fuzz target and the mutation corpus's cuts.
#include <gtest/gtest.h>

#include <tuple>

#include "media/avi_header.h"
#include "tests/support/bytes.h"

namespace {

using bytestest::Chunk;
std::string Le16(uint32_t v) { return bytestest::Le(v, 2); }
std::string Le32(uint32_t v) { return bytestest::Le(v, 4); }
std::string List(const std::string& type, const std::string& children) { return Chunk("LIST", type + children); }
std::string Riff(const std::string& chunks) { return "RIFF" + Le32(4 + chunks.size()) + "AVI " + chunks; }
std::string Strl(const std::string& chunks) { return List("strl", chunks); }
std::string Hdrl(const std::string& strls) { return Riff(List("hdrl", strls)); }

// A 56-byte stream header: type, scale at 20, rate 44100 at 24, sample size at 44.
std::string Strh(const std::string& type, uint32_t scale = 1, uint32_t sampleSize = 1) {
  return Chunk("strh", type + std::string(16, '\0') + Le32(scale) + Le32(44100) + std::string(16, '\0') +
                           Le32(sampleSize) + std::string(8, '\0'));
}
std::string Strf(uint16_t tag, uint32_t avgBytes, uint16_t blockAlign, uint16_t bits, const std::string& more = "") {
  return Chunk("strf", Le16(tag) + Le16(2) + Le32(44100) + Le32(avgBytes) + Le16(blockAlign) + Le16(bits) + more);
}

// Parses a copy of exactly the file's size, so that ASan sees any overread.
bool Parse(const std::string& file, std::vector<AviStream>* streams) {
  std::vector<uint8_t> bytes(file.begin(), file.end());
  return ParseAviStreamList(bytes.data(), bytes.size(), streams);
}

// Kind and usability of each stream: "A+" an audio stream that can be used, "O-" another that cannot.
std::string Describe(const std::vector<AviStream>& streams) {
  std::string out;
  for (const AviStream& s : streams) out += std::string(1, "VATO"[static_cast<int>(s.kind)]) + (s.usable ? "+" : "-");
  return out;
}

TEST(AviHeader, HeadersOfEveryShape) {
  const std::string pcm = Strl(Strh("auds") + Strf(1, 176400, 4, 16));
  const std::tuple<const char*, std::string, const char*> rows[] = {  // name, file, streams ("" refused)
      // No strf, a short one, and a constant rate without a byte rate.
      {"unsound audio", Hdrl(Strl(Strh("auds")) + Strl(Strh("auds") + Chunk("strf", std::string(14, '\0'))) +
                             Strl(Strh("auds") + Strf(1, 0, 4, 16))), "A-A-A-"},
      {"variable rate without byte rate", Hdrl(Strl(Strh("auds", 1152, 0) + Strf(0x55, 0, 1152, 0))), "A+"},
      {"junk before the header, an unknown stream type",
       Riff(Chunk("JUNK", std::string(7, 'j')) + List("hdrl", Strl(Strh("mids") + Chunk("strf", "x")) + pcm)), "O-A+"},
      {"strh short, then claiming 4 GiB",
       Hdrl(Strl(Chunk("strh", "auds" + std::string(20, '\0'))) + Strl("strh" + Le32(0xFFFFFFF0) + std::string(60, 0))),
       "O-O-"},
      {"no header list", Riff(Chunk("avih", std::string(56, '\0'))), ""},
      {"list too small for its type", Riff(Chunk("LIST", "hd")), ""},
      {"not RIFF", std::string(64, 'x'), ""},
  };
  for (const auto& [name, file, expected] : rows) {
    std::vector<AviStream> streams;
    EXPECT_EQ(Parse(file, &streams), *expected != '\0') << name;
    EXPECT_EQ(Describe(streams), expected) << name;
  }

  // A cbSize that runs past the chunk keeps the extra bytes that are there.
  std::vector<AviStream> streams;
  ASSERT_TRUE(Parse(Hdrl(Strl(Strh("auds") + Strf(2, 22000, 1024, 4, Le16(32) + "abcd"))), &streams));
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].format, (WaveFormat{2, 2, 44100, 22000, 1024, 4, {'a', 'b', 'c', 'd'}}));
}

}  // namespace
