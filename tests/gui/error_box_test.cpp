// Message boxes of the window mode, on a real display.
#include <gtest/gtest.h>

#include "app/gui_error_box.h"
#include "common/error_box.h"
#include "tests/gui/gui_support.h"

TEST(WindowErrorBoxTest, IsModalWithTheCaptionAsTitleTheTextAndOkOnly) {
  UseWindowErrorBox();
  struct Seen {
    bool found = false, modal = false;
    std::string text;
    int buttons = 0;
  } seen;
  // The box runs its own loop; look at it from there and dismiss it with its OK button.
  g_timeout_add(50, [](gpointer data) -> gboolean {
    auto* seen = static_cast<Seen*>(data);
    GtkWindow* box = guitest::FindWindowByTitle("エラー No.101");
    if (!box) return G_SOURCE_CONTINUE;
    seen->found = true;
    seen->modal = gtk_window_get_modal(box);
    g_autofree char* text = nullptr;
    g_object_get(box, "text", &text, nullptr);
    seen->text = text ? text : "";
    for (int response : {GTK_RESPONSE_OK, GTK_RESPONSE_CANCEL, GTK_RESPONSE_CLOSE,
                         GTK_RESPONSE_YES, GTK_RESPONSE_NO}) {
      if (gtk_dialog_get_widget_for_response(GTK_DIALOG(box), response)) seen->buttons++;
    }
    gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
    return G_SOURCE_REMOVE;
  }, &seen);
  ShowErrorBox("エラー No.101", "ファイルを読み込めません");
  SetErrorBoxHandler(nullptr);
  EXPECT_TRUE(seen.found);
  EXPECT_TRUE(seen.modal);
  EXPECT_EQ(seen.text, "ファイルを読み込めません");
  EXPECT_EQ(seen.buttons, 1);
}
