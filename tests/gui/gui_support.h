// Helpers for tests that drive real GTK widgets on the test process's own Xvfb.
#pragma once

#include <gtk/gtk.h>

#include <sys/types.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace guitest {

// Initialises GTK and the media layer; called once by the tests' main.
void Init(int* argc, char*** argv);

// Runs the main loop until done() is true or timeoutMs have passed; returns done().
bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// The first visible toplevel window whose title equals title, or nullptr.
GtkWindow* FindWindowByTitle(const std::string& title);

// Puts the selection dialog's cursor on path (a file or a folder) and waits until it is there.
bool Select(const std::string& path);

// The program's texts in English (the catalogue beside the test program), or as built.
void UseEnglish(bool english);

// Runs the main loop for ms milliseconds.
inline void Pause(int ms) { RunUntil([] { return false; }, ms); }

// A window manager on the test's display ("openbox", "mutter", "metacity", "xfwm4", "icewm",
// "kwin"), with a session bus and settings, cache and runtime folders of its own; it leaves
// again with the object.
struct WindowManager {
  explicit WindowManager(const std::string& name = "openbox");
  ~WindowManager();
  bool running() const { return pid > 0; }
  pid_t pid = -1, bus = -1;
  std::string folders;
};

// What the window manager publishes about a client window (read from the server).
struct ManagedWindow {
  bool managed = false;               // _NET_WM_ALLOWED_ACTIONS is present
  std::vector<std::string> actions;   // _NET_WM_ACTION_CLOSE, ...
  int frameLeft = 0, frameTop = 0;    // outer corner of the frame on the screen (as drawn)
  int extents[4] = {0, 0, 0, 0};      // _NET_FRAME_EXTENTS: left, right, top, bottom
  std::vector<std::string> states;    // _NET_WM_STATE: _NET_WM_STATE_HIDDEN, ...
  bool iconic = false;                // WM_STATE says IconicState
  bool listed = false;                // in the root's _NET_CLIENT_LIST, where taskbars look
  bool onScreen = false;              // the window itself is viewable
  bool framed = false;                // it sits in a frame window of the window manager's that
                                      // holds the extents around it
  int frameWidth = 0, frameHeight = 0;  // the client with the extents
};
inline bool Contains(const std::vector<std::string>& atoms, const char* atom) {
  return std::find(atoms.begin(), atoms.end(), atom) != atoms.end();
}
ManagedWindow ReadManagedWindow(GtkWindow* window);
// Asks the window manager to close the window, as its close box or Alt+F4 would.
void CloseThroughWindowManager(GtkWindow* window);
// Runs the main loop until the window manager has taken the window (and also, given,
// until also() holds of what it publishes), then lets it draw the frame; what it publishes.
ManagedWindow WaitUntilManaged(GtkWindow* window, const std::function<bool(const ManagedWindow&)>& also = nullptr);

// A sound server (PulseAudio with a null sink "nullout") in a private runtime folder, set
// as this process's XDG_RUNTIME_DIR while it runs; the program's own audio path plays into it.
// Reached only through PULSE_SERVER, a runtime folder without the server's socket is set
// instead, as for a forwarded or shared server.
struct SoundServer {
  explicit SoundServer(bool onlyThroughPulseServer = false);
  ~SoundServer();
  bool running() const { return started; }
  // Records what the null sink plays (mono, 16-bit, 8000 Hz) from now until StopRecording.
  void StartRecording();
  // Per 50 ms block of what was recorded since StartRecording, whether it held sound.
  std::vector<bool> StopRecording();
  bool started = false;
  std::string runtime, recording;
  std::string oldRuntime, oldSink;
  bool hadRuntime = false, hadSink = false, throughPulseServer = false;
  pid_t recorder = -1;
  off_t recordedFrom = 0;
};
inline constexpr int kSoundBlockMs = 50;

}  // namespace guitest
