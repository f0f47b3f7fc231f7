// Every output row of every mode (the 24 PCM rows and keep, each MP3 encoder format as a
// plain stream and in its RIFF wrapper, the 16 WMA profiles) converts tones of one second at
// every rate from 8 to 96 kHz, in mono, stereo and 5.1. The whole cross product (2,300
// conversions) takes too long under the sanitizers, so each row takes the eight rates once,
// each in one of the three layouts, the layout turning with the row: every row sees every
// rate and every layout, and every pair of rate and layout is seen by a third of the rows.
// One program run per row converts its inputs (--keep-going), two runs at a time; ffprobe
// then judges each output: the row's format, and the input's length within one codec frame.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialog/encoder_formats.h"
#include "dialog/format_lists.h"
#include "media/media.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

struct Input {
  int rate, channels;
  std::string stem;
};

// What a row's outputs must be. rate and channels 0: the input's own.
struct Expected {
  std::string codec, container;
  int rate = 0, channels = 0;
  int frame = 1;     // samples of one codec frame at the output's rate
  int leading = 0;   // samples the output may hold before the audio (an encoder's delay)
};

struct Row {
  std::string name;
  std::vector<std::string> options;
  std::string extension;
  Expected expected;
};

int Mp3FrameSamples(int rate) { return rate >= 32000 ? 1152 : 576; }
int WmaFrameSamples(int rate) { return rate <= 16000 ? 512 : rate <= 22050 ? 1024 : 2048; }

std::vector<Row> MakeRows() {
  std::vector<Row> rows;
  rows.push_back({"wav keep", {"--mode", "wav", "--wav-format", "keep"}, "wav", {"pcm_s16le", "wav"}});
  for (int r = 0; r < kPcmFormatCount; ++r) {
    const TargetAudioFormat f = PcmFormatForRow(r);
    rows.push_back({"wav " + std::to_string(r), {"--mode", "wav", "--wav-format", std::to_string(r)}, "wav",
                    {f.bitsPerSample == 8 ? "pcm_u8" : "pcm_s16le", "wav", static_cast<int>(f.samplesPerSec),
                     f.channels}});
  }
  for (const std::string& label : ReadMp3FormatList().labels) {
    const TargetAudioFormat f = ParseMp3FormatLabel(label);
    const int rate = static_cast<int>(f.samplesPerSec);
    const std::string format =
        std::to_string(f.avgBytesPerSec / 125) + "," + std::to_string(rate) + "," + std::to_string(f.channels);
      // ffprobe counts a stream's whole frames, the encoder's delay (576 + 529 samples)
    // and the padding of the last frame included.
    rows.push_back({"mp3 " + format, {"--mode", "mp3", "--mp3-format", format, "--mp3-form", "mp3"}, "mp3",
                    {"mp3", "mp3", rate, f.channels, Mp3FrameSamples(rate), 1105}});
    rows.push_back({"riff " + format, {"--mode", "mp3", "--mp3-format", format, "--mp3-form", "riff"}, "mp3",
                    {"mp3", "wav", rate, f.channels, Mp3FrameSamples(rate), 1105}});
  }
  const std::pair<int, int> kWmaFormats[kWmaProfileCount] = {
      {8000, 1},  {16000, 1}, {22050, 1}, {22050, 2}, {32000, 2}, {44100, 2}, {44100, 2}, {44100, 2},
      {8000, 1},  {16000, 1}, {22050, 1}, {32000, 2}, {32000, 2}, {44100, 2}, {44100, 2}, {44100, 2}};
  for (int r = 0; r < kWmaProfileCount; ++r) {
    const auto [rate, channels] = kWmaFormats[r];
    rows.push_back({"wma " + std::to_string(r), {"--mode", "wma", "--wma-profile", std::to_string(r)}, "wma",
                    {"wmav2", "asf", rate, channels, WmaFrameSamples(rate)}});
  }
  return rows;
}

// The faults of one output; empty when it is right.
std::string JudgeOutput(const std::string& path, const Input& input, const Expected& e) {
  const AudioInfo info = ProbeAudio(path);
  const int rate = e.rate ? e.rate : input.rate, channels = e.channels ? e.channels : input.channels;
  std::string faults;
  if (info.codec != e.codec || info.formatName != e.container)
    faults += " is " + info.codec + " in " + info.formatName;
  if (info.sampleRate != rate || info.channels != channels)
    faults += " is " + std::to_string(info.sampleRate) + " Hz x " + std::to_string(info.channels);
  // A PCM output may differ from the input by the resampler's rounding of a few samples.
  const double slack = std::max(e.frame, 8) / static_cast<double>(rate);
  const double from = 1.0 - slack, to = 1.0 + slack + e.leading / static_cast<double>(rate);
  if (info.duration < from || info.duration > to)
    faults += " lasts " + std::to_string(info.duration) + " s, not " + std::to_string(from) + " to " +
              std::to_string(to);
  return faults;
}

TEST(FormatMatrixTest, EveryRowConvertsEveryRateAndLayout) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  MediaLayerInit();
  if (ReadMp3FormatList().labels.empty() || !CreateFilterByFriendlyName(kCategoryLegacyAmFilter, "WM ASF Writer"))
    GTEST_SKIP() << "the MP3 or WMA encoder is not installed";
  TempDir dir;
  constexpr int kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
  constexpr int kLayouts[] = {1, 2, 6};
  std::vector<Input> inputs;  // rate by rate, the three layouts of each in turn
  for (int rate : kRates) {
    for (int channels : kLayouts) {
      Input input{rate, channels, "in" + std::to_string(rate) + "x" + std::to_string(channels)};
      ASSERT_FALSE(MakeToneFile(dir.file(input.stem + ".wav"), rate, channels, 1.0, {"-c:a", "pcm_s16le"}).empty());
      inputs.push_back(input);
    }
  }

  const std::vector<Row> rows = MakeRows();
  std::mutex lock;
  std::vector<std::string> faults;
  auto note = [&](const std::string& fault) {
    std::lock_guard guard(lock);
    faults.push_back(fault);
  };
  auto work = [&](size_t first) {
    for (size_t i = first; i < rows.size(); i += 2) {
      const Row& row = rows[i];
      const std::string folder = dir.file("row" + std::to_string(i));
      std::filesystem::create_directory(folder);
      std::vector<std::string> args = {"--batch", "--jobs", "1", "--keep-going", "-q", "--output-dir", folder};
      args.insert(args.end(), row.options.begin(), row.options.end());
      std::vector<Input> taken;
      for (size_t r = 0; r < std::size(kRates); ++r) {
        taken.push_back(inputs[r * std::size(kLayouts) + (r + i) % std::size(kLayouts)]);
        args.push_back(dir.file(taken.back().stem + ".wav"));
      }
      const ProgramRun run = RunProgram(args);
      if (run.status != 0) note(row.name + ": exit " + std::to_string(run.status) + "\n" + run.err);
      for (const Input& input : taken) {
        const std::string output = folder + "/" + input.stem + "." + row.extension;
        if (!std::filesystem::exists(output)) {
          note(row.name + ", " + input.stem + ": no output");
          continue;
        }
        const std::string fault = JudgeOutput(output, input, row.expected);
        if (!fault.empty()) note(row.name + ", " + input.stem + ":" + fault);
      }
      std::filesystem::remove_all(folder);
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  for (const std::string& fault : faults) ADD_FAILURE() << fault;
}

}  // namespace
