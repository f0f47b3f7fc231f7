// Damaged and changing inputs end to end: damage in the middle of a long file, an input
// cut short while it converts, names at the file system's limit, and outputs that are
// nowhere in the folder until complete. Inputs are made in the test; outputs are
// judged by ffmpeg.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include "common/app_settings.h"
#include "common/target_format.h"
#include "tests/support/bytes.h"
#include "tests/support/media_fixtures.h"
#include "tests/support/run_harness.h"

using namespace mediatest;
using runtest::RunFiles;

namespace {

constexpr const char* kFailed601 = "エラー No.601: 変換中にエラーが発生しました。\n";

class DamagedInputTest : public runtest::EngineTest {
 protected:
  void SetUp() override { Prepare(kModeWav); }
  void TearDown() override { TargetFormat = TargetAudioFormat{}; }

  void UseMode(int mode) {
    Settings.DecodeMode = mode;
    TargetFormat = mode == kModeMp3 ? TargetAudioFormat{44100, 128 * 125, 16, 2} : TargetAudioFormat{};
    Settings.WmaFormat = 5;
  }
};

// A failed run: one 601 message whose sentence contains what, and nothing in the folder
// but the inputs.
void ExpectFailedWith(const runtest::RunResult& run, const std::string& what, const TempDir& dir, size_t inputs) {
  EXPECT_EQ(run.outcome, RunOutcome::Failed);
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_TRUE(run.messages[0].starts_with(kFailed601) && run.messages[0].find(what) != std::string::npos)
      << run.messages[0];
  EXPECT_EQ(FolderEntries(dir.path()).size(), inputs);
}

// 2,000 bytes removed, or overwritten, a tenth into a 20-second file. Where GStreamer's
// demuxer reads past the damage (an AVI's index, an MPEG pack header) the output holds
// nearly all of what ffmpeg decodes from the same file; where it cannot (the AVI's chunk
// list or ASF's packets shifted) the run fails saying where the file is damaged,
// whichever mode it is in. An ASF data object that counts a third of its packets loses
// nothing: every packet is there.
TEST_F(DamagedInputTest, DamageInTheMiddleIsReadPastOrReported) {
  enum Damage { Cut, Overwrite, CountShort };
  const struct {
    const char* name;
    std::vector<std::string> args;
    Damage damage;
    int mode;
    bool readPast;
  } cases[] = {
      {"a.avi", {"-c:a", "libmp3lame"}, Cut, kModeWav, false},
      {"a.avi", {"-c:a", "libmp3lame"}, Cut, kModeExtract, false},
      {"a.avi", {"-c:a", "libmp3lame"}, Cut, kModeMp3, false},
      {"a.avi", {"-c:a", "libmp3lame"}, Overwrite, kModeWav, true},
      {"a.wma", {"-c:a", "wmav2"}, Cut, kModeWma, false},
      {"a.wma", {"-c:a", "wmav2"}, Overwrite, kModeWav, true},
      {"a.wma", {"-c:a", "wmav2"}, CountShort, kModeWav, true},
      {"a.wma", {"-c:a", "wmav2"}, CountShort, kModeWma, true},
      {"a.mpg", {"-c:a", "mp2", "-f", "mpeg"}, Cut, kModeExtract, true},
      {"a.mpg", {"-c:a", "mp2", "-f", "mpeg"}, Overwrite, kModeWav, true},
  };
  for (const auto& c : cases) {
    const char* damage = c.damage == Cut ? " cut" : c.damage == Overwrite ? " overwritten" : " counted short";
    SCOPED_TRACE(std::string(c.name) + damage + " mode " +
                 std::to_string(c.mode));
    TempDir dir;
    std::string bytes = ReadFileBytes(MakeToneFile(dir.file(c.name), 44100, 2, 20.0, c.args));
    ASSERT_GT(bytes.size(), 100000u);
    if (c.damage == Cut) {
      bytes.erase(bytes.size() / 10, 2000);
    } else if (c.damage == Overwrite) {
      bytes.replace(bytes.size() / 10, 2000, 2000, 'U');
    } else {
      const size_t data = bytes.find("\x36\x26\xB2\x75\x8E\x66\xCF\x11");
      ASSERT_NE(data, std::string::npos);
      // The packet count, 40 bytes into the data object.
      bytestest::PutLe(bytes, data + 40, bytestest::GetLe(bytes, data + 40, 8) / 3, 8);
    }
    const std::string input = dir.file(c.name);
    WriteFileBytes(input, bytes);
    UseMode(c.mode);
    runtest::RunResult run = RunFiles({input}, 120);
    if (!c.readPast) {
      ExpectFailedWith(run, "バイト目付近が壊れていて", dir, 1);
      continue;
    }
    ASSERT_EQ(run.outcome, RunOutcome::Finished) << ::testing::PrintToString(run.messages);
    std::vector<std::string> files = FolderEntries(dir.path());
    std::erase(files, std::string(c.name));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GE(DecodedSampleCount(dir.file(files[0])), DecodedSampleCount(input) * 9 / 10);
  }
}

// The size of the input at the start is a fact: an input that shrinks while it converts
// fails (the length of an MP3 without a Xing frame is only an estimate, so nothing else
// would tell), and the folder holds nothing during the run but the input: the output is
// an unnamed file until it is complete.
TEST_F(DamagedInputTest, AnInputCutShortWhileConvertingFailsAndNothingIsEverLeft) {
  static std::string input;
  static std::vector<std::string> duringRun;
  const struct { const char* name; double seconds; std::vector<std::string> args; } inputs[] = {
      {"long.mp3", 240.0, {"-c:a", "libmp3lame", "-b:a", "64k", "-write_xing", "0"}},
      {"long.wav", 60.0, {"-c:a", "pcm_s16le"}}};
  for (const auto& in : inputs) {
    SCOPED_TRACE(in.name);
    TempDir dir;
    input = MakeToneFile(dir.file(in.name), 44100, 2, in.seconds, in.args);
    runtest::RunResult run = RunFiles({input}, 120, -1, [] {
      duringRun = FolderEntries(input.substr(0, input.rfind('/')));
      ASSERT_EQ(truncate(input.c_str(), 200 * 1024), 0);
    });
    ExpectFailedWith(run, "変換中に入力ファイルが短くなりました", dir, 1);
    EXPECT_EQ(duringRun, std::vector<std::string>{in.name});
  }
}

// A name at the limit (250 bytes of stem) whose first output name is taken: the numbered
// name loses the end of its stem, whole characters only, in every mode.
TEST_F(DamagedInputTest, LongNamesAreShortenedInEveryMode) {
  std::string stem = "a";
  while (stem.size() + 3 <= 250) stem += "曲";
  const std::string shortened = stem.substr(0, 247);  // "_2.wav" needs 6 of the 255 bytes
  const struct {
    int mode;
    const char *input, *output;
    std::vector<std::string> args;
  } cases[] = {
      {kModeWav, ".wav", "wav", {"-c:a", "pcm_s16le"}},
      {kModeMp3, ".wav", "mp3", {"-c:a", "pcm_s16le"}},
      {kModeWma, ".wav", "wma", {"-c:a", "pcm_s16le"}},
      {kModeExtract, ".avi", "wav", {"-c:a", "pcm_s16le"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    TempDir dir;
    const std::string input = MakeToneFile(dir.file(stem + c.input), 44100, 2, 1.0, c.args);
    if (stem + "." + c.output != stem + c.input) WriteFileBytes(dir.file(stem + "." + c.output), "taken");
    UseMode(c.mode);
    ASSERT_EQ(RunFiles({input}).outcome, RunOutcome::Finished);
    EXPECT_GT(DecodedSampleCount(dir.file(shortened + "_2." + c.output)), 40000);
  }
}

}  // namespace
