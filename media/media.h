// The filter-graph layer: graphs, filters, pins and wave-format media types over
// GStreamer. This layer is the only code that touches GStreamer; the toolkit and the
// builders above it speak of filters and pins only.
//
// A graph is a pipeline. A filter wraps one element or a bin; its pins are the
// element's pads in a fixed order. Pads that GStreamer creates only while running
// (demuxers, decoders) are pins the layer learns by probing the file, and their links
// are made when the pads appear.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/wave_format.h"

// Class ids of the objects the program creates.
inline constexpr const char* kClsidFilterGraph = "{E436EBB3-524F-11CE-9F53-0020AF0BA770}";
inline constexpr const char* kClsidDSoundRender = "{79376820-07D0-11CF-A24D-0020AFD79767}";
inline constexpr const char* kClsidACMWrapper = "{6A08CF80-0E18-11CF-A24D-0020AFD79767}";
inline constexpr const char* kClsidFileWriter = "{8596E5F0-0DA5-11D0-BD21-00A0C911CE86}";
inline constexpr const char* kClsidMPEG1Splitter = "{336475D0-942A-11CE-A870-00AA002FEAB5}";
inline constexpr const char* kClsidMMSPLITTER = "{3AE86B20-7BE8-11D1-ABE6-00A0C905F375}";
inline constexpr const char* kClsidAviSplitter = "{1B544C20-FD0B-11CE-8C63-00AA0044B51E}";
inline constexpr const char* kClsidWMAsfReader = "{187463A0-5BB7-11D3-ACBE-0080C75E246E}";
inline constexpr const char* kClsidCdTrackReader = "{CA9067FF-777D-4B65-AA5F-C0B27E3EC75D}";
inline constexpr const char* kClsidWavDest = "{E12F5960-6693-11D5-89B7-CFC0F19DD61C}";
inline constexpr const char* kClsidDump = "{E917C616-E850-44DF-8025-44C875B77758}";

// Categories of the system device enumerator.
inline constexpr const char* kCategoryAudioCompressor = "{33D9A761-90C8-11D0-BD43-00A0C911CE86}";
inline constexpr const char* kCategoryLegacyAmFilter = "{083863F1-70DE-11D0-BD40-00A0C911CE86}";

// Event codes a graph reports.
inline constexpr long kEventComplete = 1;    // EC_COMPLETE: every stream reached its end
inline constexpr long kEventErrorAbort = 3;  // EC_ERRORABORT: streaming stopped on an error

enum class PinDirection { Input = 0, Output = 1 };
enum class MajorType { None, Audio, Video, Stream };

struct MediaType {
  MajorType major = MajorType::None;
  bool hasFormat = false;  // false: the type carries no wave format block
  WaveFormat format;       // meaningful when hasFormat
};

struct Graph;
struct Filter;
struct Pin;
using GraphRef = std::shared_ptr<Graph>;
using FilterRef = std::shared_ptr<Filter>;
using PinRef = std::shared_ptr<Pin>;

// Called on the main loop when a running graph has queued events; the graph's
// counterpart of a posted window message.
using GraphNotify = void (*)();

// Once per process, before any other call: initialises GStreamer, registers our own
// elements and sets decoder preferences. Safe to call again.
void MediaLayerInit();

// Called about every 100 ms, on the waiting thread, while a call of this layer waits
// for GStreamer (a file's decoders being found and prerolled, a splitter's streams being
// listed); nullptr for none. A termination signal cannot reach the main loop during
// such a wait: the program checks for one here.
using WaitHook = void (*)();
void SetWaitHook(WaitHook hook);

// Creation by class id. CreateGraph takes kClsidFilterGraph; CreateFilter any filter
// class id. Both return nullptr for an unknown id or missing GStreamer elements.
GraphRef CreateGraph(const std::string& clsid);
FilterRef CreateFilter(const std::string& clsid);

// The renderer that plays through the machine's audio output (the preview's
// DirectSound renderer); nullptr when the machine has no audio output. The environment
// variable QL_AUDIO_SINK names a sink element to use instead (the tests' fakesink,
// which then plays in real time into nothing).
FilterRef CreatePlaybackRenderer();
inline constexpr const char* kAudioSinkVariable = "QL_AUDIO_SINK";

// The system device enumerator: the first filter of the category with exactly that
// friendly name (case-sensitive), unadded; nullptr when none is installed.
FilterRef CreateFilterByFriendlyName(const std::string& category, const std::string& name);
std::vector<std::string> ListFriendlyNames(const std::string& category);

// Graph: filters.
bool GraphAddFilter(Graph* graph, const FilterRef& filter, const std::string& name);
bool GraphRemoveFilter(Graph* graph, Filter* filter);
FilterRef GraphAddSourceFilter(Graph* graph, const std::string& path);  // fails when unreadable

// Graph: connections. Connect may insert decoders and, towards a renderer, checks that
// audio really decodes (prerolls the graph). ConnectDirect joins the two pins alone,
// with the given media type or the output pin's first offered one; the decoded pin of
// intelligent connect gives WavDest (with no type given) the decoders' own format:
// every channel, integer widths kept, floats stored in the file as float, what a
// decoder of a compressed format computes as 16-bit.
bool GraphConnect(Graph* graph, Pin* out, Pin* in);
bool GraphConnectDirect(Graph* graph, Pin* out, Pin* in, const MediaType* type);

// Builds the complete decoding chain of a file and prerolls it, for its duration.
bool GraphRenderFile(Graph* graph, const std::string& path);

// Graph: control, events and seeking. Times are in 100-ns units. In a graph with a
// playback renderer, positions count from the first sample it played (no position before
// it), and a length the parser has not yet told is estimated from the bytes it parsed.
bool GraphRun(Graph* graph);
void GraphStop(Graph* graph);
void GraphSetNotify(Graph* graph, GraphNotify notify);
bool GraphGetEvent(Graph* graph, long* code, std::string* text);  // false when none queued
bool GraphGetDuration(Graph* graph, int64_t* duration);
bool GraphGetCurrentPosition(Graph* graph, int64_t* position);
bool GraphCompleted(const Graph* graph);
// Playing time of the audio that reached the graph's writing filter (WavDest, Dump, an
// encoder or the ASF writer) since it last ran; false when that link is not measured.
bool GraphGetAudioWritten(const Graph* graph, int64_t* units);
// Whether every file source of the graph delivered its file's last byte since it last
// ran (a source of unknown size counts as read).
bool GraphSourceReadToEnd(const Graph* graph);
// The file source's reading since the graph last ran: sizeAtLoad, the file's size when
// it was given to the source; sizeNow, its size now (the same when its path is gone);
// lastEnd, where the last piece the
// source delivered ended (a demuxer reads its file front to back, so this is where it
// stopped). False when the graph has no file source of a regular file.
// declaredSize and declaredDuration are what the file's header says of the whole file
// (an AVI or ASF file's size; an AVI's first audio stream's length, 100-ns units), 0
// when it says nothing.
struct SourceReading {
  uint64_t sizeAtLoad = 0, sizeNow = 0, lastEnd = 0;
  uint64_t declaredSize = 0;
  int64_t declaredDuration = 0;
};
bool GraphGetSourceReading(const Graph* graph, SourceReading* reading);
// Jumps a running or paused graph to the position (100-ns units); false when it cannot.
bool GraphSetCurrentPosition(Graph* graph, int64_t position);

// The filters in the graph, in the order they were added, and the name each was added under.
std::vector<FilterRef> GraphFilters(const Graph* graph);
std::string FilterName(const Filter* filter);

// Filter.
const std::vector<PinRef>& FilterPins(const Filter* filter);
Graph* FilterGraph(const Filter* filter);
bool FilterLoadFile(Filter* filter, const std::string& path);      // IFileSourceFilter::Load
bool FilterSetFileName(Filter* filter, const std::string& path);   // IFileSinkFilter::SetFileName
bool FilterHasFileSink(const Filter* filter);
bool FilterHasFileSource(const Filter* filter);
bool FilterConfigureProfile(Filter* filter, const std::string& profileGuid);  // ASF writer only
bool FilterHasProfileConfig(const Filter* filter);

// Pin.
PinDirection PinQueryDirection(const Pin* pin);
PinRef PinConnectedTo(const Pin* pin);
bool PinDisconnect(Pin* pin);
bool PinConnectionMediaType(const Pin* pin, MediaType* type);
std::vector<MediaType> PinEnumMediaTypes(const Pin* pin);
Filter* PinFilter(const Pin* pin);

// Sound.

// True when the machine has somewhere to play sound: a sound server that answers, however
// it is reached, or a sound card. Quick where there is none.
bool HaveAudioOutput();

// Plays the WAVE file held in the resource at resourcePath through the audio output and
// returns when it has ended, or after timeoutMs. Returns false when it could not be played.
bool PlaySoundResource(const std::string& resourcePath, unsigned timeoutMs);
