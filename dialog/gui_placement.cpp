#include "dialog/gui_placement.h"

#include <algorithm>

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
