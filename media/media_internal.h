// The records behind the media layer's handles, and the interfaces between the layer's
// own files, one section per file, lowest first: a file calls only into the sections
// above its own. Nothing outside media/ (and its tests) includes this.
#pragma once

#include <atomic>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gst/gst.h>

#include "media/media.h"

GST_DEBUG_CATEGORY_EXTERN(ql_media_debug);

enum class FilterKind {
  FileSource,     // filesrc: the platform's choice of source
  AsfReader,      // filesrc for ASF files; the decoder chain demuxes them
  CdTrackReader,  // cdparanoiasrc, track from the .cda file
  DecoderChain,   // decodebin ! audioconvert ! audioresample ! capsfilter
  ProbeRenderer,  // fakesink: proves that audio decodes, needs no audio device
  AudioRenderer,  // autoaudiosink, for listening
  AcmWrapper,     // audioconvert ! audioresample ! capsfilter
  Mp3Encoder,     // "MPEG Layer-3"
  Mp3Decoder,     // "MPEG Layer-3 Decoder"
  AsfWriter,      // "WM ASF Writer": encoder, muxer and file sink in one
  FlacWriter,     // the batch mode's writers (media_writers.cpp), each encoder,
  OpusWriter,     //   muxer and file sink in one
  VorbisWriter,
  AacWriter,
  WavDest,        // qlwavdest
  FileWriter,     // filesink
  Dump,           // filesink: every byte unchanged
  Mpeg1Splitter,  // mpegpsdemux
  Mpeg2Splitter,  // mpegpsdemux
  AviSplitter,    // avidemux
};

struct Pin {
  Filter* filter = nullptr;          // owner; a pin never outlives its filter's use
  PinDirection direction = PinDirection::Input;
  std::string padName;               // the pad of filter->element behind this pin
  std::vector<MediaType> offered;    // types the pin offers, preferred first
  std::weak_ptr<Pin> peer;           // the pin it is connected to; empty when free
  MediaType connection;              // the type of the connection while connected
  std::string parser;                // element (or "a ! b") to put behind the pad when linked, or empty
};

struct Filter {
  FilterKind kind = FilterKind::FileSource;
  Graph* graph = nullptr;            // the graph holding it; nullptr while unadded
  std::string name;                  // name in the graph
  GstElement* element = nullptr;     // owned: the element or bin in the pipeline
  GstElement* capsfilter = nullptr;  // borrowed from the bin: the output format to force
  GstElement* encoder = nullptr;     // borrowed from the bin: the encoder to configure
  GstElement* splitter = nullptr;    // borrowed from the ASF writer: cuts its encoder's input
  GstElement* fileSink = nullptr;    // borrowed from the bin: where a writer bin writes
  GstElement* converter = nullptr;   // borrowed from the bin: the decoder chain's audioconvert
  GstCaps* decodersCaps = nullptr;   // owned; decoder chain: its output to WavDest, once prerolled
  MediaType decodersType;            // decoder chain: the wave format of decodersCaps
  bool dynamicPads = false;          // output pads appear only while running
  std::vector<PinRef> pins;          // fixed order: as the element's pads
  std::string path;                  // file read or written; empty for neither
  uint64_t sourceSize = 0;           // file source: bytes in the file; 0 unknown
  bool pushOnly = false;             // file source: offers push mode alone (WAV and AIFF files)
  bool waveUnusable = false;         // file source: a WAV or AIFF file whose header fails its check
  uint64_t streamEnd = 0;            // file source: where its stream ends, bytes; 0: at the file's end
  // File source: where a WAV file of MPEG audio has its "data" chunk (0 for other files),
  // and whether that chunk alone is passed on (towards a player, which seeks)
  uint64_t mpegDataStart = 0, mpegDataSize = 0;
  std::atomic<bool> mpegDataAlone{false};
  // File source: bytes between an MPEG audio file's tags and its frames that are never
  // passed on (FindJunkBeforeMpegFrames); both 0 for none
  uint64_t junkStart = 0, junkEnd = 0;
  std::atomic<uint64_t> sourceReadEnd{0};  // file source: furthest byte delivered since the last run
  // File source: where the last piece delivered ended (a demuxer that meets damage stops
  // asking there, whatever it read before)
  std::atomic<uint64_t> sourceLastEnd{0};
  uint64_t declaredSize = 0;         // file source: the size its header declares; 0 none
  uint64_t shortPacketCountAt = 0;   // file source: where an ASF count short of its packets lies; 0 none
  int64_t declaredDuration = 0;      // file source: an AVI's audio length from its header; 0 none
  // Audio renderer: the stream time (ns) of the first sample it was given since the graph
  // last ran, -1 before it; where the user's position counts from
  std::atomic<int64_t> playedFrom{-1};
  gulong playedProbe = 0;            // audio renderer: the probe that learns playedFrom

  ~Filter();
};

struct GraphEvent {
  long code;
  std::string text;  // the framework's error text for kEventErrorAbort
};

struct Graph {
  GstElement* pipeline = nullptr;    // owned
  std::vector<FilterRef> filters;    // the filters added, in order
  bool prerolled = false;            // paused once since the last reset: the next run starts over
  bool completed = false;            // the end of stream arrived
  int64_t duration = 0;              // 100-ns units, learnt while prerolling; 0 unknown
  std::string lastError;             // what the last failed preroll said
  // Playing time of the audio that reached the writing filter since the last run,
  // 100-ns units; -1 while no writer input is measured.
  std::atomic<int64_t> audioWritten{-1};

  // Events
  guint busWatch = 0;                // main-loop source of the bus watch
  guint postedEvent = 0;             // pending notification, 0 when none
  GraphNotify notify = nullptr;
  std::deque<GraphEvent> events;

  ~Graph();
};

// media_records.cpp: construction and kinds.
FilterRef NewFilterOf(FilterKind kind, GstElement* element);
PinRef NewPinOf(Filter* filter, PinDirection direction, const std::string& padName);
PinRef PinSelf(const Pin* pin);
bool IsSourceKind(FilterKind kind);    // file source, ASF reader, CD track reader
bool IsRendererKind(FilterKind kind);  // probe renderer, audio renderer

// media_caps.cpp
GstCaps* PcmCaps(const WaveFormat& format);
MediaType MediaTypeFromCaps(const GstCaps* caps);
// The rate and the bytes of one frame of the audio a caps event announces; false, and
// both left as they were, when the caps are not raw audio.
bool ReadAudioCaps(GstEvent* capsEvent, int* rate, int* bytesPerFrame);

// media_elements.cpp
GstElement* MakeElement(const char* factory, const char* name = nullptr);  // logs a missing one
GstElement* MakeChainBin(std::initializer_list<GstElement*> elements);
void SetCaps(GstElement* capsfilter, GstCaps* caps);  // takes the caps
// Links an existing output pad to the pad of the pin's peer, through the pin's parser.
bool LinkPinPad(Pin* out, GstPad* src);
// Waits up to timeout for one of the types of message on the bus, in slices between
// which the wait hook is called; nullptr when the time ran out.
GstMessage* PopBusMessage(GstBus* bus, GstClockTime timeout, GstMessageType types);

// media_input_clock.cpp: the writers' input clock.
// The encoders place their samples by the buffers' timestamps, which decoders do not
// always give exactly (a trimmed first buffer has none, WMA and VBR streams jitter,
// program streams start late). Every writer times its input itself: OnWriterInput, a
// probe on its sink pad with an InputClock as data, makes one segment from 0 and puts
// each buffer at the time of the samples before it.
struct InputClock {
  int rate = 0;
  int bytesPerFrame = 0;
  uint64_t samples = 0;  // received since the stream started
};
GstPadProbeReturn OnWriterInput(GstPad*, GstPadProbeInfo* info, gpointer data);

// media_tags.cpp: the tags an output carries over from its input.
// Title, artist, album, track number, date, genre, comment and cover picture, one
// value each (a description stands for a missing comment); nullptr for none.
GstTagList* CarriedTags(const GstTagList* tags);
// Cuts the tag events passing the element's pad down to the carried tags, the first
// value met since the stream started winning, and drops them all when the run leaves
// tags out (Batch.noTags).
void CarryTagsThrough(GstElement* element, const char* padName);
// Puts a tag event of tags (taken) in place of the one a probe holds.
GstPadProbeReturn ReplaceTagEvent(GstPadProbeInfo* info, GstTagList* tags);
// Keeps the carried part of the tags that reached a prerolled pad, for the writers
// that must know before the run whether there will be any (an ID3v2 tag).
void NoteCarriedTags(Graph* graph, GstPad* prerolledPad);
bool GraphCarriesTags(const Graph* graph);
// Adds the tags our own readers find in the file (ASF header, WAV chunks, ID3v2 tags
// at the start) to the tag events passing the decoder chain's output pad.
void AddFileTags(GstPad* decoded, const std::string& path);
// Gives the comments passing the element's pad the form an ID3v2 writer turns into
// the plain comment frame.
void CommentsForId3(GstElement* element, const char* padName);

// media_decoder_chain.cpp: decodebin ! audioconvert ! audioresample ! capsfilter.
struct Mp3Gapless;
FilterRef MakeDecoderChain();
// Trims the chain's decoded output to the samples an MP3's gapless tag declares.
void TrimDecodedOutput(Filter* chain, const Mp3Gapless& window);
// Notes, while the chain is prerolled, the decoders' own format (decodersCaps, decodersType).
void NoteDecodersOwnFormat(Filter* chain);
// Moves audio that starts before its segment to the segment's start, so that no
// parser or decoder behind the demuxer's pad clips its first samples.
void KeepLeadingAudio(GstPad* demuxerPad);
// Our own bus message: the decoder chain found no audio stream to link.
inline constexpr const char* kNoAudioMessage = "ql-no-audio";

// media_mp3.cpp: "MPEG Layer-3" encoder and "MPEG Layer-3 Decoder".
FilterRef MakeMp3Encoder();
FilterRef MakeMp3Decoder();
bool Mp3EncoderAccepts(const Pin* in, const MediaType& type);
bool Mp3DecoderAccepts(const Pin* in, const MediaType& type);
bool Mp3EncoderApplyOutputType(Pin* out, Pin* in, const MediaType& type);

// media_asf.cpp: "WM ASF Writer".
FilterRef MakeAsfWriter();
bool AsfWriterAccepts(const Pin* in, const MediaType& type);

// media_writers.cpp: "FLAC Writer", "Ogg Opus Writer", "Ogg Vorbis Writer", "AAC M4A Writer".
bool IsEncoderWriterKind(FilterKind kind);
FilterRef MakeEncoderWriter(FilterKind kind);
bool EncoderWriterAccepts(const Pin* in, const MediaType& type);

// media_splitters.cpp: MPEG-1, MPEG-2 and AVI splitters.
FilterRef MakeSplitter(FilterKind kind);
bool SplitterAccepts(const Pin* in, const MediaType& type);
bool ProbeSplitterOutputs(Filter* splitter, const std::string& path);

// media_filters.cpp: filters by kind (dispatching to the files above), renderers, CD reader.
FilterRef MakeFilterOfKind(FilterKind kind);
FilterRef MakeExtendedFilter(FilterKind kind);
bool ExtendedAccepts(const Pin* in, const MediaType& type);
// Settles an output pin's format on the GStreamer side before it is linked to in.
bool ApplyOutputType(Pin* out, Pin* in, const MediaType& type);
// Learns the output pins of a splitter from the file it reads.
bool ProbeSplitterPins(Filter* splitter, const std::string& path);
bool LoadCdTrack(Filter* filter, const std::string& path);

// media_connect.cpp: direct connections.
// Breaks the pin's connection and unlinks the pads behind it; nothing when unconnected.
void UnlinkPin(Pin* pin);

// media_graph.cpp: the graph, intelligent connect.
// Sets the pipeline back to NULL and forgets whatever it said on its bus, so that the
// next run starts from the first sample.
void ResetPipeline(Graph* graph);
// The framework's text of an error message (logged with its detail).
std::string ErrorText(GstMessage* message);
// Writes the pipeline as a dot file when GST_DEBUG_DUMP_DOT_DIR is set.
void DumpGraph(Graph* graph, const char* name);
// Pauses the graph and waits until it has prerolled, failed, or found no audio. On
// success the duration is kept and the graph stopped again.
bool PrerollGraph(Graph* graph, std::string* errorText);
