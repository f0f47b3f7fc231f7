// The dialog's describer is a child process: a file that kills it leaves the dialog up
// and shows "-"; the next file is described by a fresh child.
#include <gtest/gtest.h>

#include <functional>

#include "app/settings.h"
#include "common/app_settings.h"
#include "common/batch.h"
#include "dialog/gui_selection_dialog.h"
#include "tests/gui/gui_support.h"
#include "tests/support/media_fixtures.h"

namespace {

std::string Label(int id) { return gtk_label_get_text(GTK_LABEL(PanelControl(id))); }

bool Shows(const std::string& name, const std::string& info, int ms) {
  return guitest::RunUntil([&] { return Label(kCtlFileName) == name && Label(kCtlFileInfo) == info; }, ms);
}

bool Select(const std::string& path) {
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(SettingsPanel.dialog);
  gtk_file_chooser_unselect_all(chooser);
  gtk_file_chooser_select_filename(chooser, path.c_str());
  return guitest::RunUntil([&] { return CurrentChooserFile() == path; }, 10000);
}

TEST(DescriberTest, AFileThatKillsTheDescriberShowsADash) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  mediatest::TempDir settingsDir, media;
  // The tests' describer kills itself on this name (tests/gui/xvfb_main.cpp); it comes
  // first in the folder, so the dialog describes it as it opens.
  const std::string killer = mediatest::MakeFixture(mediatest::Fixture::Wav16Stereo44k, media.path(), 1.0,
                                                    "crash-describer.wav");
  const std::string mono = mediatest::MakeFixture(mediatest::Fixture::Wav8BitMono8k, media.path(), 1.0, "x-mono.wav");

  SetSettingsFilePath(settingsDir.file("QuillLomare.ini"));
  LoadSettings(1024, 768);
  Settings.InitialDir = media.path();
  Batch = BatchState{};
  static std::function<void()> script;
  script = [&] {
    ASSERT_TRUE(guitest::RunUntil([] { return SettingsPanel.dialog && gtk_widget_get_mapped(SettingsPanel.dialog); }));
    ASSERT_TRUE(Shows("crash-describer.wav", "-", 3000)) << Label(kCtlFileName);
    // A description that arrives proves a child answers after the first one died.
    ASSERT_TRUE(Select(mono));
    EXPECT_TRUE(Shows("x-mono.wav", " 8000Hz  8Bit モノラル", 10000)) << Label(kCtlFileInfo);
    for (const std::string& path : {killer, mono}) {
      ASSERT_TRUE(Select(path));
      const std::string info = path == mono ? " 8000Hz  8Bit モノラル" : "-";
      EXPECT_TRUE(Shows(GetFileNamePart(path), info, 10000)) << path << ": " << Label(kCtlFileInfo);
    }
  };
  g_idle_add(
      [](gpointer) -> gboolean {
        script();
        gtk_dialog_response(GTK_DIALOG(SettingsPanel.dialog), GTK_RESPONSE_CANCEL);
        return G_SOURCE_REMOVE;
      },
      nullptr);
  EXPECT_FALSE(RunSelectionDialog(nullptr));
  SetSettingsFilePath("");
}

}  // namespace
