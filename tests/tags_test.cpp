// Tags carried from inputs made by other tools (and taggers) into every output form, read back by
// ffprobe; the cover picture into a plain MP3 and a WMA file; --no-tags. Each batch of
// one file converts in the program's own process, through the run the window mode uses.
// Layouts the tools here do not write (tags after a WAV's audio, two ID3v2 tags, a
// compressed picture, a text with a byte that is not UTF-8) are made by a few lines of
// Python, and judged by what ffprobe reads from the same input.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <tuple>

#include "media/asf_header.h"
#include "media/file_tags.h"
#include "tests/support/bytes.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;
using namespace bytestest;

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

// Writes the layouts into the folder argv[1], from the files made there before.
constexpr const char* kLayouts = R"(
import struct, sys, zlib
d = sys.argv[1]
def read(name): return open(f'{d}/{name}', 'rb').read()
def write(name, data): open(f'{d}/{name}', 'wb').write(data)
def chunk(cid, data): return cid + struct.pack('<I', len(data)) + data + bytes(len(data) & 1)
def chunks(riff):
    at, out = 12, []
    while at + 8 <= len(riff):
        size = struct.unpack('<I', riff[at + 4:at + 8])[0]
        out.append((riff[at:at + 4], riff[at + 8:at + 8 + size]))
        at += 8 + size + (size & 1)
    return out
def wave(parts):
    body = b'WAVE' + b''.join(chunk(*part) for part in parts)
    return b'RIFF' + struct.pack('<I', len(body)) + body
def syncsafe(n): return bytes([n >> 21 & 127, n >> 14 & 127, n >> 7 & 127, n & 127])
def id3v24(frames):
    body = b''.join(name.encode() + syncsafe(len(data)) + struct.pack('>H', flags) + data
                    for name, data, flags in frames)
    return b'ID3\x04\x00\x00' + syncsafe(len(body)) + body
info = chunks(read('info.wav'))
write('info-after.wav', wave([c for c in info if c[0] != b'LIST'] + [c for c in info if c[0] == b'LIST']))
write('id3-after.wav', wave(chunks(read('sox.wav')) + [(b'id3 ', read('id3v2.tag'))]))
mp3 = read('bare.mp3')
write('two-tags.mp3', read('first.tag') + read('second.tag') + mp3)
v1 = b'TAG' + b'v1 title'.ljust(90, b'\x00') + b'1999' + bytes(30) + b'\xff'
write('tyer.mp3', id3v24([('TIT2', b'\x03v2 title', 0), ('TYER', b'\x032019', 0)]) + mp3 + v1)
write('bad-utf8.mp3', id3v24([('TIT2', b'\x03Ab\xffcd', 0), ('TPE1', b'\x03Artist', 0)]) + mp3)
apic = b'\x00image/png\x00\x03\x00' + read('cover.png')
packed = syncsafe(len(apic)) + zlib.compress(apic)  # flags: compressed, with the data length
write('zlib-cover.mp3', id3v24([('TIT2', b'\x03Title', 0), ('APIC', packed, 9)]) + mp3)
import shutil, mutagen.aiff, mutagen.id3 as id3
shutil.copy(f'{d}/sox.aiff', f'{d}/mutagen.aiff')
aiff = mutagen.aiff.AIFF(f'{d}/mutagen.aiff')
aiff.add_tags()
for frame in (id3.TIT2(encoding=3, text='夜の歌'), id3.TPE1(encoding=3, text='鈴木花子'),
              id3.TALB(encoding=3, text='冬の集い'), id3.TRCK(encoding=3, text='7'), id3.TDRC(encoding=3, text='2019')):
    aiff.tags.add(frame)
aiff.save()
form = read('sox.aiff')
body = form[8:12] + b''.join(cid + struct.pack('>I', len(v)) + v + bytes(len(v) & 1)
                             for cid, v in ((b'NAME', b'Name'), (b'AUTH', b'Author'), (b'ANNO', b'Note'))) + form[12:]
write('text.aiff', b'FORM' + struct.pack('>I', len(body)) + body)
)";

class TagsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveFfmpeg() || !HaveTool("lame") || !HaveTool("sox") || !HaveTool("id3v2") || !HaveTool("mid3v2") ||
        !HaveTool("python3"))
      return;
    dir_ = new TempDir;
    const std::string d = dir_->path();
    // Tagged by ffmpeg. 8-bit mono with an odd number of bytes: the pad byte comes before
    // the tags. The WMV file names the year as Windows Media names it. The WavPack file's
    // APE tag goes to the end of an MP3 file below.
    auto tagged = [&](const std::vector<std::string>& video, const std::vector<std::string>& encoding) {
      std::vector<std::string> args = {"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=440:d=2"};
      args.insert(args.end(), video.begin(), video.end());
      args.insert(args.end(), {"-ac", "2"});
      args.insert(args.end(), kTagArgs.begin(), kTagArgs.end());
      args.insert(args.end(), encoding.begin(), encoding.end());
      RunCommand(args);
    };
    for (const char* name : {"info.wav", "vorbis.flac"}) tagged({}, {d + "/" + name});
    tagged({}, {"-c:a", "wmav2", d + "/asf.wma"});
    tagged({}, {"-ac", "1", "-ar", "8000", "-af", "atrim=end_sample=7999", "-c:a", "pcm_u8", d + "/odd.wav"});
    tagged({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:d=2"},
           {"-metadata", "date=", "-metadata", "WM/Year=2019", "-c:v", "wmv2", "-c:a", "wmav2", d + "/asf.wmv"});
    tagged({}, {"-c:a", "wavpack", d + "/ape.wv"});
    // lame writes ID3v2 and an ID3v1 tag that cannot hold the Japanese text.
    RunCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=2", "-ac", "2", d + "/plain.wav"});
    RunCommand({"lame", "--quiet", "-b", "128", "--tt", "夜の歌", "--ta", "鈴木花子", "--tl", "冬の集い", "--tn", "7",
                "--ty", "2019", "--tg", "Pop", "--tc", "memo", d + "/plain.wav", d + "/lame.mp3"});
    RunCommand({"lame", "--quiet", "-b", "128", d + "/plain.wav", d + "/ape.mp3"});
    const std::string wv = ReadFileBytes(d + "/ape.wv");
    if (size_t tag = wv.find("APETAGEX"); tag != std::string::npos)
      std::ofstream(d + "/ape.mp3", std::ios::binary | std::ios::app) << wv.substr(tag);
    // Covers of lame.mp3: a small picture, and noise of about 90 KB.
    for (const auto& [picture, made, mp3] : {std::tuple{"cover.png", "color=red:s=16x16", "cover.mp3"},
                                             {"big.png", "nullsrc=s=256x256,geq=random(1)*255:128:128", "big-cover.mp3"}}) {
      RunCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", made, "-frames:v", "1", d + "/" + picture});
      RunCommand({"ffmpeg", "-v", "error", "-i", d + "/lame.mp3", "-i", d + "/" + picture, "-map", "0:a", "-map", "1",
                  "-c", "copy", "-id3v2_version", "3", d + "/" + mp3});
    }
    // Tags by taggers, on empty files: an ID3v2.3 tag by id3v2, two ID3v2.4 tags by mutagen.
    for (const char* name : {"/sox.wav", "/sox.aiff"})
      RunCommand({"sox", "-n", "-r", "22050", "-c", "1", "-b", "16", d + name, "synth", "2", "sine", "440"});
    RunCommand({"lame", "--quiet", "-b", "128", d + "/plain.wav", d + "/bare.mp3"});
    for (const char* name : {"id3v2.tag", "first.tag", "second.tag"}) WriteFileBytes(d + "/" + name, "");
    RunCommand({"id3v2", "-2", "-t", "Id3 title", "-a", "Id3 artist", "-A", "Id3 album", "-T", "3/9", "-y", "2001",
                "-g", "13", "-c", "memo", d + "/id3v2.tag"});
    RunCommand({"mid3v2", "-t", "First", "-a", "First artist", d + "/first.tag"});
    RunCommand({"mid3v2", "-t", "Second", "-A", "Second album", d + "/second.tag"});
    // The system Python, which the Debian package of mutagen installs into.
    RunCommand({"/usr/bin/python3", "-c", kLayouts, d});
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "ffmpeg, lame, sox, id3v2, mutagen or python3 missing";
  }

  // Converts a copy of the input, alone in a folder of its own; returns the output.
  static std::string Convert(const std::string& input, const std::vector<std::string>& options,
                             const std::string& caseName, bool tags = true) {
    const std::string folder = dir_->file(caseName);
    std::filesystem::create_directory(folder);
    const std::string copy = folder + "/" + std::filesystem::path(input).filename().string();
    std::filesystem::copy_file(dir_->file(input), copy);
    std::vector<std::string> args = {"--batch", "-q"};
    args.insert(args.end(), options.begin(), options.end());
    if (!tags) args.push_back("--no-tags");
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
  const Tags id3v2 = {{"title", "Id3 title"}, {"artist", "Id3 artist"}, {"album", "Id3 album"}, {"track", "3"},
                      {"date", "2001"},       {"genre", "Pop"},         {"comment", "memo"}};
  const struct {
    const char* input;
    Tags expected;
    bool asFfprobeReads;  // the expected tags are what ffprobe reads from the input
  } inputs[] = {
      {"lame.mp3", lame, false},  // ID3v2 wins over the ID3v1 tag's question marks
      {"vorbis.flac", kAll, true},
      {"info.wav", kAll, true},  // the track as IPRT
      {"odd.wav", kAll, true},
      {"ape.mp3", Only({"title", "artist", "album", "track", "genre", "comment"}), false},
      // The year, genre and comment the framework leaves out come from the header object.
      {"asf.wma", kAll, false},
      {"asf.wmv", kAll, false},
      // Tags after the audio: LIST INFO, an id3 chunk.
      {"info-after.wav", kAll, true},
      {"id3-after.wav", id3v2, true},
      // The first tag's fields, the second's filling its gaps; ID3v2 over ID3v1 with
      // the year as TYER in a v2.4 tag; one invalid byte as U+FFFD.
      {"two-tags.mp3", {{"title", "First"}, {"artist", "First artist"}, {"album", "Second album"}}, true},
      {"tyer.mp3", {{"title", "v2 title"}, {"date", "2019"}}, true},
      {"bad-utf8.mp3", {{"title", "Ab\uFFFDcd"}, {"artist", "Artist"}}, true},
      // AIFF: an ID3 chunk after the sound (mutagen), and the format's own text chunks.
      {"mutagen.aiff", Only({"title", "artist", "album", "track", "date"}), true},
      {"text.aiff", {{"title", "Name"}, {"artist", "Author"}, {"comment", "Note"}}, false},
  };
  std::map<std::string, std::string> flacOutputs;
  for (const auto& in : inputs) {
    if (in.asFfprobeReads) {
      Tags read = ProbeTags(dir_->file(in.input));
      if (read.contains("track")) read["track"] = read["track"].substr(0, read["track"].find('/'));  // "3/9": no count
      EXPECT_EQ(read, in.expected) << in.input;
    }
    for (const OutputForm& form : kForms) {
      const std::string name = std::string(in.input) + "-" + form.name;
      const std::string out = Convert(in.input, form.options, name);
      EXPECT_EQ(ProbeTags(out), in.expected) << name;
      if (const RiffWave wave = ReadRiffWave(out); ReadFileBytes(out).starts_with("RIFF")) {
        EXPECT_EQ(wave.riffSize + 8u, wave.fileSize) << name;  // the RIFF size counts the tags' chunk
      }
      if (in.input == std::string("vorbis.flac")) flacOutputs[form.name] = out;
    }
  }
  for (const OutputForm& form : kForms) {
    const std::string bare = Convert("vorbis.flac", form.options, std::string("no-tags-") + form.name, false);
    EXPECT_EQ(ProbeTags(bare), Tags{}) << form.name;
    EXPECT_EQ(DecodeToS16(bare), DecodeToS16(flacOutputs[form.name])) << form.name;
  }
}

// The plain MP3 file: the ID3v2 tag first, then the very bytes of the untagged file
// (its Xing frame first); the cover picture comes through unchanged, into a WMA file
// too, where a cover too large for it is left out and the file is whole. A cover
// stored compressed comes out as ffmpeg reads it.
TEST_F(TagsTest, PlainMp3TagGoesInFrontWithTheCover) {
  const std::string out = Convert("cover.mp3", kForms[1].options, "cover");
  const std::string bare = Convert("cover.mp3", kForms[1].options, "cover-bare", false);
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
  const std::string zlibCover = dir_->file("zlib-cover.mp3");
  const std::string zlibOut = Convert("zlib-cover.mp3", kForms[1].options, "zlib-cover");
  const std::string zlibWma = Convert("zlib-cover.mp3", kForms[3].options, "zlib-cover-wma");
  std::vector<std::string> covered = {out, wma, zlibCover, zlibOut, zlibWma};
  for (size_t form = 4; form < std::size(kForms); ++form) {
    covered.push_back(Convert("cover.mp3", kForms[form].options, std::string("cover-") + kForms[form].name));
    const std::string none = Convert("cover.mp3", kForms[form].options, std::string("cover-bare-") + kForms[form].name, false);
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

// A reader of the bytes as the tag readers take one.
auto ReaderOf(const std::string& bytes) {
  return [&bytes](uint64_t at, uint8_t* buffer, size_t size) -> size_t {
    return at >= bytes.size() ? 0 : bytes.copy(reinterpret_cast<char*>(buffer), size, at);
  };
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
    EXPECT_EQ(ReadAsfHeaderTags(ReaderOf(row.bytes), &tags), row.asf) << row.name;
    EXPECT_EQ((std::vector<std::string>{tags.title, tags.artist, tags.album, tags.track, tags.date, tags.genre,
                                        tags.comment}),
              row.expected)
        << row.name;
  }
}

// An ID3v2 tag of the version (2, 3, 4) and tag flags, of frames (id, flags, data);
// an unsynchronised v2.2 or v2.3 tag has each 0xFF followed by a 0x00.
std::string Id3(int version, uint8_t flags, const std::vector<std::tuple<std::string, int, std::string>>& frames) {
  std::string body;
  for (const auto& [id, frameFlags, data] : frames)
    body += id + (version == 4 ? Syncsafe(data.size()) : Be(data.size(), version == 2 ? 3 : 4)) +
            (version == 2 ? "" : Be(frameFlags, 2)) + data;
  if (version < 4 && (flags & 0x80))
    for (size_t at = body.find('\xFF'); at != std::string::npos; at = body.find('\xFF', at + 2))
      body.insert(at + 1, 1, '\0');
  return "ID3" + std::string{static_cast<char>(version), '\0', static_cast<char>(flags)} + Syncsafe(body.size()) + body;
}

// The file tag readers: ID3v2 as other taggers write it (versions, flag-bits, text
// encodings, genre numbers), damage stopping the reading, and a WAV file's tag chunks
// after its audio.
TEST(FileTags, ReadsId3v2AndWaveChunks) {
  using namespace std::string_literals;
  const std::string wave = "RIFF"s + Le(0, 4) + "WAVE" + Chunk("fmt ", std::string(16, '\1')) + Chunk("data", "abc") +
                           Chunk("LIST", "INFO" + Chunk("INAM", "T\0"s) + Chunk("IPRT", "7\0"s)) +
                           Chunk("id3 ", Id3(3, 0, {{"TIT2", 0, "\0Id3"s}, {"TALB", 0, "\0Al"s}}));
  const std::string packed = "\x78\x9C\x63\x08\x48\x4C\xCE\x4E\x4D\x01\x00\x07\xC7\x02\x49"s;  // "\0Packed"
  const struct {
    const char* name;
    std::string bytes;
    bool found;
    std::vector<std::string> expected;  // title, artist, album, track, date, genre or its number, comment
  } rows[] = {
      {"v2.3 compressed", Id3(3, 0, {{"TIT2", 0x80, Be(7, 4) + packed}}), true, {"Packed", "", "", "", "", "", ""}},
      {"v2.3 unsynchronised UTF-16",
       Id3(3, 0x80, {{"TPE1", 0, "\x01\xFF\xFE" "A\0\xE9\0"s}, {"TYER", 0, "\0" "1999"s}}), true,
       {"", "Aé", "", "", "1999", "", ""}},
      {"v2.2 and a genre number", Id3(2, 0, {{"TT2", 0, "\0Old"s}, {"TCO", 0, "\0(13)"s}, {"TRK", 0, "\0" "3/9"s}}),
       true, {"Old", "", "", "3", "", "#13", ""}},
      {"comments", Id3(4, 0, {{"COMM", 0, "\0eng" "desc\0x"s}, {"COMM", 0, "\3eng\0" "plain"s}}), true,
       {"", "", "", "", "", "", "plain"}},
      {"v2.4 sizes as v2.3 writes them",
       [] {
         std::string tag = Id3(4, 0, {{"TIT2", 0, "\0"s + std::string(299, 'x')}, {"TPE1", 0, "\0P"s}});
         return tag.replace(14, 4, Be(300, 4));  // read as syncsafe: 172
       }(),
       true, {std::string(299, 'x'), "P", "", "", "", "", ""}},
      {"encrypted frame", Id3(4, 0, {{"TIT2", 4, "\3X"s}, {"TPE1", 0, "\2\0B"s}}), true, {"", "B", "", "", "", "", ""}},
      {"frame beyond its tag", Id3(3, 0, {{"TIT2", 0, "\0T"s}}) + "TPE1" + Be(1000, 4) + "\0\0\0A"s, true,
       {"T", "", "", "", "", "", ""}},
      {"two tags", Id3(4, 0, {{"TIT2", 0, "\3One"s}}) + Id3(3, 0, {{"TIT2", 0, "\0Two"s}, {"TCON", 0, "\0Jazz"s}}),
       true, {"One", "", "", "", "", "Jazz", ""}},
      {"not ID3", "ID3\5\0\0\0\0\0\0", false, {"", "", "", "", "", "", ""}},
      {"wave", wave, true, {"T", "", "Al", "7", "", "", ""}},
  };
  for (const auto& row : rows) {
    FileTags tags;
    const auto readAt = ReaderOf(row.bytes);
    EXPECT_EQ(row.bytes.starts_with("RIFF") ? ReadWaveTags(readAt, &tags) : ReadId3v2Tags(readAt, 0, &tags), row.found)
        << row.name;
    const std::string genre = tags.genreNumber >= 0 ? "#" + std::to_string(tags.genreNumber) : tags.genre;
    EXPECT_EQ((std::vector<std::string>{tags.title, tags.artist, tags.album, tags.track, tags.date, genre, tags.comment}),
              row.expected)
        << row.name;
  }
}

}  // namespace
