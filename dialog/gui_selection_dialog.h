// The selection dialog: the file chooser with the settings panel as its extra widget.
#pragma once

#include <gtk/gtk.h>

#include <map>
#include <string>

// Numbers of the panel's controls.
enum PanelControlId : int {
  kCtlWavMode = 1000, kCtlMp3Mode = 1001, kCtlWmaMode = 1002, kCtlExtractMode = 1003,
  kCtlFileInfo = 1004, kCtlFileName = 1005, kCtlPageFrame = 1006,
  kCtlKeepFormat = 1007, kCtlSetFormat = 1008, kCtlPcmList = 1009,
  kCtlPlainMp3 = 1011, kCtlRiffMp3 = 1012, kCtlMp3List = 1013, kCtlWmaList = 1014,
  kCtlNoteAdpcm = 1016, kCtlNoteDivx = 1017, kCtlNoteMpeg1 = 1018, kCtlNoteVob = 1019,
  kCtlMp3Grade = 1023, kCtlTrackbar = 1024, kCtlPreview = 1025, kCtlNotice = 1026,
  kCtlInfoFrame = -1,
};

struct SettingsPanelState {
  GtkWidget* dialog = nullptr;            // the chooser; nullptr while no dialog is open
  GtkWidget* panel = nullptr;             // its extra widget
  std::map<int, GtkWidget*> controls;     // by control number
  unsigned generation = 0;                // counts the dialogs opened; stale watcher news is dropped
};

extern SettingsPanelState SettingsPanel;

// Runs the modal chooser once. On confirmation fills Batch (fileList, fileCount,
// currentFile = 1), the panel's AppSettings fields and TargetFormat, and returns true;
// on cancel stores nothing and returns false. Settings must have been loaded.
bool RunSelectionDialog(GtkWindow* owner);

// Closes an open dialog as its cancel button does; nothing when none is open.
void CancelSelectionDialog();

// The control of that number in the open dialog, or nullptr.
GtkWidget* PanelControl(int id);

// The panel's behaviour by control number, as the dialog's hook sees it.
void SettingsPanelCommand(int id);
void InitSettingsPanel();
void StoreSettingsPanel();
void ShowWavPage();
void ShowMp3Page();
void ShowWmaPage();
void ShowExtractPage();
void FillWmaList();
void FillPcmList();
void FillMp3List();
void StartPreview();

// The row of the MP3 list that the edit field's text names, chosen or typed (any text
// that reads as the same format as a row), or -1 when it names none.
int Mp3ListRowOfText();

// The file under the chooser's cursor: its current file, or "" when none.
std::string CurrentChooserFile();

// The selection watcher's life: started just before the dialog runs, stopped after it
// returns (waiting at most 1000 ms for the thread).
void StartSelectionWatcher();
void StopSelectionWatcher();
// Tells the watcher that the file under the cursor may have changed.
void NotifySelectionWatcher();
