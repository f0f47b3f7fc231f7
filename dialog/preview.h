// Preview playback: the selected file played as it will sound after conversion, in a
// graph of its own that never touches the conversion graph.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "media/media.h"

struct PreviewGraphState {
  GraphRef graph;          // the preview's graph; empty when no preview exists
  GraphRef seeking;        // positions and duration; set last, once the graph runs
  GraphRef mediaEvent;     // its event queue (drained, no effect)
  GraphRef mediaControl;   // runs and stops it
  int64_t duration = 0;    // 100-ns units, read when the preview starts and on every use
  int pendingSeek = -1;    // percent the user asked for before the preview could seek; -1 none
};

// Every field is guarded by one lock inside the module: read them only through the
// procedures below, from any thread.
extern PreviewGraphState PreviewGraph;

// Shared by the panel (user-interface thread) and the selection watcher.
extern std::atomic<bool> previewPlaying;    // started and not yet stopped by the user
extern std::atomic<bool> trackbarDragging;  // the position thumb is held by the mouse

// Build and run the preview of a file; true when the graph runs. A sample rate of 0
// plays the file as decoded. On false, StopPreview releases what was built.
bool BuildPcmPreview(const std::string& path, uint32_t samplesPerSec, uint32_t avgBytesPerSec,
                     uint16_t bitsPerSample, uint16_t channels);
// Through the MP3 encoder at that format (bytes per second = kbps x 125) and back.
bool BuildMp3Preview(const std::string& path, uint32_t samplesPerSec, uint32_t avgBytesPerSec,
                     uint16_t bitsPerSample, uint16_t channels);

// The source filter of the file, added to graph; nullptr when none (the ASF and CD
// branches may have shown a message).
FilterRef AddPreviewSource(Graph* graph, const std::string& path);

// Jumps to value percent (0 to 100) of the duration; nothing without a preview. Asked
// before the length is known or anything has played, the jump waits for both.
void SeekPreview(int value);
// The playing position in whole percent of the duration (a waiting jump's target);
// 0 without a preview.
int32_t QueryPreviewPercent();
// Stops and releases the preview. Idempotent.
void StopPreview();
