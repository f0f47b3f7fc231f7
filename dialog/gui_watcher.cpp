// The selection watcher: the file under the chooser's cursor, described off the
// user-interface thread, and the trackbar following a playing preview.
//
// The user-interface thread publishes the chooser's current file (on every selection
// change and every 100 ms); the watcher thread wakes on a change or after 100 ms, and
// posts what is to be shown back to the user-interface thread. It never waits for that
// thread, so a slow or stuck file delays only its own description. Files are described
// by a child process of the watcher's own (see describe.h): a file that crashes or
// hangs the describer shows "-" and ends only that child.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/batch.h"
#include "dialog/describe.h"
#include "dialog/gui_selection_dialog.h"
#include "dialog/preview.h"

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(100);
constexpr auto kStopWait = std::chrono::milliseconds(1000);

// Shared by the two threads for one dialog; the thread keeps its own reference, so a
// thread still describing when the dialog has gone finds it intact.
struct WatcherShared {
  std::mutex lock;
  std::condition_variable wake;
  std::string currentPath;   // the chooser's current file, as last published; "" none
  unsigned published = 0;    // counts publications that changed currentPath
  bool StopWatcher = false;  // the dialog has returned
  bool ended = false;        // the thread has left its loop
  std::condition_variable endedSignal;
  unsigned generation = 0;   // the dialog this watcher serves
};

std::shared_ptr<WatcherShared> watcher;
guint publishTimer = 0;

// What the watcher asks the user-interface thread to show.
struct PanelNews {
  unsigned generation;
  int id;             // kCtlFileName, kCtlFileInfo or kCtlTrackbar
  std::string text;   // for the labels
  int percent = 0;    // for the trackbar
};

gboolean ApplyNews(gpointer data) {
  std::unique_ptr<PanelNews> news(static_cast<PanelNews*>(data));
  if (news->generation != SettingsPanel.generation) return G_SOURCE_REMOVE;
  GtkWidget* control = PanelControl(news->id);
  if (!control) return G_SOURCE_REMOVE;
  if (news->id == kCtlTrackbar) {
    // The user's hand and a stopped preview both win over a late position.
    if (!trackbarDragging && previewPlaying) gtk_range_set_value(GTK_RANGE(control), news->percent);
  } else {
    gtk_label_set_text(GTK_LABEL(control), news->text.c_str());
  }
  return G_SOURCE_REMOVE;
}

void Post(unsigned generation, int id, std::string text, int percent = 0) {
  g_idle_add(ApplyNews, new PanelNews{generation, id, std::move(text), percent});
}

void SelectionWatcher(std::shared_ptr<WatcherShared> shared) {
  std::string selectedPath;  // the last answer that passed IsFilePath
  std::string shownPath;     // the selected path on display
  unsigned seen = 0;
  DescriberChild* describer = nullptr;
  StartDescriberChild(&describer);
  std::unique_lock lock(shared->lock);
  while (!shared->StopWatcher) {
    shared->wake.wait_for(lock, kPollPeriod,
                          [&] { return shared->StopWatcher || shared->published != seen; });
    if (shared->StopWatcher) break;
    seen = shared->published;
    if (trackbarDragging) continue;
    const std::string currentPath = shared->currentPath;
    lock.unlock();

    if (previewPlaying) Post(shared->generation, kCtlTrackbar, "", QueryPreviewPercent());
    if (!currentPath.empty() && IsFilePath(currentPath)) selectedPath = currentPath;
    if (selectedPath != shownPath) {
      Post(shared->generation, kCtlFileName, GetFileNamePart(selectedPath));
      std::string text = "-";  // kept when the file cannot be described
      DescribeInChild(&describer, selectedPath, &text);
      Post(shared->generation, kCtlFileInfo, text);
      shownPath = selectedPath;
    }
    lock.lock();
  }
  lock.unlock();
  StopDescriberChild(&describer);
  lock.lock();
  shared->ended = true;
  shared->endedSignal.notify_all();
}

gboolean OnPublishTimer(gpointer) {
  NotifySelectionWatcher();
  return G_SOURCE_CONTINUE;
}

}  // namespace

void NotifySelectionWatcher() {
  if (!watcher) return;
  const std::string path = CurrentChooserFile();
  std::lock_guard lock(watcher->lock);
  if (path == watcher->currentPath) return;
  watcher->currentPath = path;
  watcher->published++;
  watcher->wake.notify_all();
}

void StartSelectionWatcher() {
  watcher = std::make_shared<WatcherShared>();
  watcher->generation = SettingsPanel.generation;
  std::thread(SelectionWatcher, watcher).detach();
  publishTimer = g_timeout_add(kPollPeriod.count(), OnPublishTimer, nullptr);
}

void StopSelectionWatcher() {
  if (!watcher) return;
  if (publishTimer) g_source_remove(publishTimer);
  publishTimer = 0;
  std::unique_lock lock(watcher->lock);
  watcher->StopWatcher = true;
  watcher->wake.notify_all();
  // A thread still describing a slow file is left to end by itself; it touches only
  // the shared record it holds.
  watcher->endedSignal.wait_for(lock, kStopWait, [] { return watcher->ended; });
  lock.unlock();
  watcher.reset();
}
