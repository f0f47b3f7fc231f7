// FLAC, Opus, Vorbis and AAC out of the batch mode, from every kind of input, judged by
// ffprobe and ffmpeg against the program's own WAV output of the same input (the
// decoded samples): FLAC bit for bit, Opus to within one sample at 48 kHz, the AAC
// encoder's delay left out by the edit list.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

struct Input {
  const char* name;
  Fixture fixture;
  int flacBits;  // bits FLAC keeps of it
};

// A float WAV and a WMA file come from MakeToneFile below; their fixture value is unused.
const Input kInputs[] = {
    {"Wav16Stereo44k", Fixture::Wav16Stereo44k, 16}, {"Wav24Stereo44k", Fixture::Wav24Stereo44k, 24},
    {"Wav8BitMono8k", Fixture::Wav8BitMono8k, 8},    {"Mp3Stereo44k", Fixture::Mp3Stereo44k, 16},
    {"Mpeg1PsMp2", Fixture::Mpeg1PsMp2, 16},          {"VobAc3Stereo", Fixture::VobAc3Stereo, 16},
    {"AviPcm", Fixture::AviPcm, 16},                  {"float", Fixture::Wav16Stereo44k, 24},
    {"tone", Fixture::WmvWma, 16},
};

struct Mode {
  const char* mode;
  const char* extension;
  const char* codec;
};

const Mode kModes[] = {
    {"flac", "flac", "flac"}, {"opus", "opus", "opus"}, {"vorbis", "ogg", "vorbis"}, {"aac", "m4a", "aac"}};

std::string Probe(const std::string& path, const std::string& entry) {
  std::string text = RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                 "stream=" + entry, "-of", "csv=p=0", path});
  while (!text.empty() && (text.back() == '\n' || text.back() == ',')) text.pop_back();
  return text;
}

// The first audio stream decoded to 32-bit integers, as bytes.
std::string DecodeS32(const std::string& path) {
  const std::string raw = path + ".s32";
  RunCommand({"ffmpeg", "-v", "error", "-y", "-i", path, "-map", "0:a:0", "-f", "s32le", raw});
  return ReadFileBytes(raw);
}

// The types of a FLAC file's metadata blocks, in order.
std::vector<int> FlacBlockTypes(const std::string& bytes) {
  std::vector<int> types;
  if (bytes.rfind("fLaC", 0) != 0) return types;
  for (size_t at = 4; at + 4 <= bytes.size();) {
    const auto header = static_cast<uint8_t>(bytes[at]);
    types.push_back(header & 0x7F);
    at += 4 + (static_cast<uint8_t>(bytes[at + 1]) << 16 | static_cast<uint8_t>(bytes[at + 2]) << 8 |
               static_cast<uint8_t>(bytes[at + 3]));
    if (header & 0x80) break;
  }
  return types;
}

class ConvertEncodedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveFfmpeg()) return;
    dir_ = new TempDir;
    std::filesystem::create_directory(dir_->file("in"));
    for (const Input& input : kInputs) {
      const std::string name = input.name;
      std::string path;
      if (name == "float")
        path = MakeToneFile(dir_->file("in/float.wav"), 44100, 2, 3.0, {"-c:a", "pcm_f32le", "-f", "wav"});
      else if (name == "tone")
        path = MakeToneFile(dir_->file("in/tone.wma"), 44100, 2, 3.0, {"-c:a", "wmav2", "-f", "asf"});
      else
        path = MakeFixture(input.fixture, dir_->file("in"));
      inputs_.push_back(path);
    }
    // The decoded samples, as the WAV mode keeps them.
    Convert({"--mode", "wav", "--wav-format", "keep"}, "wav");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
    inputs_.clear();
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "ffmpeg missing";
  }

  // Every input in one batch, two at a time, into the folder named; its output of the input.
  static ProgramRun Convert(std::vector<std::string> options, const std::string& folder) {
    options.insert(options.begin(), {"--batch", "-q", "--jobs", "2", "--output-dir", dir_->file(folder)});
    options.insert(options.end(), inputs_.begin(), inputs_.end());
    ProgramRun run = RunProgram(options);
    EXPECT_EQ(run.status, 0) << folder << ": " << run.err;
    return run;
  }
  static std::string Output(const std::string& folder, size_t input, const std::string& extension) {
    return dir_->file(folder + "/" + std::filesystem::path(inputs_[input]).stem().string() + "." + extension);
  }

  static TempDir* dir_;
  static std::vector<std::string> inputs_;
};
TempDir* ConvertEncodedTest::dir_ = nullptr;
std::vector<std::string> ConvertEncodedTest::inputs_;

TEST_F(ConvertEncodedTest, EveryModeFromEveryInput) {
  for (const Mode& mode : kModes) {
    Convert({"--mode", mode.mode}, mode.mode);
    for (size_t i = 0; i < std::size(kInputs); ++i) {
      const std::string out = Output(mode.mode, i, mode.extension);
      const std::string reference = Output("wav", i, "wav");
      const std::string row = std::string(mode.mode) + " from " + kInputs[i].name;
      ASSERT_TRUE(std::filesystem::exists(out)) << row;
      const AudioInfo got = ProbeAudio(out), wav = ProbeAudio(reference);
      EXPECT_EQ(got.codec, mode.codec) << row;
      EXPECT_EQ(got.channels, wav.channels) << row;
      const int64_t samples = DecodedSampleCount(reference);
      const std::string name = mode.mode;
      if (name == "opus") {
        EXPECT_EQ(got.sampleRate, 48000) << row;
        const double expected = static_cast<double>(samples) * 48000 / wav.sampleRate;
        EXPECT_LE(std::abs(static_cast<double>(DecodedSampleCount(out)) - expected), 1.0) << row;
      } else {
        EXPECT_EQ(got.sampleRate, wav.sampleRate) << row;
      }
      if (name == "flac") {
        EXPECT_EQ(Probe(out, "bits_per_raw_sample"), std::to_string(kInputs[i].flacBits)) << row;
        if (kInputs[i].name != std::string("float")) {
          EXPECT_EQ(DecodeS32(out), DecodeS32(reference)) << row;
        }
        EXPECT_EQ(DecodedSampleCount(out), samples) << row;
        const std::vector<int> blocks = FlacBlockTypes(ReadFileBytes(out));
        EXPECT_NE(std::find(blocks.begin(), blocks.end(), 3), blocks.end()) << row << ": no seek table";
      }
      if (name == "vorbis") {
        EXPECT_LE(std::abs(DecodedSampleCount(out) - samples), 1) << row;
      }
      if (name == "aac") {  // the edit list: after the encoder's delay, the input's samples
        EXPECT_LE(std::abs(std::atoll(Probe(out, "duration_ts").c_str()) - samples), 1) << row;
      }
      if (name != "flac") {
        const std::vector<int16_t> mono = DecodeToS16(out, 0, 1);
        EXPECT_NEAR(DominantFrequency(mono, got.sampleRate), kToneHz, 5) << row;
      }
    }
  }
  // Run again, the outputs already there are skipped, not numbered.
  const ProgramRun rerun = RunProgram({"--batch", "-q", "--skip-existing", "--mode", "opus", "--output-dir",
                                       dir_->file("opus"), inputs_[0], inputs_[1]});
  EXPECT_EQ(rerun.status, 0) << rerun.err;
  EXPECT_FALSE(std::filesystem::exists(dir_->file("opus/Wav16Stereo44k_2.opus")));
}

// The encoder settings reach the encoders.
TEST_F(ConvertEncodedTest, EncoderSettings) {
  int n = 0;
  auto sizeOf = [&](const std::vector<std::string>& options, const std::string& extension) -> int64_t {
    const std::string folder = dir_->file("settings" + std::to_string(n++));
    std::vector<std::string> args = {"--batch", "-q", "--output-dir", folder};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(inputs_[0]);
    const ProgramRun run = RunProgram(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::error_code error;
    return static_cast<int64_t>(std::filesystem::file_size(folder + "/Wav16Stereo44k." + extension, error));
  };
  // Bit rates in b/s over the three seconds, headers included; Opus's rate is a variable
  // one's average, which three seconds of a tone meet only roughly.
  EXPECT_NEAR(sizeOf({"--mode", "opus", "--opus-bitrate", "48"}, "opus") * 8 / 3, 48000, 16000);
  EXPECT_NEAR(sizeOf({"--mode", "aac", "--aac-bitrate", "96"}, "m4a") * 8 / 3, 96000, 16000);
  EXPECT_NEAR(sizeOf({"--mode", "aac"}, "m4a") * 8 / 3, 192000, 24000);
  EXPECT_LT(sizeOf({"--mode", "vorbis", "--vorbis-quality", "0"}, "ogg"),
            sizeOf({"--mode", "vorbis", "--vorbis-quality", "8.5"}, "ogg"));
  EXPECT_GT(sizeOf({"--mode", "flac", "--flac-level", "0"}, "flac"),
            sizeOf({"--mode", "flac", "--flac-level", "8"}, "flac"));
}

// A machine without the AAC encoder: the numbered message names the package to install,
// and nothing is written.
TEST_F(ConvertEncodedTest, MissingElementNamesItsPackage) {
  const std::string plugins = RunCommand({"pkg-config", "--variable=pluginsdir", "gstreamer-1.0"});
  const std::filesystem::path system = plugins.substr(0, plugins.find('\n'));
  if (!std::filesystem::exists(system / "libgstlibav.so")) GTEST_SKIP() << "no libav plugin to hide";
  const std::string kept = dir_->file("plugins");
  std::filesystem::create_directory(kept);
  for (const auto& entry : std::filesystem::directory_iterator(system))
    if (entry.path().filename() != "libgstlibav.so")
      std::filesystem::create_symlink(entry.path(), kept / entry.path().filename());
  const std::string folder = dir_->file("missing");
  const ProgramRun run = RunProgram(
      {"--batch", "-q", "--mode", "aac", "--output-dir", folder, inputs_[0]},
      {"env", "GST_PLUGIN_SYSTEM_PATH_1_0=" + kept, "GST_PLUGIN_PATH_1_0=", "GST_REGISTRY_1_0=" + kept + "/registry"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("No.703"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("gstreamer1.0-libav"), std::string::npos) << run.err;
  EXPECT_TRUE(FolderEntries(folder).empty());
}

}  // namespace
