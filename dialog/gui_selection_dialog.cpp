// The selection dialog: the file chooser with its filters, starting folder, size and
// position, the file under its cursor, and what a confirmation checks and stores. The
// settings panel it carries as its extra widget is in gui_settings_panel.cpp.
#include "dialog/gui_selection_dialog.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/app_settings.h"
#include "common/batch.h"
#include "common/i18n.h"
#include "common/target_format.h"
#include "dialog/format_lists.h"
#include "dialog/gui_placement.h"
#include "dialog/gui_settings_panel.h"
#include "dialog/preview.h"

namespace {

constexpr const char* kDialogTitle = N_("ファイルを選ぶ(Ctrlキー,Shiftキーで複数ファイル選択可)");
constexpr const char* kMediaFilterName =
    N_("メディアファイル(mpg m2p mpa avi mp2 mp3 wav vob cda asf wma wmv)");
constexpr const char* kMediaExtensions[] = {"mpg", "m2p", "mpa", "avi", "mpeg", "mp2", "mp3",
                                            "wav", "vob", "cda", "asf", "wma", "wmv"};
constexpr const char* kAllFilterName = N_("すべてのファイル(*.*)");
// Why a confirmation was refused, shown in the panel until the choice changes.
constexpr const char* kMissingFileNotice = N_("ファイルが見つかりません: %s");
constexpr const char* kUnknownMp3Notice = N_("mp3の形式を一覧から選んでください");

// The dialog's size when it opens, in pixels.
constexpr int kDialogWidth = 820;
constexpr int kDialogHeight = 580;

// "*.mp3" matched whatever the case of the name: "*.[mM][pP]3".
std::string CaseFoldedPattern(const char* extension) {
  std::string pattern = "*.";
  for (const char* c = extension; *c; ++c) {
    if (g_ascii_isalpha(*c)) {
      pattern += '[';
      pattern += g_ascii_tolower(*c);
      pattern += g_ascii_toupper(*c);
      pattern += ']';
    } else {
      pattern += *c;
    }
  }
  return pattern;
}

void AddFilters(GtkFileChooser* chooser) {
  GtkFileFilter* media = gtk_file_filter_new();
  gtk_file_filter_set_name(media, _(kMediaFilterName));
  for (const char* extension : kMediaExtensions)
    gtk_file_filter_add_pattern(media, CaseFoldedPattern(extension).c_str());
  gtk_file_chooser_add_filter(chooser, media);

  GtkFileFilter* all = gtk_file_filter_new();
  gtk_file_filter_set_name(all, _(kAllFilterName));
  gtk_file_filter_add_pattern(all, "*");
  gtk_file_chooser_add_filter(chooser, all);
  gtk_file_chooser_set_filter(chooser, media);
}

std::vector<std::string> ChosenFiles();
std::string ConfirmationRefusal();

// A refusal's notice stays until a new choice answers it (a file gone meanwhile leaves the
// selection empty: the notice stays).
void OnSelectionChanged(GtkFileChooser*, gpointer) {
  if (!ChosenFiles().empty() && ConfirmationRefusal().empty()) ShowNotice("");
  NotifySelectionWatcher();
}

// fileList from the chosen paths: one path alone, or their folder and the names in it.
// Files from several folders are listed under their longest common folder.
std::string FileListOf(const std::vector<std::string>& paths) {
  if (paths.size() == 1) return MakeFileList(paths[0], {});
  std::string folder = GetDirectoryPart(paths[0]);
  for (const std::string& path : paths) {
    while (!folder.empty() && path.compare(0, folder.size(), folder) != 0) {
      folder.pop_back();
      folder = GetDirectoryPart(folder);
    }
  }
  std::vector<std::string> names;
  for (const std::string& path : paths) names.push_back(path.substr(folder.size()));
  return MakeFileList(folder.empty() ? "/" : folder, names);
}

std::vector<std::string> ChosenFiles() {
  std::vector<std::string> paths;
  GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(SettingsPanel.dialog));
  for (GSList* f = files; f; f = f->next) paths.emplace_back(static_cast<char*>(f->data));
  g_slist_free_full(files, g_free);
  return paths;
}

gboolean OnDialogMapped(GtkWidget* dialog, GdkEvent*, gpointer) {
  g_signal_handlers_disconnect_by_func(dialog, reinterpret_cast<gpointer>(OnDialogMapped), nullptr);
  int left = Settings.rDialogWindow.left, top = Settings.rDialogWindow.top;
  KeepOnMonitor(&left, &top, kDialogWidth + kFrameAllowance, kDialogHeight + kTitleAllowance);
  // The chooser maps at its own size before ours applies, and xfwm4 maximises a window
  // mapped larger than the screen: it comes back to our size, where it was left.
  gtk_window_unmaximize(GTK_WINDOW(dialog));
  gtk_window_resize(GTK_WINDOW(dialog), kDialogWidth, kDialogHeight);
  gtk_window_move(GTK_WINDOW(dialog), left, top);
  // GTK sends only what changed since its last request, and the position was asked before
  // the map: it would send the size alone. A window manager that placed the oversized
  // window in the screen's corner and keeps it on the screen (icewm) refuses to move it
  // before it is smaller, so size and place go in one request.
  gdk_window_move_resize(gtk_widget_get_window(dialog), left, top, kDialogWidth, kDialogHeight);
  return FALSE;
}

// Why the choice cannot be confirmed as it stands, "" when it can: a typed name of a file
// that does not exist, or an MP3 text that names no format of the list.
std::string ConfirmationRefusal() {
  for (const std::string& path : ChosenFiles())
    if (!g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) {
      g_autofree char* name = g_filename_display_basename(path.c_str());
      g_autofree char* text = g_strdup_printf(_(kMissingFileNotice), name);
      return text;
    }
  if (IsChecked(kCtlMp3Mode) && Mp3ListRowOfText() < 0) return _(kUnknownMp3Notice);
  return "";
}

// The stored folder; on the first start the user's Music folder, or the home folder
// where there is none.
std::string StartFolder() {
  if (!Settings.InitialDir.empty()) return Settings.InitialDir;
  const char* music = g_get_user_special_dir(G_USER_DIRECTORY_MUSIC);
  if (music && g_file_test(music, G_FILE_TEST_IS_DIR)) return music;
  return g_get_home_dir();
}

}  // namespace

void CancelSelectionDialog() {
  if (SettingsPanel.dialog) gtk_dialog_response(GTK_DIALOG(SettingsPanel.dialog), GTK_RESPONSE_CANCEL);
}

namespace {

// The chooser's list of files: the tree view whose rows carry the files themselves.
void FindFileList(GtkWidget* widget, gpointer found) {
  auto* list = static_cast<GtkTreeView**>(found);
  if (*list) return;
  if (GTK_IS_TREE_VIEW(widget)) {
    GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(widget));
    if (model && gtk_tree_model_get_n_columns(model) > 0 && gtk_tree_model_get_column_type(model, 0) == G_TYPE_FILE &&
        gtk_widget_get_mapped(widget)) {
      *list = GTK_TREE_VIEW(widget);
      return;
    }
  }
  if (GTK_IS_CONTAINER(widget)) gtk_container_forall(GTK_CONTAINER(widget), FindFileList, found);
}

// The selected file the list's cursor is on (Shift+Down extends the selection there), "" when
// the cursor is on no selected file.
std::string FileUnderListCursor() {
  GtkTreeView* list = nullptr;
  FindFileList(SettingsPanel.dialog, &list);
  if (!list) return "";
  GtkTreePath* cursor = nullptr;
  gtk_tree_view_get_cursor(list, &cursor, nullptr);
  if (!cursor) return "";
  std::string path;
  GtkTreeModel* model = gtk_tree_view_get_model(list);
  GtkTreeIter iter;
  if (gtk_tree_selection_path_is_selected(gtk_tree_view_get_selection(list), cursor) &&
      gtk_tree_model_get_iter(model, &iter, cursor)) {
    g_autoptr(GFile) file = nullptr;
    gtk_tree_model_get(model, &iter, 0, &file, -1);
    g_autofree char* local = file ? g_file_get_path(file) : nullptr;
    if (local) path = local;
  }
  gtk_tree_path_free(cursor);
  return path;
}

}  // namespace

std::string CurrentChooserFile() {
  if (!SettingsPanel.dialog) return "";
  if (std::string underCursor = FileUnderListCursor(); !underCursor.empty()) return underCursor;
  g_autofree char* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(SettingsPanel.dialog));
  return path ? path : "";
}

void StoreSettingsPanel() {
  if (previewPlaying) StopPreview();

  // Where the window system keeps positions to itself, the stored one stays.
  if (WindowPositionsKnown()) {
    int left = 0, top = 0;
    gtk_window_get_position(GTK_WINDOW(SettingsPanel.dialog), &left, &top);
    Settings.rDialogWindow.left = left;
    Settings.rDialogWindow.top = top;
  }

  Settings.DecodeMode = IsChecked(kCtlWavMode)   ? kModeWav
                        : IsChecked(kCtlMp3Mode) ? kModeMp3
                        : IsChecked(kCtlWmaMode) ? kModeWma
                                                 : kModeExtract;
  Settings.ChangeWavFormat = IsChecked(kCtlKeepFormat) ? 0 : 1;
  Settings.WavFormat = std::max(ComboSelection(kCtlPcmList), 0);
  // A typed format is stored as the row it names; a text naming none (confirmed in another
  // mode) leaves the stored row as it was.
  if (const int mp3Row = Mp3ListRowOfText(); mp3Row >= 0) Settings.Mp3Format = mp3Row;
  Settings.WmaFormat = std::max(ComboSelection(kCtlWmaList), 0);
  Settings.Riff = IsChecked(kCtlPlainMp3) ? 0 : 1;
  TargetFormat = Settings.ChangeWavFormat ? PcmFormatForRow(Settings.WavFormat) : TargetAudioFormat{};

  const std::vector<std::string> paths = ChosenFiles();
  Batch.fileList = FileListOf(paths);
  Batch.fileCount = CountBatchFiles();
  Batch.currentFile = 1;
  Settings.InitialDir = paths.size() == 1 ? GetDirectoryPart(paths[0]) : std::string(Batch.fileList.c_str());

  if (Settings.DecodeMode == kModeMp3) TargetFormat = ParseMp3FormatLabel(ComboText(kCtlMp3List));
}

// ---- The dialog -----------------------------------------------------------------

bool RunSelectionDialog(GtkWindow* owner) {
  Batch.fileList.clear();
  GtkWidget* dialog = gtk_file_chooser_dialog_new(_(kDialogTitle), owner, GTK_FILE_CHOOSER_ACTION_OPEN,
                                                  _("キャンセル(_C)"), GTK_RESPONSE_CANCEL, _("開く(_O)"),
                                                  GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_file_chooser_set_select_multiple(chooser, TRUE);
  gtk_file_chooser_set_local_only(chooser, TRUE);
  AddFilters(chooser);
  gtk_file_chooser_set_current_folder(chooser, StartFolder().c_str());

  SettingsPanel.dialog = dialog;
  SettingsPanel.generation++;
  SettingsPanel.panel = BuildSettingsPanel();
  gtk_file_chooser_set_extra_widget(chooser, SettingsPanel.panel);
  InitSettingsPanel();
  g_signal_connect(dialog, "selection-changed", G_CALLBACK(OnSelectionChanged), nullptr);

  // The chooser picks its own size as it is shown, and would take most of a small
  // screen; a size that fits one replaces it. Mapped at its own size, which may exceed
  // the screen, it would be pushed to a corner.
  gtk_window_set_default_size(GTK_WINDOW(dialog), kDialogWidth, kDialogHeight);
  int left = Settings.rDialogWindow.left, top = Settings.rDialogWindow.top;
  KeepOnMonitor(&left, &top, kDialogWidth + kFrameAllowance, kDialogHeight + kTitleAllowance);
  gtk_window_move(GTK_WINDOW(dialog), left, top);
  gtk_widget_show(dialog);
  gtk_window_resize(GTK_WINDOW(dialog), kDialogWidth, kDialogHeight);
  // A window manager may place the chooser itself when it maps it, and honours a move
  // only once it is on the screen; the move asked before keeps GTK's own later requests
  // (a resize as the folder is listed) from taking it back.
  g_signal_connect(dialog, "map-event", G_CALLBACK(OnDialogMapped), nullptr);
  StartSelectionWatcher();
  int response = 0;
  // A choice that cannot be converted confirms nothing: the dialog stays open and says why.
  while ((response = gtk_dialog_run(GTK_DIALOG(dialog))) == GTK_RESPONSE_ACCEPT) {
    const std::string refusal = ConfirmationRefusal();
    if (refusal.empty()) break;
    ShowNotice(refusal);
    gtk_widget_error_bell(dialog);
  }
  const bool confirmed = response == GTK_RESPONSE_ACCEPT && !ChosenFiles().empty();
  if (confirmed) StoreSettingsPanel();
  // A preview never outlives the dialog, whichever way it closed.
  previewPlaying = false;
  StopPreview();
  StopSelectionWatcher();

  SettingsPanel.dialog = nullptr;
  SettingsPanel.panel = nullptr;
  SettingsPanel.controls.clear();
  gtk_widget_destroy(dialog);
  return confirmed;
}
