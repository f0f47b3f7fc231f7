#include "tests/gui/gui_support.h"

#include <cstdlib>

#include "common/i18n.h"
#include "dialog/gui_selection_dialog.h"
#include "media/media.h"

namespace guitest {

void Init(int* argc, char*** argv) {
  gtk_init(argc, argv);
  MediaLayerInit();
}

bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
  const gint64 deadline = g_get_monotonic_time() + gint64{timeoutMs} * 1000;
  while (!done() && g_get_monotonic_time() < deadline) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
  }
  return done();
}

GtkWindow* FindWindowByTitle(const std::string& title) {
  GtkWindow* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w && !found; w = w->next) {
    GtkWindow* window = GTK_WINDOW(w->data);
    const char* t = gtk_window_get_title(window);
    if (t && title == t && gtk_widget_get_visible(GTK_WIDGET(window))) found = window;
  }
  g_list_free(windows);
  return found;
}

bool Select(const std::string& path) {
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(SettingsPanel.dialog);
  gtk_file_chooser_unselect_all(chooser);
  gtk_file_chooser_select_filename(chooser, path.c_str());
  return RunUntil([&] { return CurrentChooserFile() == path; }, 10000);
}

void UseEnglish(bool english) {
  setenv("LC_ALL", english ? "en_US.UTF-8" : "C", 1);
  if (english) setenv("LANGUAGE", "en", 1);
  else unsetenv("LANGUAGE");
  InitLocalization();
}

}  // namespace guitest

// ---------------------------------------------------------------------------
// Window manager

#include <fcntl.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tests/support/media_fixtures.h"

namespace guitest {
namespace {

Display* XDisplay() { return GDK_DISPLAY_XDISPLAY(gdk_display_get_default()); }

// The property's 32-bit items (atoms, cardinals), empty when it is not set.
std::vector<long> LongProperty(Window window, const char* name, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long items = 0, left = 0;
  unsigned char* data = nullptr;
  std::vector<long> values;
  gdk_x11_display_error_trap_push(gdk_display_get_default());
  if (XGetWindowProperty(XDisplay(), window, gdk_x11_get_xatom_by_name(name), 0, 64, False, type, &actual,
                         &format, &items, &left, &data) == Success &&
      data && format == 32)
    values.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + items);
  if (data) XFree(data);
  gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
  return values;
}

bool HaveWindowManager() {
  return !LongProperty(DefaultRootWindow(XDisplay()), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW).empty();
}

// Started afresh by each window manager, so that a stale name of the last one cannot pass
// for it: it runs once it names itself and holds the root window's redirection.
bool HaveWindowManagerHoldingRoot() {
  XWindowAttributes root;
  return HaveWindowManager() && XGetWindowAttributes(XDisplay(), DefaultRootWindow(XDisplay()), &root) &&
         (root.all_event_masks & SubstructureRedirectMask);
}

// Settings, caches and runtime files (KWin and xfwm4's settings service write them) go to
// the window manager's own folders: the user's settings neither change what a test sees nor
// are changed by it.
void UseFoldersUnder(const std::string& folders) {
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
    const std::string folder = folders + "/" + variable;
    mkdir(folder.c_str(), 0700);
    setenv(variable, folder.c_str(), 1);
  }
}

// A private session bus (mutter, xfwm4 and KWin need one); its address, "" when it did not
// start. The services it starts use the folders too.
std::string StartSessionBus(pid_t* bus, const std::string& folders) {
  int fds[2];
  if (pipe(fds) != 0) return "";
  *bus = fork();
  if (*bus == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    UseFoldersUnder(folders);
    close(fds[0]);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO), dup2(null, STDOUT_FILENO), dup2(null, STDERR_FILENO);
    const std::string fd = std::to_string(fds[1]);
    execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", ("--print-address=" + fd).c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string address;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') address += c;
  close(fds[0]);
  return address;
}

}  // namespace

WindowManager::WindowManager(const std::string& name) {
  Display* x = XDisplay();
  XDeleteProperty(x, DefaultRootWindow(x), gdk_x11_get_xatom_by_name("_NET_SUPPORTING_WM_CHECK"));
  XSync(x, False);
  g_autofree char* made = g_dir_make_tmp("ql-wm-XXXXXX", nullptr);
  if (made) folders = made;
  const std::string address = folders.empty() ? "" : StartSessionBus(&bus, folders);
  if (address.empty()) {
    std::fprintf(stderr, "no session bus for %s\n", name.c_str());
    return;
  }
  std::vector<std::string> command = {name == "kwin" ? "kwin_x11" : name};  // its X11 build
  if (name == "openbox") command.push_back("--sm-disable");
  else if (name == "mutter") command.insert(command.end(), {"--x11", "--replace"});
  else command.push_back("--replace");
  pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    UseFoldersUnder(folders);
    std::vector<char*> argv;
    for (std::string& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  // A loaded machine may take several seconds to start mutter.
  if (!RunUntil(HaveWindowManagerHoldingRoot, 30000)) {
    std::fprintf(stderr, "%s did not start\n", name.c_str());
    if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    pid = -1;
    return;
  }
  // It names itself before it has finished starting, when it may still ignore requests.
  Pause(1000);
}

WindowManager::~WindowManager() {
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    Pause(100);
  }
  if (bus > 0) kill(bus, SIGTERM), waitpid(bus, nullptr, 0);
  if (!folders.empty()) mediatest::RunCommand({"rm", "-rf", folders});
}

ManagedWindow ReadManagedWindow(GtkWindow* window) {
  ManagedWindow seen;
  GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window));
  if (!gdkWindow) return seen;
  const Window client = GDK_WINDOW_XID(gdkWindow);
  const std::vector<long> actions = LongProperty(client, "_NET_WM_ALLOWED_ACTIONS", XA_ATOM);
  seen.managed = !actions.empty();
  for (long atom : actions) seen.actions.push_back(gdk_x11_get_xatom_name(Atom(atom)));
  const std::vector<long> extents = LongProperty(client, "_NET_FRAME_EXTENTS", XA_CARDINAL);
  for (size_t i = 0; i < extents.size() && i < 4; ++i) seen.extents[i] = int(extents[i]);
  for (long atom : LongProperty(client, "_NET_WM_STATE", XA_ATOM)) seen.states.push_back(gdk_x11_get_xatom_name(Atom(atom)));
  const std::vector<long> wmState = LongProperty(client, "WM_STATE", gdk_x11_get_xatom_by_name("WM_STATE"));
  seen.iconic = !wmState.empty() && wmState[0] == IconicState;
  for (long w : LongProperty(DefaultRootWindow(XDisplay()), "_NET_CLIENT_LIST", XA_WINDOW))
    seen.listed = seen.listed || Window(w) == client;
  // The frame is the client's ancestor that is a child of the root window. The window
  // manager may replace it meanwhile: its errors are ignored.
  gdk_x11_display_error_trap_push(gdk_display_get_default());
  Window w = client, root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  while (XQueryTree(XDisplay(), w, &root, &parent, &children, &count)) {
    if (children) XFree(children);
    if (parent == root || !parent) break;
    w = parent;
  }
  // The frame as a person sees it is the client with the extents around it; the frame
  // window may be larger (mutter and metacity add invisible borders to grab for resizing).
  XWindowAttributes frame, attributes;
  Window child = 0;
  int x = 0, y = 0;
  if (XGetWindowAttributes(XDisplay(), w, &frame) && XGetWindowAttributes(XDisplay(), client, &attributes) &&
      XTranslateCoordinates(XDisplay(), client, DefaultRootWindow(XDisplay()), 0, 0, &x, &y, &child)) {
    seen.onScreen = attributes.map_state == IsViewable;
    seen.frameLeft = x - seen.extents[0];
    seen.frameTop = y - seen.extents[2];
    seen.frameWidth = attributes.width + seen.extents[0] + seen.extents[1];
    seen.frameHeight = attributes.height + seen.extents[2] + seen.extents[3];
    seen.framed = w != client && frame.x <= seen.frameLeft && frame.y <= seen.frameTop &&
                  frame.x + frame.width >= seen.frameLeft + seen.frameWidth &&
                  frame.y + frame.height >= seen.frameTop + seen.frameHeight;
  }
  gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
  return seen;
}

void CloseThroughWindowManager(GtkWindow* window) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = GDK_WINDOW_XID(gtk_widget_get_window(GTK_WIDGET(window)));
  e.xclient.message_type = gdk_x11_get_xatom_by_name("_NET_CLOSE_WINDOW");
  e.xclient.format = 32;
  e.xclient.data.l[0] = CurrentTime;
  e.xclient.data.l[1] = 2;  // from a pager or a taskbar: acted on without a timestamp check
  XSendEvent(XDisplay(), DefaultRootWindow(XDisplay()), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XFlush(XDisplay());
}

ManagedWindow WaitUntilManaged(GtkWindow* window, const std::function<bool(const ManagedWindow&)>& also) {
  ManagedWindow seen;
  RunUntil([&] {
    seen = ReadManagedWindow(window);
    return seen.managed && seen.extents[2] > 0 && (!also || also(seen));
  });
  Pause(200);  // placing and drawing the frame
  return ReadManagedWindow(window);
}

// ---------------------------------------------------------------------------
// Sound server

SoundServer::SoundServer(bool onlyThroughPulseServer) {
  int status = -1;
  mediatest::RunCommand({"pulseaudio", "--version"}, &status);
  if (status != 0) return;
  g_autofree char* dir = g_dir_make_tmp("ql-pulse-XXXXXX", nullptr);
  if (!dir) return;
  runtime = dir;
  hadRuntime = g_getenv("XDG_RUNTIME_DIR") != nullptr;
  if (hadRuntime) oldRuntime = g_getenv("XDG_RUNTIME_DIR");
  hadSink = g_getenv(kAudioSinkVariable) != nullptr;
  if (hadSink) oldSink = g_getenv(kAudioSinkVariable);
  g_setenv("XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
  g_unsetenv(kAudioSinkVariable);  // the program's own choice of output
  std::string err;
  mediatest::RunCommand({"pulseaudio", "-n", "--daemonize=yes", "--exit-idle-time=-1", "-L",
                         "module-null-sink sink_name=nullout", "-L", "module-native-protocol-unix"},
                        &status, &err);
  // It is up once its socket answers.
  started = status == 0 && RunUntil([] {
              int s = -1;
              mediatest::RunCommand({"pactl", "info"}, &s);
              return s == 0;
            }, 10000);
  if (started && onlyThroughPulseServer) {
    throughPulseServer = true;
    const std::string elsewhere = runtime + "/elsewhere";
    mkdir(elsewhere.c_str(), 0700);
    g_setenv("PULSE_SERVER", ("unix:" + runtime + "/pulse/native").c_str(), TRUE);
    g_setenv("XDG_RUNTIME_DIR", elsewhere.c_str(), TRUE);
  }
  recording = runtime + "/recording.raw";
  if (started) StartRecording();
}

SoundServer::~SoundServer() {
  if (recorder > 0) {
    kill(recorder, SIGTERM);
    waitpid(recorder, nullptr, 0);
  }
  if (throughPulseServer) {
    g_unsetenv("PULSE_SERVER");
    g_setenv("XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
  }
  if (!runtime.empty()) {
    int status = -1;
    mediatest::RunCommand({"pulseaudio", "--kill"}, &status);
    RunUntil([&] { return !g_file_test((runtime + "/pulse/native").c_str(), G_FILE_TEST_EXISTS); }, 5000);
    mediatest::RunCommand({"rm", "-rf", runtime});
  }
  if (hadRuntime) g_setenv("XDG_RUNTIME_DIR", oldRuntime.c_str(), TRUE);
  else g_unsetenv("XDG_RUNTIME_DIR");
  if (hadSink) g_setenv(kAudioSinkVariable, oldSink.c_str(), TRUE);
}

// The recorder runs from the server's start to its end. An idle null sink works in blocks of
// its longest latency (2 s) and sleeps through them, so that a client arriving then waits
// up to 2 s before its sound moves; the recorder's 20 ms keep the sink at a short latency,
// as a sound card keeps it on a desktop.
void SoundServer::StartRecording() {
  if (recorder <= 0) {
    recorder = fork();
    if (recorder == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int fd = open(recording.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) _exit(127);
      dup2(fd, STDOUT_FILENO);
      execlp("parec", "parec", "-d", "nullout.monitor", "--raw", "--format=s16le", "--rate=8000", "--channels=1",
             "--latency-msec=20", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  // Recording once the first 100 ms of what the sink plays (silence) are in.
  struct stat st {};
  RunUntil([&] { return stat(recording.c_str(), &st) == 0 && st.st_size >= 1600; }, 5000);
  recordedFrom = stat(recording.c_str(), &st) == 0 ? st.st_size & ~off_t{1} : 0;
}

std::vector<bool> SoundServer::StopRecording() {
  std::vector<bool> blocks;
  if (recorder <= 0) return blocks;
  g_usleep(200 * 1000);  // what the server still buffers
  std::ifstream in(recording, std::ios::binary);
  in.seekg(recordedFrom);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  constexpr size_t kBlockBytes = 8000 * 2 * kSoundBlockMs / 1000;
  for (size_t at = 0; at + kBlockBytes <= bytes.size(); at += kBlockBytes) {
    int peak = 0;
    for (size_t i = at; i < at + kBlockBytes; i += 2)
      peak = std::max(peak, std::abs(int(int16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)))));
    blocks.push_back(peak > 300);
  }
  return blocks;
}

}  // namespace guitest
