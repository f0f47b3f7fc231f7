// AIFF and AIFC files as sox writes them (and with the chunks other editors add), each
// converted again and again while the machine is busy: a conversion of these files once
// waited forever at random, more often the busier the machine. Every run must end within
// its bound with the whole of the audio ffmpeg decodes from the same file.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/media_fixtures.h"

using namespace mediatest;

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
  auto bigEndian = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  std::string body = formType;
  for (const auto& [id, bytes] : chunks) body += id + bigEndian(static_cast<uint32_t>(bytes.size())) + bytes + (bytes.size() % 2 ? std::string(1, '\0') : "");
  return "FORM" + bigEndian(static_cast<uint32_t>(body.size())) + body;
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
  // An odd-sized annotation chunk ahead of the others, as some editors write.
  std::string annotated = ReadFileBytes(inputs[0]);
  ASSERT_GT(annotated.size(), 12u);
  const uint32_t formSize = static_cast<uint32_t>(annotated.size() - 8 + 14);
  annotated.insert(12, "ANNO" + std::string("\0\0\0\5hello\0", 10));
  for (int k = 0; k < 4; ++k) annotated[4 + k] = static_cast<char>(formSize >> (24 - 8 * k));
  inputs.push_back(dir.file("annotated.aiff"));
  ASSERT_TRUE(WriteFileBytes(inputs.back(), annotated));
  // A tagger's "ID3 " chunk after the sound: not more samples.
  std::string tagged = ReadFileBytes(inputs[0]);
  const std::string id3 = "ID3 " + std::string("\0\0\0\x14", 4) + "ID3\x03" + std::string(6, '\0') + std::string(10, '\xff');
  const uint32_t taggedSize = static_cast<uint32_t>(tagged.size() - 8 + id3.size());
  tagged += id3;
  for (int k = 0; k < 4; ++k) tagged[4 + k] = static_cast<char>(taggedSize >> (24 - 8 * k));
  inputs.push_back(dir.file("tagged.aiff"));
  ASSERT_TRUE(WriteFileBytes(inputs.back(), tagged));

  BackgroundLoad load;
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input);
    const int64_t expected = DecodedSampleCount(input);
    ASSERT_GT(expected, 0);
    for (int run = 0; run < kRunsPerCase; ++run) {
      const std::string folder = dir.file("out" + std::to_string(run));
      const ProgramRun o = RunProgram({"--batch", "--jobs", "1", "-q", "--mode", "wav", "--output-dir", folder, input},
                                      {"timeout", "-k", "5", kRunBound});
      ASSERT_NE(o.status, 124) << "run " << run << " did not end within " << kRunBound << " s";
      ASSERT_EQ(o.status, 0) << "run " << run << ": " << o.err;
      const std::string stem = input.substr(input.rfind('/') + 1, input.rfind('.') - input.rfind('/') - 1);
      EXPECT_EQ(DecodedSampleCount(folder + "/" + stem + ".wav"), expected) << "run " << run;
      std::filesystem::remove_all(folder);
    }
  }
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
