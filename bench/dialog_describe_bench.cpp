// How long the selection dialog takes to describe a file after the cursor lands on it:
// the real dialog on the display in DISPLAY, the cursor put on each file in turn, the
// time until the file information shows its description.
//
//   quilllomare_dialog_bench FILE...    prints "ms<TAB>description<TAB>file" per file
//
// Each FILE must not come first in its folder: the chooser puts its cursor on the first
// file when it opens a folder, and that file is described before the measured one.
#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/settings.h"
#include "common/app_settings.h"
#include "dialog/describe.h"
#include "dialog/gui_selection_dialog.h"
#include "media/media.h"

namespace {

std::vector<std::string> files;

bool RunUntil(bool (*done)(), int timeoutMs) {
  const gint64 deadline = g_get_monotonic_time() + gint64{timeoutMs} * 1000;
  while (!done() && g_get_monotonic_time() < deadline)
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(500);
  return done();
}

std::string Info() { return gtk_label_get_text(GTK_LABEL(PanelControl(kCtlFileInfo))); }
std::string Name() { return gtk_label_get_text(GTK_LABEL(PanelControl(kCtlFileName))); }

gboolean Measure(gpointer) {
  RunUntil([] { return SettingsPanel.dialog && gtk_widget_get_mapped(SettingsPanel.dialog); }, 10000);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(SettingsPanel.dialog);
  for (const std::string& file : files) {
    // The chooser lists the folder and lands on its first file; the cursor then moves
    // to the file (which must not be the folder's first).
    gtk_file_chooser_set_current_folder(chooser, g_path_get_dirname(file.c_str()));
    RunUntil([] { return false; }, 300);
    gtk_label_set_text(GTK_LABEL(PanelControl(kCtlFileInfo)), "?");
    const gint64 start = g_get_monotonic_time();
    gtk_file_chooser_select_filename(chooser, file.c_str());
    static std::string wanted;
    wanted = g_path_get_basename(file.c_str());
    const bool shown = RunUntil([] { return Name() == wanted && Info() != "?"; }, 10000);
    const double ms = (g_get_monotonic_time() - start) / 1000.0;
    std::printf("%.1f\t%s\t%s\n", shown ? ms : -1.0, Info().c_str(), file.c_str());
  }
  gtk_dialog_response(GTK_DIALOG(SettingsPanel.dialog), GTK_RESPONSE_CANCEL);
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], kDescriberOption) == 0) return RunDescriber();
  if (!gtk_init_check(&argc, &argv)) return 1;
  MediaLayerInit();
  for (int i = 1; i < argc; ++i) files.push_back(argv[i]);
  g_autofree char* dir = g_dir_make_tmp("quilllomare-bench-XXXXXX", nullptr);
  g_autofree char* ini = g_build_filename(dir, "QuillLomare.ini", nullptr);
  SetSettingsFilePath(ini);
  LoadSettings(1024, 768);
  g_idle_add(Measure, nullptr);
  RunSelectionDialog(nullptr);
  g_rmdir(dir);
  return 0;
}
