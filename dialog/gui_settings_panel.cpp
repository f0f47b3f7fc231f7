// The selection dialog's settings panel: its controls, built and reached by number, the
// format lists, the mode pages, the preview and the commands the controls give.
#include "dialog/gui_settings_panel.h"

#include <algorithm>
#include <string>

#include "common/app_settings.h"
#include "common/batch.h"
#include "common/i18n.h"
#include "common/target_format.h"
#include "dialog/encoder_formats.h"
#include "dialog/format_lists.h"
#include "dialog/gui_selection_dialog.h"
#include "dialog/preview.h"

SettingsPanelState SettingsPanel;

namespace {

constexpr const char* kPreviewCaption = N_("プレビュー");
constexpr const char* kStopCaption = N_("停止");

// Trackbar: a percentage of the preview's duration.
constexpr double kTrackbarLineSize = 10;
constexpr double kTrackbarPageSize = 20;

// The controls the preview locks while it plays (1009 follows 1007 when unlocked).
constexpr int kPreviewLockedControls[] = {kCtlWavMode,    kCtlMp3Mode,   kCtlWmaMode,  kCtlExtractMode,
                                          kCtlKeepFormat, kCtlSetFormat, kCtlPlainMp3, kCtlRiffMp3,
                                          kCtlMp3List};

// ---- Controls by number -------------------------------------------------------

GtkWidget* Control(int id) { return PanelControl(id); }

}  // namespace

GtkWidget* PanelControl(int id) {
  if (!SettingsPanel.dialog) return nullptr;
  auto found = SettingsPanel.controls.find(id);
  return found == SettingsPanel.controls.end() ? nullptr : found->second;
}

bool IsChecked(int id) {
  GtkWidget* w = Control(id);
  return w && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
}

// CB_GETCURSEL: the selected row, -1 when the text matches no row.
int ComboSelection(int id) {
  GtkWidget* w = Control(id);
  return w ? gtk_combo_box_get_active(GTK_COMBO_BOX(w)) : -1;
}

// WM_GETTEXT: whatever the edit field shows, typed text included (the MP3 list).
std::string ComboText(int id) {
  GtkWidget* w = Control(id);
  if (!w || !gtk_combo_box_get_has_entry(GTK_COMBO_BOX(w))) return "";
  GtkWidget* entry = gtk_bin_get_child(GTK_BIN(w));
  return entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "";
}

void ShowNotice(const std::string& text) {
  if (GtkWidget* notice = Control(kCtlNotice)) gtk_label_set_text(GTK_LABEL(notice), text.c_str());
}

namespace {

void Check(int id) {
  if (GtkWidget* w = Control(id)) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), TRUE);
}

void Enable(int id, bool enabled) {
  if (GtkWidget* w = Control(id)) gtk_widget_set_sensitive(w, enabled);
}

void Show(std::initializer_list<int> ids, bool shown) {
  for (int id : ids)
    if (GtkWidget* w = Control(id)) gtk_widget_set_visible(w, shown);
}

void SetText(int id, const char* text) {
  GtkWidget* w = Control(id);
  if (GTK_IS_FRAME(w)) gtk_frame_set_label(GTK_FRAME(w), text);
  else if (GTK_IS_LABEL(w)) gtk_label_set_text(GTK_LABEL(w), text);
  else if (GTK_IS_BUTTON(w)) gtk_button_set_label(GTK_BUTTON(w), text);
}

// CB_SETCURSEL: a row beyond the list leaves the box without a selection.
void SelectRow(int id, int row) {
  GtkWidget* w = Control(id);
  if (!w) return;
  GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(w));
  const int rows = gtk_tree_model_iter_n_children(model, nullptr);
  gtk_combo_box_set_active(GTK_COMBO_BOX(w), row >= 0 && row < rows ? row : -1);
}

// ---- Building the panel -------------------------------------------------------

GtkWidget* Keep(int id, GtkWidget* widget) {
  SettingsPanel.controls[id] = widget;
  return widget;
}

// text carries its mnemonic: "wavに変換(_W)".
GtkWidget* NewRadio(int id, GtkWidget* groupLeader, const char* text) {
  GtkWidget* radio = groupLeader
                         ? gtk_radio_button_new_with_mnemonic_from_widget(GTK_RADIO_BUTTON(groupLeader), text)
                         : gtk_radio_button_new_with_mnemonic(nullptr, text);
  return Keep(id, radio);
}

// What a screen reader says of a control that shows no label of its own.
void NameForScreenReaders(GtkWidget* widget, const char* name) {
  atk_object_set_name(gtk_widget_get_accessible(widget), name);
}

GtkWidget* NewLabel(int id, const char* text, float xalign = 0) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), xalign);
  return Keep(id, label);
}

// The MP3 list has an edit field whose text is parsed into a format; the PCM and WMA
// lists offer their rows only, so that what is converted is always a row shown.
GtkWidget* NewCombo(int id, bool editable) {
  GtkWidget* combo = editable ? gtk_combo_box_text_new_with_entry() : gtk_combo_box_text_new();
  if (editable) gtk_entry_set_width_chars(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(combo))), 26);
  return Keep(id, combo);
}

void OnMp3TextChanged(GtkEditable*, gpointer) { ShowNotice(""); }

void OnRadioToggled(GtkToggleButton* button, gpointer id) {
  // A radio group reports the button it leaves as well; only the one checked commands.
  if (gtk_toggle_button_get_active(button)) SettingsPanelCommand(GPOINTER_TO_INT(id));
}

void OnPreviewClicked(GtkButton*, gpointer) { SettingsPanelCommand(kCtlPreview); }

// Trackbar: a drag (TB_THUMBTRACK) lasts from the press to the release on the scale;
// the release, a click, a key or the wheel ends it with a seek to the new position.
gboolean OnTrackbarPressed(GtkWidget*, GdkEventButton*, gpointer) {
  trackbarDragging = true;
  return FALSE;
}

void TrackbarScrolled(double value) {
  trackbarDragging = true;
  if (previewPlaying) SeekPreview(static_cast<int>(std::clamp(value, 0.0, 100.0) + 0.5));
  trackbarDragging = false;
}

gboolean OnTrackbarReleased(GtkWidget* scale, GdkEventButton*, gpointer) {
  TrackbarScrolled(gtk_range_get_value(GTK_RANGE(scale)));
  return FALSE;
}

gboolean OnTrackbarChangeValue(GtkRange*, GtkScrollType, double value, gpointer) {
  // While the thumb is held, only the release seeks.
  if (!trackbarDragging) TrackbarScrolled(value);
  return FALSE;
}

// The preview button as wide as its longer caption, measured once it is styled on screen.
void OnPreviewMapped(GtkWidget* preview, gpointer) {
  g_signal_handlers_disconnect_by_func(preview, reinterpret_cast<gpointer>(OnPreviewMapped), nullptr);
  const std::string shown = gtk_button_get_label(GTK_BUTTON(preview));
  int width = 0;
  for (const char* caption : {kStopCaption, kPreviewCaption}) {
    gtk_button_set_label(GTK_BUTTON(preview), caption);
    int w = 0;
    gtk_widget_get_preferred_width(preview, nullptr, &w);
    width = std::max(width, w);
  }
  gtk_button_set_label(GTK_BUTTON(preview), shown.c_str());
  gtk_widget_set_size_request(preview, width, -1);
}

void ConnectRadio(int id) {
  g_signal_connect(Control(id), "toggled", G_CALLBACK(OnRadioToggled), GINT_TO_POINTER(id));
}

}  // namespace

// The panel: mode buttons and file information on the left, the mode's page with the
// preview controls in the framed area on the right.
GtkWidget* BuildSettingsPanel() {
  SettingsPanel.controls.clear();

  GtkWidget* modes = gtk_grid_new();
  gtk_grid_set_column_spacing(GTK_GRID(modes), 12);
  GtkWidget* wav = NewRadio(kCtlWavMode, nullptr, _("wavに変換(_W)"));
  gtk_grid_attach(GTK_GRID(modes), wav, 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(modes), NewRadio(kCtlMp3Mode, wav, _("mp3に変換(_M)")), 1, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(modes), NewRadio(kCtlWmaMode, wav, _("wmaに変換(_A)")), 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(modes), NewRadio(kCtlExtractMode, wav, _("そのまま抽出(_E)")), 1, 1, 1, 1);

  GtkWidget* info = Keep(kCtlInfoFrame, gtk_frame_new(_(" ファイル情報 ")));
  GtkWidget* infoBox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_container_set_border_width(GTK_CONTAINER(infoBox), 6);
  GtkWidget* name = NewLabel(kCtlFileName, _("ファイル名"));
  gtk_label_set_ellipsize(GTK_LABEL(name), PANGO_ELLIPSIZE_MIDDLE);
  gtk_label_set_width_chars(GTK_LABEL(name), 24);
  gtk_box_pack_start(GTK_BOX(infoBox), name, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(infoBox), NewLabel(kCtlFileInfo, "-"), FALSE, FALSE, 0);
  // Selectable, so that Tab reaches the file's name and description (and a screen reader
  // reads them).
  for (int id : {kCtlFileName, kCtlFileInfo}) gtk_label_set_selectable(GTK_LABEL(Control(id)), TRUE);
  gtk_container_add(GTK_CONTAINER(info), infoBox);

  GtkWidget* left = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_box_pack_start(GTK_BOX(left), modes, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(left), info, FALSE, FALSE, 0);
  GtkWidget* notice = NewLabel(kCtlNotice, "");
  gtk_label_set_line_wrap(GTK_LABEL(notice), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(notice), 30);
  gtk_box_pack_start(GTK_BOX(left), notice, FALSE, FALSE, 0);

  // The page: the four modes' controls share this area and are told apart by the page.
  GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
  gtk_container_set_border_width(GTK_CONTAINER(page), 6);
  GtkWidget* keep = NewRadio(kCtlKeepFormat, nullptr, _("音質そのまま(_K)"));
  gtk_box_pack_start(GTK_BOX(page), keep, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), NewRadio(kCtlSetFormat, keep, _("音質を設定する(_S)")), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), NewCombo(kCtlPcmList, false), FALSE, FALSE, 0);

  GtkWidget* plainRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  GtkWidget* plain = NewRadio(kCtlPlainMp3, nullptr, _("MP3形式で出力(_P)"));
  gtk_box_pack_start(GTK_BOX(plainRow), plain, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(plainRow), NewLabel(kCtlMp3Grade, "MP3 Codec", 1), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), plainRow, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), NewRadio(kCtlRiffMp3, plain, _("RIFF形式で出力(_R)")), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), NewCombo(kCtlMp3List, true), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), NewCombo(kCtlWmaList, false), FALSE, FALSE, 0);

  gtk_box_pack_start(GTK_BOX(page), NewLabel(kCtlNoteVob, "vob(DVD)->ac3"), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), NewLabel(kCtlNoteMpeg1, "mpg(MPEG-1)->mp2"), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), NewLabel(kCtlNoteDivx, "avi(Div-X)->mp3"), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), NewLabel(kCtlNoteAdpcm, "avi(ADPCM)->ADPCM"), FALSE, FALSE, 0);

  GtkWidget* previewRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  GtkWidget* preview = Keep(kCtlPreview, gtk_button_new_with_label(_(kPreviewCaption)));
  GtkWidget* trackbar = Keep(kCtlTrackbar, gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, 0, 100, 1));
  gtk_scale_set_draw_value(GTK_SCALE(trackbar), FALSE);
  gtk_widget_set_size_request(trackbar, 140, -1);
  gtk_box_pack_start(GTK_BOX(previewRow), preview, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(previewRow), trackbar, TRUE, TRUE, 0);
  gtk_box_pack_end(GTK_BOX(page), previewRow, FALSE, FALSE, 4);

  GtkWidget* frame = Keep(kCtlPageFrame, gtk_frame_new(_(" 設定 ")));
  gtk_container_add(GTK_CONTAINER(frame), page);
  // Room for the tallest page, so that switching pages does not resize the dialog.
  gtk_widget_set_size_request(frame, -1, 150);

  GtkWidget* panel = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  gtk_box_pack_start(GTK_BOX(panel), left, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(panel), frame, TRUE, TRUE, 0);
  gtk_widget_show_all(panel);

  for (int id : {kCtlWavMode, kCtlMp3Mode, kCtlWmaMode, kCtlExtractMode, kCtlKeepFormat, kCtlSetFormat})
    ConnectRadio(id);
  g_signal_connect(preview, "clicked", G_CALLBACK(OnPreviewClicked), nullptr);
  g_signal_connect(preview, "map", G_CALLBACK(OnPreviewMapped), nullptr);
  g_signal_connect(trackbar, "button-press-event", G_CALLBACK(OnTrackbarPressed), nullptr);
  g_signal_connect_after(trackbar, "button-release-event", G_CALLBACK(OnTrackbarReleased), nullptr);
  g_signal_connect(trackbar, "change-value", G_CALLBACK(OnTrackbarChangeValue), nullptr);
  // The lists are named by what they choose, not by the row they show.
  for (int id : {kCtlPcmList, kCtlMp3List, kCtlWmaList}) NameForScreenReaders(Control(id), _("出力形式"));
  NameForScreenReaders(gtk_bin_get_child(GTK_BIN(Control(kCtlMp3List))), _("出力形式"));
  NameForScreenReaders(trackbar, _("再生位置"));
  // Enter in the MP3 field confirms as 開く does.
  GtkWidget* mp3Entry = gtk_bin_get_child(GTK_BIN(Control(kCtlMp3List)));
  gtk_entry_set_activates_default(GTK_ENTRY(mp3Entry), TRUE);
  g_signal_connect(mp3Entry, "changed", G_CALLBACK(OnMp3TextChanged), nullptr);
  return panel;
}

// ---- Lists ----------------------------------------------------------------------

void FillWmaList() {
  GtkComboBoxText* combo = GTK_COMBO_BOX_TEXT(Control(kCtlWmaList));
  for (const WmaProfileRow& row : WmaProfileTable) gtk_combo_box_text_append_text(combo, row.label);
  SelectRow(kCtlWmaList, Settings.WmaFormat);
}

void FillPcmList() {
  GtkComboBoxText* combo = GTK_COMBO_BOX_TEXT(Control(kCtlPcmList));
  for (int row = 0; row < kPcmFormatCount; ++row)
    gtk_combo_box_text_append_text(combo, PcmFormatLabel(row).c_str());
  SelectRow(kCtlPcmList, Settings.WavFormat);
}

int Mp3ListRowOfText() {
  GtkWidget* w = Control(kCtlMp3List);
  if (!w) return -1;
  if (const int chosen = ComboSelection(kCtlMp3List); chosen >= 0) return chosen;
  const TargetAudioFormat typed = ParseMp3FormatLabel(ComboText(kCtlMp3List));
  GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(w));
  const int column = gtk_combo_box_get_entry_text_column(GTK_COMBO_BOX(w));
  GtkTreeIter iter;
  int row = 0;
  for (bool more = gtk_tree_model_get_iter_first(model, &iter); more; more = gtk_tree_model_iter_next(model, &iter), ++row) {
    g_autofree char* label = nullptr;
    gtk_tree_model_get(model, &iter, column, &label, -1);
    const TargetAudioFormat f = ParseMp3FormatLabel(label ? label : "");
    if (f.samplesPerSec == typed.samplesPerSec && f.avgBytesPerSec == typed.avgBytesPerSec &&
        f.channels == typed.channels)
      return row;
  }
  return -1;
}

void FillMp3List() {
  // The labels come sorted as a sorted combo box keeps them, so Mp3Format indexes
  // the same order on every machine.
  const Mp3FormatList list = ReadMp3FormatList();
  GtkComboBoxText* combo = GTK_COMBO_BOX_TEXT(Control(kCtlMp3List));
  for (const std::string& label : list.labels) gtk_combo_box_text_append_text(combo, label.c_str());
  if (list.grade != kMp3GradeNone) SelectRow(kCtlMp3List, Settings.Mp3Format);
  SetText(kCtlMp3Grade, Mp3CodecGradeText(list.grade));
}

// ---- Pages ----------------------------------------------------------------------

namespace {

enum class Page { Wav, Mp3, Wma, Extract };

void ShowPage(Page page, int modeButton, const char* caption) {
  Check(modeButton);
  SetText(kCtlPageFrame, caption);
  Show({kCtlKeepFormat, kCtlSetFormat, kCtlPcmList}, page == Page::Wav);
  Show({kCtlPlainMp3, kCtlRiffMp3, kCtlMp3List, kCtlMp3Grade}, page == Page::Mp3);
  Show({kCtlWmaList}, page == Page::Wma);
  Show({kCtlNoteAdpcm, kCtlNoteDivx, kCtlNoteMpeg1, kCtlNoteVob}, page == Page::Extract);
  Show({kCtlTrackbar, kCtlPreview}, page == Page::Wav || page == Page::Mp3);
}

}  // namespace

void ShowWavPage() {
  ShowPage(Page::Wav, kCtlWavMode, _(" wav変換の設定 "));
  Enable(kCtlPcmList, !IsChecked(kCtlKeepFormat));
}

void ShowMp3Page() { ShowPage(Page::Mp3, kCtlMp3Mode, _(" mp3変換の設定 ")); }
void ShowWmaPage() { ShowPage(Page::Wma, kCtlWmaMode, _(" wma変換の設定 ")); }
void ShowExtractPage() { ShowPage(Page::Extract, kCtlExtractMode, _(" そのまま抽出 ")); }

// ---- Preview --------------------------------------------------------------------

void StartPreview() {
  const std::string path = CurrentChooserFile();
  if (path.empty() || !IsFilePath(path)) return;

  bool running = false;
  if (IsChecked(kCtlWavMode)) {
    if (IsChecked(kCtlKeepFormat)) {
      running = BuildPcmPreview(path, 0, 0, 0, 0);
    } else {
      // A list without a selection names no format: nothing to play.
      const int row = ComboSelection(kCtlPcmList);
      if (row < 0) return;
      const TargetAudioFormat f = PcmFormatForRow(row);
      running = BuildPcmPreview(path, f.samplesPerSec, f.avgBytesPerSec, f.bitsPerSample, f.channels);
    }
  } else {
    const TargetAudioFormat f = ParseMp3FormatLabel(ComboText(kCtlMp3List));
    running = BuildMp3Preview(path, f.samplesPerSec, f.avgBytesPerSec, f.bitsPerSample, f.channels);
  }
  if (!running) {
    StopPreview();
    return;
  }
  for (int id : kPreviewLockedControls) Enable(id, false);
  Enable(kCtlPcmList, false);
  SetText(kCtlPreview, _(kStopCaption));
  previewPlaying = true;
}

// The stop branch of the preview button.
static void EndPreview() {
  previewPlaying = false;
  StopPreview();
  SetText(kCtlPreview, _(kPreviewCaption));
  for (int id : kPreviewLockedControls) Enable(id, true);
  Enable(kCtlPcmList, !IsChecked(kCtlKeepFormat));
}

// ---- Hook -----------------------------------------------------------------------

void SettingsPanelCommand(int id) {
  switch (id) {
    case kCtlWavMode: ShowWavPage(); break;
    case kCtlMp3Mode: ShowMp3Page(); break;
    case kCtlWmaMode: ShowWmaPage(); break;
    case kCtlExtractMode: ShowExtractPage(); break;
    case kCtlKeepFormat: Enable(kCtlPcmList, false); break;
    case kCtlSetFormat: Enable(kCtlPcmList, true); break;
    case kCtlPreview:
      if (!previewPlaying) StartPreview();
      else EndPreview();
      break;
    default: break;
  }
}

// Every control stays where it is whatever the page and the preview's state: the page's
// frame takes the room of its largest page (the preview button: OnPreviewMapped).
static void FixPanelSizes() {
  int width = 0, height = 0;
  GtkWidget* frame = Control(kCtlPageFrame);
  for (void (*show)() : {ShowWavPage, ShowMp3Page, ShowWmaPage, ShowExtractPage}) {
    show();
    int w = 0, h = 0;
    gtk_widget_get_preferred_width(frame, nullptr, &w);
    gtk_widget_get_preferred_height(frame, nullptr, &h);
    width = std::max(width, w);
    height = std::max(height, h);
  }
  gtk_widget_set_size_request(frame, width, height);
}

void InitSettingsPanel() {
  GtkRange* trackbar = GTK_RANGE(Control(kCtlTrackbar));
  gtk_range_set_range(trackbar, 0, 100);
  gtk_range_set_increments(trackbar, kTrackbarLineSize, kTrackbarPageSize);

  Check(Settings.ChangeWavFormat ? kCtlSetFormat : kCtlKeepFormat);
  Check(Settings.Riff ? kCtlRiffMp3 : kCtlPlainMp3);
  FillWmaList();
  FillPcmList();
  FillMp3List();
  FixPanelSizes();
  switch (Settings.DecodeMode) {
    case kModeMp3: ShowMp3Page(); break;
    case kModeWma: ShowWmaPage(); break;
    case kModeExtract: ShowExtractPage(); break;
    default: ShowWavPage(); break;
  }
}
