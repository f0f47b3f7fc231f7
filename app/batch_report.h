// The report of a batch (--report FILE): one JSON line per input, written whole at once,
// so that a run interrupted at any moment leaves whole lines only.
#pragma once

#include <string>

#include "app/batch_jobs.h"

// Opens (empties) the report file; false with the system's reason when it cannot.
bool OpenBatchReport(const std::string& path, std::string* error);

// Writes the line of an input that has ended; nothing without a report.
void ReportBatchFileEnd(const BatchFile& file, const FileEnd& end);

// Closes the report file, if one is open.
void CloseBatchReport();
