#include "tests/support/media_fixtures.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include <glib.h>
#include <gtest/gtest.h>

#include "tests/support/bytes.h"

namespace mediatest {
namespace {

// Every file ffmpeg writes here: no encoder name, no dates, no metadata, so the
// same arguments give the same bytes.
const std::vector<std::string> kBitExact = {"-fflags",  "+bitexact", "-flags:v",      "+bitexact",
                                            "-flags:a", "+bitexact", "-map_metadata", "-1"};

std::string FormatNumber(double value) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
  return ec == std::errc() ? std::string(buf, end) : std::string("0");
}

using Args = std::vector<std::string>;

// The parts one after another.
Args Cat(std::initializer_list<Args> parts) {
  Args all;
  for (const Args& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Args kFfmpeg = {"ffmpeg", "-nostdin", "-v", "error", "-y"};

// Runs a tool that must succeed; reports the command and its error text otherwise.
bool RunTool(const Args& argv) {
  int status = -1;
  std::string err;
  RunCommand(argv, &status, &err);
  if (status == 0) return true;
  std::string line;
  for (const std::string& arg : argv) line += arg + " ";
  ADD_FAILURE() << "exit " << status << ": " << line << "\n" << err;
  return false;
}

Args ToneInput(double frequency, int rate, double seconds) {
  return {"-f", "lavfi", "-i",
          "sine=frequency=" + FormatNumber(frequency) + ":sample_rate=" + std::to_string(rate) +
              ":duration=" + FormatNumber(seconds)};
}

// How one fixture is made: an optional test picture, zero or more tones (one audio
// stream each, all with the same encoding) and a container. The lame tool's fixtures
// start from a WAV file; sox makes the audio of Wav8BitOdd and Mp3LameVbrNoXing.
struct Recipe {
  const char* name;
  const char* extension;
  const char* videoCodec;  // nullptr: no video stream
  int toneCount;           // audio streams
  int rate;                // Hz of every tone
  int channels;
  Args audioArgs;          // encoder options
  const char* muxer;
};

const Args kS16 = {"-c:a", "pcm_s16le"}, kMp3 = {"-c:a", "libmp3lame", "-b:a", "128k"};

const Recipe& RecipeOf(Fixture f) {
  static const Recipe kRecipes[] = {
      {"Mp3Stereo44k", ".mp3", nullptr, 1, 44100, 2, kMp3, "mp3"},
      {"Mp3Mono22k", ".mp3", nullptr, 1, 22050, 1, {"-c:a", "libmp3lame", "-b:a", "64k"}, "mp3"},
      {"Wav8BitMono8k", ".wav", nullptr, 1, 8000, 1, {"-c:a", "pcm_u8"}, "wav"},
      {"Wav16Stereo44k", ".wav", nullptr, 1, 44100, 2, kS16, "wav"},
      {"Wav24Stereo44k", ".wav", nullptr, 1, 44100, 2, {"-c:a", "pcm_s24le"}, "wav"},
      {"Mpeg1PsMp2", ".mpg", "mpeg1video", 1, 44100, 2, {"-c:a", "mp2", "-b:a", "192k"}, "mpeg"},
      {"Mpeg1PsAc3", ".mpg", "mpeg1video", 1, 48000, 2, {"-c:a", "ac3", "-b:a", "192k"}, "mpeg"},
      {"VobAc3Stereo", ".vob", "mpeg2video", 1, 48000, 2, {"-c:a", "ac3", "-b:a", "192k"}, "vob"},
      {"VobAc3Surround", ".vob", "mpeg2video", 1, 48000, 6, {"-c:a", "ac3", "-b:a", "448k"}, "vob"},
      {"VobTwoAudio", ".vob", "mpeg2video", 2, 48000, 2, {"-c:a", "ac3", "-b:a", "192k"}, "vob"},
      {"VobMp2Ac3", ".vob", "mpeg2video", 2, 48000, 2, {"-c:a:0", "mp2", "-c:a:1", "ac3"}, "vob"},
      {"VobDts", ".vob", "mpeg2video", 1, 48000, 2, {"-c:a", "dca", "-strict", "-2"}, "vob"},
      {"VobLpcm", ".vob", "mpeg2video", 1, 48000, 2, {"-c:a", "pcm_s16be"}, "vob"},
      {"VobVideoOnly", ".vob", "mpeg2video", 0, 0, 0, {}, "vob"},
      {"MpgVideoOnly", ".mpg", "mpeg1video", 0, 0, 0, {}, "mpeg"},
      {"AviPcm", ".avi", "mpeg1video", 1, 44100, 2, kS16, "avi"},
      {"AviMp3", ".avi", "mpeg1video", 1, 44100, 2, kMp3, "avi"},
      {"AviMsAdpcm", ".avi", "mpeg1video", 1, 44100, 2, {"-c:a", "adpcm_ms"}, "avi"},
      {"AviImaAdpcm", ".avi", "mpeg1video", 1, 44100, 2, {"-c:a", "adpcm_ima_wav"}, "avi"},
      {"AviVideoOnly", ".avi", "mpeg1video", 0, 0, 0, {}, "avi"},
      {"WmvWma", ".wmv", "wmv2", 1, 44100, 2, {"-c:a", "wmav2", "-b:a", "128k"}, "asf"},
      {"TextAsMpg", ".mpg", nullptr, 0, 0, 0, {}, nullptr},
      {"TruncatedWav", ".wav", nullptr, 1, 44100, 2, kS16, "wav"},
      {"TruncatedMpg", ".mpg", "mpeg1video", 1, 44100, 2, {"-c:a", "mp2", "-b:a", "192k"}, "mpeg"},
      {"Wav8BitOdd", ".wav", nullptr, 0, 0, 0, {}, "wav"},
      {"WavHeaderOnly", ".wav", nullptr, 1, 44100, 2, kS16, "wav"},
      {"WavCutInFormat", ".wav", nullptr, 1, 44100, 2, kS16, "wav"},
      {"WavCutAfterList", ".wav", nullptr, 1, 44100, 2, kS16, "wav"},
      {"Mp3LameCbr", ".mp3", nullptr, 1, 44100, 2, kS16, "wav"},
      {"Mp3LameVbr", ".mp3", nullptr, 1, 44100, 2, kS16, "wav"},
      {"Mp3LameNoXing", ".mp3", nullptr, 1, 44100, 2, kS16, "wav"},
      {"Mp3LameVbrNoXing", ".mp3", nullptr, 0, 0, 0, {}, "wav"},
      {"Mp3FfmpegNoXing", ".mp3", nullptr, 1, 44100, 2, Cat({kMp3, {"-write_xing", "0"}}), "mp3"},
      {"Mp3Id3Tag100k", ".mp3", nullptr, 1, 44100, 2, kS16, "wav"},
      {"Mp3Id3Tag1M", ".mp3", nullptr, 1, 44100, 2, Cat({kMp3, {"-id3v2_version", "0"}}), "mp3"},
      {"Mp3XingClaimsMore", ".mp3", nullptr, 1, 44100, 2, kS16, "wav"},
  };
  static_assert(std::size(kRecipes) == static_cast<size_t>(Fixture::Mp3XingClaimsMore) + 1);
  return kRecipes[static_cast<size_t>(f)];
}

// The ffmpeg command that makes the recipe's file at path.
bool MakeWhole(const Recipe& r, const std::string& path, double seconds) {
  Args inputs, maps;
  if (r.videoCodec) {
    inputs = {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=" + FormatNumber(seconds)};
    maps = {"-map", "0:v", "-c:v", r.videoCodec};
  }
  for (int i = 0; i < r.toneCount; i++) {
    inputs = Cat({inputs, ToneInput(i == 0 ? kToneHz : kSecondToneHz, r.rate, seconds)});
    maps = Cat({maps, {"-map", std::to_string(i + (r.videoCodec ? 1 : 0)) + ":a"}});
  }
  const Args audio = r.toneCount > 0 ? Cat({r.audioArgs, {"-ac", std::to_string(r.channels)}}) : Args{};
  return RunTool(Cat({kFfmpeg, inputs, maps, audio, kBitExact, {"-f", r.muxer, path}}));
}

const char kNotMediaText[] =
    "This is a plain text file that only carries a video extension.\n"
    "It holds no MPEG pack headers and no audio.\n";

// ---- numbers from ffprobe's key=value output ----

// Calls each(line) for every line of text.
template <typename Each>
void ForEachLine(const std::string& text, Each each) {
  for (size_t begin = 0, end; begin < text.size(); begin = end + 1) {
    end = std::min(text.find('\n', begin), text.size());
    each(text.substr(begin, end - begin));
  }
}

template <typename T>
T ParseNumber(const std::string& text, T fallback = 0) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() ? value : fallback;
}

// ---- little-endian RIFF reading ----

uint16_t Le16(const std::string& b, size_t at) { return static_cast<uint16_t>(bytestest::GetLe(b, at, 2)); }
uint32_t Le32(const std::string& b, size_t at) { return static_cast<uint32_t>(bytestest::GetLe(b, at, 4)); }

// A wave format record of `size` bytes at `at`; false when it is shorter than 16
// bytes or its cbSize runs past its end.
bool ParseFormatRecord(const std::string& b, size_t at, size_t size, RiffFormat* f) {
  if (size < 16 || at + size > b.size()) return false;
  f->formatTag = Le16(b, at);
  f->channels = Le16(b, at + 2);
  f->samplesPerSec = Le32(b, at + 4);
  f->avgBytesPerSec = Le32(b, at + 8);
  f->blockAlign = Le16(b, at + 12);
  f->bitsPerSample = Le16(b, at + 14);
  f->extra.clear();
  if (size >= 18) {
    size_t cbSize = Le16(b, at + 16);
    if (18 + cbSize > size) return false;
    f->extra = b.substr(at + 18, cbSize);
  }
  return true;
}

// Calls visit(id, bodyOffset, bodySize) for each chunk in [begin, end), stopping
// at a header that does not fit; the body size is clipped to the data present.
template <typename Visit>
void ForEachChunk(const std::string& b, size_t begin, size_t end, Visit visit) {
  size_t at = begin;
  while (at + 8 <= end) {
    std::string id = b.substr(at, 4);
    uint32_t size = Le32(b, at + 4);
    size_t body = std::min<size_t>(size, end - (at + 8));
    if (!visit(id, at, size, at + 8, body)) return;
    at += 8 + static_cast<size_t>(size) + (size & 1);
  }
}

// An ID3v2.3 tag whose body is bodyBytes of padding.
std::string Id3Tag(size_t bodyBytes) {
  return std::string("ID3\x03\0\0", 6) + bytestest::Syncsafe(bodyBytes) + std::string(bodyBytes, '\0');
}

// The file made from the whole recipe in scratch: cut, encoded by lame, given a tag.
std::string Derive(Fixture f, const std::string& whole, const std::string& path, double seconds) {
  const std::string b = ReadFileBytes(whole);
  auto lame = [&](const Args& options) {
    return RunTool(Cat({{"lame", "--quiet"}, options, {whole, path}})) ? ReadFileBytes(path) : std::string();
  };
  std::string bytes;
  switch (f) {
    case Fixture::TruncatedWav:
    case Fixture::TruncatedMpg: bytes = b.substr(0, b.size() / 2); break;
    case Fixture::Mp3FfmpegNoXing: bytes = b; break;
    case Fixture::WavHeaderOnly: bytes = b.substr(0, 44); break;
    case Fixture::WavCutInFormat: bytes = b.substr(0, 30); break;
    case Fixture::WavCutAfterList: bytes = b.substr(0, 36) + std::string("LIST\x1a\0\0\0", 8); break;
    case Fixture::Mp3LameCbr: bytes = lame({"-b", "128"}); break;
    case Fixture::Mp3LameVbr: bytes = lame({"-V", "4"}); break;
    case Fixture::Mp3LameNoXing: bytes = lame({"-t", "-b", "128"}); break;
    case Fixture::Mp3Id3Tag100k: bytes = Id3Tag(100000) + lame({"-V", "4"}); break;
    case Fixture::Mp3Id3Tag1M: bytes = Id3Tag(1000000) + b; break;  // ffmpeg wrote no tag of its own
    case Fixture::Mp3XingClaimsMore: {
      bytes = lame({"-V", "4"});
      const size_t xing = bytes.find("Xing");
      if (xing == std::string::npos) {
        bytes.clear();
        break;
      }
      bytestest::PutBe(bytes, xing + 8, bytestest::GetBe(bytes, xing + 8, 4) * 4, 4);  // the frames, after the flags
      break;
    }
    case Fixture::Mp3LameVbrNoXing: {
      // Half the time silence, then noise: the first frames are far smaller than the rest.
      const std::string noisy = whole + ".noise.wav";
      if (RunTool({"sox", "-R", "-r", "44100", "-n", "-r", "44100", "-c", "2", "-b", "16", noisy, "synth",
                   FormatNumber(seconds / 2), "whitenoise", "pad", FormatNumber(seconds / 2)}) &&
          RunTool({"lame", "--quiet", "-t", "-V", "2", noisy, path}))
        bytes = ReadFileBytes(path);
      break;
    }
    case Fixture::Wav8BitOdd:
      // An odd number of 8-bit samples: the data chunk is followed by a pad byte.
      if (RunTool({"sox", "-R", "-r", "8000", "-n", "-r", "8000", "-c", "1", "-b", "8", "-e", "unsigned-integer", path, "synth",
                   std::to_string(static_cast<int64_t>(seconds * 8000) | 1) + "s", "sine", FormatNumber(kToneHz)}))
        return path;
      return {};
    default: break;
  }
  if (bytes.empty() || !WriteFileBytes(path, bytes)) {
    ADD_FAILURE() << "cannot make " << RecipeOf(f).name << " at " << path;
    return {};
  }
  return path;
}

}  // namespace

// ---- TempDir ----

TempDir::TempDir() {
  g_autoptr(GError) error = nullptr;
  g_autofree gchar* made = g_dir_make_tmp("quilllomare-test-XXXXXX", &error);
  if (made)
    path_ = made;
  else
    ADD_FAILURE() << "g_dir_make_tmp: " << error->message;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

// ---- running tools ----

// Leaving descriptors open lets GLib use posix_spawn instead of fork: forking a
// sanitized test process (terabytes of mapped shadow memory) costs ~100 ms a child.
// Our own descriptors are close-on-exec anyway.
// A wait status as RunCommand reports it: the exit code, or 128 + the signal number.
int ExitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : -1;
}

constexpr GSpawnFlags kSpawnFlags =
    static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_LEAVE_DESCRIPTORS_OPEN);

std::string RunCommand(const std::vector<std::string>& argv, int* exitStatus,
                       std::string* stderrText) {
  std::vector<gchar*> args;
  for (const std::string& a : argv) args.push_back(const_cast<gchar*>(a.c_str()));
  args.push_back(nullptr);

  g_autofree gchar* out = nullptr;
  g_autofree gchar* err = nullptr;
  g_autoptr(GError) error = nullptr;
  int waitStatus = 0;
  bool spawned = !argv.empty() && g_spawn_sync(nullptr, args.data(), nullptr, kSpawnFlags, nullptr,
                                               nullptr, &out, &err, &waitStatus, &error);
  if (!spawned) {
    if (exitStatus) *exitStatus = -1;
    if (stderrText) *stderrText = error ? error->message : "empty command";
    return {};
  }
  if (exitStatus) *exitStatus = ExitStatus(waitStatus);
  ExpectNoGLibNoise(err ? err : "");
  if (stderrText) *stderrText = err ? err : "";
  return out ? out : "";
}

void ExpectNoGLibNoise(const std::string& stderrText) {
  for (const char* mark : {"-CRITICAL **", "-WARNING **"}) {
    size_t at = stderrText.find(mark);
    if (at == std::string::npos) continue;
    size_t start = stderrText.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    ADD_FAILURE() << "GLib warning on standard error: " << stderrText.substr(start, stderrText.find('\n', at) - start);
  }
}

ProgramRun RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& wrapper) {
  std::vector<std::string> argv = wrapper;
  argv.push_back(QL_PROGRAM);
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramRun run;
  run.out = RunCommand(argv, &run.status, &run.err);
  return run;
}

pid_t StartCommand(const std::vector<std::string>& argv, const std::string& stderrPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitCommand(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid ? ExitStatus(status) : -1;
}

bool HaveFfmpeg() {
  static const bool have = [] {
    int a = -1, b = -1;
    RunCommand({"ffmpeg", "-nostdin", "-version"}, &a);
    RunCommand({"ffprobe", "-version"}, &b);
    return a == 0 && b == 0;
  }();
  return have;
}

// ---- fixtures ----

bool HaveTool(const std::string& name) {
  g_autofree gchar* found = g_find_program_in_path(name.c_str());
  return found != nullptr;
}

const char* FixtureName(Fixture f) { return RecipeOf(f).name; }

std::string MakeFixture(Fixture f, const std::string& dir, double seconds, const std::string& name) {
  const Recipe& r = RecipeOf(f);
  const std::string path = dir + "/" + (name.empty() ? std::string(r.name) + r.extension : name);
  if (f == Fixture::TextAsMpg) {
    if (WriteFileBytes(path, kNotMediaText)) return path;
    ADD_FAILURE() << "cannot write " << path;
    return {};
  }
  if (f < Fixture::TruncatedWav) return MakeWhole(r, path, seconds) ? path : "";
  // Made whole in scratch, then derived.
  TempDir scratch;
  const std::string whole = scratch.file(std::string("whole.") + r.muxer);
  if (r.toneCount > 0 && !MakeWhole(r, whole, seconds)) return {};
  return Derive(f, whole, path, seconds);
}

std::string MakeToneFile(const std::string& path, int rate, int channels, double seconds,
                         const std::vector<std::string>& outputArgs) {
  return RunTool(Cat({kFfmpeg, ToneInput(kToneHz, rate, seconds), {"-ac", std::to_string(channels)}, kBitExact,
                      outputArgs, {path}}))
             ? path
             : std::string();
}

// ---- judging ----

AudioInfo ProbeAudio(const std::string& path) {
  AudioInfo info;
  int status = -1;
  const std::string out =
      RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                  "stream=codec_name,sample_rate,channels,bits_per_sample,duration,bit_rate:format=format_name,duration",
                  "-of", "flat", path},
                 &status);
  if (status != 0) return info;
  // Lines of the form: streams.stream.0.codec_name="mp3", format.duration="2.000000"
  std::map<std::string, std::string> values;
  ForEachLine(out, [&](const std::string& line) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    values[line.substr(0, eq)] = value;
  });
  auto stream = [&](const char* key) { return values["streams.stream.0." + std::string(key)]; };
  info.formatName = values["format.format_name"];
  info.codec = stream("codec_name");
  info.sampleRate = ParseNumber<int>(stream("sample_rate"));
  info.channels = ParseNumber<int>(stream("channels"));
  info.bitsPerSample = ParseNumber<int>(stream("bits_per_sample"));
  info.duration = ParseNumber<double>(stream("duration"), ParseNumber<double>(values["format.duration"]));
  info.bitRate = ParseNumber<int64_t>(stream("bit_rate"));
  return info;
}

std::vector<double> PacketTimes(const std::string& path) {
  const std::string out = RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                      "packet=pts_time", "-of", "csv=p=0", path});
  std::vector<double> times;
  ForEachLine(out, [&](const std::string& line) {
    if (!line.empty()) times.push_back(ParseNumber<double>(line, -1));
  });
  return times;
}

std::vector<int16_t> DecodeToS16(const std::string& path, int rate, int channels, int streamIndex) {
  TempDir scratch;
  const std::string raw = scratch.file("decoded.s16");
  const Args resample = rate > 0 ? Args{"-ar", std::to_string(rate)} : Args{};
  const Args remix = channels > 0 ? Args{"-ac", std::to_string(channels)} : Args{};
  int status = -1;
  RunCommand(Cat({kFfmpeg, {"-i", path, "-map", "0:a:" + std::to_string(streamIndex)}, resample, remix,
                  {"-c:a", "pcm_s16le", "-f", "s16le", raw}}),
             &status);
  if (status != 0) return {};

  const std::string bytes = ReadFileBytes(raw);
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); i++) samples[i] = static_cast<int16_t>(Le16(bytes, 2 * i));
  return samples;
}

int64_t DecodedSampleCount(const std::string& path) {
  // Mixed down to mono: mixing never changes the frame count.
  const std::vector<int16_t> mono = DecodeToS16(path, 0, 1);
  return mono.empty() ? -1 : static_cast<int64_t>(mono.size());
}

double DominantFrequency(const std::vector<int16_t>& mono, int rate) {
  int peak = 0;
  for (int16_t s : mono) peak = std::max(peak, std::abs(static_cast<int>(s)));
  if (peak < 64 || rate <= 0) return 0;

  // A rising crossing counts only after the signal went below -threshold, so
  // coding noise around zero adds none.
  const int threshold = peak / 10;
  bool armed = false;
  double first = -1, last = -1;
  int64_t crossings = 0;
  for (size_t i = 1; i < mono.size(); i++) {
    if (mono[i] < -threshold) {
      armed = true;
    } else if (armed && mono[i] >= 0) {
      const double a = mono[i - 1], b = mono[i];  // a < 0 <= b
      const double at = static_cast<double>(i - 1) + (-a) / (b - a);
      if (first < 0) first = at;
      last = at;
      crossings++;
      armed = false;
    }
  }
  if (crossings < 2 || last <= first) return 0;
  return static_cast<double>(crossings - 1) * rate / (last - first);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string FfmpegStreamCopy(const std::string& in, const std::string& format,
                             const std::string& dir, int streamIndex) {
  const std::string out =
      dir + "/" + std::filesystem::path(in).filename().string() + ".a" + std::to_string(streamIndex) + "." + format;
  const Args bare = format == "mp3" ? Args{"-write_xing", "0", "-id3v2_version", "0", "-write_id3v1", "0"} : Args{};
  return RunTool(Cat({kFfmpeg, {"-i", in, "-map", "0:a:" + std::to_string(streamIndex), "-c", "copy"}, kBitExact,
                      bare, {"-f", format, out}}))
             ? out
             : std::string();
}

RiffWave ReadRiffWave(const std::string& path) {
  RiffWave wave;
  const std::string b = ReadFileBytes(path);
  wave.fileSize = b.size();
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) return wave;
  wave.riffSize = Le32(b, 4);
  bool haveFormat = false;
  ForEachChunk(b, 12, b.size(),
               [&](const std::string& id, size_t at, uint32_t size, size_t body, size_t present) {
                 wave.chunks.push_back({id, at, size});
                 if (id == "fmt " && !haveFormat)
                   haveFormat = ParseFormatRecord(b, body, present, &wave.format);
                 if (id == "data" && wave.dataOffset == 0) {
                   wave.dataOffset = body;
                   wave.dataSize = size;
                 }
                 return true;
               });
  wave.valid = haveFormat;
  return wave;
}

bool ReadAviAudioFormat(const std::string& path, int audioIndex, RiffFormat* format) {
  // A stream header's body starts with its type; the stream's "strf" chunk follows it.
  const std::string b = ReadFileBytes(path);
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "AVI ") != 0) return false;
  size_t at = 0;
  for (int seen = 0;; at += 4) {
    if ((at = b.find("auds", at)) == std::string::npos) return false;
    if (at >= 8 && b.compare(at - 8, 4, "strh") == 0 && seen++ == audioIndex) break;
  }
  const size_t strf = b.find("strf", at);
  return strf != std::string::npos && strf + 8 <= b.size() &&
         ParseFormatRecord(b, strf + 8, std::min<size_t>(Le32(b, strf + 4), b.size() - strf - 8), format);
}

off_t UnnamedOutputSize(pid_t pid, const std::string& folder) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    struct stat st;
    if (target.starts_with(folder + "/#") && target.ends_with(" (deleted)") && stat(entry.path().c_str(), &st) == 0)
      return st.st_size;
  }
  return -1;
}

}  // namespace mediatest
