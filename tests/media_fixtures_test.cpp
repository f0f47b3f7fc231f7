// The test media and the judge the engine tests rely on: every fixture is what
// its name says, and the measuring helpers measure correctly.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numbers>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

constexpr double kSeconds = 2.0;

// Fixtures shared by the suite, each made once on first use (CTest runs every
// test in its own process, so each makes only what it needs).
class MediaFixtures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = std::make_unique<TempDir>(); }
  static void TearDownTestSuite() {
    dir_.reset();
    paths_.clear();
  }

  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  }

  static const std::string& PathOf(Fixture f) {
    auto it = paths_.find(f);
    if (it == paths_.end()) it = paths_.emplace(f, MakeFixture(f, dir_->path(), kSeconds)).first;
    return it->second;
  }

  // Every fixture not made yet, in one ffmpeg run.
  static void MakeAll() {
    std::vector<Fixture> missing;
    for (Fixture f : AllFixtures())
      if (!paths_.count(f)) missing.push_back(f);
    std::vector<std::string> made = MakeFixtures(missing, dir_->path(), kSeconds);
    for (size_t i = 0; i < made.size(); i++) paths_[missing[i]] = made[i];
  }

  static inline std::unique_ptr<TempDir> dir_;
  static inline std::map<Fixture, std::string> paths_;
};

struct Expected {
  Fixture fixture;
  const char* codec;  // "" : no audio stream
  int rate;
  int channels;
  int audioStreams;
  int formatTag;   // 0: not a RIFF/ASF wave format
  int blockAlign;  // 0: not a RIFF container
  int bitsPerSample;
};

const Expected kExpected[] = {
    {Fixture::Mp3Stereo44k, "mp3", 44100, 2, 1, 0, 0, 0},
    {Fixture::Mp3Mono22k, "mp3", 22050, 1, 1, 0, 0, 0},
    {Fixture::Wav8BitMono8k, "pcm_u8", 8000, 1, 1, 0x0001, 1, 8},
    {Fixture::Wav16Stereo44k, "pcm_s16le", 44100, 2, 1, 0x0001, 4, 16},
    {Fixture::Mpeg1PsMp2, "mp2", 44100, 2, 1, 0, 0, 0},
    {Fixture::VobAc3Stereo, "ac3", 48000, 2, 1, 0, 0, 0},
    {Fixture::VobAc3Surround, "ac3", 48000, 6, 1, 0, 0, 0},
    {Fixture::VobTwoAudio, "ac3", 48000, 2, 2, 0, 0, 0},
    {Fixture::VobVideoOnly, "", 0, 0, 0, 0, 0, 0},
    {Fixture::MpgVideoOnly, "", 0, 0, 0, 0, 0, 0},
    {Fixture::AviPcm, "pcm_s16le", 44100, 2, 1, 0x0001, 4, 16},
    {Fixture::AviMp3, "mp3", 44100, 2, 1, 0x0055, 1152, 0},
    {Fixture::AviMsAdpcm, "adpcm_ms", 44100, 2, 1, 0x0002, 1024, 4},
    {Fixture::AviImaAdpcm, "adpcm_ima_wav", 44100, 2, 1, 0x0011, 1024, 4},
    {Fixture::AviVideoOnly, "", 0, 0, 0, 0, 0, 0},
    {Fixture::WmvWma, "wmav2", 44100, 2, 1, 0x0161, 0, 0},
    {Fixture::WmaAudio, "wmav2", 44100, 2, 1, 0x0161, 0, 0},
    {Fixture::TextAsMpg, "", 0, 0, 0, 0, 0, 0},
    {Fixture::TruncatedWav, "pcm_s16le", 44100, 2, 1, 0x0001, 4, 16},
    {Fixture::TruncatedMpg, "mp2", 44100, 2, 1, 0, 0, 0},
};

bool IsTruncated(Fixture f) { return f == Fixture::TruncatedWav || f == Fixture::TruncatedMpg; }

TEST_F(MediaFixtures, EveryFixtureIsWhatItsNameSays) {
  ASSERT_EQ(std::size(kExpected), AllFixtures().size());
  MakeAll();
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(FixtureName(e.fixture));
    const std::string& path = PathOf(e.fixture);
    ASSERT_FALSE(path.empty());
    AudioInfo info = ProbeAudio(path);
    EXPECT_EQ(info.codec, e.codec);
    EXPECT_EQ(info.sampleRate, e.rate);
    EXPECT_EQ(info.channels, e.channels);
    EXPECT_EQ(info.audioStreams, e.audioStreams);
    EXPECT_EQ(info.formatTag, e.formatTag);
    EXPECT_EQ(info.blockAlign, e.blockAlign);
    EXPECT_EQ(info.bitsPerSample, e.bitsPerSample);
    if (*e.codec && !IsTruncated(e.fixture)) {
      EXPECT_NEAR(info.duration, kSeconds, 0.1);
    }
  }
}

TEST_F(MediaFixtures, NothingDecodesWithoutAudio) {
  for (Fixture f : {Fixture::VobVideoOnly, Fixture::TextAsMpg}) {
    SCOPED_TRACE(FixtureName(f));
    EXPECT_EQ(DecodedSampleCount(PathOf(f)), -1);
    EXPECT_TRUE(DecodeToS16(PathOf(f)).empty());
  }
}

TEST_F(MediaFixtures, WavSampleCountAndHeaderAreExact) {
  const std::string& path = PathOf(Fixture::Wav8BitMono8k);
  EXPECT_EQ(DecodedSampleCount(path), 16000);

  RiffWave wave = ReadRiffWave(path);
  ASSERT_TRUE(wave.valid);
  EXPECT_EQ(wave.riffSize, wave.fileSize - 8);
  EXPECT_EQ(wave.dataSize, 16000u);
  EXPECT_EQ(wave.dataOffset + wave.dataSize, wave.fileSize);
  EXPECT_EQ(wave.format.formatTag, 1);
  EXPECT_EQ(wave.format.avgBytesPerSec, 8000);
  ASSERT_FALSE(wave.chunks.empty());
  EXPECT_EQ(wave.chunks.front().id, "fmt ");
  EXPECT_EQ(wave.chunks.back().id, "data");
}

TEST_F(MediaFixtures, TruncatedWavClaimsMoreThanItHolds) {
  RiffWave whole = ReadRiffWave(PathOf(Fixture::Wav16Stereo44k));
  RiffWave cut = ReadRiffWave(PathOf(Fixture::TruncatedWav));
  ASSERT_TRUE(cut.valid);
  EXPECT_EQ(cut.fileSize, whole.fileSize / 2);
  EXPECT_GT(cut.dataOffset + cut.dataSize, cut.fileSize);
  const int64_t decoded = DecodedSampleCount(PathOf(Fixture::TruncatedWav));
  EXPECT_GT(decoded, 0);
  EXPECT_LT(decoded, static_cast<int64_t>(kSeconds * 44100));
}

TEST_F(MediaFixtures, TwoAudioStreamsCarryDistinctTones) {
  const std::string& path = PathOf(Fixture::VobTwoAudio);
  for (int stream = 0; stream < 2; stream++) {
    SCOPED_TRACE(stream);
    const double expected = stream == 0 ? kToneHz : kSecondToneHz;
    EXPECT_NEAR(DominantFrequency(DecodeToS16(path, 0, 1, stream), 48000), expected,
                expected * 0.01);
    // The stream copy holds the same stream.
    TempDir out;
    const std::string ac3 = FfmpegStreamCopy(path, "ac3", out.path(), stream);
    ASSERT_FALSE(ac3.empty());
    EXPECT_NEAR(DominantFrequency(DecodeToS16(ac3, 0, 1), 48000), expected, expected * 0.01);
  }
}

TEST_F(MediaFixtures, ResampledDecodeKeepsToneAndLength) {
  std::vector<int16_t> s = DecodeToS16(PathOf(Fixture::Wav16Stereo44k), 8000, 1);
  EXPECT_EQ(s.size(), static_cast<size_t>(kSeconds * 8000));
  EXPECT_NEAR(DominantFrequency(s, 8000), kToneHz, kToneHz * 0.01);
}

TEST_F(MediaFixtures, Mp3StreamCopyIsBarePackets) {
  TempDir out;
  const std::string mp3 = FfmpegStreamCopy(PathOf(Fixture::AviMp3), "mp3", out.path());
  const std::string bytes = ReadFileBytes(mp3);
  ASSERT_GE(bytes.size(), 4u);
  // A frame sync at byte 0: no ID3 tag before the stream.
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(bytes[1]) & 0xE0, 0xE0);
  // No Xing/Info frame either.
  EXPECT_EQ(bytes.find("Xing"), std::string::npos);
  EXPECT_EQ(bytes.find("Info"), std::string::npos);
}

// A fixture made alone under its own name equals the same one made in a batch.
TEST_F(MediaFixtures, SameArgumentsGiveSameBytes) {
  const std::vector<Fixture> kinds = {Fixture::WmvWma, Fixture::VobTwoAudio};
  TempDir batch;
  const std::vector<std::string> together = MakeFixtures(kinds, batch.path(), kSeconds);
  ASSERT_EQ(together.size(), kinds.size());
  for (size_t i = 0; i < kinds.size(); i++) {
    SCOPED_TRACE(FixtureName(kinds[i]));
    TempDir alone;
    const std::string path = MakeFixture(kinds[i], alone.path(), kSeconds, "again.bin");
    EXPECT_EQ(path, alone.path() + "/again.bin");
    EXPECT_FALSE(ReadFileBytes(path).empty());
    EXPECT_TRUE(ReadFileBytes(path) == ReadFileBytes(together[i]));
  }
}

TEST_F(MediaFixtures, ToneFileHasExactLengthAndFailuresNameTheCommand) {
  TempDir dir;
  const std::string wav = MakeToneFile(dir.file("t.wav"), 11025, 1, 1.0,
                                       {"-c:a", "pcm_s16le", "-f", "wav"}, kSecondToneHz);
  EXPECT_EQ(DecodedSampleCount(wav), 11025);
  EXPECT_NEAR(DominantFrequency(DecodeToS16(wav), 11025), kSecondToneHz, kSecondToneHz * 0.01);

  std::string made = "unset";
  EXPECT_NONFATAL_FAILURE(
      made = MakeToneFile(dir.file("u.wav"), 8000, 1, 1.0, {"-c:a", "no_such_codec"}),
      "no_such_codec");
  EXPECT_EQ(made, "");
}

TEST(MediaJudge, DominantFrequencyOfSyntheticTones) {
  struct Row {
    double hz;
    int rate;
  };
  for (Row r : {Row{440, 8000}, Row{1000, 48000}, Row{50, 44100}, Row{3000, 22050}}) {
    SCOPED_TRACE(r.hz);
    std::vector<int16_t> s(static_cast<size_t>(r.rate));  // one second
    for (size_t i = 0; i < s.size(); i++)
      s[i] = static_cast<int16_t>(
          8000 * std::sin(2 * std::numbers::pi * r.hz * static_cast<double>(i) / r.rate) +
          (i % 3 == 0 ? 300 : -150));  // small ripple near zero must not add crossings
    EXPECT_NEAR(DominantFrequency(s, r.rate), r.hz, r.hz * 0.01);
  }
  EXPECT_EQ(DominantFrequency(std::vector<int16_t>(8000, 0), 8000), 0);
  EXPECT_EQ(DominantFrequency({}, 8000), 0);
}

TEST(MediaJudge, RunCommandReportsExitStatus) {
  struct Row {
    std::vector<std::string> argv;
    int status;
    const char* out;
  };
  const Row rows[] = {
      {{"printf", "a b"}, 0, "a b"},
      {{"false"}, 1, ""},
      {{"sh", "-c", "exit 7"}, 7, ""},
      {{"sh", "-c", "kill -9 $$"}, 128 + 9, ""},
      {{"/nonexistent/program"}, -1, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.argv[0] + (r.argv.size() > 1 ? " " + r.argv.back() : ""));
    int status = 12345;
    std::string err;
    EXPECT_EQ(RunCommand(r.argv, &status, &err), r.out);
    EXPECT_EQ(status, r.status);
    if (r.status == -1) {
      EXPECT_FALSE(err.empty());
    }
  }
}

TEST(MediaJudge, TempDirIsRemovedWithItsContents) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    ASSERT_FALSE(path.empty());
    std::filesystem::create_directory(dir.file("sub"));
    std::ofstream(dir.file("sub/x")) << "x";
    ASSERT_TRUE(std::filesystem::exists(dir.file("sub/x")));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
