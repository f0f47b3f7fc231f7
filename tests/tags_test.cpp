// Tags carried from inputs made by other tools into every output form, read back by
// ffprobe; the cover picture into a plain MP3 and a WMA file; --no-tags. Each batch of
// one file converts in the program's own process, through the run the window mode uses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "media/asf_header.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

using Tags = std::map<std::string, std::string>;

const std::vector<std::string> kTagArgs = {
    "-metadata", "title=夜の歌",   "-metadata", "artist=鈴木花子", "-metadata", "album=冬の集い",
    "-metadata", "track=7",       "-metadata", "date=2019",     "-metadata", "genre=演歌",
    "-metadata", "comment=備考欄"};
const Tags kAll = {{"title", "夜の歌"}, {"artist", "鈴木花子"}, {"album", "冬の集い"}, {"track", "7"},
                   {"date", "2019"},   {"genre", "演歌"},       {"comment", "備考欄"}};

// The tags of kAll with the given keys.
Tags Only(std::initializer_list<const char*> keys) {
  Tags tags;
  for (const char* key : keys) tags[key] = kAll.at(key);
  return tags;
}

// What ffprobe reads as the file's tags (or its audio stream's, where Ogg keeps them),
// keys lower-cased, a WMA file's WM/Year as the date; what the multiplexer says of
// itself and of the file's making aside.
Tags ProbeTags(const std::string& path) {
  static const std::set<std::string> kContainerKeys = {"encoder",       "major_brand",  "minor_version",
                                                       "compatible_brands", "creation_time", "handler_name",
                                                       "language",      "vendor_id"};
  std::string text = RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                 "format_tags:stream_tags", "-of", "default=noprint_wrappers=1", path});
  Tags tags;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    size_t eq = line.find('=');
    if (line.rfind("TAG:", 0) != 0 || eq == std::string::npos) continue;
    std::string key = line.substr(4, eq - 4);
    for (char& c : key) c = static_cast<char>(tolower(c));
    if (key == "wm/year") key = "date";
    if (!kContainerKeys.contains(key)) tags[key] = line.substr(eq + 1);
  }
  return tags;
}

class TagsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveFfmpeg() || !HaveTool("lame")) return;
    dir_ = new TempDir;
    const std::string d = dir_->path();
    std::vector<std::string> ffmpeg = {"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=440:d=2", "-ac", "2"};
    ffmpeg.insert(ffmpeg.end(), kTagArgs.begin(), kTagArgs.end());
    for (const char* name : {"info.wav", "vorbis.flac", "asf.wma", "odd.wav"}) {
      std::vector<std::string> args = ffmpeg;
      if (std::string(name) == "asf.wma") args.insert(args.end(), {"-c:a", "wmav2"});
      // 8-bit mono, an odd number of bytes: the pad byte comes before the tags.
      if (std::string(name) == "odd.wav")
        args.insert(args.end(), {"-ac", "1", "-ar", "8000", "-af", "atrim=end_sample=7999", "-c:a", "pcm_u8"});
      args.push_back(d + "/" + name);
      RunCommand(args);
    }
    // A WMV file with the year named as Windows Media names it.
    std::vector<std::string> wmv = {"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=440:d=2", "-f", "lavfi",
                                    "-i", "testsrc=size=64x48:rate=10:d=2", "-ac", "2"};
    wmv.insert(wmv.end(), kTagArgs.begin(), kTagArgs.end());
    wmv.insert(wmv.end(),
               {"-metadata", "date=", "-metadata", "WM/Year=2019", "-c:v", "wmv2", "-c:a", "wmav2", d + "/asf.wmv"});
    RunCommand(wmv);
    // lame writes ID3v2 and an ID3v1 tag that cannot hold the Japanese text.
    RunCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=2", "-ac", "2", d + "/plain.wav"});
    RunCommand({"lame", "--quiet", "-b", "128", "--tt", "夜の歌", "--ta", "鈴木花子", "--tl", "冬の集い", "--tn", "7",
                "--ty", "2019", "--tg", "Pop", "--tc", "memo", d + "/plain.wav", d + "/lame.mp3"});
    // An APE tag at the end of an MP3 file: the one ffmpeg writes into a WavPack file.
    std::vector<std::string> wavpack = ffmpeg;
    wavpack.insert(wavpack.end(), {"-c:a", "wavpack", d + "/ape.wv"});
    RunCommand(wavpack);
    RunCommand({"lame", "--quiet", "-b", "128", d + "/plain.wav", d + "/ape.mp3"});
    const std::string wv = ReadFileBytes(d + "/ape.wv");
    if (size_t tag = wv.find("APETAGEX"); tag != std::string::npos)
      std::ofstream(d + "/ape.mp3", std::ios::binary | std::ios::app) << wv.substr(tag);
    RunCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:s=16x16", "-frames:v", "1", d + "/cover.png"});
    RunCommand({"ffmpeg", "-v", "error", "-i", d + "/lame.mp3", "-i", d + "/cover.png", "-map", "0:a", "-map", "1",
                "-c", "copy", "-id3v2_version", "3", d + "/cover.mp3"});
    RunCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "nullsrc=s=256x256,geq=random(1)*255:128:128",
                "-frames:v", "1", d + "/big.png"});  // noise: about 90 KB
    RunCommand({"ffmpeg", "-v", "error", "-i", d + "/lame.mp3", "-i", d + "/big.png", "-map", "0:a", "-map", "1",
                "-c", "copy", "-id3v2_version", "3", d + "/big-cover.mp3"});
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "ffmpeg or lame missing";
  }

  // Converts a copy of the input, alone in a folder of its own; returns the output.
  static std::string Convert(const std::string& input, const std::vector<std::string>& options,
                             const std::string& caseName) {
    const std::string folder = dir_->file(caseName);
    std::filesystem::create_directory(folder);
    const std::string copy = folder + "/" + std::filesystem::path(input).filename().string();
    std::filesystem::copy_file(dir_->file(input), copy);
    std::vector<std::string> args = {"--batch", "-q"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(copy);
    const ProgramRun run = RunProgram(args);
    EXPECT_EQ(run.status, 0) << caseName << ": " << run.err;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      if (entry.path() != copy) return entry.path();
    return "";
  }

  static TempDir* dir_;
};
TempDir* TagsTest::dir_ = nullptr;

struct OutputForm {
  const char* name;
  std::vector<std::string> options;
};
const OutputForm kForms[] = {
    {"wav", {"--mode", "wav", "--wav-format", "keep"}},
    {"mp3", {"--mode", "mp3", "--mp3-form", "mp3"}},
    {"riff", {"--mode", "mp3", "--mp3-form", "riff"}},
    {"wma", {"--mode", "wma"}},
    {"flac", {"--mode", "flac"}},
    {"opus", {"--mode", "opus"}},
    {"vorbis", {"--mode", "vorbis"}},
    {"aac", {"--mode", "aac"}},
};

// Each input's tags reach every output form
// intact. --no-tags leaves them out and changes nothing else.
TEST_F(TagsTest, EveryInputIntoEveryOutputForm) {
  Tags lame = kAll;
  lame["genre"] = "Pop";
  lame["comment"] = "memo";
  const struct {
    const char* input;
    Tags expected;
  } inputs[] = {
      {"lame.mp3", lame},  // ID3v2 wins over the ID3v1 tag's question marks
      {"vorbis.flac", kAll},
      {"info.wav", Only({"title", "artist", "album", "date", "genre", "comment"})},
      {"odd.wav", Only({"title", "artist", "album", "date", "genre", "comment"})},
      {"ape.mp3", Only({"title", "artist", "album", "track", "genre", "comment"})},
      // The year, genre and comment the framework leaves out come from the header object.
      {"asf.wma", kAll},
      {"asf.wmv", kAll},
  };
  std::map<std::string, std::string> flacOutputs;
  for (const auto& in : inputs) {
    for (const OutputForm& form : kForms) {
      const std::string name = std::string(in.input) + "-" + form.name;
      const std::string out = Convert(in.input, form.options, name);
      Tags expected = in.expected;
      if (form.name == std::string("aac")) expected.erase("date");  // the multiplexer takes whole dates only
      EXPECT_EQ(ProbeTags(out), expected) << name;
      if (const RiffWave wave = ReadRiffWave(out); ReadFileBytes(out).starts_with("RIFF")) {
        EXPECT_EQ(wave.riffSize + 8u, wave.fileSize) << name;  // the RIFF size counts the tags' chunk
      }
      if (in.input == std::string("vorbis.flac")) flacOutputs[form.name] = out;
    }
  }
  for (const OutputForm& form : kForms) {
    std::vector<std::string> options = form.options;
    options.push_back("--no-tags");
    const std::string bare = Convert("vorbis.flac", options, std::string("no-tags-") + form.name);
    EXPECT_EQ(ProbeTags(bare), Tags{}) << form.name;
    EXPECT_EQ(DecodeToS16(bare), DecodeToS16(flacOutputs[form.name])) << form.name;
  }
}

// The plain MP3 file: the ID3v2 tag first, then the very bytes of the untagged file
// (its Xing frame first); the cover picture comes through unchanged, into a WMA file
// too, where a cover too large for it is left out and the file is whole.
TEST_F(TagsTest, PlainMp3TagGoesInFrontWithTheCover) {
  const std::string out = Convert("cover.mp3", kForms[1].options, "cover");
  const std::string bare = Convert("cover.mp3", {"--mode", "mp3", "--mp3-form", "mp3", "--no-tags"}, "cover-bare");
  const std::string tagged = ReadFileBytes(out), plain = ReadFileBytes(bare);
  ASSERT_GE(tagged.size(), 10u);
  ASSERT_EQ(tagged.substr(0, 3), "ID3");
  const size_t tagBytes = 10 + ((tagged[6] & 0x7F) << 21 | (tagged[7] & 0x7F) << 14 | (tagged[8] & 0x7F) << 7 |
                                (tagged[9] & 0x7F));
  EXPECT_EQ(tagged.substr(tagBytes), plain);
  EXPECT_EQ(ProbeTags(out).at("title"), "夜の歌");
  // The same cover in a WMA file (WM/Picture), where it fits a descriptor (64 KB), and in
  // each of the batch mode's own forms; none with --no-tags.
  const std::string wma = Convert("cover.mp3", kForms[3].options, "cover-wma");
  std::vector<std::string> covered = {out, wma};
  for (size_t form = 4; form < std::size(kForms); ++form) {
    covered.push_back(Convert("cover.mp3", kForms[form].options, std::string("cover-") + kForms[form].name));
    std::vector<std::string> bareOptions = kForms[form].options;
    bareOptions.push_back("--no-tags");
    const std::string none = Convert("cover.mp3", bareOptions, std::string("cover-bare-") + kForms[form].name);
    EXPECT_EQ(RunCommand({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "stream=index", "-of",
                          "csv=p=0", none}),
              "")
        << none;
  }
  for (const std::string& file : covered) {
    const std::string picture = file + ".png";
    RunCommand({"ffmpeg", "-v", "error", "-i", file, "-map", "0:v", "-c", "copy", "-f", "image2", picture});
    EXPECT_EQ(ReadFileBytes(picture), ReadFileBytes(dir_->file("cover.png"))) << file;
  }
  const std::string big = Convert("big-cover.mp3", kForms[3].options, "big-cover-wma");
  EXPECT_EQ(ProbeTags(big).at("title"), "夜の歌");
  std::string descriptor;  // its name as the file spells it, UTF-16LE
  for (char c : std::string("WM/Picture")) descriptor += {c, '\0'};
  EXPECT_EQ(ReadFileBytes(big).find(descriptor), std::string::npos);
  EXPECT_EQ(DecodeToS16(big), DecodeToS16(wma));
}

std::string Le(uint64_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
  return out;
}
std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += {c, '\0'};
  return out + std::string(2, '\0');
}
// An object: its GUID's first byte (0x30 the header, 0x33 the content description,
// 0x40 the extended content description), its size (the right one when 0) and body.
std::string Object(uint8_t guid, const std::string& body, uint64_t size = 0) {
  static const std::map<uint8_t, const char*> kGuids = {
      {0x30, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"},
      {0x33, "\x33\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"},
      {0x40, "\x40\xA4\xD0\xD2\x07\xE3\xD2\x11\x97\xF0\x00\xA0\xC9\x5E\xA8\x50"}};
  return std::string(kGuids.at(guid), 16) + Le(size ? size : 24 + body.size(), 8) + body;
}
std::string Header(const std::vector<std::string>& objects) {
  std::string body = Le(objects.size(), 4) + std::string(2, '\0');
  for (const std::string& o : objects) body += o;
  return Object(0x30, body);
}
std::string Description(std::vector<std::string> texts) {  // title, author, copyright, description, rating
  std::string lengths, bytes;
  for (const std::string& t : texts) lengths += Le(t.size(), 2), bytes += t;
  return Object(0x33, lengths + bytes);
}
std::string Descriptors(const std::vector<std::tuple<std::string, int, std::string>>& items) {
  std::string body = Le(items.size(), 2);
  for (const auto& [name, type, value] : items)
    body += Le(Utf16(name).size(), 2) + Utf16(name) + Le(type, 2) + Le(value.size(), 2) + value;
  return Object(0x40, body);
}

// The header's own reader: both objects, numbers as numbers, the first value winning,
// and untrusted sizes and texts stopping the reading, not the program.
TEST(AsfHeaderTags, ReadsWhatTheHeaderHolds) {
  const std::string cd = Description({Utf16("T"), Utf16("A"), Utf16("C"), Utf16("D"), ""});
  const std::string ecd = Descriptors({{"WM/TrackNumber", 3, Le(3, 4)}, {"wm/genre", 0, Utf16("G")},
                                       {"WM/Year", 0, Utf16("2001")}, {"Description", 0, Utf16("E")},
                                       {std::string(80, 'x'), 0, Utf16("long name")},
                                       {"WM/TrackNumber", 0, Utf16("8")}});
  const struct {
    const char* name;
    std::string bytes;
    bool asf;
    std::vector<std::string> expected;  // title, artist, album, track, date, genre, comment
  } rows[] = {
      {"both", Header({cd, ecd}), true, {"T", "A", "", "3", "2001", "G", "D"}},
      {"track of a text", Header({Descriptors({{"WM/TrackNumber", 0, Utf16("04/12")}})}), true,
       {"", "", "", "4", "", "", ""}},
      {"object beyond the header", Header({cd, Object(0x40, "", 1u << 30)}), true, {"T", "A", "", "", "", "", "D"}},
      {"texts beyond the object", Header({Object(0x33, Le(500, 2) + Le(0, 8) + Utf16("T"))}), true,
       {"", "", "", "", "", "", ""}},
      {"lone surrogate", Header({Description({std::string("\x00\xD8", 2), Utf16("A"), "", "", ""})}), true,
       {"", "A", "", "", "", "", ""}},
      {"cut short", Header({cd, ecd}).substr(0, 200), true, {"T", "A", "", "3", "", "G", "D"}},
      {"not ASF", "RIFF", false, {"", "", "", "", "", "", ""}},
  };
  for (const auto& row : rows) {
    AsfHeaderTags tags;
    const std::string& bytes = row.bytes;
    auto readAt = [&bytes](uint64_t at, uint8_t* buffer, size_t size) -> size_t {
      return at >= bytes.size() ? 0 : bytes.copy(reinterpret_cast<char*>(buffer), size, at);
    };
    const bool asf = ReadAsfHeaderTags(readAt, &tags);
    EXPECT_EQ(asf, row.asf) << row.name;
    EXPECT_EQ((std::vector<std::string>{tags.title, tags.artist, tags.album, tags.track, tags.date, tags.genre,
                                        tags.comment}),
              row.expected)
        << row.name;
  }
}

}  // namespace
