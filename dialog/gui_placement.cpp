#include "dialog/gui_placement.h"

#include <X11/Xatom.h>
#include <gdk/gdkx.h>

#include <algorithm>
#include <vector>

void KeepOnMonitor(int* left, int* top, int width, int height) {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return;
  // X11 carries coordinates in 16 bits: look for the monitor with a point it can hold.
  const int x = std::clamp(*left, -32768, 32767), y = std::clamp(*top, -32768, 32767);
  GdkMonitor* monitor = gdk_display_get_monitor_at_point(display, x, y);
  if (!monitor) monitor = gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  if (!monitor) return;
  GdkRectangle area;
  gdk_monitor_get_geometry(monitor, &area);
  // Clamp the far edge first, so that a window larger than the monitor shows its top-left.
  *left = std::max(std::min(*left, area.x + area.width - width), area.x);
  *top = std::max(std::min(*top, area.y + area.height - height), area.y);
}

namespace {

bool OnX11() {
  GdkDisplay* display = gdk_display_get_default();
  return display && GDK_IS_X11_DISPLAY(display);
}

// A window's property as raw items, empty when it is missing or of another type.
std::vector<unsigned char> WindowProperty(Display* x, Window window, const char* name, Atom type, int* format) {
  Atom actual = None;
  unsigned long items = 0, left = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned char> bytes;
  if (XGetWindowProperty(x, window, XInternAtom(x, name, False), 0, 1024, False, type, &actual, format, &items,
                         &left, &data) == Success &&
      data && actual == type)
    bytes.assign(data, data + items * (*format == 32 ? sizeof(long) : *format / 8));
  if (data) XFree(data);
  return bytes;
}

}  // namespace

// weston's XWayland window manager places the windows itself and reports each frame at the
// X screen's corner, whatever the window asked and wherever it is shown.
bool WindowPositionsKnown() { return OnX11() && WindowManagerName() != "Weston WM"; }

// Read afresh each time: GDK keeps the first answer for a while, and a window manager
// may be replaced meanwhile.
std::string WindowManagerName() {
  if (!OnX11()) return "";
  GdkDisplay* display = gdk_display_get_default();
  Display* x = GDK_DISPLAY_XDISPLAY(display);
  int format = 0;
  gdk_x11_display_error_trap_push(display);
  std::string name;
  const std::vector<unsigned char> check =
      WindowProperty(x, DefaultRootWindow(x), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW, &format);
  if (check.size() == sizeof(long) && format == 32) {
    const Window wm = Window(*reinterpret_cast<const long*>(check.data()));
    const std::vector<unsigned char> text =
        WindowProperty(x, wm, "_NET_WM_NAME", XInternAtom(x, "UTF8_STRING", False), &format);
    if (format == 8) name.assign(text.begin(), text.end());
  }
  gdk_x11_display_error_trap_pop_ignored(display);
  return name;
}
