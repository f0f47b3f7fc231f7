// Conversion to WAV:
//   source ! decoders ! WavDest ! File Writer                  (decoded format kept)
//   source ! decoders ! ACM Wrapper ! WavDest ! File Writer    (a chosen PCM format)
#include "common/target_format.h"
#include "common/i18n.h"
#include "engine/builder_steps.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "engine/source.h"

bool ConvertToWav(const std::string& path) {
  ConversionGraphState& g = ConversionGraph;

  g.graph = CreateGraph(kClsidFilterGraph);
  if (!g.graph) return Fail(_("エラー No.101"), _("グラフビルダーの作成に失敗しました。"));
  Graph* graph = g.graph.get();

  FilterRef source = AddSourceForFile(graph, path);
  if (!source) return Fail(_("エラー No.102"), _("ファイルの読み込みができませんでした。"));

  FilterRef renderer = AddFilterByClsid(graph, kClsidDSoundRender);
  if (!ConnectFilters(graph, source.get(), renderer.get()))
    return Fail(_("エラー No.103"), _("読み込み可能なメディアファイルではありません。"));

  GraphGetDuration(graph, &g.duration);
  PinRef decoded = DetachProbeRenderer(graph, renderer);

  const std::string outputPath = NameOutputFile(path, "wav");

  const TargetAudioFormat target = TargetFormat;
  if (target.samplesPerSec == 0) {
    // Keep the decoded format.
    FilterRef wavDest = AddFilterByClsid(graph, kClsidWavDest);
    PinRef wavDestIn = FindPin(wavDest.get(), PinDirection::Input);
    if (!decoded || !wavDestIn || !GraphConnectDirect(graph, decoded.get(), wavDestIn.get(), nullptr))
      return Fail(_("エラー No.104"), _("WavDestフィルターとの接続で失敗しました。"));

    MediaType type;
    PinConnectionMediaType(wavDestIn.get(), &type);
    const WaveFormat& f = type.format;
    g.expectedBytes = int64_t{f.bitsPerSample / 8} * f.samplesPerSec * f.channels * g.duration /
                      kUnitsPerSecond;
    ClearMediaType(&type);

    FilterRef writer = AddSinkFilterByClsid(graph, kClsidFileWriter, outputPath);
    if (!ConnectFiltersDirect(graph, wavDest.get(), writer.get(), nullptr))
      return Fail(_("エラー No.105"), _("ファイルライターのフィルターとの接続で失敗しました。"));
  } else {
    // Convert to the chosen PCM format.
    FilterRef acm = AddFilterByClsid(graph, kClsidACMWrapper);
    if (!acm) return Fail(_("エラー No.106"), _("ACM Wrapperフィルターの登録で失敗しました。"));

    PinRef acmIn = FindPin(acm.get(), PinDirection::Input);
    if (!decoded || !GraphConnectDirect(graph, decoded.get(), acmIn.get(), nullptr))
      return Fail(_("エラー No.107"), _("ACM Wrapperフィルターとの接続で失敗しました。"));

    const uint32_t bytesPerSec = target.bitsPerSample / 8u * target.channels * target.samplesPerSec;
    PinRef acmOut = FindPin(acm.get(), PinDirection::Output);
    std::optional<MediaType> pcm = FindWaveMediaType(acmOut.get(), target.samplesPerSec, bytesPerSec,
                                                     target.bitsPerSample, target.channels);
    if (!pcm) return Fail(_("エラー No.108"), _("音質フォーマットを設定できませんでした"));

    g.expectedBytes = int64_t{bytesPerSec} * g.duration / kUnitsPerSecond;

    FilterRef wavDest = AddFilterByClsid(graph, kClsidWavDest);
    if (!wavDest) return Fail(_("エラー No.109"), _("WavDestフィルターがありません。"));

    if (!ConnectFiltersDirect(graph, acm.get(), wavDest.get(), &*pcm))
      return Fail(_("エラー No.110"), _("音質フォーマットを設定できませんでした"));

    FilterRef writer = AddSinkFilterByClsid(graph, kClsidFileWriter, outputPath);
    if (!writer) return Fail(_("エラー No.111"), _("FileWriterフィルターがありません。"));

    if (!ConnectFilters(graph, wavDest.get(), writer.get()))
      return Fail(_("エラー No.112"), _("ファイルライターのフィルターとの接続で失敗しました。"));
  }

  return StartConversionGraph(outputPath, true);
}
