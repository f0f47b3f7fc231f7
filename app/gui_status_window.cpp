#include "app/gui_status_window.h"

#include <fcntl.h>
#include <pango/pangocairo.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "app/run.h"
#include "common/app_settings.h"
#include "common/batch.h"
#include "common/status_text.h"
#include "dialog/gui_placement.h"

GtkWindow* StatusWindow = nullptr;
std::atomic<uint32_t> FrameIndex{0};

namespace {

// Resource numbers of the pictures.
constexpr int kFilledBar = 124, kUnfilledBar = 125;
constexpr int kDecodingBackground = 126, kEncodingBackground = 127;
constexpr int kDecodingFrames = 145, kEncodingFrames = 155, kMasks = 165;
constexpr int kDecodingIcon = 102;

// Where the parts go in the picture, pixels from its top-left corner.
constexpr int kMascotX = 15, kMascotY = 30, kMascotWidth = 48, kMascotHeight = 50;
constexpr int kBarX = 80, kBarY = 60, kBarWidth = 100, kBarRows = 10;  // the outline's interior
constexpr int kOutlineLeft = 79, kOutlineTop = 59, kOutlineRight = 180, kOutlineBottom = 70;
constexpr uint32_t kOutlineColour = 0x6496C8;  // red 100, green 150, blue 200
constexpr int kFileNameX = 10, kFileNameY = 16, kNoticeX = 10, kNoticeY = 2;
constexpr const char* kFontFamilies = "MS Gothic, IPAGothic, Noto Sans Mono CJK JP, Monospace";
constexpr int kFontPixels = 11;
constexpr uint32_t kRgbMask = 0xFFFFFF;  // RGB24 leaves the top byte of each pixel unused

struct StatusGraphics {
  cairo_surface_t* background = nullptr;
  std::array<cairo_surface_t*, kFrameCount> frames{};
  std::array<cairo_surface_t*, kFrameCount> masks{};
  cairo_surface_t* filledBar = nullptr;
  cairo_surface_t* unfilledBar = nullptr;
  cairo_surface_t* picture = nullptr;  // the off-screen picture everything is composed in
  PangoLayout* fileNameLayout = nullptr;
  PangoLayout* noticeLayout = nullptr;
  bool painted = false;                // the picture holds a finished composition
};

StatusGraphics graphics;
GtkWidget* drawingArea = nullptr;
GtkWidget* progressForReaders = nullptr;  // what a screen reader reads of the picture
guint animationTimer = 0;
int64_t firstPaintedFrame = 0;
uint64_t drawCount = 0;       // draws of the window so far
bool closeRequested = false;  // the close box was pressed where it could not act
int placedLeft = 0, placedTop = 0;  // where the window was placed as it was made
int slotFd = -1;                    // the lock of this window's slot on the display
int slotShiftLeft = 0, slotShiftTop = 0;  // the slot's offset from the stored position
bool shownForRun = false;           // shown as the run's window (ShowStatusWindow)

// ---------------------------------------------------------------------------
// Pictures from the resources

cairo_status_t ReadBytes(void* closure, unsigned char* data, unsigned int length) {
  auto* cursor = static_cast<std::pair<const uint8_t*, size_t>*>(closure);
  if (cursor->second < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(data, cursor->first, length);
  cursor->first += length;
  cursor->second -= length;
  return CAIRO_STATUS_SUCCESS;
}

// The picture as an RGB24 surface of its own size; a white one of the given size when
// the resource is missing, so a damaged build shows a blank window rather than none.
cairo_surface_t* LoadBitmap(int number, int width, int height) {
  g_autofree char* path = g_strdup_printf("/res/bitmap/%d.png", number);
  g_autoptr(GBytes) bytes = g_resources_lookup_data(path, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  cairo_surface_t* loaded = nullptr;
  if (bytes) {
    gsize size = 0;
    auto* data = static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
    std::pair<const uint8_t*, size_t> cursor{data, size};
    loaded = cairo_image_surface_create_from_png_stream(ReadBytes, &cursor);
  }
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  if (loaded && cairo_surface_status(loaded) == CAIRO_STATUS_SUCCESS) {
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, loaded, 0, 0);
    cairo_paint(cr);
  } else {
    g_warning("picture %s is missing", path);
  }
  cairo_destroy(cr);
  if (loaded) cairo_surface_destroy(loaded);
  cairo_surface_flush(surface);
  return surface;
}

void ClearSurface(cairo_surface_t*& surface) { g_clear_pointer(&surface, cairo_surface_destroy); }

void ReleaseStatusGraphics() {
  ClearSurface(graphics.background);
  for (auto& s : graphics.frames) ClearSurface(s);
  for (auto& s : graphics.masks) ClearSurface(s);
  ClearSurface(graphics.filledBar);
  ClearSurface(graphics.unfilledBar);
  ClearSurface(graphics.picture);
  g_clear_object(&graphics.fileNameLayout);
  g_clear_object(&graphics.noticeLayout);
  graphics.painted = false;
}

// ---------------------------------------------------------------------------
// Pixel operations on RGB24 surfaces

uint32_t* Row(cairo_surface_t* s, int y) {
  return reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s));
}

// dst(x, y) = op(dst(x, y), src(sx, sy)) over a width x height block.
template <typename Op>
void Combine(cairo_surface_t* dst, int x, int y, cairo_surface_t* src, int sx, int sy, int width, int height,
             Op op) {
  for (int r = 0; r < height; ++r) {
    uint32_t* d = Row(dst, y + r) + x;
    const uint32_t* s = Row(src, sy + r) + sx;
    for (int c = 0; c < width; ++c) d[c] = op(d[c], s[c]) & kRgbMask;
  }
}

uint32_t Copy(uint32_t, uint32_t s) { return s; }
uint32_t Or(uint32_t d, uint32_t s) { return d | s; }
uint32_t And(uint32_t d, uint32_t s) { return d & s; }

void DrawOutline(cairo_surface_t* s) {
  for (int x = kOutlineLeft; x <= kOutlineRight; ++x)
    Row(s, kOutlineTop)[x] = Row(s, kOutlineBottom)[x] = kOutlineColour;
  for (int y = kOutlineTop; y <= kOutlineBottom; ++y)
    Row(s, y)[kOutlineLeft] = Row(s, y)[kOutlineRight] = kOutlineColour;
}

void DrawText(cairo_t* cr, PangoLayout* layout, int x, int y, const std::string& text) {
  pango_layout_set_text(layout, text.c_str(), -1);
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, layout);
}

PangoLayout* MakeLayout(cairo_t* cr) {
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_from_string(kFontFamilies);
  pango_font_description_set_absolute_size(font, kFontPixels * PANGO_SCALE);
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  return layout;
}

// ---------------------------------------------------------------------------
// The window

gboolean on_status_area_draw(GtkWidget*, cairo_t* cr, gpointer) {
  DrawStatusPicture(cr);
  ++drawCount;
  if (graphics.painted && firstPaintedFrame == 0) {
    firstPaintedFrame = g_get_real_time();
    g_log("quilllomare", G_LOG_LEVEL_DEBUG, "first painted frame at %" G_GINT64_FORMAT " us", firstPaintedFrame);
  }
  return TRUE;
}

// The close box ends a running conversion: its incomplete output is deleted, the position
// is saved and the program ends. Only a callback of the run's own main loop may do that:
// inside a nested loop (a message box during a build, a flush in the finish) a graph is
// being built or released, and the request is only remembered.
gboolean on_status_window_delete_event(GtkWidget*, GdkEvent*, gpointer) {
  if (gtk_main_level() == 1 && g_main_depth() == 1 && CurrentRunOutcome() == RunOutcome::Running)
    CloseRun();
  else
    closeRequested = true;
  return TRUE;  // the window goes when the run is over
}

gboolean on_status_window_remapped(GtkWidget* window, GdkEvent*, gpointer) {
  g_signal_handlers_disconnect_by_func(window, gpointer(on_status_window_remapped), nullptr);
  gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
  return FALSE;
}

// The first slot no other program's status window holds on this display; its lock is kept
// until the window goes (and goes with the process, however it ends).
int TakeSlot() {
  for (int slot = 0; slot < 16; ++slot) {
    const int fd = open(StatusWindowSlotFile(slot).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      slotFd = fd;
      return slot;
    }
    close(fd);
  }
  return 0;
}

void ReleaseSlot() {
  if (slotFd >= 0) close(slotFd);
  slotFd = -1;
}

// A window manager that maps a window asked to start minimised as a normal one (mutter
// does): the window leaves the screen again until the run shows it.
gboolean on_status_window_mapped_too_early(GtkWidget* window, GdkEvent*, gpointer) {
  g_signal_handlers_disconnect_by_func(window, gpointer(on_status_window_mapped_too_early), nullptr);
  if (!shownForRun) gtk_widget_hide(window);
  return FALSE;
}

// The kind of window that gets a frame with caption, close and move and no minimise box.
// openbox offers minimising on every kind but the toolbar, whatever the hints say, and
// frames a toolbar like any window. KWin ignores the hints on minimising too and offers it
// on normal and dialog windows, but lets no toolbar be closed: there the window is a utility
// one, which it frames, moves and closes like a normal one. mutter, metacity
// and weston's XWayland draw no frame for a toolbar and allow neither closing nor moving
// it, and honour the hints on a normal window. Other window managers get the normal
// window too.
GdkWindowTypeHint RunWindowKind() {
  const std::string name = WindowManagerName();
  if (name == "Openbox") return GDK_WINDOW_TYPE_HINT_TOOLBAR;
  if (name == "KWin") return GDK_WINDOW_TYPE_HINT_UTILITY;
  return GDK_WINDOW_TYPE_HINT_NORMAL;
}

// Whether the window can wait minimised while the files are chosen. Pure Wayland and
// weston's XWayland minimise nothing; KWin hides a minimised window's dialogs with it, so
// that the selection dialog would never be seen.
bool CanWaitMinimised() { return WindowPositionsKnown() && WindowManagerName() != "KWin"; }

gboolean OnAnimationStep(gpointer) {
  if (StopAnimation) {
    animationTimer = 0;
    return G_SOURCE_REMOVE;
  }
  if (!AnimationPaused) {
    const int percent = CurrentFilePercent();
    SetStatusCaption(FormatProgressCaption(Settings.DecodeMode, Batch.currentFile, Batch.fileCount, percent));
    PaintStatus(percent);
    FrameIndex = (FrameIndex + 1) % kFrameCount;
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

void CreateStatusWindow(int left, int top) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  StatusWindow = GTK_WINDOW(window);
  gtk_window_set_title(StatusWindow, _(kSelectingCaption));
  gtk_window_set_resizable(StatusWindow, FALSE);
  KeepOnMonitor(&left, &top, kStatusWidth + kFrameAllowance, kStatusHeight + kTitleAllowance);
  // A second program running at once opens its window beside the first one's, not on it.
  ReleaseSlot();
  const int offset = TakeSlot() * kInstanceOffset;
  int shiftedLeft = left + offset, shiftedTop = top + offset;
  KeepOnMonitor(&shiftedLeft, &shiftedTop, kStatusWidth + kFrameAllowance, kStatusHeight + kTitleAllowance);
  slotShiftLeft = shiftedLeft - left;
  slotShiftTop = shiftedTop - top;
  left = shiftedLeft;
  top = shiftedTop;
  gtk_window_move(StatusWindow, left, top);
  placedLeft = left;
  placedTop = top;
  shownForRun = false;
  SetStatusIcon(kDecodingIcon);
  drawingArea = gtk_drawing_area_new();
  gtk_widget_set_size_request(drawingArea, kStatusWidth, kStatusHeight);
  // The picture says nothing to a screen reader: an unseen progress bar over it carries
  // the percentage and the file's name.
  GtkWidget* overlay = gtk_overlay_new();
  gtk_container_add(GTK_CONTAINER(overlay), drawingArea);
  progressForReaders = gtk_progress_bar_new();
  gtk_widget_set_opacity(progressForReaders, 0);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), progressForReaders);
  gtk_overlay_set_overlay_pass_through(GTK_OVERLAY(overlay), progressForReaders, TRUE);
  gtk_container_add(GTK_CONTAINER(window), overlay);
  g_signal_connect(drawingArea, "draw", G_CALLBACK(on_status_area_draw), nullptr);
  g_signal_connect(window, "delete-event", G_CALLBACK(on_status_window_delete_event), nullptr);
  // Asked before the window is first mapped, so that the request travels with the map
  // itself: a window manager may not have seen the window yet when the run starts.
  gtk_window_set_keep_above(StatusWindow, TRUE);
  gtk_window_iconify(StatusWindow);
  // The window can be moved and closed, nothing else (no minimise, maximise or resize
  // box): said to the window manager once the window exists on the display.
  gtk_widget_realize(window);
  GdkWindow* gdkWindow = gtk_widget_get_window(window);
  gdk_window_set_functions(gdkWindow, GdkWMFunction(GDK_FUNC_MOVE | GDK_FUNC_CLOSE));
  gdk_window_set_decorations(gdkWindow, GdkWMDecoration(GDK_DECOR_BORDER | GDK_DECOR_TITLE));
  firstPaintedFrame = 0;
  drawCount = 0;
  closeRequested = false;
  FrameIndex = 0;
}

void ShowStatusWindowMinimised() {
  if (!StatusWindow || shownForRun) return;
  if (!CanWaitMinimised()) return;  // it waits unmapped
  g_signal_connect(StatusWindow, "map-event", G_CALLBACK(on_status_window_mapped_too_early), nullptr);
  gtk_widget_show_all(GTK_WIDGET(StatusWindow));
}

void DestroyStatusWindow() {
  StopStatusAnimation();
  ReleaseSlot();
  if (StatusWindow) gtk_widget_destroy(GTK_WIDGET(StatusWindow));
  StatusWindow = nullptr;
  drawingArea = nullptr;
  progressForReaders = nullptr;
  ReleaseStatusGraphics();
}

void ShowStatusWindow() {
  if (!StatusWindow) return;
  if (!shownForRun) {
    shownForRun = true;
    g_signal_handlers_disconnect_by_func(StatusWindow, gpointer(on_status_window_mapped_too_early), nullptr);
    const GdkWindowTypeHint kind = RunWindowKind();
    if (kind != GDK_WINDOW_TYPE_HINT_NORMAL) {
      // The kind is read as the window is mapped: one waiting minimised leaves the screen
      // and comes back.
      gtk_widget_hide(GTK_WIDGET(StatusWindow));
      gtk_window_set_type_hint(StatusWindow, kind);
      // A window manager that lets go of a window clears its states (openbox does), and
      // it may do so only after the states for the new map have been written: keep-above
      // is asked again once the window is back.
      g_signal_connect(StatusWindow, "map-event", G_CALLBACK(on_status_window_remapped), nullptr);
    }
    // Every map goes to the point placed: a window mapped again keeps where its client
    // area was, which is below the frame's corner by the title bar's height.
    gtk_window_move(StatusWindow, placedLeft, placedTop);
  }
  gtk_window_set_keep_above(StatusWindow, TRUE);
  gtk_window_deiconify(StatusWindow);
  gtk_widget_show_all(GTK_WIDGET(StatusWindow));
}

void SetStatusCaption(const std::string& caption) {
  if (StatusWindow) gtk_window_set_title(StatusWindow, caption.c_str());
}

void SetStatusIcon(int iconNumber) {
  if (!StatusWindow) return;
  g_autofree char* path = g_strdup_printf("/res/icon/%d.png", iconNumber);
  g_autoptr(GdkPixbuf) icon = gdk_pixbuf_new_from_resource(path, nullptr);
  if (icon) gtk_window_set_icon(StatusWindow, icon);
}

void PrepareStatusGraphics() {
  ReleaseStatusGraphics();
  const bool encoding = IsEncodingMode(Settings.DecodeMode);
  for (int k = 0; k < kFrameCount; ++k) {
    graphics.masks[k] = LoadBitmap(kMasks + k, kMascotWidth, kMascotHeight);
    graphics.frames[k] = LoadBitmap((encoding ? kEncodingFrames : kDecodingFrames) + k, kMascotWidth, kMascotHeight);
  }
  graphics.filledBar = LoadBitmap(kFilledBar, kBarWidth, 15);
  graphics.unfilledBar = LoadBitmap(kUnfilledBar, kBarWidth, 15);
  graphics.background =
      LoadBitmap(encoding ? kEncodingBackground : kDecodingBackground, kStatusWidth, kStatusHeight);
  graphics.picture = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kStatusWidth, kStatusHeight);

  cairo_t* cr = cairo_create(graphics.picture);
  graphics.fileNameLayout = MakeLayout(cr);
  graphics.noticeLayout = MakeLayout(cr);
  cairo_destroy(cr);
}

void PaintStatus(int percent) {
  cairo_surface_t* picture = graphics.picture;
  if (!picture) return;
  cairo_surface_flush(picture);
  const int frame = static_cast<int>(FrameIndex % kFrameCount);
  Combine(picture, 0, 0, graphics.background, 0, 0, kStatusWidth, kStatusHeight, Copy);
  Combine(picture, kMascotX, kMascotY, graphics.masks[frame], 0, 0, kMascotWidth, kMascotHeight, Or);
  Combine(picture, kMascotX, kMascotY, graphics.frames[frame], 0, 0, kMascotWidth, kMascotHeight, And);
  if (percent != -1) {
    DrawOutline(picture);
    const int filled = std::clamp(percent, 0, 100);
    Combine(picture, kBarX, kBarY, graphics.filledBar, 0, 0, filled, kBarRows, Copy);
    Combine(picture, kBarX + filled, kBarY, graphics.unfilledBar, filled, 0, kBarWidth - filled, kBarRows, Copy);
  }
  cairo_surface_mark_dirty(picture);

  std::string fileName, notice;
  {
    std::lock_guard lock(StatusLock);
    fileName = StatusFileName;
    notice = StatusNotice;
  }
  cairo_t* cr = cairo_create(picture);
  cairo_set_source_rgb(cr, 0, 0, 0);
  DrawText(cr, graphics.fileNameLayout, kFileNameX, kFileNameY, fileName);
  if (!notice.empty()) DrawText(cr, graphics.noticeLayout, kNoticeX, kNoticeY, notice);
  cairo_destroy(cr);
  cairo_surface_flush(picture);

  graphics.painted = true;
  if (drawingArea) gtk_widget_queue_draw(drawingArea);
  if (progressForReaders) {
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressForReaders), std::clamp(percent, 0, 100) / 100.0);
    atk_object_set_name(gtk_widget_get_accessible(progressForReaders), fileName.c_str());
  }
}

void StartStatusAnimation() {
  StopStatusAnimation();
  StopAnimation = false;
  OnAnimationStep(nullptr);
  animationTimer = g_timeout_add(kAnimationIntervalMs, OnAnimationStep, nullptr);
}

void StopStatusAnimation() {
  if (animationTimer) g_source_remove(animationTimer);
  animationTimer = 0;
}

void FlushStatusWindow() {
  if (!StatusWindow || !drawingArea) return;
  constexpr gint64 kWaitUs = 300 * 1000;  // a window manager may take a while to map it
  const uint64_t before = drawCount;
  const gint64 deadline = g_get_monotonic_time() + kWaitUs;
  gtk_widget_queue_draw(drawingArea);
  while (drawCount == before && g_get_monotonic_time() < deadline)
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
  gdk_display_flush(gtk_widget_get_display(GTK_WIDGET(StatusWindow)));
}

bool StatusWindowCloseRequested() { return closeRequested; }

std::string StatusWindowSlotFile(int slot) {
  GdkDisplay* display = gdk_display_get_default();
  g_autofree char* name =
      g_strdup_printf("quilllomare-window-%s-%d.lock", display ? gdk_display_get_name(display) : "", slot);
  g_strdelimit(name, "/", '_');
  g_autofree char* path = g_build_filename(g_get_user_runtime_dir(), name, nullptr);
  return path;
}

void StoredStatusWindowPosition(int* left, int* top) {
  gtk_window_get_position(StatusWindow, left, top);
  *left -= slotShiftLeft;
  *top -= slotShiftTop;
}

cairo_surface_t* StatusPicture() { return graphics.picture; }

void DrawStatusPicture(cairo_t* cr) {
  if (!graphics.painted) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    return;
  }
  // Each picture pixel becomes a block of device pixels on a scaled display: crisp, not blurred.
  cairo_set_source_surface(cr, graphics.picture, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
}

int64_t FirstPaintedFrameTime() { return firstPaintedFrame; }
