// What the selection dialog's chooser (gui_selection_dialog.cpp) uses of its settings panel
// (gui_settings_panel.cpp) beyond gui_selection_dialog.h; for those two files only.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "dialog/gui_selection_dialog.h"

// Builds the panel for the open dialog, its controls kept in SettingsPanel.controls.
GtkWidget* BuildSettingsPanel();

// The panel's controls by number; a control the open dialog lacks reads as unchecked,
// no row (-1) and "".
bool IsChecked(int id);
int ComboSelection(int id);
std::string ComboText(int id);

// Shows text under the file information: why a confirmation was refused, "" for none.
void ShowNotice(const std::string& text);
