// Run sequencing: the batch is walked file by file, driven by graph events on the main
// loop, or by the reports of the worker process that converts the files (the window
// mode). The window front end and the batch mode hand their display down in RunFrontEnd.
#pragma once

#include <atomic>
#include <string>
#include <vector>

enum class RunOutcome {
  Running,    // files are being converted
  Finished,   // every file converted
  Failed,     // a file could not be converted; later files were not touched
  Closed,     // the user stopped the run
};

struct RunFrontEnd {
  void (*setCaption)(const std::string& caption) = nullptr;
  void (*paintStatus)(int percent) = nullptr;         // -1: no bar
  void (*startAnimation)() = nullptr;                 // after the first graph runs
  void (*stopAnimation)() = nullptr;                  // returns once no pass is running
  void (*playCompletionSound)() = nullptr;
  void (*saveWindowPosition)() = nullptr;             // nullptr: positions are not saved
  void (*endRun)(RunOutcome outcome) = nullptr;       // leave the main loop
  bool (*fileFailed)() = nullptr;                     // true: go on with the next file
};

// Shell flags shared with the animation pass.
extern std::atomic<bool> AnimationPaused;  // set while the shell switches files
extern std::atomic<bool> StopAnimation;    // tells the animation to end

// Hands the front end down and routes graph events to the run. Call before BeginRun.
void SetRunFrontEnd(const RunFrontEnd& frontEnd);

// Starts the batch at Batch.currentFile; false when the first file failed at once.
bool BeginRun();
// The same with each file converted in a worker process (the window mode), one after
// another: a conversion that crashes fails its file with "エラー No.601" rather than
// ending the program. workerArgs: the format options the worker is given. The run ends
// on the main loop the caller runs; the front end's fileFailed is not asked (a failed
// file ends the run).
void BeginRunInWorkers(const std::vector<std::string>& workerArgs);
RunOutcome CurrentRunOutcome();
// The percentage of the file in hand written so far; -1 without a measure.
int CurrentFilePercent();

bool StartCurrentFile();
void OnFileFinished();
void OnFileFailed(const std::string& errorText);  // the graph stopped with an error
void SaveAndRelease();
// The user closed the status window or interrupted the batch. A run in workers ends
// once the worker has removed its unfinished output and gone; until then further
// calls do nothing.
void CloseRun();

// While the main thread waits inside the media layer (a file's decoders being set up,
// up to 20 s for a difficult file), the main loop's handlers of termination signals
// cannot run. From the next slice of such a wait, a termination signal calls end, which
// must end the process. Call after the main loop's handlers are installed: theirs are
// still called first.
void EndOnSignalsDuringWaits(void (*end)());
