// The window side in English: the panel's and the status window's texts, read back from
// the widgets, and room for them in the designed sizes.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/gui_status_window.h"
#include "app/settings.h"
#include "common/app_settings.h"
#include "common/i18n.h"
#include "common/status_text.h"
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

int TextWidth(GtkWidget* widget, const std::string& text) {
  g_autoptr(PangoLayout) layout = gtk_widget_create_pango_layout(widget, text.c_str());
  int width = 0;
  pango_layout_get_pixel_size(layout, &width, nullptr);
  return width;
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

// The captions read back from the window, each narrower than the window for runs of up
// to nine files.
TEST_F(LanguageGuiTest, EnglishCaptionsFitTheStatusWindow) {
  CreateStatusWindow(0, 0);
  GtkWidget* window = GTK_WIDGET(StatusWindow);
  EXPECT_STREQ(gtk_window_get_title(StatusWindow), "Lomare: choose files");
  const std::string captions[] = {gtk_window_get_title(StatusWindow), _(kPreparingCaption),
                                  FormatProgressCaption(kModeMp3, 8, 9, 100), FormatFileDoneCaption(kModeMp3, 8, 9),
                                  FormatFinishedCaption(kModeWav)};
  EXPECT_EQ(captions[2], "(8/9) 100% Yumare…");
  EXPECT_EQ(captions[3], "(8/9) Yumare done");
  EXPECT_EQ(captions[4], "100% -Lomare done-");
  for (const std::string& caption : captions) {
    SetStatusCaption(caption);
    EXPECT_EQ(gtk_window_get_title(StatusWindow), caption);
    EXPECT_LT(TextWidth(window, caption), kStatusWidth) << caption;
  }
  DestroyStatusWindow();
}

}  // namespace
