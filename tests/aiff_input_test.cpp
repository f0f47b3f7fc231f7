// AIFF and AIFC files as sox writes them (and with the chunks other editors add), each
// converted again and again while the machine is busy: a conversion of these files once
// waited forever at random, more often the busier the machine. Every run must end within
// its bound with the whole of the audio ffmpeg decodes from the same file.
#include <gtest/gtest.h>

#include <gst/gst.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "media/aiff_reader.h"
#include "media/media.h"
#include "tests/support/bytes.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;
using bytestest::IffChunk;

namespace {

constexpr int kRunsPerCase = 6;
constexpr const char* kRunBound = "20";  // seconds; a run takes well under one

// Busy loops, one per processor of the test machine, for as long as the test runs.
struct BackgroundLoad {
  BackgroundLoad() {
    for (int i = 0; i < 2; ++i) pids.push_back(StartCommand({"sh", "-c", "while :; do :; done"}, "/dev/null"));
  }
  ~BackgroundLoad() {
    for (pid_t pid : pids) {
      if (pid <= 0) continue;
      kill(pid, SIGKILL);
      WaitCommand(pid);
    }
  }
  std::vector<pid_t> pids;
};

// A FORM file: the chunks after the form type, each given with its id and body.
std::string IffFile(const std::string& formType, const std::vector<std::pair<std::string, std::string>>& chunks) {
  std::string body = formType;
  for (const auto& [id, bytes] : chunks) body += IffChunk(id, bytes);
  return IffChunk("FORM", body);
}

class AiffInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFfmpeg() || !HaveTool("sox")) GTEST_SKIP() << "ffmpeg and sox are needed";
  }
  // Makes name with sox from a generated signal; "" when sox failed.
  std::string Sox(const std::string& name, const std::vector<std::string>& format, const std::vector<std::string>& synth) {
    std::vector<std::string> argv = {"sox", "-n"};
    argv.insert(argv.end(), format.begin(), format.end());
    argv.push_back(dir.file(name));
    argv.insert(argv.end(), synth.begin(), synth.end());
    int status = -1;
    RunCommand(argv, &status);
    return status == 0 ? dir.file(name) : "";
  }
  // Converts input as decoded into folder, within the bound; the output's path, "" when
  // the run failed.
  static std::string ConvertToWav(const std::string& input, const std::string& folder) {
    const ProgramRun o = RunProgram({"--batch", "--jobs", "1", "-q", "--mode", "wav", "--output-dir", folder, input},
                                    {"timeout", "-k", "5", kRunBound});
    EXPECT_NE(o.status, 124) << "did not end within " << kRunBound << " s";
    EXPECT_EQ(o.status, 0) << o.err;
    return o.status ? "" : folder + "/" + std::filesystem::path(input).stem().string() + ".wav";
  }
  TempDir dir;
};

TEST_F(AiffInputTest, EveryCaseConvertsWholeEveryTimeUnderLoad) {
  std::vector<std::string> inputs = {
      Sox("silence.aiff", {"-r", "11025", "-c", "1", "-b", "16"}, {"trim", "0", "2"}),
      Sox("noise.aiff", {"-r", "11025", "-c", "1", "-b", "16"}, {"synth", "2", "whitenoise"}),
      Sox("odd8.aiff", {"-r", "11025", "-c", "1", "-b", "8"}, {"synth", "2.0001", "sine", "440"}),
      Sox("stereo.aiff", {"-r", "44100", "-c", "2", "-b", "16"}, {"synth", "2", "sine", "440"}),
      Sox("s24.aiff", {"-r", "48000", "-c", "2", "-b", "24"}, {"synth", "1", "sine", "440"}),
      Sox("plain.aifc", {"-r", "22050", "-c", "1", "-b", "16"}, {"synth", "2", "sine", "440"}),
  };
  for (const std::string& input : inputs) ASSERT_FALSE(input.empty());
  // An odd-sized annotation chunk ahead of the others, as some editors write; a tagger's
  // "ID3 " chunk after the sound: not more samples.
  const std::string silence = ReadFileBytes(inputs[0]);
  ASSERT_GT(silence.size(), 12u);
  const std::string id3 = "ID3\x03" + std::string(6, '\0') + std::string(10, '\xff');
  for (const auto& [name, bytes] : {std::pair{"annotated.aiff", silence.substr(0, 12) + IffChunk("ANNO", "hello") +
                                                                    silence.substr(12)},
                                    {"tagged.aiff", silence + IffChunk("ID3 ", id3)}}) {
    std::string file = bytes;
    bytestest::PutBe(file, 4, file.size() - 8, 4);
    inputs.push_back(dir.file(name));
    ASSERT_TRUE(WriteFileBytes(inputs.back(), file));
  }

  BackgroundLoad load;
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input);
    const int64_t expected = DecodedSampleCount(input);
    ASSERT_GT(expected, 0);
    for (int run = 0; run < kRunsPerCase; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      const std::string folder = dir.file("out" + std::to_string(run));
      const std::string output = ConvertToWav(input, folder);
      ASSERT_FALSE(output.empty());
      EXPECT_EQ(DecodedSampleCount(output), expected);
      std::filesystem::remove_all(folder);
    }
  }
}

// Every sample encoding AIFF and AIFC keep, as sox and ffmpeg write them and with the
// sound at an odd place of the file, converts as decoded to the samples ffmpeg decodes.
TEST_F(AiffInputTest, EveryEncodingConvertsToTheSamplesFfmpegDecodes) {
  std::vector<std::string> inputs = {
      Sox("s8.aiff", {"-r", "8000", "-c", "2", "-b", "8"}, {"synth", "1", "sine", "440"}),
      Sox("s24.aiff", {"-r", "48000", "-c", "2", "-b", "24"}, {"synth", "1", "sine", "440"}),
      Sox("six.aiff", {"-r", "16000", "-c", "6", "-b", "16"}, {"synth", "1", "sine", "440"}),
      Sox("f32.aifc", {"-r", "44100", "-c", "1", "-e", "floating-point", "-b", "32"}, {"synth", "1", "sine", "440"}),
  };
  for (const char* codec : {"pcm_s16le", "pcm_mulaw", "pcm_alaw", "pcm_f64be", "pcm_s32be"}) {
    const std::string name = dir.file(std::string(codec) + ".aiff");
    int status = -1;
    RunCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=440:r=22050:d=1", "-ac", "2", "-c:a", codec,
                "-f", "aiff", name},
               &status);
    inputs.push_back(status == 0 ? name : "");
  }
  // An odd-sized chunk ahead, and an SSND offset of 3: the samples lie at an odd position.
  const std::string comm = std::string("\0\1\0\0\0\x64\0\x10\x40\x0c\xac\x44\0\0\0\0\0\0", 18);
  std::string sound = std::string("\0\0\0\3\0\0\0\0", 8) + "xyz";
  for (int i = 0; i < 100; ++i) sound += std::string{static_cast<char>(i * 7), static_cast<char>(i * 13)};
  inputs.push_back(dir.file("odd.aiff"));
  ASSERT_TRUE(WriteFileBytes(inputs.back(), IffFile("AIFF", {{"NAME", "abc"}, {"COMM", comm}, {"SSND", sound}})));
  for (const std::string& input : inputs) {
    ASSERT_FALSE(input.empty());
    SCOPED_TRACE(input);
    const std::string output = ConvertToWav(input, dir.file("out"));
    ASSERT_FALSE(output.empty());
    EXPECT_EQ(ProbeAudio(output).channels, ProbeAudio(input).channels);
    EXPECT_EQ(RunCommand({"ffmpeg", "-v", "error", "-i", output, "-f", "f64le", "-"}),
              RunCommand({"ffmpeg", "-v", "error", "-i", input, "-f", "f64le", "-"}));
  }
}

// A seek in time starts the sound at that sample frame, stamped with its time: the
// preview's slider moves through an AIFF file as through any other.
TEST_F(AiffInputTest, SeekStartsAtTheFrameOfItsTime) {
  const std::string input = Sox("seek.aiff", {"-r", "8000", "-c", "2", "-b", "16"}, {"synth", "2", "whitenoise"});
  ASSERT_FALSE(input.empty());
  MediaLayerInit();
  g_autofree char* description =
      g_strdup_printf("filesrc location=\"%s\" ! %s ! fakesink name=sink signal-handoffs=true", input.c_str(),
                      kAiffReaderElement);
  g_autoptr(GstElement) pipeline = gst_parse_launch(description, nullptr);
  ASSERT_TRUE(pipeline);
  g_autoptr(GstElement) sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  struct First {
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    std::string bytes;
  } first;
  g_signal_connect(sink, "preroll-handoff", G_CALLBACK(+[](GstElement*, GstBuffer* buffer, GstPad*, First* first) {
                     if (first->pts != GST_CLOCK_TIME_NONE) return;
                     GstMapInfo map;
                     if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
                     first->bytes.assign(reinterpret_cast<const char*>(map.data), std::min<gsize>(map.size, 16));
                     gst_buffer_unmap(buffer, &map);
                     first->pts = GST_BUFFER_PTS(buffer);
                   }),
                   &first);
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
  gint64 duration = -1;
  EXPECT_TRUE(gst_element_query_duration(pipeline, GST_FORMAT_TIME, &duration));
  EXPECT_EQ(duration, 2 * GST_SECOND);
  first.pts = GST_CLOCK_TIME_NONE;
  ASSERT_TRUE(gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, 1250 * GST_MSECOND));
  ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  EXPECT_EQ(first.pts, 1250 * GST_MSECOND);
  // Frame 10000 of 4 bytes, behind the SSND chunk's header.
  const std::string bytes = ReadFileBytes(input);
  EXPECT_EQ(first.bytes, bytes.substr(bytes.find("SSND") + 16 + 10000 * 4, 16));
}

// A file named .aiff that holds no sound (an IFF picture, a form of sound without its
// sound chunk) is refused with its message at once.
TEST_F(AiffInputTest, FormWithoutSoundIsRefusedAtOnce) {
  const std::string comm = std::string("\0\1\0\0\x56\x22\0\x10\x40\x0c\xac\x44\0\0\0\0\0\0", 18);
  const std::pair<const char*, std::string> files[] = {
      {"picture.aiff", IffFile("ILBM", {{"BMHD", std::string(20, '\1')}, {"BODY", std::string(8, '\0')}})},
      {"nosound.aiff", IffFile("AIFF", {{"COMM", comm}})},
  };
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(WriteFileBytes(dir.file(name), bytes));
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun o = RunProgram({"--batch", "--jobs", "1", "--mode", "wav", dir.file(name)}, {"timeout", "-k", "5", kRunBound});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find("No."), std::string::npos) << o.err;
    // Far below the 20-s limit a decoder is given to find the audio of a file.
    EXPECT_LT(seconds, 10) << o.err;
  }
}

}  // namespace
