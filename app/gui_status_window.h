// The status window: a 200 x 80 picture of the mascot, the progress bar and two text
// lines, with the progress in its caption. Everything here runs on the main loop.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <cstdint>
#include <string>

inline constexpr int kStatusWidth = 200;   // client area and off-screen picture, pixels
inline constexpr int kStatusHeight = 80;
inline constexpr int kFrameCount = 10;     // mascot frames per side
inline constexpr unsigned kAnimationIntervalMs = 150;

extern GtkWindow* StatusWindow;             // the one top-level window; nullptr before and after a run
extern std::atomic<uint32_t> FrameIndex;    // mascot frame to draw, 0..9; advanced by the animation

// Creates the StatusWindow at (left, top) with the caption "ろまれのファイル選択" and the
// icon 102, iconified and asked to stay above other windows. It is not yet shown.
void CreateStatusWindow(int left, int top);
// Destroys the window and the graphics; StatusWindow is nullptr afterwards.
void DestroyStatusWindow();

// Puts the new window on the display as it waits while the files are chosen: minimised
// where the window manager does that and keeps the window's dialogs on the screen,
// otherwise (pure Wayland, KWin, a window manager that ignores the request) off the
// screen until ShowStatusWindow.
void ShowStatusWindowMinimised();
// Shows the window for the run, de-iconified and above other windows, framed with its
// caption and a close box on every window manager, where it was placed.
void ShowStatusWindow();
void SetStatusCaption(const std::string& caption);
void SetStatusIcon(int iconNumber);  // 102 or 139

// Loads the pictures of the current DecodeMode's side and makes the off-screen picture.
void PrepareStatusGraphics();

// Composes background, mascot frame FrameIndex, bar (unless percent is -1; drawn clamped
// to 0..100) and the two text lines into the off-screen picture, then shows it.
void PaintStatus(int percent);

// One animation step every 150 ms, the first at once: caption and picture from the
// progress, then the next mascot frame. Skipped while AnimationPaused is set.
void StartStatusAnimation();
// Removes the animation; no step runs after it returns.
void StopStatusAnimation();

// Lets the window show its latest picture and caption now (waiting at most a few hundred
// milliseconds for it to be drawn), before the main loop is busy for a while.
void FlushStatusWindow();

// The close box acts at once only from the main loop itself. Pressed while the run is
// being prepared, in a message box or in a flush, it is remembered here instead.
bool StatusWindowCloseRequested();

// Each status window on a display takes the first slot free (a lock file for the display in
// the user's runtime folder, held while the window exists); the window of slot n opens n *
// kInstanceOffset pixels right of and below the stored position, so that the windows of
// programs running at once do not hide one another.
inline constexpr int kInstanceOffset = 32;
std::string StatusWindowSlotFile(int slot);
// The position to store: where the window is (its frame's corner), less its slot's offset.
void StoredStatusWindowPosition(int* left, int* top);

// The off-screen picture (RGB24, 200 x 80), or nullptr before PrepareStatusGraphics.
cairo_surface_t* StatusPicture();

// Copies the last finished picture to cr, scaled without smoothing to the widget's size:
// what the window's draw handler does. Paints white before the first picture.
void DrawStatusPicture(cairo_t* cr);

// Microseconds of the wall clock when the window first showed a finished picture; 0 until then.
int64_t FirstPaintedFrameTime();
