// Helpers for tests that drive real GTK widgets on the test process's own Xvfb.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

namespace guitest {

// Initialises GTK and the media layer; called once by the tests' main.
void Init(int* argc, char*** argv);

// Runs the main loop until done() is true or timeoutMs have passed; returns done().
bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// The first visible toplevel window whose title equals title, or nullptr.
GtkWindow* FindWindowByTitle(const std::string& title);

}  // namespace guitest
