// Where a top-level window may go: a stored position is kept on a monitor that exists.
#pragma once

#include <gtk/gtk.h>

// Moves (left, top) so that a window of width x height pixels, frame included, lies
// on the monitor nearest to that point (as far as it fits there). Coordinates beyond
// the screen, even beyond what X11 can carry, come back on it.
void KeepOnMonitor(int* left, int* top, int width, int height);

// Moves a shown window to (left, top), kept on a monitor. A window manager may place it
// elsewhere still: where it went is what gtk_window_get_position reads afterwards.
void PlaceShownWindow(GtkWindow* window, int left, int top);
