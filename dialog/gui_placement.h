// Where a top-level window may go: a stored position is kept on a monitor that exists.
#pragma once

#include <gtk/gtk.h>

#include <string>

// Moves (left, top) so that a window of width x height pixels, frame included, lies
// on the monitor nearest to that point (as far as it fits there). Coordinates beyond
// the screen, even beyond what X11 can carry, come back on it.
void KeepOnMonitor(int* left, int* top, int width, int height);

// Room for a window manager's frame around a window (borders, title bar), at most.
inline constexpr int kFrameAllowance = 16, kTitleAllowance = 40;

// Whether the window system tells a program where its windows are and lets it place them
// (X11, XWayland under most window managers). Pure Wayland and weston's XWayland do neither:
// what GTK reports there is made up.
bool WindowPositionsKnown();

// The name the running window manager publishes ("Openbox", "Metacity", ...), "" where
// there is none or it cannot be asked.
std::string WindowManagerName();
