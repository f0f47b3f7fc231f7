// Several files of a batch converted at once, each in a worker process: the program
// itself again, with the hidden --worker option, converting one file at a time. Every
// worker has its own process-wide records and graph; a decoder that crashes takes only its worker
// down. The parent decides the order: names are claimed and outputs committed in input
// order, and messages and per-file lines are shown in input order. The window mode
// converts its files the same way, one at a time. What parent and worker say to each
// other is described in app/batch_worker.h.
#pragma once

#include <string>
#include <vector>

#include "app/run.h"

struct BatchFile {
  std::string path;          // absolute
  std::string outputFolder;  // ending in '/'; "" for the usual place
  // A path that cannot be converted at all (an unreadable folder): it fails in its turn
  // with this message, like a file that fails at once.
  std::string failCaption, failText;
};

enum class FileStatus { Converted, Failed, Skipped };

// How one input of a batch ended.
struct FileEnd {
  FileStatus status = FileStatus::Skipped;
  std::string output;         // the final path of its output; "" for none
  std::vector<std::pair<std::string, std::string>> messages;  // caption, text
  double seconds = 0;         // from its start to its end
  double audioSeconds = -1;   // the source's length; -1 unknown
};

// What became of the files of a batch, for the summary.
struct BatchTally {
  int converted = 0;
  int skipped = 0;
  std::vector<std::pair<std::string, std::string>> failures;  // input, its messages
};

// How the parent shows what the workers report.
struct BatchJobsDisplay {
  void (*message)(const std::string& inputPath, const std::string& caption, const std::string& text) = nullptr;
  // File i (1-based) of n converted into finalPath.
  void (*fileDone)(unsigned i, unsigned n, const std::string& finalPath) = nullptr;
  // done of n files finished, the names in flight, the batch's percentage by duration.
  void (*progress)(unsigned done, unsigned n, const std::vector<std::string>& inFlight, int percent) = nullptr;
  // Asked when a file's turn to start comes: true leaves it out (counted as skipped).
  bool (*skip)(const BatchFile& file) = nullptr;
  // Every file once, as it ends (in the order they end); files never started end as
  // skipped when the batch does.
  void (*fileEnded)(const BatchFile& file, const FileEnd& end) = nullptr;

  // For a display that follows the file in hand (the window mode): file i (1-based) was
  // handed to a worker; its graph runs; the percentage of its output written, as the
  // worker measures it (-1: no measure); the two text lines of the status picture.
  void (*fileBegun)(unsigned i) = nullptr;
  void (*fileRunning)(unsigned i) = nullptr;
  void (*fileProgress)(unsigned i, int percent) = nullptr;
  void (*statusText)(const std::string& fileName, const std::string& notice) = nullptr;
  // StartBatchJobs only: the batch is over and every worker has gone.
  void (*ended)(RunOutcome outcome) = nullptr;
};

// Converts files with at most jobs conversions at once (a worker flushing its output
// may run beside them; with jobs 1 none does: the next file starts once the one before
// has ended). workerArgs: the format options every worker is given. Without keepGoing
// the batch stops at the first failure in input order and leaves what a sequential run
// leaves. Returns Finished, Failed or Closed (interrupted, by SIGINT, SIGTERM or SIGHUP
// too).
RunOutcome RunBatchJobs(const std::vector<BatchFile>& files, unsigned jobs, bool keepGoing,
                        const std::vector<std::string>& workerArgs, const BatchJobsDisplay& display,
                        BatchTally* tally);

// The same on the main loop the caller runs, which must keep running until
// display.ended has been called; signals are the caller's to watch. tally must live
// until then.
void StartBatchJobs(const std::vector<BatchFile>& files, unsigned jobs, bool keepGoing,
                    const std::vector<std::string>& workerArgs, const BatchJobsDisplay& display,
                    BatchTally* tally);
// Stops every file of the batch started: the batch ends as Closed once its workers have
// removed their unfinished outputs and gone.
void StopBatchJobs();
