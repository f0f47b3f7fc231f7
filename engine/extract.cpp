// Extraction as-is: the first audio stream of a container, stored without decoding:
//   .vob          source ! MPEG-2 splitter ! Dump                      -> .ac3
//   .mpg, .mpeg   source ! MPEG-1 splitter ! Dump                      -> .mp2
//   .avi          source ! AVI splitter ! WavDest ! File Writer        -> .wav or .mp3
// The extension names the stream's codec: MPEG audio is ".mp2", AC3 ".ac3" and DTS
// ".dts" whichever program stream holds it. An AVI stream is copied only in a form a
// wave file holds playably (PCM, ADPCM, MPEG audio, AC3); anything else (AAC, Vorbis,
// a damaged "strf") is refused.
// An MPEG stream of PCM (DVD LPCM) has no form of its own outside the container; its
// samples are written as a wave file instead:
//   .vob, .mpg    source ! MPEG splitter ! WavDest ! File Writer       -> .wav
// The splitters' other output pins stay unconnected.
#include "common/batch.h"
#include "common/i18n.h"
#include "engine/builder_steps.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "engine/source.h"

// Bytes per second times the duration in 100-ns units, truncated; 0 when a header
// full of nonsense would overflow it (no progress is better than a wrong one).
static int64_t ExpectedBytes(int64_t bytesPerSecond, int64_t duration) {
  int64_t product = 0;
  if (__builtin_mul_overflow(bytesPerSecond, duration, &product)) return 0;
  return product / kUnitsPerSecond;
}

// An MPEG container: its splitter, the extension of its audio stream's file and the
// four messages of its branch.
struct MpegBranch {
  const char* splitterClsid;
  const char* extension;
  const char* noSplitter[2];
  const char* notReadable[2];
  const char* noDump[2];
  const char* dumpNotConnected[2];
};

static const MpegBranch kVobBranch = {
    kClsidMMSPLITTER,
    "ac3",
    {N_("エラー No.403"), N_("MPEG2 スプリッターフィルターの作成に失敗しました。")},
    {N_("エラー No.404"), N_("これは読み込み可能なMPEG-2形式のファイルではありません。")},
    {N_("エラー No.405"), N_("Dumpフィルターの作成で失敗しました。")},
    {N_("エラー No.406"), N_("MPEG-2スプリッターとDumpフィルターの接続で失敗しました。")},
};

static const MpegBranch kMpgBranch = {
    kClsidMPEG1Splitter,
    "mp2",
    {N_("エラー No.407"), N_("MPEG-1 スプリッターフィルターの作成に失敗しました。")},
    {N_("エラー No.408"), N_("これは読み込み可能なMPEG-1形式のファイルではありません。")},
    {N_("エラー No.409"), N_("Dumpフィルターの作成で失敗しました。")},
    {N_("エラー No.410"), N_("MPEG-1スプリッターとDumpフィルターの接続で失敗しました。")},
};

// The extension of an MPEG stream's file: its codec's, or the branch's own when the
// pad does not say.
static const char* MpegStreamExtension(const std::vector<MediaType>& types, const char* branchExtension) {
  if (types.empty()) return branchExtension;
  switch (types.front().format.formatTag) {
    case kWaveFormatMpeg:
    case kWaveFormatMpegLayer3: return "mp2";
    case kWaveFormatDolbyAc3: return "ac3";
    case kWaveFormatDts: return "dts";
    default: return branchExtension;
  }
}

// Whether an AVI audio stream's wave format, copied into a wave file, plays: a codec
// wave files carry and a record whose numbers make sense.
static bool CopyableAviStream(const MediaType& type) {
  const WaveFormat& f = type.format;
  if (!type.hasFormat || f.channels == 0 || f.channels > 64 || f.samplesPerSec == 0 || f.samplesPerSec > 768000)
    return false;
  switch (f.formatTag) {
    case kWaveFormatPcm:
    case kWaveFormatIeeeFloat:
    case kWaveFormatAlaw:
    case kWaveFormatMulaw:
    case kWaveFormatExtensible: return f.bitsPerSample >= 8 && f.blockAlign == f.channels * ((f.bitsPerSample + 7) / 8);
    case kWaveFormatAdpcm:
    case kWaveFormatImaAdpcm: return f.blockAlign > 0;
    case kWaveFormatMpeg:
    case kWaveFormatMpegLayer3:
    case kWaveFormatDolbyAc3: return true;
    default: return false;
  }
}

// source ! MPEG splitter ! Dump, or WavDest and File Writer for PCM. Returns the
// output path, or "" after a message.
static std::string BuildMpegBranch(Graph* graph, Filter* source, const std::string& path,
                                   const MpegBranch& branch) {
  auto fail = [](const char* const (&message)[2]) {
    Fail(_(message[0]), _(message[1]));
    return std::string();
  };

  FilterRef splitter = AddFilterByClsid(graph, branch.splitterClsid);
  if (!splitter) return fail(branch.noSplitter);

  if (!ConnectFiltersDirect(graph, source, splitter.get(), nullptr)) return fail(branch.notReadable);

  // The first output pin whose first type is audio; none makes the connection fail.
  PinRef audio = FindAudioPin(splitter.get(), PinDirection::Output);
  std::vector<MediaType> types = PinEnumMediaTypes(audio.get());
  const bool pcm = !types.empty() && types.front().hasFormat && types.front().format.formatTag == kWaveFormatPcm;

  const std::string outputPath = NameOutputFile(path, pcm ? "wav" : MpegStreamExtension(types, branch.extension));

  if (pcm) {
    FilterRef wavDest = AddFilterByClsid(graph, kClsidWavDest);
    FilterRef writer = AddSinkFilterByClsid(graph, kClsidFileWriter, outputPath);
    if (!wavDest || !writer) return fail(branch.noDump);
    PinRef wavDestIn = FindPin(wavDest.get(), PinDirection::Input);
    if (!wavDestIn || !GraphConnectDirect(graph, audio.get(), wavDestIn.get(), nullptr) ||
        !ConnectFiltersDirect(graph, wavDest.get(), writer.get(), nullptr))
      return fail(branch.dumpNotConnected);
    return outputPath;
  }

  FilterRef dump = AddSinkFilterByClsid(graph, kClsidDump, outputPath);
  if (!dump) return fail(branch.noDump);

  PinRef dumpIn = FindPin(dump.get(), PinDirection::Input);
  if (!audio || !dumpIn || !GraphConnectDirect(graph, audio.get(), dumpIn.get(), nullptr))
    return fail(branch.dumpNotConnected);
  return outputPath;
}

// source ! AVI splitter ! WavDest ! File Writer. Sets expectedBytes. Returns the
// output path, or "" after a message.
static std::string BuildAviBranch(Graph* graph, Filter* source, const std::string& path) {
  ConversionGraphState& g = ConversionGraph;

  FilterRef splitter = AddFilterByClsid(graph, kClsidAviSplitter);
  if (!splitter) {
    Fail(_("エラー No.411"), _("AVI スプリッターフィルターの作成に失敗しました。"));
    return {};
  }

  if (!ConnectFiltersDirect(graph, source, splitter.get(), nullptr)) {
    Fail(_("エラー No.412"), _("これは読み込み可能なAVI形式のファイルではありません。"));
    return {};
  }

  PinRef audio = FindAudioPin(splitter.get(), PinDirection::Output);
  if (!audio) {
    Fail(_("エラー No.413"), _("AVIファイルの音声部分を認識できませんでした。"));
    return {};
  }

  // PCM and ADPCM (bits per sample given) make a "wav" file, compressed streams that
  // give none (MP3) an "mp3" one. 4-bit ADPCM rounds to 0 bytes per sample: no
  // expected size, so no percentage.
  std::vector<MediaType> types = PinEnumMediaTypes(audio.get());
  MediaType type = types.empty() ? MediaType{} : types.front();
  if (!CopyableAviStream(type)) {
    Fail(_("エラー No.413"), _("AVIファイルの音声部分を認識できませんでした。"));
    return {};
  }
  const WaveFormat& f = type.format;
  const bool coded = f.bitsPerSample == 0;
  const int64_t bytesPerSecond = coded ? int64_t{f.avgBytesPerSec}
                                       : int64_t{f.bitsPerSample / 8} * f.samplesPerSec * f.channels;
  g.expectedBytes = ExpectedBytes(bytesPerSecond, g.duration);
  ClearMediaType(&type);

  const std::string outputPath = NameOutputFile(path, coded ? "mp3" : "wav");

  FilterRef wavDest = AddFilterByClsid(graph, kClsidWavDest);
  if (!wavDest) {
    Fail(_("エラー No.413"), _("WavDestフィルターの作成で失敗しました。"));
    return {};
  }

  PinRef wavDestIn = FindPin(wavDest.get(), PinDirection::Input);
  if (!wavDestIn || !GraphConnectDirect(graph, audio.get(), wavDestIn.get(), nullptr)) {
    Fail(_("エラー No.414"), _("AVIスプリッターとWavDestフィルターの接続で失敗しました。"));
    return {};
  }

  FilterRef writer = AddSinkFilterByClsid(graph, kClsidFileWriter, outputPath);
  if (!writer) {
    Fail(_("エラー No.415"), _("ファイルライタフィルターの作成で失敗しました。"));
    return {};
  }

  if (!ConnectFiltersDirect(graph, wavDest.get(), writer.get(), nullptr)) {
    Fail(_("エラー No.416"), _("WavDestフィルターとファイルライタフィルターの接続で失敗しました。"));
    return {};
  }
  return outputPath;
}

bool ExtractAsIs(const std::string& path) {
  ConversionGraphState& g = ConversionGraph;

  const std::string extension = GetLowerExtension(path);
  const bool isVob = extension == ".vob";
  const bool isMpg = extension == ".mpg" || extension == ".mpeg";
  const bool isAvi = extension == ".avi";
  if (!isVob && !isMpg && !isAvi)
    return Fail(_("エラーNo.401"), _("そのまま抽出できるのはmpg,avi,vobだけです"));

  // The duration, from a playback graph of the file's own that never runs.
  g.graph = CreateGraph(kClsidFilterGraph);
  if (!g.graph) return Fail(_("エラー No.402"), _("グラフビルダーの作成に失敗しました。"));
  GraphRenderFile(g.graph.get(), path);
  if (!GraphGetDuration(g.graph.get(), &g.duration)) g.duration = 0;
  g.graph.reset();

  g.graph = CreateGraph(kClsidFilterGraph);
  if (!g.graph) return Fail(_("エラー No.402"), _("グラフビルダーの作成に失敗しました。"));
  Graph* graph = g.graph.get();

  // A missing source makes the connection to the splitter fail, with that branch's message.
  FilterRef source = AddSourceForFile(graph, path);

  const std::string outputPath = isAvi   ? BuildAviBranch(graph, source.get(), path)
                                 : isVob ? BuildMpegBranch(graph, source.get(), path, kVobBranch)
                                         : BuildMpegBranch(graph, source.get(), path, kMpgBranch);
  if (outputPath.empty()) return false;

  source.reset();
  return StartConversionGraph(outputPath, isAvi);
}
