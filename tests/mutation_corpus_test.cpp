// Damaged media through the batch program: small valid files made by ffmpeg, mutated with a
// fixed seed, each converted in WAV mode (and extracted, for the containers extraction
// takes) by the program under test. Whatever the damage, the program must end within its
// time bound, without a crash or sanitizer report, and either fail leaving nothing or
// succeed with an output that holds data; files that existed before are never changed.
//
// QL_MUTANTS=5000 ctest -R MutationCorpus   a longer campaign (default 240 mutants);
// QL_MUTANT_KEEP=DIR keeps the input of every run that misbehaved in DIR.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "tests/support/bytes.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;
using bytestest::GetLe;

namespace {

constexpr unsigned kSeed = 20261207;
constexpr int kDefaultMutants = 240;
constexpr const char* kTimeBound = "40";  // seconds per run, under sanitizers on a busy machine
// A file that exists before every run under the name the output would take first (the
// input itself takes that name from WAV inputs).
std::string KeptName(const std::string& extension) { return extension == "wav" ? "m_2.wav" : "m.wav"; }
constexpr const char* kKeptBytes = "not ours: never touched";

struct Seed {
  std::string extension;
  std::string bytes;
  bool extractable;  // extraction takes MPEG program streams and AVI
};

Seed FixtureSeed(Fixture fixture, const std::string& extension, const TempDir& dir, double seconds) {
  const std::string path = MakeFixture(fixture, dir.path(), seconds, "seed." + extension);
  return {extension, ReadFileBytes(path), extension != "mp3" && extension != "wav" && extension != "wmv"};
}

std::vector<Seed> MakeSeeds(const TempDir& dir) {
  const std::pair<Fixture, const char*> fixtures[] = {
      {Fixture::Mp3Stereo44k, "mp3"}, {Fixture::Mp3Mono22k, "mp3"},   {Fixture::Wav8BitMono8k, "wav"},
      {Fixture::Wav16Stereo44k, "wav"}, {Fixture::Mpeg1PsMp2, "mpg"}, {Fixture::VobAc3Stereo, "vob"},
      {Fixture::AviPcm, "avi"},       {Fixture::AviMp3, "avi"},       {Fixture::AviMsAdpcm, "avi"},
      {Fixture::AviImaAdpcm, "avi"},  {Fixture::WmvWma, "wmv"},
  };
  std::vector<Seed> seeds;
  for (const auto& [fixture, extension] : fixtures) seeds.push_back(FixtureSeed(fixture, extension, dir, 0.6));
  // More sample formats, and WMA in its own container.
  const std::pair<const char*, std::vector<std::string>> tones[] = {
      {"wav", {"-c:a", "pcm_s24le"}},
      {"wav", {"-c:a", "pcm_f32le"}},
      {"wav", {"-c:a", "pcm_s16le", "-ac", "1", "-ar", "11025"}},
      {"wma", {"-c:a", "wmav2", "-b:a", "64k", "-f", "asf"}},
  };
  for (const auto& [extension, args] : tones)
    seeds.push_back({extension, ReadFileBytes(MakeToneFile(dir.file(std::string("tone.") + extension), 22050, 2, 0.6, args)), false});
  return seeds;
}

// Offsets of the size fields of RIFF chunks ("RIFF", "LIST", "fmt ", "data", "strh",
// ...) and of MPEG pack and PES headers: the places a damaged length hurts most.
std::vector<size_t> LengthFields(const std::string& b) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 8 <= b.size(); ++i) {
    for (const char* id : {"RIFF", "LIST", "fmt ", "data", "strh", "strf", "avih", "JUNK", "idx1"})
      if (b.compare(i, 4, id) == 0) at.push_back(i + 4);
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && static_cast<unsigned char>(b[i + 3]) >= 0xBB)
      at.push_back(i + 4);  // PES packet length (and system header length)
    if (at.size() > 4096) break;
  }
  return at;
}

// One mutant of seed bytes; what was done goes to *what.
std::string Mutate(const std::string& seed, std::mt19937& rng, std::string* what) {
  std::string b = seed;
  auto pick = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(rng() % n); };
  auto byte = [&] { return static_cast<char>(rng() & 0xFF); };
  switch (rng() % 6) {
    case 0: {  // flipped bytes, mostly near the start where the headers are
      size_t n = 1 + pick(16);
      for (size_t i = 0; i < n; ++i) b[rng() % 2 ? pick(std::min<size_t>(b.size(), 512)) : pick(b.size())] ^= byte() | 1;
      *what = "flip " + std::to_string(n);
      break;
    }
    case 1: {  // truncated: inside the headers, or anywhere
      static const size_t kCuts[] = {0, 1, 4, 11, 12, 20, 36, 44, 45, 100, 400, 2048};
      size_t cut = rng() % 2 ? kCuts[pick(std::size(kCuts))] : pick(b.size());
      b.resize(std::min(cut, b.size()));
      *what = "cut at " + std::to_string(b.size());
      break;
    }
    case 2: {  // garbage inserted
      size_t at = pick(b.size()), n = 1 + pick(rng() % 4 ? 64 : 8192);
      std::string junk;
      for (size_t i = 0; i < n; ++i) junk += byte();
      b.insert(at, junk);
      *what = "insert " + std::to_string(n) + " at " + std::to_string(at);
      break;
    }
    case 3:
    case 4: {  // a chunk or packet length made wrong
      std::vector<size_t> fields = LengthFields(b);
      if (fields.empty()) return Mutate(seed, rng, what);
      size_t at = fields[pick(fields.size())];
      static const uint32_t kSizes[] = {0, 1, 2, 3, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE};
      uint32_t v = rng() % 2 ? kSizes[pick(std::size(kSizes))] : rng() % 70000;
      bytestest::PutLe(b, at, v, 4);
      *what = "length at " + std::to_string(at) + " = " + std::to_string(v);
      break;
    }
    default: {  // a header overwritten with noise
      size_t at = pick(std::min<size_t>(b.size(), 256)), n = 1 + pick(48);
      for (size_t i = at; i < at + n && i < b.size(); ++i) b[i] = byte();
      *what = "noise " + std::to_string(n) + " at " + std::to_string(at);
      break;
    }
  }
  return b;
}

// keepsTheAudio: a success must also hold at least 90% of the audio ffmpeg decodes
// from the same mutant.
struct Job {
  std::string folder, input, mode, what;
  bool keepsTheAudio = false;
};

// A folder of its own holding the mutant as m.EXTENSION and a file that existed before.
Job MakeJob(const std::string& folder, const std::string& extension, const std::string& bytes, const char* mode,
            const std::string& what, bool keepsTheAudio = false) {
  std::filesystem::create_directory(folder);
  const std::string input = folder + "/m." + extension;
  WriteFileBytes(input, bytes);
  WriteFileBytes(folder + "/" + KeptName(extension), kKeptBytes);
  return {folder, input, mode, what, keepsTheAudio};
}

// Seconds of audio ffmpeg decodes from the file, at one rate so that any two compare.
double DecodedSeconds(const std::string& path) {
  constexpr int kRate = 8000;
  return static_cast<double>(DecodeToS16(path, kRate, 1).size()) / kRate;
}

// Runs one job; an empty result when the program behaved.
std::string Judge(const Job& job) {
  const std::string inputBytes = ReadFileBytes(job.input);
  const std::string errPath = job.folder + "/../" + std::filesystem::path(job.folder).filename().string() + ".err";
  // timeout(1) exits 124 when the time ran out (killing the program 5 s after its
  // SIGTERM), 128 + the signal when the program died of one.
  const int code = WaitCommand(StartCommand({"timeout", "-k", "5", kTimeBound, QL_PROGRAM, "--batch", "--mode",
                                             job.mode, "--wav-format", "keep", job.input},
                                            errPath));
  const std::string err = ReadFileBytes(errPath);
  if (code == 124) return "hangs";
  if (code > 128) return "killed by signal " + std::to_string(code - 128) + "\n" + err;
  for (const char* mark : {"Sanitizer", "runtime error:", "-CRITICAL **", "-WARNING **"})
    if (err.find(mark) != std::string::npos) return err;
  if (code != 0 && code != 1) return "exit " + std::to_string(code) + "\n" + err;

  const std::string kept = KeptName(std::filesystem::path(job.input).extension().string().substr(1));
  if (ReadFileBytes(job.folder + "/" + kept) != kKeptBytes) return "changed a file that existed before";
  if (ReadFileBytes(job.input) != inputBytes) return "changed its input";
  std::vector<std::string> outputs = FolderEntries(job.folder);
  std::erase_if(outputs, [&](const std::string& name) { return job.folder + "/" + name == job.input || name == kept; });
  if (code == 1) return outputs.empty() ? "" : "failed but left " + outputs.front() + "\n" + err;
  if (outputs.size() != 1) return "succeeded with " + std::to_string(outputs.size()) + " files\n" + err;
  const std::string output = job.folder + "/" + outputs.front();
  if (ReadFileBytes(output).empty()) return "succeeded with an empty " + outputs.front();
  if (output.ends_with(".wav")) {
    RiffWave wave = ReadRiffWave(output);
    if (!wave.valid || wave.dataSize == 0) return "succeeded with a header-only " + outputs.front();
  }
  if (!job.keepsTheAudio) return "";
  const double got = DecodedSeconds(output), want = DecodedSeconds(job.input);
  if (got >= 0.9 * want) return "";
  return "succeeded with " + std::to_string(got) + " s of the " + std::to_string(want) + " s ffmpeg decodes";
}

// Judges the jobs two at a time (what the machine has), each worker taking every other
// one, and fails the test for every run that misbehaved.
void JudgeAll(const std::vector<Job>& jobs) {
  std::mutex lock;
  std::vector<std::string> faults;
  auto worker = [&](size_t first) {
    for (size_t i = first; i < jobs.size(); i += 2) {
      const std::string fault = Judge(jobs[i]);
      if (fault.empty()) continue;
      std::lock_guard guard(lock);
      const std::filesystem::path folder = jobs[i].folder, input = jobs[i].input;
      if (const char* keep = std::getenv("QL_MUTANT_KEEP"))
        std::filesystem::copy_file(input, std::string(keep) + "/" + folder.filename().string() + input.extension().string(),
                                   std::filesystem::copy_options::overwrite_existing);
      faults.push_back(jobs[i].what + ", " + jobs[i].mode + ": " + fault);
    }
  };
  std::thread other(worker, 1);
  worker(0);
  other.join();
  for (const std::string& f : faults) ADD_FAILURE() << f;
  EXPECT_TRUE(faults.empty()) << faults.size() << " of " << jobs.size() << " runs misbehaved (seed " << kSeed << ")";
}

// The mutants of the seeds in turn, as many as the variable says (else fallback), each
// converted in WAV mode and, where the seed takes it, extracted.
using Mutator = std::string (*)(const std::string& seed, std::mt19937& rng, std::string* what);
std::vector<Job> MutantJobs(const TempDir& dir, const std::vector<Seed>& seeds, const char* variable, int fallback,
                            const std::string& label, Mutator mutate, bool keepsTheAudio = false) {
  const char* count = std::getenv(variable);
  std::mt19937 rng(kSeed);
  std::vector<Job> jobs;
  for (int i = 0, mutants = count ? std::atoi(count) : fallback; i < mutants; ++i) {
    const Seed& seed = seeds[static_cast<size_t>(i) % seeds.size()];
    if (seed.bytes.empty()) continue;
    std::string what;
    const std::string bytes = mutate(seed.bytes, rng, &what);
    for (const char* mode : {"wav", "extract"}) {
      if (std::string(mode) == "extract" && !seed.extractable) continue;
      jobs.push_back(MakeJob(dir.file("m" + std::to_string(i) + mode), seed.extension, bytes, mode,
                             label + " " + std::to_string(i) + " (" + seed.extension + ", " + what + ")", keepsTheAudio));
    }
  }
  return jobs;
}

class MutationCorpusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
    // Plugins fed damaged files may assert; the program keeps that off the terminal,
    // which is what is judged here, so such an assertion must not end the run.
    unsetenv("G_DEBUG");
  }
  TempDir dir;
};

TEST_F(MutationCorpusTest, DamagedMediaNeverCrashHangOrLeaveBadFiles) {
  JudgeAll(MutantJobs(dir, MakeSeeds(dir), "QL_MUTANTS", kDefaultMutants, "mutant", Mutate));
}

// ---- Field-level damage of a WAV file's "fmt " chunk ----------------------------------
//
// The WAV files ffmpeg writes (plain, float, WAVE_FORMAT_EXTENSIBLE 24-bit and 6-channel),
// each field of the record set to values that once crashed, hung or fooled the program.
// Besides the rules above, a conversion that succeeds must hold at least 90% of the audio
// ffmpeg decodes from the same mutant.

struct FmtField {
  const char* name;
  size_t offset;  // in the chunk body
  size_t size;    // bytes; 16 for the GUID
  bool extensibleOnly;
  std::vector<uint32_t> values;  // kAroundField: the seed's own value, off by a little
};
constexpr uint32_t kAroundField = 0xDEADBEEF;

const std::vector<FmtField>& FmtFields() {
  static const std::vector<FmtField> fields = {
      {"tag", 0, 2, false, {0, 1, 3, 6, 0x11, 0x55, 0xFFFE, 0xFFFF}},
      {"channels", 2, 2, false, {0, 1, 3, 8, 65, 255, 0xFFFF, kAroundField}},
      {"rate", 4, 4, false, {0, 1, 2, 8000, 96000, 0x7FFFFFFF, 0xFFFFFFFF, kAroundField}},
      {"bytes/s", 8, 4, false, {0, 1, 0xFFFFFFFF, kAroundField}},
      {"block align", 12, 2, false, {0, 1, 30000, 0xFFFF, kAroundField}},
      {"bits", 14, 2, false, {0, 4, 12, 20, 64, 0xFFFF, kAroundField}},
      {"cbSize", 16, 2, false, {0, 2, 21, 23, 0xFFFF}},
      {"valid bits", 18, 2, true, {0, 1, 20, 33, 0xFFFF}},
      {"mask", 20, 4, true, {0, 1, 3, 0x3F, 0x80000000, 0xFFFFFFFF}},
      {"GUID", 24, 16, true, {}},  // one byte changed
  };
  return fields;
}

// The mutant of a WAV file with one field of its "fmt " chunk changed; "" when the seed
// has no such field.
std::string MutateFmtField(const std::string& seed, const FmtField& field, std::mt19937& rng, std::string* what) {
  const size_t chunk = seed.find("fmt ");
  if (chunk == std::string::npos) return "";
  const bool extensible = GetLe(seed, chunk + 8, 2) == 0xFFFE;
  if (field.offset + field.size > GetLe(seed, chunk + 4, 2) || (field.extensibleOnly && !extensible)) return "";
  std::string b = seed;
  const size_t at = chunk + 8 + field.offset;
  if (field.values.empty()) {
    const size_t i = rng() % field.size;
    b[at + i] = static_cast<char>(b[at + i] ^ (1 + rng() % 255));
    *what = std::string(field.name) + " byte " + std::to_string(i);
    return b;
  }
  uint32_t value = field.values[rng() % field.values.size()];
  if (value == kAroundField) {
    const uint32_t own = static_cast<uint32_t>(GetLe(b, at, static_cast<int>(field.size)));
    const uint32_t choices[] = {own + 1, own - 1, own * 2, own / 2};
    value = choices[rng() % 4];
  }
  bytestest::PutLe(b, at, value, static_cast<int>(field.size));
  *what = std::string(field.name) + " = " + std::to_string(value);
  return b;
}

TEST_F(MutationCorpusTest, DamagedWavFormatFieldsNeverCrashOrConvertShort) {
  const std::vector<std::vector<std::string>> encodings = {
      {"-c:a", "pcm_s16le"}, {"-c:a", "pcm_u8", "-ac", "1", "-ar", "8000"}, {"-c:a", "pcm_f32le"},
      {"-c:a", "pcm_s24le"}, {"-c:a", "pcm_s16le", "-ac", "6"},
  };
  std::vector<std::string> seeds;
  for (size_t i = 0; i < encodings.size(); ++i)
    seeds.push_back(ReadFileBytes(MakeToneFile(dir.file("seed" + std::to_string(i) + ".wav"), 22050, 2, 0.5, encodings[i])));

  // One mutant per field of each seed, two of each field of the extensible ones.
  std::mt19937 rng(kSeed);
  std::vector<Job> jobs;
  for (size_t s = 0; s < seeds.size(); ++s) {
    for (const FmtField& field : FmtFields()) {
      for (int n = 0; n < (s >= 3 ? 2 : 1); ++n) {
        std::string what;
        const std::string bytes = MutateFmtField(seeds[s], field, rng, &what);
        if (bytes.empty()) continue;
        jobs.push_back(MakeJob(dir.file("f" + std::to_string(jobs.size())), "wav", bytes, "wav",
                               "seed " + std::to_string(s) + " (" + what + ")", true));
      }
    }
  }
  JudgeAll(jobs);
}

// ---- AIFF and AIFC files ------------------------------------------------------------
//
// Files sox writes, damaged as above, and with the big-endian length of a chunk ("FORM",
// "COMM", "SSND", sox's "COMT", AIFC's "FVER") set to values that overrun or empty it.

std::string MutateAiff(const std::string& seed, std::mt19937& rng, std::string* what) {
  if (rng() % 2) return Mutate(seed, rng, what);
  std::vector<size_t> fields;
  for (const char* id : {"FORM", "COMM", "SSND", "COMT", "FVER"})
    for (size_t at = seed.find(id); at != std::string::npos; at = seed.find(id, at + 1)) fields.push_back(at + 4);
  if (fields.empty()) return Mutate(seed, rng, what);
  std::string b = seed;
  const size_t at = fields[rng() % fields.size()];
  static const uint32_t kSizes[] = {0, 1, 2, 7, 17, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  const uint32_t v = rng() % 2 ? kSizes[rng() % std::size(kSizes)] : rng() % 70000;
  bytestest::PutBe(b, at, v, 4);
  *what = "length at " + std::to_string(at) + " = " + std::to_string(v);
  return b;
}

TEST_F(MutationCorpusTest, DamagedAiffNeverCrashHangOrLeaveBadFiles) {
  if (!HaveTool("sox")) GTEST_SKIP() << "sox is needed to make AIFF files";
  const std::pair<const char*, std::vector<std::string>> made[] = {
      {"aiff", {"-r", "11025", "-c", "1", "-b", "16"}},
      {"aiff", {"-r", "44100", "-c", "2", "-b", "8"}},
      {"aifc", {"-r", "22050", "-c", "2", "-b", "16"}},
  };
  std::vector<Seed> seeds;
  for (const auto& [extension, format] : made) {
    const std::string path = dir.file("seed" + std::to_string(seeds.size()) + "." + extension);
    std::vector<std::string> argv = {"sox", "-n"};
    argv.insert(argv.end(), format.begin(), format.end());
    argv.insert(argv.end(), {path, "synth", "0.5", "sine", "440"});
    RunCommand(argv);
    seeds.push_back({extension, ReadFileBytes(path), false});
    ASSERT_FALSE(seeds.back().bytes.empty()) << path;
  }
  JudgeAll(MutantJobs(dir, seeds, "QL_AIFF_MUTANTS", 48, "aiff mutant", MutateAiff));
}

// ---- Junk in front of MPEG audio frames ---------------------------------------------
//
// MP3 and MP2 files behind bytes that are not their frames: noise, zeros, a piece cut out
// of the middle of the same stream, an ID3v2 tag whose size falls short of its body.
// Besides the rules above, a conversion that succeeds must hold at least 90% of the audio
// ffmpeg decodes.

std::string JunkInFront(const std::string& seed, std::mt19937& rng, std::string* what) {
  const size_t kind = rng() % 4, size = 1 + rng() % 20000;
  std::string junk(kind == 1 ? 3 * size : size, kind == 3 ? 'x' : '\0');
  if (kind == 0) std::generate(junk.begin(), junk.end(), [&] { return static_cast<char>(rng()); });
  if (kind == 2) junk = seed.substr(rng() % (seed.size() / 2), size);
  if (kind == 3) junk = std::string("ID3\x03\0\0\0\0\0", 9) + static_cast<char>(rng() % 20) + "TIT2" + junk;
  *what = std::string(kind == 0 ? "noise" : kind == 1 ? "zeros" : kind == 2 ? "a piece of its stream" : "a short tag") +
          " (" + std::to_string(junk.size()) + " bytes)";
  return junk + seed;
}

TEST_F(MutationCorpusTest, JunkBeforeMpegFramesNeverCrashOrConvertShort) {
  std::vector<Seed> seeds;
  for (Fixture fixture : {Fixture::Mp3Stereo44k, Fixture::Mp3Mono22k})
    seeds.push_back({"mp3", FixtureSeed(fixture, "mp3", dir, 0.6).bytes, false});
  const std::string mp2 = MakeToneFile(dir.file("seed.mp2"), 48000, 2, 0.6, {"-c:a", "mp2", "-f", "mp2"});
  seeds.push_back({"mp2", ReadFileBytes(mp2), false});
  JudgeAll(MutantJobs(dir, seeds, "QL_JUNK_MUTANTS", 24, "junk mutant", JunkInFront, true));
}

}  // namespace
