// The selection dialog on a real display: panel, pages, confirmation, watcher, preview.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "app/settings.h"
#include "common/app_settings.h"
#include "common/batch.h"
#include "common/i18n.h"
#include "common/target_format.h"
#include "dialog/encoder_formats.h"
#include "dialog/format_lists.h"
#include "dialog/gui_selection_dialog.h"
#include "dialog/preview.h"
#include "tests/gui/gui_support.h"
#include "tests/support/media_fixtures.h"

using guitest::Select;
using mediatest::Fixture;
using mediatest::MakeFixture;

namespace {

GtkWidget* Ctl(int id) { return PanelControl(id); }
bool Visible(int id) { return Ctl(id) && gtk_widget_get_visible(Ctl(id)); }
bool Enabled(int id) { return Ctl(id) && gtk_widget_get_sensitive(Ctl(id)); }
bool Checked(int id) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(Ctl(id))); }
void Click(int id) { gtk_button_clicked(GTK_BUTTON(Ctl(id))); }
int Row(int id) { return gtk_combo_box_get_active(GTK_COMBO_BOX(Ctl(id))); }
void SetRow(int id, int row) { gtk_combo_box_set_active(GTK_COMBO_BOX(Ctl(id)), row); }
// The text the list shows: its edit field's, or its selected row's.
std::string EntryText(int id) {
  if (gtk_combo_box_get_has_entry(GTK_COMBO_BOX(Ctl(id))))
    return gtk_entry_get_text(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(Ctl(id)))));
  g_autofree char* text = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(Ctl(id)));
  return text ? text : "";
}
std::string Label(int id) { return gtk_label_get_text(GTK_LABEL(Ctl(id))); }
std::string Caption(int id) {
  GtkWidget* w = Ctl(id);
  return GTK_IS_FRAME(w) ? gtk_frame_get_label(GTK_FRAME(w)) : gtk_button_get_label(GTK_BUTTON(w));
}
GtkFileChooser* Chooser() { return GTK_FILE_CHOOSER(SettingsPanel.dialog); }

bool responded = false;

void Confirm() {
  responded = true;
  gtk_dialog_response(GTK_DIALOG(SettingsPanel.dialog), GTK_RESPONSE_ACCEPT);
}

// Runs the dialog; script runs inside its loop once it is on screen and may confirm it.
// The dialog is cancelled when the script leaves it open.
bool RunDialogWith(const std::function<void()>& script) {
  g_idle_add(
      [](gpointer script) -> gboolean {
        guitest::RunUntil([] { return SettingsPanel.dialog && gtk_widget_get_mapped(SettingsPanel.dialog); });
        responded = false;
        (*static_cast<const std::function<void()>*>(script))();
        if (!responded) gtk_dialog_response(GTK_DIALOG(SettingsPanel.dialog), GTK_RESPONSE_CANCEL);
        return G_SOURCE_REMOVE;
      },
      const_cast<std::function<void()>*>(&script));
  return RunSelectionDialog(nullptr);
}

class SelectionDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetSettingsFilePath(settingsDir.file("QuillLomare.ini"));
    LoadSettings(1024, 768);
    Batch = BatchState{};
    TargetFormat = TargetAudioFormat{};
  }
  void TearDown() override { SetSettingsFilePath(""); }

  mediatest::TempDir settingsDir;
  mediatest::TempDir media;
};

// Where a control lies in the dialog, and its width.
struct Placement {
  int x = 0, y = 0, width = 0;
  bool operator==(const Placement&) const = default;
};
Placement PlacementOf(GtkWidget* widget) {
  Placement p;
  gtk_widget_translate_coordinates(widget, SettingsPanel.dialog, 0, 0, &p.x, &p.y);
  p.width = gtk_widget_get_allocated_width(widget);
  return p;
}

// The first start, as built and in English (a process each, as the lists keep their texts):
// the defaults and texts; each page's controls, every one with room for its text in the
// designed size; the frame, the preview button and its trackbar stay put whatever the page
// and whether the preview plays. Cancelling then stores nothing and ends the preview.
class SelectionDialogFirstRunTest : public SelectionDialogTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(, SelectionDialogFirstRunTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "English" : "Japanese"; });

TEST_P(SelectionDialogFirstRunTest, ShowsTheDefaultsAndEachPageAndCancelStoresNothing) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  const std::string wav = MakeFixture(Fixture::Wav16Stereo44k, media.path(), 2.0);
  const bool en = GetParam();
  guitest::UseEnglish(en);
  ASSERT_TRUE(!en || std::string(_("停止")) == "Stop") << "no English catalogue beside the test program";
  LoadSettings(1024, 768);
  auto t = [en](const char* ja, const char* english) { return std::string(en ? english : ja); };
  EXPECT_FALSE(RunDialogWith([&] {
    EXPECT_TRUE(gtk_file_chooser_get_select_multiple(Chooser()));
    for (int id : {kCtlWavMode, kCtlKeepFormat, kCtlPlainMp3}) EXPECT_TRUE(Checked(id)) << id;
    EXPECT_FALSE(Enabled(kCtlPcmList));
    EXPECT_EQ(Row(kCtlPcmList), 15);
    EXPECT_EQ(Row(kCtlWmaList), 15);
    // Only the MP3 list takes typed text; the PCM and WMA lists offer their rows alone.
    for (const auto& [id, entry] : {std::pair{kCtlMp3List, true}, {kCtlPcmList, false}, {kCtlWmaList, false}})
      EXPECT_EQ(gtk_combo_box_get_has_entry(GTK_COMBO_BOX(Ctl(id))), entry) << id;
    const std::pair<std::string, std::string> texts[] = {
        {gtk_window_get_title(GTK_WINDOW(SettingsPanel.dialog)),
         t("ファイルを選ぶ(Ctrlキー,Shiftキーで複数ファイル選択可)", "Choose files (Ctrl or Shift picks several)")},
        {Caption(kCtlWavMode), t("wavに変換(_W)", "To _WAV")}, {Caption(kCtlMp3Mode), t("mp3に変換(_M)", "To _MP3")},
        {Caption(kCtlWmaMode), t("wmaに変換(_A)", "To WM_A")}, {Caption(kCtlExtractMode), t("そのまま抽出(_E)", "_Extract")},
        {Caption(kCtlInfoFrame), t(" ファイル情報 ", " File information ")},
        {Caption(kCtlKeepFormat), t("音質そのまま(_K)", "_Keep the format")},
        {Caption(kCtlSetFormat), t("音質を設定する(_S)", "_Set the format")},
        {Caption(kCtlPlainMp3), t("MP3形式で出力(_P)", "Write as M_P3")},
        {Caption(kCtlRiffMp3), t("RIFF形式で出力(_R)", "Write as _RIFF")},
        {Caption(kCtlPreview), t("プレビュー", "Preview")},
        {EntryText(kCtlPcmList), t("32,000 Hz , 16ビット , ステレオ", "32,000 Hz , 16 bit , Stereo")},
        {Label(kCtlMp3Grade), "(Professional)"},
        {Label(kCtlFileName), t("ファイル名", "File name")},
        {Label(kCtlFileInfo), "-"}};
    for (const auto& [text, expected] : texts) EXPECT_EQ(text, expected);
    // What a screen reader reads: the controls without a label of their own are named by what
    // they choose; the mode and format buttons have their mnemonics; Tab reaches the file
    // information.
    for (const auto& [widget, name, role] :
         {std::tuple{Ctl(kCtlPcmList), t("出力形式", "Output format"), ATK_ROLE_COMBO_BOX},
          {Ctl(kCtlMp3List), t("出力形式", "Output format"), ATK_ROLE_COMBO_BOX},
          {gtk_bin_get_child(GTK_BIN(Ctl(kCtlMp3List))), t("出力形式", "Output format"), ATK_ROLE_TEXT},
          {Ctl(kCtlWmaList), t("出力形式", "Output format"), ATK_ROLE_COMBO_BOX},
          {Ctl(kCtlTrackbar), t("再生位置", "Playing position"), ATK_ROLE_SLIDER},
          {Ctl(kCtlWavMode), t("wavに変換(W)", "To WAV"), ATK_ROLE_RADIO_BUTTON}}) {
      AtkObject* accessible = gtk_widget_get_accessible(widget);
      EXPECT_EQ(atk_object_get_name(accessible) ? atk_object_get_name(accessible) : "", name);
      EXPECT_EQ(atk_object_get_role(accessible), role) << name;
    }
    for (int id : {kCtlWavMode, kCtlMp3Mode, kCtlWmaMode, kCtlExtractMode, kCtlKeepFormat, kCtlSetFormat,
                   kCtlPlainMp3, kCtlRiffMp3})
      EXPECT_TRUE(gtk_button_get_use_underline(GTK_BUTTON(Ctl(id)))) << id;
    for (int id : {kCtlFileName, kCtlFileInfo}) EXPECT_TRUE(gtk_widget_get_can_focus(Ctl(id))) << id;
    // The rows keep one order in every language: the default row is the same format.
    EXPECT_EQ(EntryText(kCtlMp3List), en ? "128Kbps 44100Hz Stereo" : "128Kbps 44100Hz ステレオ");

    // The media filter first, matching names whatever their case; then everything.
    GSList* filters = gtk_file_chooser_list_filters(Chooser());
    ASSERT_EQ(g_slist_length(filters), 2u);
    auto* mediaFilter = GTK_FILE_FILTER(filters->data);
    auto* all = GTK_FILE_FILTER(filters->next->data);
    g_slist_free(filters);
    EXPECT_EQ(gtk_file_filter_get_name(mediaFilter),
              t("メディアファイル(mpg m2p mpa avi mp2 mp3 wav vob cda asf wma wmv)",
                "Media files (mpg m2p mpa avi mp2 mp3 wav vob cda asf wma wmv)"));
    EXPECT_EQ(gtk_file_filter_get_name(all), t("すべてのファイル(*.*)", "All files (*.*)"));
    EXPECT_EQ(gtk_file_chooser_get_filter(Chooser()), mediaFilter);
    for (const auto& [name, matched] : {std::pair{"a.mp3", true}, {"B.MPG", true}, {"c.Mpeg", true},
                                        {"d.VoB", true}, {"e.txt", false}, {"mp3", false}}) {
      GtkFileFilterInfo info{};
      info.contains = GTK_FILE_FILTER_DISPLAY_NAME;
      info.display_name = name;
      EXPECT_EQ(gtk_file_filter_filter(mediaFilter, &info), matched) << name;
      EXPECT_TRUE(gtk_file_filter_filter(all, &info)) << name;
    }

    guitest::Pause(150);  // the layout settles
    const Placement frame = PlacementOf(Ctl(kCtlPageFrame)), button = PlacementOf(Ctl(kCtlPreview)),
                    trackbar = PlacementOf(Ctl(kCtlTrackbar));
    auto expectStill = [&](const char* what) {
      guitest::Pause(150);
      EXPECT_EQ(PlacementOf(Ctl(kCtlPageFrame)), frame) << what;
      if (Visible(kCtlPreview)) {
        EXPECT_EQ(PlacementOf(Ctl(kCtlPreview)), button) << what;
        EXPECT_EQ(PlacementOf(Ctl(kCtlTrackbar)), trackbar) << what;
      }
    };
    struct PageRow {
      int button;
      std::string caption;
      bool wav, mp3, wma, extract, preview;
    };
    const PageRow pages[] = {
        {kCtlMp3Mode, t(" mp3変換の設定 ", " MP3 settings "), false, true, false, false, true},
        {kCtlWmaMode, t(" wma変換の設定 ", " WMA settings "), false, false, true, false, false},
        {kCtlExtractMode, t(" そのまま抽出 ", " Extract as it is "), false, false, false, true, false},
        {kCtlWavMode, t(" wav変換の設定 ", " WAV settings "), true, false, false, false, true},
    };
    for (const PageRow& page : pages) {
      Click(page.button);
      SCOPED_TRACE(page.caption);
      expectStill("page");
      EXPECT_TRUE(Checked(page.button));
      EXPECT_EQ(Caption(kCtlPageFrame), page.caption);
      for (int id : {kCtlKeepFormat, kCtlSetFormat, kCtlPcmList}) EXPECT_EQ(Visible(id), page.wav) << id;
      for (int id : {kCtlPlainMp3, kCtlRiffMp3, kCtlMp3List, kCtlMp3Grade}) EXPECT_EQ(Visible(id), page.mp3) << id;
      EXPECT_EQ(Visible(kCtlWmaList), page.wma);
      for (int id : {kCtlNoteAdpcm, kCtlNoteDivx, kCtlNoteMpeg1, kCtlNoteVob}) EXPECT_EQ(Visible(id), page.extract) << id;
      for (int id : {kCtlTrackbar, kCtlPreview}) EXPECT_EQ(Visible(id), page.preview) << id;
      for (int id : {kCtlWavMode, kCtlMp3Mode, kCtlWmaMode, kCtlExtractMode, kCtlFileInfo, kCtlFileName, kCtlInfoFrame})
        EXPECT_TRUE(Visible(id)) << id;
      for (int id : {kCtlWavMode, kCtlMp3Mode, kCtlWmaMode, kCtlExtractMode, kCtlKeepFormat, kCtlSetFormat,
                     kCtlPlainMp3, kCtlRiffMp3, kCtlMp3Grade, kCtlPreview, kCtlInfoFrame, kCtlPageFrame}) {
        if (!Visible(id)) continue;
        int minimum = 0, natural = 0;
        gtk_widget_get_preferred_width(Ctl(id), &minimum, &natural);
        EXPECT_GE(gtk_widget_get_allocated_width(Ctl(id)), natural) << id;
      }
    }
    int width = 0, height = 0;
    gtk_window_get_size(GTK_WINDOW(SettingsPanel.dialog), &width, &height);
    EXPECT_EQ(width, 820);

    // The PCM list follows "音質を設定する" and keeps its state across a change of page.
    for (int toggle : {kCtlSetFormat, kCtlKeepFormat}) {
      Click(toggle);
      EXPECT_EQ(Enabled(kCtlPcmList), toggle == kCtlSetFormat);
      Click(kCtlMp3Mode);
      Click(kCtlWavMode);
      EXPECT_EQ(Enabled(kCtlPcmList), toggle == kCtlSetFormat);
    }
    Click(kCtlMp3Mode);  // left on another page, and playing, for the cancel
    ASSERT_TRUE(Select(wav));
    Click(kCtlPreview);
    ASSERT_TRUE(previewPlaying);
    expectStill("playing");
  }));
  EXPECT_EQ(Settings.DecodeMode, kModeWav);
  EXPECT_EQ(Batch.fileCount, 0u);
  EXPECT_FALSE(previewPlaying);
  EXPECT_FALSE(PreviewGraph.graph);
  guitest::UseEnglish(false);
}

// The stored choices (mode, ChangeWavFormat, WavFormat, Mp3Format, WmaFormat, Riff) and
// the target format (rate, bytes per second, bits, channels).
std::vector<int> StoredChoices() {
  return {Settings.DecodeMode, Settings.ChangeWavFormat, Settings.WavFormat,
          Settings.Mp3Format,  Settings.WmaFormat,       Settings.Riff};
}
std::vector<uint32_t> Target(const TargetAudioFormat& f) {
  return {f.samplesPerSec, f.avgBytesPerSec, f.bitsPerSample, f.channels};
}

// Positions are StatusWindowUnderWindowManagerTest's, the file's order the settings test's.
TEST_F(SelectionDialogTest, ConfirmationStoresThePanelAndTheNextStartShowsIt) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  std::vector<std::string> files;
  for (const char* name : {"a.wav", "b.wav", "c.wav"})
    files.push_back(MakeFixture(Fixture::Wav8BitMono8k, media.path(), 0.5, name));

  // Three files, MP3 page, every other choice moved away from its default.
  std::string mp3Label;
  ASSERT_TRUE(RunDialogWith([&] {
    ASSERT_TRUE(Select(files[0]));  // the folder holds the three files only
    ASSERT_TRUE(guitest::RunUntil([] {
      gtk_file_chooser_select_all(Chooser());
      GSList* chosen = gtk_file_chooser_get_filenames(Chooser());
      const guint n = g_slist_length(chosen);
      g_slist_free_full(chosen, g_free);
      return n == 3;
    }));
    Click(kCtlSetFormat);
    SetRow(kCtlPcmList, 3);
    Click(kCtlMp3Mode);
    Click(kCtlRiffMp3);
    SetRow(kCtlMp3List, 2);
    SetRow(kCtlWmaList, 4);
    mp3Label = EntryText(kCtlMp3List);
    Confirm();
  }));
  EXPECT_EQ(StoredChoices(), (std::vector<int>{kModeMp3, 1, 3, 2, 4, 1}));
  TargetAudioFormat mp3 = ParseMp3FormatLabel(mp3Label);
  mp3.bitsPerSample = 16;
  EXPECT_EQ(Target(TargetFormat), Target(mp3));
  EXPECT_EQ(Settings.InitialDir, media.path());
  EXPECT_EQ(Batch.fileCount, 3u);
  EXPECT_EQ(Batch.currentFile, 1u);
  EXPECT_EQ(GetBatchFile(2), files[1]);

  SaveSettings();
  // The next start shows every choice as it was left; "音質そのまま" then keeps the row.
  LoadSettings(1024, 768);
  ASSERT_TRUE(RunDialogWith([&] {
    g_autofree char* folder = gtk_file_chooser_get_current_folder(Chooser());
    EXPECT_STREQ(folder, media.path().c_str());
    EXPECT_EQ((std::vector<int>{Checked(kCtlMp3Mode), Checked(kCtlSetFormat), Row(kCtlPcmList), Checked(kCtlRiffMp3),
                                Row(kCtlMp3List), Row(kCtlWmaList)}),
              (std::vector<int>{true, true, 3, true, 2, 4}));

    Click(kCtlWavMode);
    EXPECT_TRUE(Enabled(kCtlPcmList));
    Click(kCtlKeepFormat);
    ASSERT_TRUE(Select(files[1]));
    Confirm();
  }));
  EXPECT_EQ(StoredChoices(), (std::vector<int>{kModeWav, 0, 3, 2, 4, 1}));
  EXPECT_EQ(Target(TargetFormat), Target(TargetAudioFormat{}));
  EXPECT_EQ(Batch.fileCount, 1u);
  EXPECT_EQ(GetBatchFile(1), files[1]);
  EXPECT_EQ(Settings.InitialDir, media.path() + "/");
}

// Runs step first thing in the dialog's loop run again after a refused confirmation, before
// the chooser hears of changes in the folder.
void Later(std::function<void()> step) {
  g_idle_add_full(G_PRIORITY_HIGH, [](gpointer data) -> gboolean {
    std::unique_ptr<std::function<void()>> step(static_cast<std::function<void()>*>(data));
    (*step)();
    return G_SOURCE_REMOVE;
  }, new std::function<void()>(std::move(step)), nullptr);
}

// A confirmation that cannot be converted keeps the dialog open and says why in it: a chosen
// file gone meanwhile, an MP3 text that names no format. A typed format is stored as the
// row it names (Enter in the field confirms), and the next start's list shows that row.
TEST_F(SelectionDialogTest, TypedMp3FormatIsStoredAsItsRowAndARefusalSaysWhy) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  const std::string wav = MakeFixture(Fixture::Wav8BitMono8k, media.path(), 0.5, "a.wav");
  const std::string gone = MakeFixture(Fixture::Wav8BitMono8k, media.path(), 0.5, "b.wav");
  const std::vector<std::string> labels = ReadMp3FormatList().labels;
  ASSERT_GT(labels.size(), 6u);
  const int row = int(labels.size()) - 3;
  std::string typed = labels[row];
  typed.erase(0, typed.find_first_not_of(' '));  // as a person types it
  GtkEntry* entry = nullptr;
  std::vector<std::string> notices;
  ASSERT_TRUE(RunDialogWith([&] {
    ASSERT_TRUE(Select(gone));
    Click(kCtlMp3Mode);
    entry = GTK_ENTRY(gtk_bin_get_child(GTK_BIN(Ctl(kCtlMp3List))));
    unlink(gone.c_str());  // gone before the chooser's listing can tell
    Confirm();
    Later([&] {
      notices.push_back(Label(kCtlNotice));
      ASSERT_TRUE(Select(wav));
      gtk_entry_set_text(entry, "abc");
      Confirm();
      Later([&] {
        notices.push_back(Label(kCtlNotice));
        gtk_entry_set_text(entry, typed.c_str());
        EXPECT_EQ(Label(kCtlNotice), "");
        gtk_widget_activate(GTK_WIDGET(entry));
      });
    });
  }));
  EXPECT_EQ(notices, (std::vector<std::string>{"ファイルが見つかりません: b.wav", "mp3の形式を一覧から選んでください"}));
  EXPECT_EQ(Settings.Mp3Format, row);
  EXPECT_EQ(Target(TargetFormat), Target(ParseMp3FormatLabel(labels[row])));
  SaveSettings();
  LoadSettings(1024, 768);
  ASSERT_FALSE(RunDialogWith([&] { EXPECT_EQ(Row(kCtlMp3List), row); }));
}

// ---- Watcher ----------------------------------------------------------------------

TEST_F(SelectionDialogTest, WatcherDescribesTheFileUnderTheCursor) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  const std::string stereo = MakeFixture(Fixture::Wav16Stereo44k, media.path(), 1.0);
  const std::string mono = MakeFixture(Fixture::Wav8BitMono8k, media.path(), 1.0);
  const std::string text = MakeFixture(Fixture::TextAsMpg, media.path());
  // The tests' describer kills itself on this name (tests/gui/xvfb_main.cpp).
  const std::string killer = MakeFixture(Fixture::Wav16Stereo44k, media.path(), 1.0, "crash-describer.wav");
  const std::string folder = media.file("folder");
  mkdir(folder.c_str(), 0755);
  // What 音質そのまま keeps of each: the renderer's 16-bit stereo would hide it.
  const std::string deep = mediatest::MakeToneFile(media.file("deep.wav"), 48000, 2, 1.0, {"-c:a", "pcm_s24le"});
  const std::string floats = mediatest::MakeToneFile(media.file("float.wav"), 44100, 2, 1.0, {"-c:a", "pcm_f32le"});
  const std::string surround = mediatest::MakeToneFile(media.file("six.wav"), 44100, 6, 1.0, {"-c:a", "pcm_s16le"});

  // A folder leaves the last file on display; the comparison is with the file on display
  // only, so the first file is described again when it comes back. A file that kills the
  // describer (a child process) shows "-", and the next one is described by a fresh child.
  const std::pair<std::string, std::string> steps[] = {
      {stereo, "44100Hz 16Bit ステレオ"}, {killer, "-"}, {mono, " 8000Hz  8Bit モノラル"}, {killer, "-"},
      {text, "-"}, {folder, "-"}, {stereo, "44100Hz 16Bit ステレオ"}, {deep, "48000Hz 24Bit ステレオ"},
      {floats, "44100Hz 32Bit float ステレオ"}, {surround, "44100Hz 16Bit 6ch"}};
  RunDialogWith([&] {
    std::string name;
    for (const auto& [path, info] : steps) {
      ASSERT_TRUE(Select(path)) << path << " shows " << CurrentChooserFile();
      if (path == folder) guitest::Pause(300);
      else name = GetFileNamePart(path);
      EXPECT_TRUE(guitest::RunUntil([&] { return Label(kCtlFileName) == name && Label(kCtlFileInfo) == info; }, 10000))
          << path << ": " << Label(kCtlFileInfo);
    }
    // deep.wav, float.wav and six.wav chosen with the cursor on the last, as Shift+Down twice
    // from deep.wav leaves them: the file under the cursor is described, not the first chosen.
    ASSERT_TRUE(Select(deep));
    GtkTreeView* list = nullptr;
    std::function<void(GtkWidget*)> find = [&](GtkWidget* w) {
      if (GTK_IS_TREE_VIEW(w) && gtk_widget_get_mapped(w)) list = GTK_TREE_VIEW(w);
      if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), [](GtkWidget* c, gpointer f) { (*static_cast<decltype(find)*>(f))(c); }, &find);
    };
    find(SettingsPanel.dialog);
    ASSERT_NE(list, nullptr);
    GtkTreePath *first = nullptr, *third = nullptr;
    gtk_tree_view_get_cursor(list, &first, nullptr);
    ASSERT_NE(first, nullptr);
    third = gtk_tree_path_copy(first);
    gtk_tree_path_next(third);
    gtk_tree_path_next(third);
    gtk_tree_view_set_cursor(list, third, nullptr, FALSE);
    gtk_tree_selection_select_range(gtk_tree_view_get_selection(list), first, third);
    gtk_tree_path_free(first);
    gtk_tree_path_free(third);
    EXPECT_TRUE(guitest::RunUntil([&] {
      return Label(kCtlFileName) == "six.wav" && Label(kCtlFileInfo) == "44100Hz 16Bit 6ch";
    }, 10000)) << Label(kCtlFileName) << ": " << Label(kCtlFileInfo);
    GSList* chosen = gtk_file_chooser_get_filenames(Chooser());
    EXPECT_EQ(g_slist_length(chosen), 3u);
    g_slist_free_full(chosen, g_free);
  });
}

TEST_F(SelectionDialogTest, AFileThatNeverAnswersDoesNotHoldUpTheDialog) {
  const std::string fifo = media.file("stuck.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  gint64 closed = 0, confirmedAt = 0;
  RunDialogWith([&] {
    ASSERT_TRUE(Select(fifo));
    // Its name is up at once; its description waits for data that never comes.
    ASSERT_TRUE(guitest::RunUntil([&] { return Label(kCtlFileName) == "stuck.wav"; }, 5000));
    const gint64 start = g_get_monotonic_time();
    Click(kCtlMp3Mode);
    bool ticked = false;
    g_timeout_add(10, [](gpointer t) -> gboolean { *static_cast<bool*>(t) = true; return G_SOURCE_REMOVE; }, &ticked);
    EXPECT_TRUE(guitest::RunUntil([&] { return ticked && Visible(kCtlMp3List); }, 2000));
    EXPECT_LT(g_get_monotonic_time() - start, 2000 * 1000);  // never, were it blocked
    EXPECT_EQ(Label(kCtlFileInfo), "-");  // not yet described
    confirmedAt = g_get_monotonic_time();
  });
  closed = g_get_monotonic_time();
  EXPECT_LT(closed - confirmedAt, 3000 * 1000);  // the watcher is waited for 1000 ms at most
  // Let the describing thread go.
  int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (writer >= 0) close(writer);
  g_usleep(300 * 1000);
}

// ---- Preview ----------------------------------------------------------------------

// The names of the preview graph's filters from its source downstream.
std::vector<std::string> PreviewChain() {
  std::vector<std::string> names;
  std::vector<FilterRef> filters = GraphFilters(PreviewGraph.graph.get());
  if (filters.empty()) return names;
  Filter* f = filters.front().get();
  while (f) {
    names.push_back(FilterName(f));
    PinRef out;
    for (const PinRef& pin : FilterPins(f))
      if (PinQueryDirection(pin.get()) == PinDirection::Output) out = pin;
    PinRef next = out ? PinConnectedTo(out.get()) : nullptr;
    f = next ? PinFilter(next.get()) : nullptr;
  }
  return names;
}

bool PreviewLocked() {
  for (int id : {kCtlWavMode, kCtlMp3Mode, kCtlWmaMode, kCtlExtractMode, kCtlKeepFormat, kCtlSetFormat,
                 kCtlPcmList, kCtlPlainMp3, kCtlRiffMp3, kCtlMp3List})
    if (Enabled(id)) return false;
  return true;
}

// The preview is stopped and the panel unlocked.
void ExpectPreviewIdle() {
  EXPECT_FALSE(previewPlaying);
  EXPECT_FALSE(PreviewGraph.graph);
  EXPECT_EQ(Caption(kCtlPreview), "プレビュー");
  EXPECT_TRUE(Enabled(kCtlWavMode));
  EXPECT_TRUE(Enabled(kCtlMp3List));
}

// A preview that cannot start leaves the panel as it was; one that plays locks the panel,
// plays the chosen format, and its thumb follows a seek.
TEST_F(SelectionDialogTest, PreviewPlaysTheChosenFormatAndSeeksOrLeavesThePanelAsItWas) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  const std::string text = MakeFixture(Fixture::TextAsMpg, media.path());
  const std::string wav = MakeFixture(Fixture::Wav16Stereo44k, media.path(), 4.0);
  using Chain = std::vector<std::string>;
  const Chain decoded = {"Sorce Filter", "Decoder", "Audio Renderer"};
  const Chain converted = {"Sorce Filter", "Decoder", "", "Audio Renderer"};
  const Chain throughMp3 = {"Sorce Filter", "Decoder", "", "MPEG Layer-3", "MPEG Layer-3 Decoder", "Audio Renderer"};
  RunDialogWith([&] {
    // A file without audio: the build fails silently.
    ASSERT_TRUE(Select(text));
    Click(kCtlPreview);
    ExpectPreviewIdle();
    EXPECT_EQ(guitest::FindWindowByTitle("エラー No504"), nullptr);
    ASSERT_TRUE(Select(wav));
    // A typed MP3 text that matches no encoder format.
    Click(kCtlMp3Mode);
    gtk_entry_set_text(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(Ctl(kCtlMp3List)))), "999Kbps");
    Click(kCtlPreview);
    ExpectPreviewIdle();
    SetRow(kCtlMp3List, 0);
    // A machine without an audio output: no renderer, no preview, no noise.
    if (!HaveAudioOutput()) {
      g_autofree char* sink = g_strdup(g_getenv(kAudioSinkVariable));
      g_unsetenv(kAudioSinkVariable);
      Click(kCtlPreview);
      g_setenv(kAudioSinkVariable, sink, TRUE);
      ExpectPreviewIdle();
    }

    struct Case {
      const char* what;
      std::function<void()> choose;
      Chain chain;
    };
    const Case cases[] = {
        {"as decoded", [] { Click(kCtlWavMode); Click(kCtlKeepFormat); }, decoded},
        {"PCM row 19", [] { Click(kCtlSetFormat); SetRow(kCtlPcmList, 19); }, converted},
        {"MP3", [] { Click(kCtlMp3Mode); }, throughMp3},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      c.choose();
      Click(kCtlPreview);
      ASSERT_TRUE(previewPlaying);
      EXPECT_EQ(Caption(kCtlPreview), "停止");
      EXPECT_TRUE(PreviewLocked());
      EXPECT_EQ(PreviewChain(), c.chain);
      Click(kCtlPreview);
      ExpectPreviewIdle();
    }

    // Seek to the middle: the thumb follows.
    Click(kCtlWavMode);
    Click(kCtlPreview);
    ASSERT_TRUE(previewPlaying);
    guitest::Pause(200);
    SeekPreview(50);
    EXPECT_TRUE(guitest::RunUntil([] { return gtk_range_get_value(GTK_RANGE(Ctl(kCtlTrackbar))) >= 45; }, 3000));
    // A held thumb is left alone.
    trackbarDragging = true;
    gtk_range_set_value(GTK_RANGE(Ctl(kCtlTrackbar)), 5);
    guitest::Pause(300);
    EXPECT_EQ(gtk_range_get_value(GTK_RANGE(Ctl(kCtlTrackbar))), 5);
    trackbarDragging = false;

    // Confirming stops the preview before the dialog closes.
    Confirm();
  });
  EXPECT_FALSE(previewPlaying);
  EXPECT_FALSE(PreviewGraph.graph);
}

// The first PCM row at that rate, 16-bit stereo.
int PcmRowAt(uint32_t rate) {
  for (int row = 0; row < kPcmFormatCount; ++row) {
    const TargetAudioFormat f = PcmFormatForRow(row);
    if (f.samplesPerSec == rate && f.bitsPerSample == 16 && f.channels == 2) return row;
  }
  return -1;
}

// Counts GStreamer's critical messages (failed assertions) while it lives; they are
// still printed.
struct GstCriticals {
  GstCriticals() { previous = g_log_set_default_handler(OnLog, this); }
  ~GstCriticals() { g_log_set_default_handler(previous, nullptr); }
  static void OnLog(const char* domain, GLogLevelFlags level, const char* text, gpointer self) {
    if ((level & G_LOG_LEVEL_CRITICAL) && domain && g_str_has_prefix(domain, "GStreamer"))
      ++static_cast<GstCriticals*>(self)->count;
    g_log_default_handler(domain, level, text, nullptr);
  }
  GLogFunc previous = nullptr;
  std::atomic<int> count{0};
};

// Every kind of file the preview plays, through the machine's own audio output (a real
// sound server where one can run): the position follows the clock, a seek to the middle
// lands there, and the sound stops with the preview.
TEST_F(SelectionDialogTest, PreviewPositionFollowsTheClockAndSeeksForEveryKindOfFile) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  constexpr double kSeconds = 8;
  const std::string wav = MakeFixture(Fixture::Wav16Stereo44k, media.path(), kSeconds, "tone.wav");
  const std::string riff = media.file("riff.mp3");
  int status = -1;
  std::string err;
  mediatest::RunCommand({QL_PROGRAM, "--batch", "-q", "--mode=mp3", "--mp3-form=riff", "--mp3-format=128,44100,2", wav},
                        &status, &err);
  ASSERT_EQ(status, 0) << err;
  ASSERT_EQ(std::rename(media.file("tone.mp3").c_str(), riff.c_str()), 0);
  const std::string noXing = MakeFixture(Fixture::Mp3FfmpegNoXing, media.path(), kSeconds);
  const TargetAudioFormat row22k = PcmFormatForRow(PcmRowAt(22050));
  ASSERT_EQ(row22k.samplesPerSec, 22050u);
  struct Case {
    const char* what;
    std::string path;
    uint32_t rate = 0;        // a PCM row's format, 0 as decoded
    bool seekAtOnce = false;  // the user seeks to 50 before the length is known
  };
  const Case cases[] = {
      {"WAV", wav},
      {"MP3 without Xing", noXing},
      {"MP3 without Xing, sought at once", noXing, 0, true},
      {"MP2", mediatest::MakeToneFile(media.file("tone.mp2"), 44100, 2, kSeconds, {"-c:a", "mp2"})},
      {"MP3 at a 22050 Hz row", MakeFixture(Fixture::Mp3Stereo44k, media.path(), kSeconds), 22050},
      {"MPEG-1 PS", MakeFixture(Fixture::Mpeg1PsMp2, media.path(), kSeconds)},
      {"RIFF-MP3 of ours", riff},
      {"RIFF-MP3 of ffmpeg", mediatest::MakeToneFile(media.file("lavc.wav"), 44100, 2, kSeconds,
                                                     {"-c:a", "libmp3lame", "-b:a", "128k", "-f", "wav"})},
  };
  GstCriticals criticals;
  guitest::SoundServer sound;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.path.empty());
    if (sound.running()) sound.StartRecording();
    if (c.rate)
      ASSERT_TRUE(BuildPcmPreview(c.path, row22k.samplesPerSec, row22k.avgBytesPerSec, row22k.bitsPerSample,
                                  row22k.channels));
    else
      ASSERT_TRUE(BuildPcmPreview(c.path, 0, 0, 0, 0));
    // Once it plays, 2 s of an 8 s file move the bar by a quarter: not to the end. It
    // starts at 0, or where the user sought before anything played.
    if (c.seekAtOnce) SeekPreview(50);
    EXPECT_TRUE(guitest::RunUntil([] { return QueryPreviewPercent() >= 1; }, 5000));
    const int started = QueryPreviewPercent();
    EXPECT_NEAR(started, c.seekAtOnce ? 50 : 0, 4);
    // Read all along, as the watcher does: a waiting seek is carried out by a read.
    guitest::RunUntil([] { return QueryPreviewPercent() > 100; }, 2000);
    EXPECT_NEAR(QueryPreviewPercent() - started, 25, 12);
    SeekPreview(50);
    guitest::Pause(300);
    const int middle = QueryPreviewPercent();
    EXPECT_GE(middle, 45);
    EXPECT_LE(middle, 65);
    StopPreview();
    EXPECT_EQ(criticals.count.exchange(0), 0);
    if (!sound.running()) continue;
    // Heard while it played (2.3 s and more), silent once stopped.
    guitest::Pause(700);
    const std::vector<bool> heard = sound.StopRecording();
    EXPECT_GE(std::count(heard.begin(), heard.end(), true) * guitest::kSoundBlockMs, 1800);
    ASSERT_GE(heard.size(), 12u);
    EXPECT_EQ(std::count(heard.end() - 12, heard.end(), true), 0);
  }
}

// The watcher's position reads and the user-interface thread's starts and stops share
// the preview graph: hammer both at once.
TEST_F(SelectionDialogTest, PreviewPositionReadsRaceNothingWithStartAndStop) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  const std::string wav = MakeFixture(Fixture::Wav16Stereo44k, media.path(), 2.0);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      const int percent = QueryPreviewPercent();
      EXPECT_GE(percent, 0);
      SeekPreview(10);
    }
  });
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(BuildPcmPreview(wav, 22050, 88200, 16, 2));
    g_usleep(20 * 1000);
    StopPreview();
  }
  done = true;
  reader.join();
  EXPECT_EQ(QueryPreviewPercent(), 0);
}

}  // namespace
