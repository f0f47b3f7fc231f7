// Conversion to the batch mode's own formats:
//   source ! decoders ! FLAC Writer | Ogg Opus Writer | Ogg Vorbis Writer | AAC M4A Writer
// (each writer encodes, multiplexes and writes the file; see media/writers.h)
#include <glib.h>

#include "common/app_settings.h"
#include "common/i18n.h"
#include "common/target_format.h"
#include "engine/builder_steps.h"
#include "engine/builders.h"
#include "engine/graph.h"
#include "engine/source.h"
#include "media/writers.h"

struct EncodedMode {
  int32_t mode;
  const char* writerName;
  const char* codecName;  // as the messages name it
  const char* extension;
};

static const EncodedMode kEncodedModes[] = {
    {kModeFlac, kFlacWriterName, "FLAC", "flac"},
    {kModeOpus, kOpusWriterName, "Opus", "opus"},
    {kModeVorbis, kVorbisWriterName, "Vorbis", "ogg"},
    {kModeAac, kAacWriterName, "AAC", "m4a"},
};

static const EncodedMode* FindEncodedMode(int32_t mode) {
  for (const EncodedMode& entry : kEncodedModes)
    if (entry.mode == mode) return &entry;
  return nullptr;
}

const char* EncodedModeExtension(int32_t mode) {
  const EncodedMode* entry = FindEncodedMode(mode);
  return entry ? entry->extension : nullptr;
}

static double EncoderSettingFor(int32_t mode) {
  const EncoderSettings& choice = EncoderChoice;
  switch (mode) {
    case kModeFlac: return choice.flacLevel;
    case kModeOpus: return choice.opusKbps;
    case kModeVorbis: return choice.vorbisQuality;
    default: return choice.aacKbps;
  }
}

bool ConvertToEncoded(const std::string& path, int32_t mode) {
  ConversionGraphState& g = ConversionGraph;
  const EncodedMode* format = FindEncodedMode(mode);
  if (!format) return Fail(_("エラー No.701"), _("グラフビルダーの作成に失敗しました。"));

  g.graph = CreateGraph(kClsidFilterGraph);
  if (!g.graph) return Fail(_("エラー No.701"), _("グラフビルダーの作成に失敗しました。"));
  Graph* graph = g.graph.get();

  // The source, and proof that its audio decodes.
  FilterRef source = AddSourceForFile(graph, path);
  if (!source) return Fail(_("エラー No.702"), _("読み込み可能なメディアファイルではありません。"));

  FilterRef renderer = AddFilterByClsid(graph, kClsidDSoundRender);
  if (!ConnectFilters(graph, source.get(), renderer.get()))
    return Fail(_("エラー No.702"), _("読み込み可能なメディアファイルではありません。"));

  GraphGetDuration(graph, &g.duration);
  PinRef decoded = DetachProbeRenderer(graph, renderer);

  // A missing element is named with the package that brings it.
  const std::string package = MissingWriterPackage(format->writerName);
  if (!package.empty()) {
    g_autofree char* text = g_strdup_printf(_("%sエンコードフィルターがありません。\nDebianパッケージ %s が必要です。"),
                                            format->codecName, package.c_str());
    return Fail(_("エラー No.703"), text);
  }

  const std::string outputPath = NameOutputFile(path, format->extension);
  FilterRef writer = AddSinkFilterByFriendlyName(graph, kCategoryLegacyAmFilter, format->writerName, outputPath);
  if (!writer) return Fail(_("エラー No.705"), _("ファイルライターのフィルターとの接続で失敗しました"));
  if (!FilterSetEncoderSetting(writer.get(), EncoderSettingFor(mode)))
    return Fail(_("エラー No.704"), _("エンコーダーの設定に失敗しました。"));

  PinRef writerIn = FindPin(writer.get(), PinDirection::Input);
  if (!decoded || !writerIn || !GraphConnectDirect(graph, decoded.get(), writerIn.get(), nullptr))
    return Fail(_("エラー No.705"), _("ファイルライターのフィルターとの接続で失敗しました"));
  decoded.reset();
  writerIn.reset();

  // A compressed file's size cannot be foreseen: the writer's stream position measures progress.
  g.positionSeeking = writer;
  StartConversionGraph(outputPath, false);
  return true;
}
