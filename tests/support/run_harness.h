// Runs batches through the program's own run sequencing on a GLib main loop, the way
// the batch mode does, and records what the user would have seen.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run.h"
#include "tests/support/media_fixtures.h"

namespace runtest {

struct RunResult {
  RunOutcome outcome = RunOutcome::Running;
  std::vector<std::string> messages;  // "caption: text" of every message shown
  std::vector<int> progress;          // QueryProgressPercent as the first file starts, then
                                      // every few milliseconds
  int finalPercent = -2;              // QueryProgressPercent as the last file completed
  std::vector<std::string> captions;  // captions the shell set between and after files
};

// Initialises the media layer once and captures message boxes.
void InitEngineForTests();

// Converts the files in the current Settings.DecodeMode and TargetFormat; gives up
// after timeoutSeconds, or once a progress sample reaches stopAtPercent (when not
// negative). Given up, the outcome stays Running and the graph is released. started,
// when given, is called once the first file's graph runs.
RunResult RunFiles(const std::vector<std::string>& paths, double timeoutSeconds = 60,
                   int stopAtPercent = -1, void (*started)() = nullptr);

// The fixture of the engine tests. Prepare, called from SetUp, skips the test when
// ffmpeg is missing, readies the engine and sets the default settings in the given mode.
class EngineTest : public ::testing::Test {
 protected:
  void Prepare(int mode);
  mediatest::TempDir dir;
};

}  // namespace runtest
