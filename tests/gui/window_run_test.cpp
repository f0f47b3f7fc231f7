// Whole runs of the window mode over files made by ffmpeg: what the window said, what
// was written, and what the settings file kept.
#include <gtest/gtest.h>

#include "common/resources.h"
#include "media/media.h"  // before the X11 headers, whose macros clash with its names

#include <gdk/gdkx.h>

#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "app/gui_main.h"
#include "app/gui_status_window.h"
#include "app/settings.h"
#include "tests/gui/gui_support.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

// What the test saw of the status window while RunWindowMode ran.
struct Seen {
  std::vector<std::string> titles;  // every caption, the first one included
  bool mapped = false;
  bool iconifiedAtFirst = false;    // the window came up iconified
  bool keptAbove = false;           // keep-above was asked for (with the map, or later)
  std::vector<std::string> messages;  // "title: text" of every message box, dismissed with OK
  bool boxesModalWithOkOnly = true;   // every message box was modal, its one button OK
  bool closeUnderMessage = false;     // press the close box while a message box is up
  int signalUnderMessage = 0;         // raise this signal instead of pressing OK
  bool timedOut = false;
};
Seen* seen = nullptr;

void on_title(GObject* window, GParamSpec*, gpointer) {
  seen->titles.push_back(gtk_window_get_title(GTK_WINDOW(window)));
}

void on_map(GtkWidget* window, gpointer) {
  const GdkWindowState state = gdk_window_get_state(gtk_widget_get_window(window));
  if (!seen->mapped) seen->iconifiedAtFirst = state & GDK_WINDOW_STATE_ICONIFIED;
  seen->mapped = true;
  seen->keptAbove = seen->keptAbove || (state & GDK_WINDOW_STATE_ABOVE);
}

// The status window is caught as it is realized, with its first caption.
gboolean OnRealize(GSignalInvocationHint*, guint, const GValue* values, gpointer) {
  GObject* widget = static_cast<GObject*>(g_value_get_object(&values[0]));
  if (GTK_IS_WINDOW(widget) && !GTK_IS_DIALOG(widget) && seen->titles.empty()) {
    seen->titles.push_back(gtk_window_get_title(GTK_WINDOW(widget)));
    g_signal_connect(widget, "notify::title", G_CALLBACK(on_title), nullptr);
    g_signal_connect(widget, "map", G_CALLBACK(on_map), nullptr);
  }
  return TRUE;
}

// With no window manager running, requests to it arrive at the root window.
GdkFilterReturn OnRootEvent(GdkXEvent* xevent, GdkEvent*, gpointer) {
  const XEvent* e = static_cast<const XEvent*>(xevent);
  if (e->type == ClientMessage && e->xclient.message_type == gdk_x11_get_xatom_by_name("_NET_WM_STATE") &&
      e->xclient.data.l[0] == 1 && Atom(e->xclient.data.l[1]) == gdk_x11_get_xatom_by_name("_NET_WM_STATE_ABOVE"))
    seen->keptAbove = true;
  return GDK_FILTER_CONTINUE;
}

gboolean DismissMessageBoxes(gpointer) {
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w; w = w->next) {
    if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
    g_autofree char* text = nullptr;
    g_autofree char* below = nullptr;
    g_object_get(w->data, "text", &text, "secondary-text", &below, nullptr);
    seen->messages.push_back(std::string(gtk_window_get_title(GTK_WINDOW(w->data))) + ": " + (text ? text : "") +
                             (below ? std::string(" / ") + below : ""));
    int buttons = 0;
    for (int response : {GTK_RESPONSE_OK, GTK_RESPONSE_CANCEL, GTK_RESPONSE_CLOSE, GTK_RESPONSE_YES, GTK_RESPONSE_NO})
      buttons += gtk_dialog_get_widget_for_response(GTK_DIALOG(w->data), response) != nullptr;
    seen->boxesModalWithOkOnly &= gtk_window_get_modal(GTK_WINDOW(w->data)) && buttons == 1 &&
                                  gtk_dialog_get_widget_for_response(GTK_DIALOG(w->data), GTK_RESPONSE_OK);
    if (seen->closeUnderMessage && StatusWindow) gtk_window_close(StatusWindow);
    // Signalled once; should the box stay, the run never ends and the test says so.
    if (seen->signalUnderMessage > 0) raise(seen->signalUnderMessage), seen->signalUnderMessage = -1;
    else if (seen->signalUnderMessage == 0) gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_OK);
  }
  g_list_free(windows);
  return G_SOURCE_CONTINUE;
}

gboolean GiveUp(gpointer) {
  seen->timedOut = true;
  if (gtk_main_level() > 0) gtk_main_quit();
  return G_SOURCE_REMOVE;
}

class WindowRunTest : public ::testing::Test {
 public:
  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
    seen = &seen_;
    static gulong hook = 0;
    if (!hook)
      hook = g_signal_add_emission_hook(g_signal_lookup("realize", GTK_TYPE_WIDGET), 0, OnRealize, nullptr, nullptr);
    GdkWindow* root = gdk_get_default_root_window();
    gdk_window_set_events(root, GdkEventMask(gdk_window_get_events(root) | GDK_SUBSTRUCTURE_MASK));
    gdk_window_add_filter(root, OnRootEvent, nullptr);
  }
  void TearDown() override {
    gdk_window_remove_filter(gdk_get_default_root_window(), OnRootEvent, nullptr);
    SetSettingsFilePath("");
    seen = nullptr;
  }

  // Runs `quilllomare FILE...` in this process with the given settings file text.
  int Run(const std::string& settings, const std::vector<std::string>& files) {
    const std::string ini = dir_.file("QuillLomare.ini");
    g_file_set_contents(ini.c_str(), settings.c_str(), -1, nullptr);
    SetSettingsFilePath(ini);
    std::vector<std::string> args = {"quilllomare"};
    args.insert(args.end(), files.begin(), files.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const guint dismiss = g_timeout_add(50, DismissMessageBoxes, nullptr);
    const guint guard = g_timeout_add_seconds(60, GiveUp, nullptr);
    const int status = RunWindowMode(static_cast<int>(args.size()), argv.data());
    g_source_remove(dismiss);
    if (!seen_.timedOut) g_source_remove(guard);
    EXPECT_FALSE(seen_.timedOut) << "the run did not end";
    return status;
  }

  std::string SettingsText() { return ReadFileBytes(dir_.file("QuillLomare.ini")); }

  // Each caption in order matches one of the patterns; prints the whole sequence otherwise.
  void ExpectTitles(const std::vector<std::string>& patterns) {
    std::string all;
    for (const std::string& t : seen_.titles) all += "\n  " + t;
    for (const std::string& t : seen_.titles) {
      bool known = false;
      for (const std::string& p : patterns) known = known || std::regex_match(t, std::regex(p));
      EXPECT_TRUE(known) << "caption " << t << " in" << all;
    }
  }

  size_t IndexOf(const std::string& title) {
    auto it = std::find(seen_.titles.begin(), seen_.titles.end(), title);
    return it == seen_.titles.end() ? std::string::npos : size_t(it - seen_.titles.begin());
  }

  TempDir dir_;
  Seen seen_;
};

void ExpectConverted(const std::string& path, const std::string& codec, double seconds) {
  AudioInfo info = ProbeAudio(path);
  EXPECT_EQ(info.codec, codec) << path;
  EXPECT_NEAR(info.duration, seconds, 0.1) << path;
}

// Three files to MP3 from the window's first caption on: up iconified, then kept above;
// the chime, through the machine's own audio output (a real sound server where one can
// run), heard once at the end of the run; the centred default position on the 1024 x 768
// test screen saved. (A stored position is kept: CloseMidRun.)
TEST_F(WindowRunTest, ThreeFilesToMp3FromFirstCaptionToChimeAndSavedPosition) {
  const std::vector<std::string> files = {MakeToneFile(dir_.file("one.wav"), 44100, 2, 2.0, {"-c:a", "pcm_s16le"}),
                                          MakeFixture(Fixture::Mpeg1PsMp2, dir_.path(), 2.0, "two.mpg"),
                                          MakeFixture(Fixture::AviPcm, dir_.path(), 2.0, "three.avi")};
  guitest::SoundServer sound;
  if (sound.running()) sound.StartRecording();
  EXPECT_EQ(Run("[Setting]\nDecodeMode=1\n", files), 0);
  if (sound.running()) {
    const std::vector<bool> heard = sound.StopRecording();
    std::vector<std::pair<size_t, size_t>> bursts;  // first and last block of each sound
    for (size_t i = 0; i < heard.size(); ++i)
      if (heard[i] && (i == 0 || !heard[i - 1])) bursts.push_back({i, i});
      else if (heard[i]) bursts.back().second = i;
    ASSERT_EQ(bursts.size(), 1u);
    const size_t length = (bursts[0].second - bursts[0].first + 1) * guitest::kSoundBlockMs;
    EXPECT_GE(length, 200u);
    EXPECT_LE(length, 1000u);
    EXPECT_LE((heard.size() - bursts[0].second) * guitest::kSoundBlockMs, 1500u);  // the program ended after it
  }

  ASSERT_GE(seen_.titles.size(), 3u);
  EXPECT_EQ(seen_.titles[0], "ろまれのファイル選択");
  EXPECT_EQ(seen_.titles[1], "エンコード 準備中");
  EXPECT_TRUE(seen_.iconifiedAtFirst);
  EXPECT_TRUE(seen_.keptAbove);
  ExpectTitles({"ろまれのファイル選択", "エンコード 準備中", R"(\([123]/3\) (\d+% )?ゆまれ中)", R"(\([12]/3\) 100% ゆまれ完了)",
                "100% -ゆまれ完了-"});
  EXPECT_TRUE(std::regex_match(seen_.titles.at(2), std::regex(R"(\(1/3\) (\d+% )?ゆまれ中)"))) << seen_.titles.at(2);
  const size_t first = IndexOf("(1/3) 100% ゆまれ完了"), second = IndexOf("(2/3) 100% ゆまれ完了");
  EXPECT_LT(first, second);
  EXPECT_NE(second, std::string::npos);
  EXPECT_EQ(seen_.titles.back(), "100% -ゆまれ完了-");

  for (const char* name : {"one.mp3", "two.mp3", "three.mp3"}) {
    ExpectConverted(dir_.file(name), "mp3", 2.0);
    // The batch mode's records are its own: none on the window mode's outputs.
    EXPECT_LT(getxattr(dir_.file(name).c_str(), "user.quilllomare.input", nullptr, 0), 0) << name;
  }
  EXPECT_NE(SettingsText().find("rLomareWindow.left=462\nrLomareWindow.top=364"), std::string::npos) << SettingsText();
  EXPECT_TRUE(seen_.messages.empty());
}

// The close box (or a termination signal) during the second of three files: the first
// output stays, the second is deleted, the third is never started, the position is saved.
void CloseMidRun(WindowRunTest* t, int bySignal) {
  const std::vector<std::string> files = {
      MakeToneFile(t->dir_.file("a.wav"), 44100, 2, 2.0, {"-c:a", "pcm_s16le"}),
      MakeToneFile(t->dir_.file("b.wav"), 44100, 2, 120.0, {"-c:a", "pcm_s16le"}),
      MakeToneFile(t->dir_.file("c.wav"), 44100, 2, 2.0, {"-c:a", "pcm_s16le"})};
  struct Closer {
    int bySignal;
    bool closed = false;
  } closer{bySignal};
  const guint source = g_timeout_add(20, [](gpointer data) -> gboolean {
    auto* closer = static_cast<Closer*>(data);
    if (!StatusWindow) return G_SOURCE_CONTINUE;
    const std::string title = gtk_window_get_title(StatusWindow);
    if (!std::regex_match(title, std::regex(R"(\(2/3\) \d+% ゆまれ中)"))) return G_SOURCE_CONTINUE;
    if (closer->bySignal)
      raise(closer->bySignal);
    else
      gtk_window_close(StatusWindow);
    closer->closed = true;
    return G_SOURCE_REMOVE;
  }, &closer);
  EXPECT_EQ(t->Run("[Setting]\nDecodeMode=1\nrLomareWindow.left=5\nrLomareWindow.top=6\n", files), 0);
  if (!closer.closed) g_source_remove(source);
  EXPECT_TRUE(closer.closed);

  ExpectConverted(t->dir_.file("a.mp3"), "mp3", 2.0);
  // Nothing else, not even a temporary of the stopped file's.
  EXPECT_EQ(FolderEntries(t->dir_.path()),
            (std::vector<std::string>{"QuillLomare.ini", "a.mp3", "a.wav", "b.wav", "c.wav"}));
  EXPECT_NE(t->seen_.titles.back().find("(2/3)"), std::string::npos) << t->seen_.titles.back();
  EXPECT_NE(t->SettingsText().find("rLomareWindow.left=5\nrLomareWindow.top=6"), std::string::npos)
      << t->SettingsText();
}

TEST_F(WindowRunTest, ClosingTheWindowMidRunKeepsOnlyFinishedOutputs) { CloseMidRun(this, 0); }
// A termination signal, or the terminal's hang-up, ends the run as the close box does.
TEST_F(WindowRunTest, TerminationSignalMidRunEndsLikeTheCloseBox) { CloseMidRun(this, SIGTERM); }
TEST_F(WindowRunTest, HangUpMidRunEndsLikeTheCloseBox) { CloseMidRun(this, SIGHUP); }

// A second file that cannot be read: its message box (modal, the caption as its title,
// the file's name under the text, OK its only button; dismissed here), then the end,
// without a completion caption and without saving the position. The close box pressed
// while the modal message is up changes nothing; a termination signal then ends the
// program as the OK button would.
void FailSecondFile(WindowRunTest* t, int signal) {
  auto& dir_ = t->dir_;
  auto& seen_ = t->seen_;
  const std::vector<std::string> files = {MakeFixture(Fixture::Mp3Stereo44k, dir_.path(), 2.0, "one.mp3"),
                                          MakeFixture(Fixture::TextAsMpg, dir_.path(), 2.0, "bad.mpg"),
                                          MakeFixture(Fixture::Mp3Stereo44k, dir_.path(), 2.0, "three.mp3")};
  const std::string settings = "[Setting]\nDecodeMode=0\nrLomareWindow.left=30\nrLomareWindow.top=40\n";
  seen_.closeUnderMessage = true;
  seen_.signalUnderMessage = signal;
  EXPECT_EQ(t->Run(settings, files), 0);

  ASSERT_GE(seen_.messages.size(), 1u);
  if (!signal) {
    EXPECT_EQ(seen_.messages.size(), 1u);
  }
  EXPECT_EQ(seen_.messages[0], "エラー No.103: 読み込み可能なメディアファイルではありません。 / bad.mpg");
  EXPECT_TRUE(seen_.boxesModalWithOkOnly);
  ExpectConverted(dir_.file("one.wav"), "pcm_s16le", 2.0);
  EXPECT_FALSE(g_file_test(dir_.file("bad.wav").c_str(), G_FILE_TEST_EXISTS));
  EXPECT_FALSE(g_file_test(dir_.file("three.wav").c_str(), G_FILE_TEST_EXISTS));
  EXPECT_EQ(t->IndexOf("100% -ろまれ完了-"), std::string::npos);
  EXPECT_EQ(t->SettingsText(), settings);
}

TEST_F(WindowRunTest, FailingSecondFileShowsItsMessageAndKeepsTheFirstOutput) { FailSecondFile(this, 0); }
TEST_F(WindowRunTest, TerminationSignalUnderTheMessageEndsTheProgram) { FailSecondFile(this, SIGTERM); }

// The worker processes of this process: its children started with the worker option.
std::vector<pid_t> Workers() {
  std::vector<pid_t> workers;
  for (const std::string& entry : FolderEntries("/proc")) {
    if (entry.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = ReadFileBytes("/proc/" + entry + "/stat");
    const size_t end = stat.rfind(')');  // the name may hold anything; the parent follows it
    if (end == std::string::npos || std::atoi(stat.c_str() + end + 4) != getpid()) continue;
    const std::string command = ReadFileBytes("/proc/" + entry + "/cmdline");
    if (command.find(std::string("--worker") + '\0') != std::string::npos) workers.push_back(std::stoi(entry));
  }
  return workers;
}

// A conversion that crashes in the middle of the second of three files (its worker
// killed by SIGSEGV or SIGKILL once its graph runs): the program lives on, shows
// "エラー No.601" with the file's name, and ends as after any failed file: the first
// output complete, nothing of the second or third, no completion, no position saved.
TEST_F(WindowRunTest, CrashingConversionFailsItsFileWith601AndTheProgramLivesOn) {
  for (const int signal : {SIGSEGV, SIGKILL}) {
    SCOPED_TRACE(strsignal(signal));
    seen_ = Seen{};
    mediatest::TempDir dir;
    const std::vector<std::string> files = {MakeToneFile(dir.file("a.wav"), 44100, 2, 2.0, {"-c:a", "pcm_s16le"}),
                                            MakeToneFile(dir.file("b.wav"), 44100, 2, 120.0, {"-c:a", "pcm_s16le"}),
                                            MakeToneFile(dir.file("c.wav"), 44100, 2, 2.0, {"-c:a", "pcm_s16le"})};
    struct Crash {
      int signal;
      pid_t worker = -1;
    } crash{signal};
    const guint source = g_timeout_add(20, [](gpointer data) -> gboolean {
      auto* crash = static_cast<Crash*>(data);
      if (!StatusWindow || !std::regex_match(gtk_window_get_title(StatusWindow), std::regex(R"(\(2/3\) \d+% ゆまれ中)")))
        return G_SOURCE_CONTINUE;
      const std::vector<pid_t> workers = Workers();
      if (workers.size() != 1) return G_SOURCE_CONTINUE;
      crash->worker = workers[0];
      kill(crash->worker, crash->signal);
      return G_SOURCE_REMOVE;
    }, &crash);
    const std::string settings = "[Setting]\nDecodeMode=1\nrLomareWindow.left=5\nrLomareWindow.top=6\n";
    EXPECT_EQ(Run(settings, files), 0);
    if (crash.worker < 0) g_source_remove(source);
    ASSERT_GT(crash.worker, 0) << "no worker was seen converting the second file";

    ASSERT_EQ(seen_.messages.size(), 1u);
    EXPECT_TRUE(seen_.messages[0].starts_with("エラー No.601: 変換中にエラーが発生しました。\n")) << seen_.messages[0];
    EXPECT_TRUE(seen_.messages[0].ends_with(" / b.wav")) << seen_.messages[0];
    EXPECT_TRUE(seen_.boxesModalWithOkOnly);
    ExpectConverted(dir.file("a.mp3"), "mp3", 2.0);
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"a.mp3", "a.wav", "b.wav", "c.wav"}));
    EXPECT_EQ(IndexOf("100% -ゆまれ完了-"), std::string::npos);
    EXPECT_EQ(SettingsText(), settings);
    EXPECT_TRUE(Workers().empty());
  }
}

// The chime wherever the sound server is: reached only through PULSE_SERVER (no socket in
// the runtime folder, no sound card), it is heard; with no server at all the program finds
// no output at once and stays silent.
TEST(ChimeTest, HeardThroughAServerReachedByPulseServerAloneAndNoServerIsSilentAtOnce) {
  RegisterProgramResources();
  {
    guitest::SoundServer sound(true);
    ASSERT_TRUE(sound.running()) << "pulseaudio is needed";
    ASSERT_EQ(g_getenv("PULSE_SERVER") != nullptr, true);
    ASSERT_FALSE(g_file_test((std::string(g_getenv("XDG_RUNTIME_DIR")) + "/pulse/native").c_str(), G_FILE_TEST_EXISTS));
    sound.StartRecording();
    ASSERT_TRUE(HaveAudioOutput());
    EXPECT_TRUE(PlaySoundResource("/res/sound/138.wav", 3000));
    const std::vector<bool> heard = sound.StopRecording();
    EXPECT_GE(std::count(heard.begin(), heard.end(), true) * guitest::kSoundBlockMs, 200);
  }
  mediatest::TempDir empty;
  const std::string runtime = g_getenv("XDG_RUNTIME_DIR") ? g_getenv("XDG_RUNTIME_DIR") : "";
  g_setenv("XDG_RUNTIME_DIR", empty.path().c_str(), TRUE);
  const gint64 start = g_get_monotonic_time();
  EXPECT_FALSE(HaveAudioOutput());
  EXPECT_LT(g_get_monotonic_time() - start, 1000 * 1000);
  if (runtime.empty()) g_unsetenv("XDG_RUNTIME_DIR");
  else g_setenv("XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
}

}  // namespace
