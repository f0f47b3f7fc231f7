// The window side in English: the panel's texts, read back from the widgets, and room for
// them in the designed size. (The status window's English captions: StatusWindowUnderWindowManagerTest.)
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/settings.h"
#include "common/app_settings.h"
#include "common/i18n.h"
#include "dialog/gui_selection_dialog.h"
#include "tests/gui/gui_support.h"
#include "tests/support/media_fixtures.h"

namespace {

std::string Text(int id) {
  GtkWidget* w = PanelControl(id);
  if (GTK_IS_FRAME(w)) return gtk_frame_get_label(GTK_FRAME(w));
  if (GTK_IS_LABEL(w)) return gtk_label_get_text(GTK_LABEL(w));
  return gtk_button_get_label(GTK_BUTTON(w));
}

class LanguageGuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "en_US.UTF-8", 1);
    setenv("LANGUAGE", "en", 1);
    InitLocalization();
    SetSettingsFilePath(settingsDir.file("QuillLomare.ini"));
    LoadSettings(1024, 768);
  }
  void TearDown() override {
    SetSettingsFilePath("");
    setenv("LC_ALL", "C", 1);
    unsetenv("LANGUAGE");
    InitLocalization();
  }
  mediatest::TempDir settingsDir;
};

TEST_F(LanguageGuiTest, EnglishPanelFitsTheDialog) {
  ASSERT_STREQ(_("停止"), "Stop") << "no English catalogue beside the test program";
  g_idle_add(
      [](gpointer) -> gboolean {
        guitest::RunUntil([] { return SettingsPanel.dialog && gtk_widget_get_mapped(SettingsPanel.dialog); });
        GtkWindow* dialog = GTK_WINDOW(SettingsPanel.dialog);
        EXPECT_STREQ(gtk_window_get_title(dialog), "Choose files (Ctrl or Shift picks several)");
        const std::pair<int, const char*> texts[] = {
            {kCtlWavMode, "To WAV"}, {kCtlMp3Mode, "To MP3"}, {kCtlWmaMode, "To WMA"},
            {kCtlExtractMode, "Extract"}, {kCtlInfoFrame, " File information "}, {kCtlFileName, "File name"},
            {kCtlPageFrame, " WAV settings "}, {kCtlKeepFormat, "Keep the format"},
            {kCtlSetFormat, "Set the format"}, {kCtlPreview, "Preview"}};
        for (const auto& [id, text] : texts) EXPECT_EQ(Text(id), text) << id;
        g_autofree char* pcm = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(PanelControl(kCtlPcmList)));
        EXPECT_STREQ(pcm, "32,000 Hz , 16 bit , Stereo");

        // Every page's controls get their natural width, and the dialog keeps its size.
        for (int mode : {kCtlMp3Mode, kCtlWmaMode, kCtlExtractMode, kCtlWavMode}) {
          gtk_button_clicked(GTK_BUTTON(PanelControl(mode)));
          guitest::RunUntil([] { return false; }, 100);
          for (int id : {kCtlWavMode, kCtlMp3Mode, kCtlWmaMode, kCtlExtractMode, kCtlKeepFormat, kCtlSetFormat,
                         kCtlPlainMp3, kCtlRiffMp3, kCtlMp3Grade, kCtlPreview, kCtlInfoFrame, kCtlPageFrame}) {
            GtkWidget* w = PanelControl(id);
            if (!gtk_widget_get_visible(w)) continue;
            int minimum = 0, natural = 0;
            gtk_widget_get_preferred_width(w, &minimum, &natural);
            EXPECT_GE(gtk_widget_get_allocated_width(w), natural) << Text(id);
          }
        }
        int width = 0, height = 0;
        gtk_window_get_size(dialog, &width, &height);
        EXPECT_EQ(width, 820);
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
        return G_SOURCE_REMOVE;
      },
      nullptr);
  EXPECT_FALSE(RunSelectionDialog(nullptr));
}

}  // namespace
