// What the engine tests take on trust from their support: the fixture properties that
// make a wrong result visible (a second audio stream unlike the first, a truncated file
// that is truly short, a surround stream with six channels, an odd data chunk, a Xing
// frame that claims more than the file holds).
#include <gtest/gtest.h>

#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

TEST(MediaFixtures, DistinguishingPropertiesHold) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  TempDir dir;
  const std::string vob = MakeFixture(Fixture::VobTwoAudio, dir.path(), 1.0);
  for (int stream : {0, 1}) {
    const double hz = stream == 0 ? kToneHz : kSecondToneHz;
    EXPECT_NEAR(DominantFrequency(DecodeToS16(vob, 0, 1, stream), 48000), hz, hz * 0.01) << stream;
  }
  EXPECT_TRUE(ReadFileBytes(FfmpegStreamCopy(vob, "ac3", dir.path(), 0)) !=
              ReadFileBytes(FfmpegStreamCopy(vob, "ac3", dir.path(), 1)));
  RiffWave cut = ReadRiffWave(MakeFixture(Fixture::TruncatedWav, dir.path(), 1.0));
  ASSERT_TRUE(cut.valid);
  EXPECT_GT(cut.dataOffset + cut.dataSize, cut.fileSize);
  EXPECT_EQ(ProbeAudio(MakeFixture(Fixture::VobAc3Surround, dir.path(), 1.0)).channels, 6);
  if (!HaveTool("sox") || !HaveTool("lame")) return;
  EXPECT_EQ(ReadRiffWave(MakeFixture(Fixture::Wav8BitOdd, dir.path(), 1.0)).dataSize % 2, 1u);
  const std::string claims = MakeFixture(Fixture::Mp3XingClaimsMore, dir.path(), 1.0);
  EXPECT_GT(ProbeAudio(claims).duration, 3.5);  // four times the second it holds
}

}  // namespace
