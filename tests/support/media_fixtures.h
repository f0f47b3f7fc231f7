// Real media for the engine tests, made by ffmpeg, and an independent judge of
// outputs (ffprobe, ffmpeg and a small RIFF reader). Nothing here uses GStreamer.
//
// Failures of the tools are reported to GoogleTest (ADD_FAILURE) with the command
// and its error text, and the function returns an empty result.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mediatest {

constexpr double kToneHz = 440.0;         // the tone of every fixture's (first) audio stream
constexpr double kSecondToneHz = 1000.0;  // the tone of the second stream of VobTwoAudio

// A unique, empty folder under /tmp, removed with everything in it on destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs argv[0] (searched in PATH, no shell) and returns its standard output, which
// must be text (it ends at the first zero byte). exitStatus: the exit code, 128 +
// the signal number for a killed child, -1 when it could not be started.
std::string RunCommand(const std::vector<std::string>& argv, int* exitStatus = nullptr,
                       std::string* stderrText = nullptr);

// Fails the test for every GLib/GStreamer CRITICAL or WARNING line in a program's
// standard error (RunCommand checks every command's).
void ExpectNoGLibNoise(const std::string& stderrText);

// The program under test run with args, prefixed by the wrapper command when one is
// given (env, timeout, ...).
struct ProgramRun {
  int status = -1;
  std::string out, err;
};
ProgramRun RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {});

// Starts argv[0] (searched in PATH) in the background, standard error into the file
// stderrPath; its pid, or -1. WaitCommand: its exit status as RunCommand gives it.
pid_t StartCommand(const std::vector<std::string>& argv, const std::string& stderrPath);
int WaitCommand(pid_t pid);

// True when both ffmpeg and ffprobe run.
bool HaveFfmpeg();

enum class Fixture {
  Mp3Stereo44k,    // .mp3  MPEG-1 layer 3, 44100 Hz stereo, 128 kbps CBR (LAME Info frame)
  Mp3Mono22k,      // .mp3  MPEG-2 layer 3, 22050 Hz mono, 64 kbps CBR
  Wav8BitMono8k,   // .wav  PCM u8, 8000 Hz mono
  Wav16Stereo44k,  // .wav  PCM s16le, 44100 Hz stereo
  Wav24Stereo44k,  // .wav  PCM s24le, 44100 Hz stereo (WAVE_FORMAT_EXTENSIBLE)
  Mpeg1PsMp2,      // .mpg  MPEG-1 program stream: mpeg1video + MP2 44100 Hz stereo 192 kbps
  Mpeg1PsAc3,      // .mpg  MPEG-1 program stream: mpeg1video + AC3 48000 Hz stereo 192 kbps
  VobAc3Stereo,    // .vob  mpeg2video + AC3 48000 Hz stereo 192 kbps
  VobAc3Surround,  // .vob  mpeg2video + AC3 48000 Hz 5.1 448 kbps (tone in the centre)
  VobTwoAudio,     // .vob  mpeg2video + AC3 stereo kToneHz + AC3 stereo kSecondToneHz
  VobMp2Ac3,       // .vob  mpeg2video + MP2 (0xC0) stereo kToneHz + AC3 (0x80) stereo kSecondToneHz
  VobDts,          // .vob  mpeg2video + DTS 48000 Hz stereo (private stream 0x88)
  VobLpcm,         // .vob  mpeg2video + DVD LPCM 16-bit 48000 Hz stereo (private stream 0xA0)
  VobVideoOnly,    // .vob  mpeg2video, no audio
  MpgVideoOnly,    // .mpg  MPEG-1 program stream, mpeg1video, no audio
  AviPcm,          // .avi  mpeg1video + PCM s16le 44100 Hz stereo (tag 0x0001)
  AviMp3,          // .avi  mpeg1video + MP3 44100 Hz stereo 128 kbps (tag 0x0055)
  AviMsAdpcm,      // .avi  mpeg1video + MS ADPCM 44100 Hz stereo (tag 0x0002)
  AviImaAdpcm,     // .avi  mpeg1video + IMA ADPCM 4-bit 44100 Hz stereo (tag 0x0011)
  AviVideoOnly,    // .avi  mpeg1video, no audio
  WmvWma,          // .wmv  ASF: wmv2 + WMA v2 44100 Hz stereo 128 kbps (tag 0x0161)
  TextAsMpg,       // .mpg  plain text, not media
  TruncatedWav,    // .wav  the first half of a Wav16Stereo44k (header claims more data)
  TruncatedMpg,    // .mpg  the first half of a Mpeg1PsMp2
  // Inputs that once converted short or never ended (sox and lame are needed: HaveTool)
  Wav8BitOdd,         // .wav  sox: PCM u8 8000 Hz mono, an odd number of samples (a pad byte ends the data)
  WavHeaderOnly,      // .wav  the 44-byte header of a Wav16Stereo44k, its data chunk claiming the audio
  WavCutInFormat,     // .wav  a Wav16Stereo44k cut inside its "fmt " chunk
  WavCutAfterList,    // .wav  the header of a Wav16Stereo44k with a LIST chunk, cut after the LIST header
  Mp3LameCbr,         // .mp3  lame 128 kbps, 44100 Hz stereo: Info frame with a LAME tag
  Mp3LameVbr,         // .mp3  lame -V 4: Xing frame with a LAME tag
  Mp3LameNoXing,      // .mp3  lame -t 128 kbps: no Info frame
  Mp3LameVbrNoXing,   // .mp3  lame -t -V 2, half silence then noise: a length known only by estimate
  Mp3FfmpegNoXing,    // .mp3  ffmpeg's libmp3lame without a Xing frame
  Mp3Id3Tag100k,      // .mp3  a Mp3LameVbr behind a 100 KB ID3v2 tag
  Mp3Id3Tag1M,        // .mp3  a Mp3Stereo44k ("Lavc" tag) behind a 1 MB ID3v2 tag
  Mp3XingClaimsMore,  // .mp3  a Mp3LameVbr whose Xing frame claims four times its frames
};

// True when the program runs from PATH (for sox and lame).
bool HaveTool(const std::string& name);

// A short, stable name ("Mp3Stereo44k") for test output.
const char* FixtureName(Fixture f);

// Makes the file anew in dir and returns its path; "" on failure. name is the
// exact file name to use; empty means the fixture's name with the extension suited
// to the kind. Video is 160x120 at 25 fps. Same arguments give
// the same bytes.
std::string MakeFixture(Fixture f, const std::string& dir, double seconds = 3.0,
                        const std::string& name = "");

// An audio-only file of a kToneHz sine of the given rate and channels, encoded by
// the ffmpeg output options outputArgs (e.g. {"-c:a", "pcm_s16le", "-f", "wav"}).
// Returns path, or "" on failure.
std::string MakeToneFile(const std::string& path, int rate, int channels, double seconds,
                         const std::vector<std::string>& outputArgs);

// The first audio stream as ffprobe sees it. codec is empty when the file has no
// audio stream (or is not media).
struct AudioInfo {
  std::string codec;       // ffprobe codec_name: "mp3", "pcm_u8", "ac3", "wmav2", ...
  std::string formatName;  // container: "mp3", "wav", "mpeg", "avi", "asf", ...
  int sampleRate = 0;      // Hz
  int channels = 0;
  int bitsPerSample = 0;   // coded bits (16, 8, 4 for ADPCM); 0 for MP3, AC3, WMA
  double duration = 0;     // seconds: the stream's, else the container's
  int64_t bitRate = 0;     // b/s of the stream; 0 when unknown
};
AudioInfo ProbeAudio(const std::string& path);

// Sample frames (per channel) that ffmpeg decodes from the first audio stream; -1
// when ffmpeg fails (no audio stream, not media) or decodes nothing.
int64_t DecodedSampleCount(const std::string& path);

// The presentation times in seconds of the first audio stream's packets, in file order.
std::vector<double> PacketTimes(const std::string& path);

// Decoded samples as interleaved s16. rate and channels 0 keep the stream's own;
// otherwise ffmpeg resamples / remixes. Empty on failure.
std::vector<int16_t> DecodeToS16(const std::string& path, int rate = 0, int channels = 0,
                                 int streamIndex = 0);

// The dominant frequency in Hz of a mono signal (counted rising zero crossings,
// with hysteresis against noise); 0 for silence or less than one period.
double DominantFrequency(const std::vector<int16_t>& mono, int rate);

// The whole file as bytes; "" when it cannot be read. WriteFileBytes replaces the
// file's content; false when it cannot.
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);

// The names of the entries of a folder (hidden ones too), sorted; empty when it
// cannot be read.
std::vector<std::string> FolderEntries(const std::string& folder);

// The audio stream streamIndex copied by ffmpeg without decoding into a file of
// the given format ("mp2", "ac3", "mp3", "wav") in dir; returns its path. For
// "mp3" no ID3 tags and no Xing frame are written, so the file holds the stream's
// packets only.
std::string FfmpegStreamCopy(const std::string& in, const std::string& format,
                             const std::string& dir, int streamIndex = 0);

// A wave format record as found in a file, read without any media library.
struct RiffFormat {
  int formatTag = 0;
  int channels = 0;
  int64_t samplesPerSec = 0;
  int64_t avgBytesPerSec = 0;
  int blockAlign = 0;
  int bitsPerSample = 0;
  std::string extra;  // the cbSize bytes after the 18-byte record
};

struct RiffChunk {
  std::string id;       // four characters
  uint64_t offset = 0;  // of the chunk header in the file
  uint32_t size = 0;    // as written in the header (without the pad byte)
};

// The top level of a RIFF WAVE file.
struct RiffWave {
  bool valid = false;             // "RIFF" ... "WAVE" with a readable "fmt " chunk
  uint32_t riffSize = 0;          // size field of the RIFF header
  uint64_t fileSize = 0;          // bytes on disk
  RiffFormat format;              // the "fmt " chunk
  std::vector<RiffChunk> chunks;  // in file order, up to the end of the file
  uint64_t dataOffset = 0;        // first byte of the "data" payload; 0 when absent
  uint32_t dataSize = 0;          // size field of the "data" chunk
};
RiffWave ReadRiffWave(const std::string& path);

// The size of the unnamed output file the program pid writes in folder (an O_TMPFILE
// file shows in /proc as "FOLDER/#INODE (deleted)"); -1 when it has none open.
off_t UnnamedOutputSize(pid_t pid, const std::string& folder);

// The "strf" record of the audioIndex-th audio stream ("auds") of an AVI file.
bool ReadAviAudioFormat(const std::string& path, int audioIndex, RiffFormat* format);

}  // namespace mediatest
