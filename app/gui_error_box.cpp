#include "app/gui_error_box.h"

#include <gtk/gtk.h>

#include "common/batch.h"
#include "common/error_box.h"

static GtkWidget* shownBox = nullptr;  // the box on screen, while ShowWindowErrorBox waits
static bool dismissed = false;         // the program is ending: no further box is shown

// A modal box with no owner, the text, the caption as its title and an OK button only.
static void ShowWindowErrorBox(const std::string& caption, const std::string& text) {
  if (dismissed) return;
  GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                          GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
  // In a run of several files, which one failed: the status window behind may still show
  // the one before as done.
  if (Batch.fileCount > 1 && Batch.currentFile >= 1 && Batch.currentFile <= Batch.fileCount) {
    g_autofree char* name = g_filename_display_basename(GetBatchFile(Batch.currentFile).c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(box), "%s", name);
  }
  gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
  GtkWidget* outer = shownBox;
  shownBox = box;
  gtk_dialog_run(GTK_DIALOG(box));
  shownBox = outer;
  gtk_widget_destroy(box);
}

void UseWindowErrorBox() {
  dismissed = false;
  SetErrorBoxHandler(ShowWindowErrorBox);
}

bool DismissErrorBox() {
  if (!shownBox) return false;
  dismissed = true;
  gtk_dialog_response(GTK_DIALOG(shownBox), GTK_RESPONSE_OK);
  return true;
}
