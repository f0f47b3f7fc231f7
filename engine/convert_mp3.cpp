// Conversion to MP3:
//   source ! decoders ! ACM Wrapper ! MPEG Layer-3 ! File Writer             (plain MP3, Xing frame)
//   source ! decoders ! ACM Wrapper ! MPEG Layer-3 ! WavDest ! File Writer   (RIFF WAVE wrapper)
#include <optional>

#include "common/app_settings.h"
#include "common/i18n.h"
#include "common/target_format.h"
#include "engine/builder_steps.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "engine/source.h"

// The PCM rate the encoder is fed: its 16000 and 24000 Hz formats take PCM at twice
// the rate, which the encoder resamples itself.
static uint32_t PcmRateForMp3Rate(uint32_t mp3Rate) {
  switch (mp3Rate) {
    case 16000: return 32000;
    case 24000: return 48000;
    default: return mp3Rate;
  }
}

// The first MP3 type the encoder offers with the entry's byte rate, sample rate and
// channels; bits per sample are not compared (MP3 types have none).
static std::optional<MediaType> FindMp3MediaType(const Pin* pin, const TargetAudioFormat& target) {
  for (const MediaType& type : PinEnumMediaTypes(pin)) {
    const WaveFormat& f = type.format;
    if (type.hasFormat && f.avgBytesPerSec == target.avgBytesPerSec && f.samplesPerSec == target.samplesPerSec &&
        f.channels == target.channels)
      return type;
  }
  return std::nullopt;
}

bool ConvertToMp3(const std::string& path) {
  ConversionGraphState& g = ConversionGraph;
  const TargetAudioFormat target = TargetFormat;

  // 1-3: the source, and proof that its audio decodes.
  g.graph = CreateGraph(kClsidFilterGraph);
  if (!g.graph) return Fail(_("エラー No.201"), _("グラフビルダーの作成に失敗しました。"));
  Graph* graph = g.graph.get();

  FilterRef source = AddSourceForFile(graph, path);
  if (!source) return Fail(_("エラー No.201"), _("ファイルの読み込みで失敗しました。"));

  FilterRef renderer = AddFilterByClsid(graph, kClsidDSoundRender);
  if (!ConnectFilters(graph, source.get(), renderer.get()))
    return Fail(_("エラー No.202"), _("ファイルの読み込みで失敗しました。"));

  // 4-6: the expected size follows from the chosen entry, before any encoder exists.
  g.duration = 0;
  GraphGetDuration(graph, &g.duration);
  g.expectedBytes = int64_t{target.avgBytesPerSec} * g.duration / kUnitsPerSecond;
  PinRef decoded = DetachProbeRenderer(graph, renderer);

  // 7-9: decoded audio into the ACM Wrapper.
  FilterRef acm = AddFilterByClsid(graph, kClsidACMWrapper);
  if (!acm) return Fail(_("エラー No.210"), _("ACM Wrapperフィルターの登録で失敗しました。"));

  PinRef acmIn = FindPin(acm.get(), PinDirection::Input);
  if (!decoded || !GraphConnectDirect(graph, decoded.get(), acmIn.get(), nullptr))
    return Fail(_("エラー No.211"), _("ACM Wrapperフィルターとの接続で失敗しました。"));
  decoded.reset();
  acmIn.reset();

  // 10: the PCM the encoder is fed.
  const uint32_t pcmRate = PcmRateForMp3Rate(target.samplesPerSec);
  const uint32_t pcmBytesPerSec = target.bitsPerSample / 8u * target.channels * pcmRate;
  PinRef acmOut = FindPin(acm.get(), PinDirection::Output);
  std::optional<MediaType> pcm =
      FindWaveMediaType(acmOut.get(), pcmRate, pcmBytesPerSec, target.bitsPerSample, target.channels);
  if (!pcm) return Fail(_("エラー No.212"), _("音質フォーマットを設定できませんでした"));

  // 11-13: the encoder, fed with that PCM.
  FilterRef encoder = AddFilterByFriendlyName(graph, kCategoryAudioCompressor, "MPEG Layer-3");
  if (!encoder) return Fail(_("エラー No213"), _("MP3 エンコードフィルターがありません"));

  if (!ConnectFiltersDirect(graph, acm.get(), encoder.get(), &*pcm))
    return Fail(_("エラー No.214"), _("音質フォーマットを設定できませんでした"));
  ClearMediaType(&*pcm);
  acmOut.reset();

  // 14: the encoder's MP3 type for the entry.
  PinRef encoderOut = FindPin(encoder.get(), PinDirection::Output);
  std::optional<MediaType> mp3 = FindMp3MediaType(encoderOut.get(), target);
  encoderOut.reset();

  // 15: the output file.
  const std::string outputPath = NameOutputFile(path, "mp3");

  // 16-19: the writers.
  if (Settings.Riff) {
    FilterRef wavDest = AddFilterByClsid(graph, kClsidWavDest);
    if (!wavDest) return Fail(_("エラー No207"), _("WavDestフィルターがありません"));

    FilterRef writer = AddSinkFilterByClsid(graph, kClsidFileWriter, outputPath);
    if (!mp3 || !ConnectFiltersDirect(graph, encoder.get(), wavDest.get(), &*mp3))
      return Fail(_("エラー No208"), _("エンコードコーデックのビットレートの設定に失敗しました"));

    if (!writer || !ConnectFiltersDirect(graph, wavDest.get(), writer.get(), nullptr))
      return Fail(_("エラー No209"), _("ファイルライターのフィルターとの接続で失敗しました"));
  } else {
    // A plain MP3 stream: the encoder writes straight to the file, behind a Xing frame.
    FilterRef writer = AddSinkFilterByClsid(graph, kClsidFileWriter, outputPath);
    if (!mp3) return Fail(_("エラー No208"), _("エンコードコーデックのビットレートの設定に失敗しました"));
    if (!writer) return Fail(_("エラー No209"), _("ファイルライターのフィルターとの接続で失敗しました"));
    if (!ConnectFiltersDirect(graph, encoder.get(), writer.get(), &*mp3))
      return Fail(_("エラー No208"), _("エンコードコーデックのビットレートの設定に失敗しました"));
  }

  // 20-21
  mp3.reset();
  encoder.reset();
  source.reset();
  return StartConversionGraph(outputPath, true);
}
