// The program as a user meets it: started without files, driven with the keyboard and
// the mouse on the test's display, judged by its exit status and its outputs.
#include <gtest/gtest.h>
#include <gio/gio.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/gui/gui_support.h"
#include "tests/support/media_fixtures.h"

using mediatest::Fixture;
using mediatest::HaveTool;
using mediatest::ReadFileBytes;
using mediatest::RunCommand;

namespace {

// Runs xdotool with the arguments (on display, given); its output, trimmed.
std::string Xdotool(std::vector<std::string> args, const std::string& display = "") {
  args.insert(args.begin(), {"env", "DISPLAY=" + (display.empty() ? g_getenv("DISPLAY") : display), "xdotool"});
  std::string out = RunCommand(args);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// The program copied into work (so that its settings file and outputs stay there),
// started without files; returns its selection dialog's window id, "" when none came.
// home, when given, is the user's home folder, its Music folder named by the desktop's
// user-dirs file.
std::string StartProgram(const mediatest::TempDir& work, GSubprocess** child, const std::string& home = "") {
  const std::string program = work.file("quilllomare");
  std::filesystem::copy_file(QL_PROGRAM, program);
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
  g_subprocess_launcher_set_cwd(launcher, work.path().c_str());
  if (!home.empty()) {
    std::filesystem::create_directories(home + "/.config");
    std::ofstream(home + "/.config/user-dirs.dirs") << "XDG_MUSIC_DIR=\"$HOME/Music\"\n";
    g_subprocess_launcher_setenv(launcher, "HOME", home.c_str(), TRUE);
    g_subprocess_launcher_setenv(launcher, "XDG_CONFIG_HOME", (home + "/.config").c_str(), TRUE);
  }
  *child = g_subprocess_launcher_spawn(launcher, nullptr, program.c_str(), nullptr);
  if (!*child) return "";
  std::string window;
  for (int i = 0; i < 100 && window.empty(); ++i) {
    window = Xdotool({"search", "--name", "ファイルを選ぶ"});
    if (window.empty()) g_usleep(100 * 1000);
  }
  if (window.empty()) return "";
  g_usleep(500 * 1000);  // the folder's files are listed
  // Keys go to the focused window (a server without a window manager ignores sent ones).
  Xdotool({"windowfocus", "--sync", window});
  return window;
}

// Waits for the program to end by itself; its exit status, or -1 when it had to be killed.
int WaitForExit(GSubprocess* child, int timeoutMs) {
  bool ended = false;
  g_subprocess_wait_async(child, nullptr, [](GObject*, GAsyncResult*, gpointer done) {
    *static_cast<bool*>(done) = true;
  }, &ended);
  if (!guitest::RunUntil([&] { return ended; }, timeoutMs)) {
    g_subprocess_force_exit(child);
    guitest::RunUntil([&] { return ended; }, 5000);
    return -1;
  }
  return g_subprocess_get_if_exited(child) ? g_subprocess_get_exit_status(child) : -1;
}

// The cancel button's key, and a termination signal, both end the program at once.
TEST(WholePathTest, CancellingTheDialogEndsTheProgramAndSavesNothing) {
  if (!HaveTool("xdotool")) GTEST_SKIP() << "needs xdotool";
  for (const bool bySignal : {false, true}) {
    SCOPED_TRACE(bySignal ? "SIGTERM" : "Escape");
    mediatest::TempDir work;
    const std::string ini = "[Setting]\nDecodeMode=2\nInitialDir=" + work.path() + "/\n";
    mediatest::WriteFileBytes(work.file("QuillLomare.ini"), ini);
    g_autoptr(GSubprocess) child = nullptr;
    ASSERT_FALSE(StartProgram(work, &child).empty()) << "the selection dialog did not appear";
    if (bySignal) {
      g_subprocess_send_signal(child, SIGTERM);
    } else {
      // A typed name of a file that does not exist keeps the dialog open.
      Xdotool({"key", "ctrl+l"});
      Xdotool({"type", work.file("missing.wav")});
      Xdotool({"key", "Return"});
      g_usleep(1000 * 1000);
      EXPECT_FALSE(Xdotool({"search", "--name", "ファイルを選ぶ"}).empty());
      Xdotool({"key", "Escape"});
      Xdotool({"key", "Escape"});
    }
    EXPECT_EQ(WaitForExit(child, 30000), 0);
    EXPECT_EQ(ReadFileBytes(work.file("QuillLomare.ini")), ini);
  }
}

// The first start opens in the user's Music folder.
TEST(WholePathTest, FirstStartPickTwoFilesInMusicChooseMp3ConfirmAndBothAreConverted) {
  if (!mediatest::HaveFfmpeg() || !HaveTool("xdotool")) GTEST_SKIP() << "needs ffmpeg and xdotool";
  mediatest::TempDir work;
  const std::string music = work.file("home/Music");
  std::filesystem::create_directories(music);
  const std::string a = MakeFixture(Fixture::Wav16Stereo44k, music, 2.0, "a.wav");
  const std::string b = MakeFixture(Fixture::Wav8BitMono8k, music, 1.5, "b.wav");
  g_autoptr(GSubprocess) child = nullptr;
  const std::string window = StartProgram(work, &child, work.file("home"));
  ASSERT_FALSE(window.empty()) << "the selection dialog did not appear";

  // Both files, the MP3 mode button (first row of the panel, right column), then Enter.
  Xdotool({"key", "ctrl+a"});
  Xdotool({"mousemove", "--window", window, "140", "381", "click", "1"});
  g_usleep(200 * 1000);
  Xdotool({"key", "Return"});

  // The status window converts both and the program ends by itself.
  EXPECT_EQ(WaitForExit(child, 120000), 0);
  for (const std::string& input : {a, b}) {
    const std::string output = input.substr(0, input.size() - 4) + ".mp3";
    const mediatest::AudioInfo info = mediatest::ProbeAudio(output);
    EXPECT_EQ(info.codec, "mp3") << output;
    EXPECT_GT(info.duration, 1.0) << output;
  }
  const std::string text = ReadFileBytes(work.file("QuillLomare.ini"));
  EXPECT_NE(text.find("DecodeMode=1"), std::string::npos) << text;
}

// weston (headless) with its XWayland, in a runtime folder of its own; it leaves with the
// object. Its window manager places the windows itself and reports every frame at the X
// screen's corner.
struct Weston {
  Weston() {
    log = runtime.file("weston.log");
    pid = mediatest::StartCommand({"env", "XDG_RUNTIME_DIR=" + runtime.path(), "weston",
                                   "--backend=headless-backend.so", "--xwayland", "--width=1024", "--height=768",
                                   "--socket=ql-weston", "--idle-time=0"},
                                  log);
    // A loaded machine may take several seconds to start it.
    const std::regex listening("xserver listening on display (:[0-9]+)");
    guitest::RunUntil([&] {
      std::smatch m;
      const std::string text = ReadFileBytes(log);
      if (std::regex_search(text, m, listening)) display = m[1];
      return !display.empty() || waitpid(pid, nullptr, WNOHANG) != 0;
    }, 30000);
  }
  ~Weston() {
    if (pid > 0) kill(pid, SIGTERM), mediatest::WaitCommand(pid);
  }
  mediatest::TempDir runtime;
  std::string log, display;
  pid_t pid = -1;
};

// The program on weston's XWayland (a person cannot be simulated there: its X server has no
// input): while the files are chosen only the dialog is on the screen, and a run stores no
// made-up position over the one the user left.
TEST(WholePathTest, UnderWestonsXWaylandOnlyTheDialogWhileChoosingAndStoredPositionKept) {
  ASSERT_TRUE(mediatest::HaveFfmpeg() && HaveTool("xdotool")) << "needs ffmpeg and xdotool";
  Weston weston;
  ASSERT_FALSE(weston.display.empty()) << "weston did not start: " << ReadFileBytes(weston.log);
  mediatest::TempDir work;
  const std::string wav = MakeFixture(Fixture::Wav16Stereo44k, work.path(), 1.0, "a.wav");
  const std::string ini = "[Setting]\nDecodeMode=1\nrLomareWindow.left=300\nrLomareWindow.top=200\n";
  mediatest::WriteFileBytes(work.file("QuillLomare.ini"), ini);
  const std::string program = work.file("quilllomare");
  std::filesystem::copy_file(QL_PROGRAM, program);
  auto start = [&](std::vector<const char*> args) {
    g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
    g_subprocess_launcher_set_cwd(launcher, work.path().c_str());
    g_subprocess_launcher_setenv(launcher, "DISPLAY", weston.display.c_str(), TRUE);
    g_subprocess_launcher_unsetenv(launcher, "WAYLAND_DISPLAY");
    args.insert(args.begin(), program.c_str());
    args.push_back(nullptr);
    return g_subprocess_launcher_spawnv(launcher, args.data(), nullptr);
  };

  {
    g_autoptr(GSubprocess) child = start({});
    ASSERT_NE(child, nullptr);
    std::string dialog;
    guitest::RunUntil([&] {
      dialog = Xdotool({"search", "--onlyvisible", "--name", "ファイルを選ぶ"}, weston.display);
      return !dialog.empty();
    }, 30000);
    ASSERT_FALSE(dialog.empty()) << "the selection dialog did not appear";
    guitest::RunUntil([] { return false; }, 1000);  // nothing else comes up meanwhile
    EXPECT_EQ(Xdotool({"search", "--onlyvisible", "--name", "ろまれ"}, weston.display), "");
    g_subprocess_send_signal(child, SIGTERM);
    EXPECT_EQ(WaitForExit(child, 30000), 0);
  }

  g_autoptr(GSubprocess) child = start({wav.c_str()});
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(WaitForExit(child, 120000), 0);
  const mediatest::AudioInfo info = mediatest::ProbeAudio(work.file("a.mp3"));
  EXPECT_EQ(info.codec, "mp3");
  EXPECT_GT(info.duration, 0.9);
  const std::string text = ReadFileBytes(work.file("QuillLomare.ini"));
  EXPECT_NE(text.find("rLomareWindow.left=300\n"), std::string::npos) << text;
  EXPECT_NE(text.find("rLomareWindow.top=200\n"), std::string::npos) << text;
}

}  // namespace
