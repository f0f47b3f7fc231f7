// The batch mode's command line, as scripts see it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <thread>
#include <tuple>

#include "app/batch_mode.h"
#include "app/settings.h"
#include "dialog/encoder_formats.h"
#include "tests/support/bytes.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

class BatchMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  }
  TempDir dir;
};

// Usage errors exit with 2 and one line. Each option takes its value after a space or
// an equals sign; a bad value is a usage error either way, a good one lets the run
// reach the missing file (exit 1).
TEST(BatchModeTest, UsageErrorsAndBothSpellingsOfEachOption) {
  const std::vector<std::vector<std::string>> usageErrors = {
      {"--batch"}, {"--batch", "--wav-format", "7x", "a.mp3"}, {"--batch", "--wma-profile", "-1", "a.mp3"},
      {"--batch", "--frobnicate", "a.mp3"}, {"--batch", "a.mp3", "--mode"},
      {"--batch", "--shard", "4/3", "a.mp3"}, {"--batch", "--shard=0/3", "a.mp3"}, {"--batch", "--shard", "2", "a.mp3"},
  };
  for (const auto& args : usageErrors) {
    ProgramRun o = RunProgram(args);
    EXPECT_EQ(o.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  }
  const std::tuple<const char*, const char*, const char*> rows[] = {  // option, good value, bad value
      {"--mode", "mp3", "ogg"}, {"--wav-format", "keep", "24"}, {"--mp3-format", "128,44100,2", "129,44100,2"},
      {"--mp3-form", "riff", "ogg"}, {"--wma-profile", "3", "16"}, {"--flac-level", "8", "9"},
      {"--opus-bitrate", "6", "5"}, {"--vorbis-quality", "-0.5", "10.5"}, {"--vorbis-quality", "10", "5x"},
      {"--aac-bitrate", "512", "0"},
  };
  for (const auto& [option, good, bad] : rows) {
    for (const char* value : {good, bad}) {
      // MP3 mode, where every option is read.
      for (const std::vector<std::string>& spelling :
           {std::vector<std::string>{option, value}, {std::string(option) + "=" + value}}) {
        std::vector<std::string> args = {"--batch", "--mode=mp3"};
        args.insert(args.end(), spelling.begin(), spelling.end());
        args.push_back("/nonexistent/a.mp3");
        ProgramRun o = RunProgram(args);
        EXPECT_EQ(o.status, value == good ? 1 : 2) << ::testing::PrintToString(args) << ": " << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
      }
    }
  }
  // "-j2" as make and xargs take it; an output folder that is a file is refused up front.
  ProgramRun joined = RunProgram({"--batch", "-j2", "/nonexistent/a.mp3"});
  EXPECT_EQ(joined.status, 1) << joined.err;
  EXPECT_EQ(joined.err.find("/nonexistent/a.mp3: エラー"), 0u) << joined.err;
  ProgramRun notFolder = RunProgram({"--batch", "--output-dir", "/etc/passwd", "/nonexistent/a.mp3"});
  EXPECT_EQ(notFolder.status, 2);
  EXPECT_NE(notFolder.err.find("--output-dir is not a folder: /etc/passwd"), std::string::npos) << notFolder.err;
}

TEST(BatchModeTest, VersionHelpAndFormatListsNeedNoFiles) {
  ProgramRun version = RunProgram({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "quilllomare 4.10\n");
  ProgramRun help = RunProgram({"--batch", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--wav-format=keep|ROW"), std::string::npos);
  EXPECT_NE(help.out.find("130 interrupted"), std::string::npos);

  ProgramRun list = RunProgram({"--batch", "--list-formats"});
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("   0   8,000 Hz ,  8ビット , モノラル"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("  23  48,000 Hz , 16ビット , ステレオ"), std::string::npos);
  EXPECT_NE(list.out.find("  15  V70 128Kbps (CD Quality)"), std::string::npos);
}

// Quiet: nothing. On a terminal: one line rewritten in place. Otherwise: one line
// per finished file. Outputs go beside each input, from several folders.
TEST_F(BatchMediaTest, ProgressOnATerminalOrNotAndOutputsBesideEachInput) {
  mkdir(dir.file("one").c_str(), 0755);
  mkdir(dir.file("two").c_str(), 0755);
  std::string a = MakeFixture(Fixture::Wav8BitMono8k, dir.file("one"), 1.0, "a.wav");
  std::string b = MakeFixture(Fixture::Mp3Mono22k, dir.file("two"), 1.0, "b b.mp3");
  ProgramRun quiet = RunProgram({"--batch", "--quiet", "--mode", "wav", a});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
  unlink(dir.file("one/a_2.wav").c_str());

  // script(1) gives the program a terminal; its output is the terminal's.
  int status = -1;
  std::string screen = RunCommand({"script", "-qec",
                                   std::string(QL_PROGRAM) + " --batch --mode wav '" + a + "' 2>&1",
                                   "/dev/null"},
                                  &status);
  EXPECT_EQ(status, 0) << screen;
  EXPECT_NE(screen.find("\r\033[K"), std::string::npos) << screen;
  EXPECT_NE(screen.find("100% -ろまれ完了-"), std::string::npos) << screen;
  EXPECT_EQ(std::count(screen.begin(), screen.end(), '\n'), 1) << screen;
  EXPECT_TRUE(screen.ends_with("\n")) << screen;
  unlink(dir.file("one/a_2.wav").c_str());

  ProgramRun o = RunProgram({"--batch", "--mode", "wav", "--wav-format", "10", a, b});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("(1/2) 100% ろまれ完了 a_2.wav"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("100% -ろまれ完了- b b.wav"), std::string::npos) << o.err;
  EXPECT_EQ(ProbeAudio(dir.file("one/a_2.wav")).sampleRate, 22050);
  EXPECT_EQ(ProbeAudio(dir.file("two/b b.wav")).bitsPerSample, 16);
}

// Inputs that once came out empty or short while reported as converted, or never let
// the program end, and WAV "fmt " records that GStreamer's parser would crash on, exhaust
// memory or spray warnings over. In every mode each converts whole (judged by ffmpeg
// against the input) or fails at once with its number, exit 1 and nothing left.
TEST(BatchModeTest, DamagedAndUnusualInputsConvertWholeOrFailLoudly) {
  if (!HaveFfmpeg() || !HaveTool("sox")) GTEST_SKIP() << "ffmpeg and sox make and judge these inputs";
  struct Mode { const char* ext; std::vector<std::string> args; };
  const Mode modes[] = {{"wav", {"--mode", "wav", "--wav-format", "keep"}},
                        {"mp3", {"--mode", "mp3", "--mp3-format", "128,44100,2", "--mp3-form", "mp3"}},
                        {"wma", {"--mode", "wma", "--wma-profile", "15"}},
                        {"ac3", {"--mode", "extract"}}};
  struct Case {
    std::optional<Fixture> input;  // none: a FIFO
    const char* name;
    std::vector<const char*> failure;  // per mode; nullptr converts
    size_t fmtOffset = 0, fmtBytes = 0;  // a field of the "fmt " record set to fmtValue
    uint32_t fmtValue = 0;
  };
  const std::vector<const char*> unreadable = {"エラー No.103", "エラー No.202", "エラー No302"};
  const Case cases[] = {
      {Fixture::Wav8BitOdd, "odd.wav", {nullptr, nullptr, nullptr}},
      {Fixture::TruncatedWav, "cut.wav", {nullptr, nullptr, nullptr}},
      {Fixture::WavHeaderOnly, "header.wav", unreadable},
      {Fixture::WavCutInFormat, "format.wav", unreadable},
      {Fixture::WavCutAfterList, "list.wav", unreadable},
      {std::nullopt, "pipe.vob", {"エラー No.102", "エラー No.201", "エラー No302", "エラー No.404"}},
      {Fixture::Wav24Stereo44k, "align.wav", unreadable, 12, 2, 30000},  // extensible block align
      {Fixture::Wav16Stereo44k, "rate.wav", unreadable, 4, 4, 0x7FFFFFFF},
      {Fixture::Wav16Stereo44k, "slow.wav", unreadable, 4, 4, 2},
      {Fixture::Wav16Stereo44k, "channels.wav", unreadable, 2, 2, 255},
      {Fixture::Wav16Stereo44k, "bytes.wav", unreadable, 8, 4, 44100 * 4 + 1},  // byte rate off by one
      {Fixture::Wav24Stereo44k, "mask.wav", unreadable, 20, 4, 0x7},  // three speakers for two channels
  };
  for (const Case& c : cases) {
    for (size_t m = 0; m < c.failure.size(); ++m) {
      SCOPED_TRACE(std::string(c.name) + " in mode " + modes[m].ext);
      TempDir dir;
      std::string input = dir.file(c.name);
      if (c.input)
        input = MakeFixture(*c.input, dir.path(), 2.0, c.name);
      else
        ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
      ASSERT_FALSE(input.empty());
      if (c.fmtBytes) {
        std::string b = ReadFileBytes(input);
        bytestest::PutLe(b, b.find("fmt ") + 8 + c.fmtOffset, c.fmtValue, static_cast<int>(c.fmtBytes));
        ASSERT_TRUE(WriteFileBytes(input, b));
      }
      std::vector<std::string> args = modes[m].args;
      args.insert(args.begin(), "--batch");
      args.push_back(input);
      ProgramRun o = RunProgram(args, {"timeout", "60"});

      if (c.failure[m]) {
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.err.find(std::string(c.failure[m]) + ":"), std::string::npos) << o.err;
        EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{c.name});
        continue;
      }
      ASSERT_EQ(o.status, 0) << o.err;
      const std::string stem = input.substr(0, input.rfind('.'));
      const std::string output = stem + (m == 0 ? "_2." : ".") + modes[m].ext;
      const AudioInfo in = ProbeAudio(input);
      const int64_t inFrames = DecodedSampleCount(input);
      if (m == 0) {
        EXPECT_EQ(DecodeToS16(output), DecodeToS16(input));
      } else if (m == 1) {
        // A plain MP3 stream at 44100 Hz: its LAME tag gives back exactly the source's length.
        EXPECT_NEAR(DecodedSampleCount(output), inFrames * 44100 / in.sampleRate, 4);
      } else {
        // Whole WMA frames of 2048 samples: up to one short.
        const int64_t frames = DecodedSampleCount(output), want = inFrames * 44100 / in.sampleRate;
        EXPECT_GE(frames, want - 2048);
        EXPECT_LE(frames, want + 4);
      }
    }
  }
}

// MPEG audio behind junk: the tail of a frame holding a false frame header (of a 32000 Hz
// frame once followed, of a layer I frame once refused), noise, sync-like bytes, zeros, a
// tag whose size falls short. Each converts from its real frames, to the rate and the
// samples ffmpeg decodes from the same file.
TEST_F(BatchMediaTest, MpegAudioBehindJunkConvertsFromItsRealFrames) {
  if (!HaveTool("lame")) GTEST_SKIP() << "lame makes the frames";
  const std::string tone = MakeToneFile(dir.file("tone.wav"), 44100, 2, 1.0, {"-c:a", "pcm_s16le"});
  RunCommand({"lame", "--quiet", "--nores", "-t", "--cbr", "-b", "320", tone, dir.file("tone.lame")});
  const std::string stream = ReadFileBytes(dir.file("tone.lame"));
  std::vector<size_t> frames;  // 1044 bytes at 320 kbps and 44100 Hz, 1045 padded
  for (size_t at = 0; at + 4 <= stream.size(); at += 1044 + ((stream[at + 2] >> 1) & 1)) frames.push_back(at);
  ASSERT_GE(frames.size(), 30u);
  const std::string cut = stream.substr(frames[11] - 965, 965) + stream.substr(frames[11], frames[18] - frames[11]);
  std::mt19937 rng(7);
  std::string noise(20000, '\0'), syncs(3000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  for (char& c : syncs) c = "\xFF\xFB\x90\x64"[rng() % 4];
  const std::string rest = stream.substr(frames[1]);
  const std::pair<const char*, std::string> inputs[] = {
      {"cut.mp3", "\xFF\xFB\x18\xC0" + cut}, {"cut-layer1.mp3", "\xFF\xFF\x18\xC0" + cut},
      {"noise.mp3", noise + rest}, {"syncs.mp3", syncs + rest}, {"zeros.mp3", std::string(70000, '\0') + rest},
      {"tag.mp3", std::string("ID3\x03\0\0\0\0\0\x14TXXX", 14) + std::string(2986, 'a') + rest},
  };
  std::vector<std::string> args = {"--batch", "--jobs", "2", "--mode", "wav", "--wav-format", "keep"};
  for (const auto& [name, bytes] : inputs) {
    ASSERT_TRUE(WriteFileBytes(dir.file(name), bytes));
    args.push_back(dir.file(name));
  }
  ProgramRun o = RunProgram(args, {"timeout", "120"});
  ASSERT_EQ(o.status, 0) << o.err;
  for (const auto& [name, bytes] : inputs) {
    SCOPED_TRACE(name);
    const std::string input = dir.file(name), output = input.substr(0, input.size() - 4) + ".wav";
    ASSERT_EQ(ProbeAudio(input).sampleRate, 44100);
    EXPECT_EQ(ProbeAudio(output).sampleRate, 44100);
    EXPECT_EQ(DecodedSampleCount(output), DecodedSampleCount(input));
  }
}

// MPEG-2 and 2.5 layer III files with LAME's gapless data, CBR and a few frames of VBR
// behind a Xing frame, convert to exactly the samples ffmpeg decodes, with nothing on
// standard error (RunCommand fails a test on any GLib warning).
TEST_F(BatchMediaTest, LameGaplessMpeg2Layer3ConvertsCleanAndWhole) {
  if (!HaveTool("lame")) GTEST_SKIP() << "lame is needed";
  const struct {
    int rate;
    double seconds;
    const char* quality[2];
  } cases[] = {{22050, 1.0, {"-b", "64"}}, {16000, 1.0, {"-b", "64"}}, {8000, 0.05, {"-V", "9"}},
               {16000, 0.1, {"-V", "9"}},  {24000, 0.05, {"-V", "9"}}};
  for (const auto& c : cases) {
    const std::string stem = dir.file("t" + std::to_string(c.rate) + c.quality[0]);
    SCOPED_TRACE(stem);
    const std::string wav = MakeToneFile(stem + ".wav", c.rate, 1, c.seconds, {"-c:a", "pcm_s16le"}), mp3 = stem + ".mp3";
    int status = -1;
    RunCommand({"lame", "--quiet", c.quality[0], c.quality[1], wav, mp3}, &status);
    ASSERT_EQ(status, 0);
    for (const char* mode : {"wav", "wma"}) {
      const ProgramRun run = RunProgram({"--batch", "--mode", mode, mp3});
      EXPECT_EQ(run.status, 0) << mode << "\n" << run.err;
    }
    EXPECT_EQ(DecodedSampleCount(stem + "_2.wav"), DecodedSampleCount(mp3));
  }
}

// A stored PCM row, MP3 row or WMA profile outside its list reads as row 0, as the
// dialog stores it when its box shows no selection.
TEST_F(BatchMediaTest, StoredRowsOutsideTheirListReadAsRowZero) {
  const std::string ini = dir.file("QuillLomare.ini");
  ASSERT_TRUE(WriteFileBytes(ini, "[Setting]\nChangeWavFormat=1\nWavFormat=99\nMp3Format=1000\nWmaFormat=-3\n"));
  SetSettingsFilePath(ini);
  const std::string input = MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 1.0, "in.wav");
  for (const char* mode : {"wav", "mp3", "wma"}) {
    std::vector<std::string> args = {"quilllomare", "--batch", "--mode", mode, input};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    EXPECT_EQ(RunBatchMode(static_cast<int>(argv.size()), argv.data()), 0) << mode;
  }
  SetSettingsFilePath("");
  // Row 0 of each list: 8000 Hz 8-bit mono PCM; the encoder's first format; the 8000 Hz
  // mono voice profile.
  const AudioInfo wav = ProbeAudio(dir.file("in_2.wav")), wma = ProbeAudio(dir.file("in.wma"));
  EXPECT_EQ(std::make_tuple(wav.sampleRate, wav.bitsPerSample, wav.channels), std::make_tuple(8000, 8, 1));
  const TargetAudioFormat first = ParseMp3FormatLabel(ReadMp3FormatList().labels.at(0));
  const AudioInfo mp3 = ProbeAudio(dir.file("in.mp3"));
  EXPECT_EQ(std::make_tuple(mp3.sampleRate, mp3.channels),
            std::make_tuple(static_cast<int>(first.samplesPerSec), static_cast<int>(first.channels)));
  EXPECT_EQ(std::make_tuple(wma.sampleRate, wma.channels), std::make_tuple(8000, 1));
}

// Two runs started at once never write one file: every round gives two complete
// outputs under two names, whether they convert one input or two that map to one name.
TEST_F(BatchMediaTest, RunsStartedTogetherWriteTwoCompleteFiles) {
  const std::string mp3 = MakeFixture(Fixture::Mp3Stereo44k, dir.path(), 2.0, "song.mp3");
  const std::string wav = MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 2.0, "song.wav");
  for (int round = 0; round < 4; ++round) {
    const std::string second = round % 2 ? wav : mp3;
    pid_t a = StartCommand({QL_PROGRAM, "--batch", "--mode", "wma", mp3}, dir.file("a.err"));
    pid_t b = StartCommand({QL_PROGRAM, "--batch", "--mode", "wma", second}, dir.file("b.err"));
    EXPECT_EQ(WaitCommand(a), 0) << ReadFileBytes(dir.file("a.err"));
    EXPECT_EQ(WaitCommand(b), 0) << ReadFileBytes(dir.file("b.err"));
    ExpectNoGLibNoise(ReadFileBytes(dir.file("a.err")) + ReadFileBytes(dir.file("b.err")));
    EXPECT_EQ(FolderEntries(dir.path()),
              (std::vector<std::string>{"a.err", "b.err", "song.mp3", "song.wav", "song.wma", "song_2.wma"}))
        << "round " << round;
    for (const char* name : {"song.wma", "song_2.wma"}) {
      EXPECT_NEAR(ProbeAudio(dir.file(name)).duration, 2.0, 0.1) << name << ", round " << round;
      unlink(dir.file(name).c_str());
    }
  }
}

// SIGHUP, SIGINT and SIGTERM in the middle of any mode end the run alike: exit 130, one
// line, and nothing left of the output. SIGKILL cannot be handled, yet it leaves nothing
// either: the output has no name until it is complete. An output that cannot be named
// (its folder moved away while it is written) fails the file with 601 and the reason.
TEST_F(BatchMediaTest, InterruptionsInTheMiddleLeaveNoOutput) {
  struct {
    const char* mode;
    Fixture fixture;
    const char* input;
  } modes[] = {
      {"wav", Fixture::Mp3Stereo44k, "in.mp3"},
      {"mp3", Fixture::Wav16Stereo44k, "in.wav"},
      {"wma", Fixture::Mp3Stereo44k, "in.mp3"},
      {"extract", Fixture::AviPcm, "in.avi"},
  };
  const std::string errPath = dir.file("err");
  for (const auto& m : modes) {
    TempDir work;
    const std::string input = MakeFixture(m.fixture, work.path(), 120.0, m.input);
    const std::string moved = work.path() + ".moved";
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGKILL, 0}) {  // 0: the folder moved away
      const std::string where = std::string(m.mode) + ", signal " + std::to_string(sig);
      pid_t pid = StartCommand({QL_PROGRAM, "--batch", "--mode", m.mode, input}, errPath);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (UnnamedOutputSize(pid, work.path()) <= 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ASSERT_GT(UnnamedOutputSize(pid, work.path()), 0) << where << ": the output never grew";
      EXPECT_EQ(FolderEntries(work.path()), std::vector<std::string>{m.input}) << where;
      if (sig) kill(pid, sig);
      else ASSERT_EQ(rename(work.path().c_str(), moved.c_str()), 0);
      const int status = WaitCommand(pid);
      const std::string err = ReadFileBytes(errPath);
      ExpectNoGLibNoise(err);
      if (sig == SIGKILL) {
        EXPECT_EQ(status, 128 + SIGKILL) << where;
      } else if (sig == 0) {
        EXPECT_EQ(status, 1) << where;
        EXPECT_NE(err.find("エラー No.601: 変換中にエラーが発生しました。\nNo such file or directory"), std::string::npos)
            << where << "\n" << err;
        EXPECT_EQ(FolderEntries(moved), std::vector<std::string>{m.input}) << where;
        ASSERT_EQ(rename(moved.c_str(), work.path().c_str()), 0);
      } else {
        EXPECT_EQ(status, 130) << where << "\n" << err;
        EXPECT_EQ(err.substr(err.rfind('\n', err.size() - 2) + 1), "quilllomare: 変換を中断しました。\n") << where;
      }
      EXPECT_EQ(FolderEntries(work.path()), std::vector<std::string>{m.input}) << where;
    }
  }
}

}  // namespace
