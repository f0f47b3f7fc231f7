// Worker processes for a batch: a few processes, each converting one file at a time.
//
// The parent gives a worker a file on its standard input:
//   file PATH\tFOLDER  convert PATH, its output into FOLDER ("" for the usual place)
// then "go" once the file may claim its output name (followed by the names that the
// files in flight elsewhere hold, each after a tab), and "go" again once its output may
// be brought under that name (a worker that gets there first waits for it). The worker
// tells the parent, one line each on its standard output:
//   name PATH        has claimed PATH
//   start DURATION   its graph runs; the source lasts DURATION (100-ns units)
//   progress P       P percent of its output written (-1: no measure); the first one
//                    comes just before start
//   status NAME\tNOTICE  the two text lines of the status picture, when they change
//   flush            its output is complete and goes to the disk
//   message CAPTION\tTEXT   a message for the user
//   end STATUS       the file is over: 0 converted, 1 failed, 130 stopped
// (paths and texts escaped as C strings). It then waits for the next file; the end of its
// standard input ends it. The "go"s follow the order of the files; closing the pipe, or
// SIGTERM, stops the worker, which removes its temporary. A worker that ends in the middle
// of a file has crashed.
//
// The parent's side is app/batch_jobs.h.
#pragma once

#include <csignal>
#include <string>

// How often a worker tells its progress, and a batch shows it.
inline constexpr unsigned kProgressIntervalMs = 150;
// The signals that stop a batch, its workers alike.
inline constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A path or text as it goes over the protocol: escaped as a C string.
std::string ProtocolEscaped(const std::string& text);

// The worker's side: converts the files the parent gives it one at a time, talking to
// the parent on standard input and output. Without records, its outputs carry none
// (the window mode's). Returns the exit status (130: stopped).
int RunBatchWorker(bool records = true);
