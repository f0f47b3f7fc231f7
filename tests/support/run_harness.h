// Runs batches through the program's own run sequencing on a GLib main loop, the way
// the batch mode does, and records what the user would have seen.
#pragma once

#include <string>
#include <vector>

#include "app/run.h"

namespace runtest {

struct RunResult {
  RunOutcome outcome = RunOutcome::Running;
  std::vector<std::string> messages;  // "caption: text" of every message shown
  std::vector<int> progress;          // QueryProgressPercent every few milliseconds
  std::vector<std::string> captions;  // captions the shell set between and after files
};

// Initialises the media layer once and captures message boxes.
void InitEngineForTests();

// Converts the files in the current Settings.DecodeMode and TargetFormat; gives up
// after timeoutSeconds (the outcome then stays Running).
RunResult RunFiles(const std::vector<std::string>& paths, double timeoutSeconds = 60);

// Only the messages shown since the last call (for builders called directly).
std::vector<std::string> TakeMessages();

}  // namespace runtest
