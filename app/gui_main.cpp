#include "app/gui_main.h"

#include <glib-unix.h>
#include <unistd.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>

#include "app/batch_mode.h"
#include "app/batch_options.h"
#include "app/gui_error_box.h"
#include "app/gui_status_window.h"
#include "app/run.h"
#include "app/settings.h"
#include "common/i18n.h"
#include "common/app_settings.h"
#include "common/batch.h"
#include "common/error_box.h"
#include "common/resources.h"
#include "common/status_text.h"
#include "dialog/gui_placement.h"
#include "dialog/gui_selection_dialog.h"
#include "media/media.h"

namespace {

constexpr int kEncodingIcon = 139;
constexpr const char* kChime = "/res/sound/138.wav";
constexpr unsigned kChimeTimeoutMs = 3000;  // the chime is about half a second

bool terminated = false;  // a termination signal came

// The files named on the command line; "--" ends the options.
std::vector<std::string> CommandLineFiles(int argc, char** argv) {
  std::vector<std::string> files;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    if (options && std::strcmp(argv[i], "--") == 0) {
      options = false;
      continue;
    }
    if (options && argv[i][0] == '-' && argv[i][1] != 0) continue;
    files.push_back(argv[i]);
  }
  return files;
}

void DesktopSize(int* width, int* height) {
  GdkRectangle area{0, 0, 0, 0};
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
  if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
  if (monitor) gdk_monitor_get_geometry(monitor, &area);
  *width = area.width;
  *height = area.height;
}

// ---------------------------------------------------------------------------
// The window's side of the run

// Where the window system keeps positions to itself (pure Wayland, weston's XWayland), the
// stored one stays.
void SaveStatusWindowPosition() {
  if (!StatusWindow || !WindowPositionsKnown()) return;
  int left = 0, top = 0;
  StoredStatusWindowPosition(&left, &top);
  Settings.rLomareWindow.left = left;
  Settings.rLomareWindow.top = top;
  SaveWindowPosition();
}

// The chime plays to its end before the program goes; a machine without an audio output
// skips it without a word.
void PlayCompletionSound() {
  FlushStatusWindow();
  if (HaveAudioOutput()) PlaySoundResource(kChime, kChimeTimeoutMs);
}

void EndWindowRun(RunOutcome) {
  StopStatusAnimation();
  if (gtk_main_level() > 0) gtk_main_quit();
}

// The window comes up (or out of its icon) with the first animation step.
void ShowAndAnimate() {
  ShowStatusWindow();
  StartStatusAnimation();
}

// Stopped from the terminal, or its terminal closed, the run ends as if the window had
// been closed: the output being written is deleted rather than left half done.
// While the files are being chosen, it ends as the dialog's cancel does; a message box
// on screen is dismissed, and the run it reports ends as after its OK.
gboolean OnTerminate(gpointer) {
  terminated = true;
  if (DismissErrorBox()) return G_SOURCE_CONTINUE;
  CancelSelectionDialog();
  if (CurrentRunOutcome() == RunOutcome::Running) CloseRun();
  return G_SOURCE_CONTINUE;
}

// A termination signal while a file's decoders are being set up ends the run there.
void EndTerminatedWait() {
  if (CurrentRunOutcome() == RunOutcome::Running) CloseRun();
  _exit(0);
}

RunFrontEnd WindowFrontEnd() {
  RunFrontEnd frontEnd;
  frontEnd.setCaption = SetStatusCaption;
  frontEnd.paintStatus = PaintStatus;
  frontEnd.startAnimation = ShowAndAnimate;
  frontEnd.stopAnimation = StopStatusAnimation;
  frontEnd.playCompletionSound = PlayCompletionSound;
  frontEnd.saveWindowPosition = SaveStatusWindowPosition;
  frontEnd.endRun = EndWindowRun;
  return frontEnd;
}

}  // namespace

bool InitializeRun(const std::vector<std::string>& files) {
  if (files.empty()) {
    // The dialog fills the batch, the choices and the target format; from here on
    // they are on disk, whatever happens to the run.
    if (!RunSelectionDialog(StatusWindow)) return false;
    SaveSettings();
  } else {
    Batch.fileList = FileListFor(files);
    Batch.fileCount = CountBatchFiles();
    Batch.currentFile = 1;
    SetTargetFormatFromSettings();
  }

  PrepareStatusGraphics();
  SetRunFrontEnd(WindowFrontEnd());
  {
    std::lock_guard lock(StatusLock);
    StatusFileName.clear();
    StatusNotice.clear();
  }
  // The encoding modes show an empty bar while the first graph is built.
  if (IsEncodingMode(Settings.DecodeMode)) {
    SetStatusIcon(kEncodingIcon);
    SetStatusCaption(_(kPreparingCaption));
    ShowStatusWindow();
    PaintStatus(0);
    FlushStatusWindow();
    if (StatusWindowCloseRequested()) {
      SaveStatusWindowPosition();
      return false;
    }
  }
  // Each file is converted in a worker process: a conversion that crashes fails its
  // file with a message instead of ending the program without one.
  BeginRunInWorkers(WorkerOptionsForSettings());
  return true;
}

int RunWindowMode(int argc, char** argv) {
  // The X11 backend where there is one (XWayland too): Wayland lets no program place its
  // windows or keep one above the others.
  gdk_set_allowed_backends("x11,*");
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "%s", _("quilllomare: no display to show the window on (see --batch --help)\n"));
    return 1;
  }
  const std::vector<std::string> files = CommandLineFiles(argc, argv);
  RegisterProgramResources();
  MediaLayerInit();
  UseWindowErrorBox();

  int width = 0, height = 0;
  DesktopSize(&width, &height);
  LoadSettings(width, height);
  CreateStatusWindow(Settings.rLomareWindow.left, Settings.rLomareWindow.top);
  ShowStatusWindowMinimised();

  terminated = false;
  guint signals[3];
  int n = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) signals[n++] = g_unix_signal_add(signal, OnTerminate, nullptr);
  EndOnSignalsDuringWaits(EndTerminatedWait);
  if (InitializeRun(files)) {
    // A termination signal while the run was prepared: it ends as soon as it began.
    if (terminated && CurrentRunOutcome() == RunOutcome::Running) CloseRun();
    // Until the run has ended, the worker gone with it.
    if (CurrentRunOutcome() == RunOutcome::Running) gtk_main();
  }
  for (guint source : signals) g_source_remove(source);

  DestroyStatusWindow();
  SetErrorBoxHandler(nullptr);
  return 0;
}
