// Conversion to WMA:
//   source ! decoders ! WM ASF Writer (system profile of the chosen row; writes the file)
#include <iterator>

#include "engine/builder_steps.h"
#include "common/i18n.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "engine/source.h"
#include "media/wma_profiles.h"

// The profile of each row of the WMA format list: the format its label names. Row 9,
// "V70 28.8Kbps (AM Radio)", is the AM-radio format at 28.8 kbps, row 10 the FM-radio
// mono profile.
static const char* const kProfileOfRow[] = {
    kWMProfile_V40_6VoiceAudio,    kWMProfile_V40_16AMRadio,
    kWMProfile_V40_288FMRadioMono, kWMProfile_V40_288FMRadioStereo,
    kWMProfile_V40_56DialUpStereo, kWMProfile_V40_64Audio,
    kWMProfile_V40_96Audio,        kWMProfile_V40_128Audio,
    kWMProfile_V70_6VoiceAudio,    kProfile_288AMRadio,
    kWMProfile_V70_288FMRadioMono, kWMProfile_V70_56DialUpStereo,
    kWMProfile_V70_64AudioISDN,    kWMProfile_V70_64Audio,
    kWMProfile_V70_96Audio,        kWMProfile_V70_128Audio,
};

// profileIndex 0..15 selects a row; any other value keeps the writer's own profile.
bool ConvertToWma(const std::string& path, uint32_t profileIndex) {
  ConversionGraphState& g = ConversionGraph;

  g.graph = CreateGraph(kClsidFilterGraph);
  if (!g.graph) return Fail(_("エラー No.301"), _("グラフビルダーの作成に失敗しました。"));
  Graph* graph = g.graph.get();

  FilterRef source = AddSourceForFile(graph, path);
  if (!source) return Fail(_("エラー No302"), _("読み込み可能なメディアファイルではありません。"));

  FilterRef renderer = AddFilterByClsid(graph, kClsidDSoundRender);
  if (!ConnectFilters(graph, source.get(), renderer.get()))
    return Fail(_("エラー No302"), _("読み込み可能なメディアファイルではありません。"));

  GraphGetDuration(graph, &g.duration);
  PinRef decoded = DetachProbeRenderer(graph, renderer);

  const std::string outputPath = NameOutputFile(path, "wma");

  FilterRef writer =
      AddSinkFilterByFriendlyName(graph, kCategoryLegacyAmFilter, "WM ASF Writer", outputPath);
  if (!writer)
    return Fail(_("エラー No303"),
                _("wmaエンコードフィルターがありません。\nメディアプレーヤー7.1以降が必要です。"));

  if (!FilterHasProfileConfig(writer.get()) ||
      (profileIndex < std::size(kProfileOfRow) &&
       !FilterConfigureProfile(writer.get(), kProfileOfRow[profileIndex])))
    return Fail(_("エラー No304"), _("wmaの音質設定に失敗しました"));

  PinRef writerIn = FindPin(writer.get(), PinDirection::Input);
  if (!decoded || !writerIn || !GraphConnectDirect(graph, decoded.get(), writerIn.get(), nullptr))
    return Fail(_("エラー No207"), _("ASF FileWriterフィルターの入力ピンとの接続で失敗しました。"));
  decoded.reset();
  writerIn.reset();

  // A WMA file's size cannot be foreseen: the writer's stream position measures progress.
  g.positionSeeking = writer;
  StartConversionGraph(outputPath, false);
  return true;
}
