// The GUI tests' entry point: each test process starts an Xvfb server of its own (so
// tests can run in parallel), initialises GTK on it and stops the server at the end.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/batch_mode.h"
#include "common/i18n.h"
#include "dialog/describe.h"
#include "tests/gui/gui_support.h"

static pid_t xvfb = -1;

// Starts Xvfb on a free display number; returns the display name, or "" on failure.
static std::string StartXvfb() {
  int fds[2];
  if (pipe(fds) != 0) return "";
  xvfb = fork();
  if (xvfb == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // gone with a test that dies, not holding CTest's pipe
    close(fds[0]);
    std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
           "tcp", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char number[16] = {};
  ssize_t n = 0, got = 0;
  while (got < static_cast<ssize_t>(sizeof number) - 1 &&
         (n = read(fds[0], number + got, sizeof number - 1 - got)) > 0) {
    got += n;
    if (std::strchr(number, '\n')) break;
  }
  close(fds[0]);
  if (got <= 0) return "";
  number[std::strcspn(number, "\n")] = 0;
  return std::string(":") + number;
}

static void StopXvfb() {
  if (xvfb <= 0) return;
  kill(xvfb, SIGTERM);
  waitpid(xvfb, nullptr, 0);
  xvfb = -1;
}

int main(int argc, char** argv) {
  // The dialog's describer runs this program again. A file whose name starts with
  // "crash-describer" stands for one that kills it.
  if (argc == 2 && std::strcmp(argv[1], kDescriberOption) == 0)
    return RunDescriber([](const std::string& path) {
      g_autofree char* name = g_path_get_basename(path.c_str());
      if (g_str_has_prefix(name, "crash-describer")) kill(getpid(), SIGKILL);
    });
  // The window mode converts each file in a worker process: this program run again
  // with the batch mode's hidden worker option.
  if (IsBatchInvocation(argc, argv)) {
    InitLocalization();
    return RunBatchMode(argc, argv);
  }
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  const std::string display = StartXvfb();
  if (display.empty()) {
    std::fprintf(stderr, "Xvfb could not be started\n");
    return 1;
  }
  setenv("DISPLAY", display.c_str(), 1);
  setenv("GDK_BACKEND", "x11", 1);
  setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus on a test server
  setenv("QL_AUDIO_SINK", "fakesink", 1);  // previews play in real time into nothing
  setenv("GSETTINGS_BACKEND", "memory", 1);  // no settings daemon either
  guitest::Init(&argc, &argv);
  const int result = RUN_ALL_TESTS();
  StopXvfb();
  return result;
}
