#include "engine/source.h"

#include "common/batch.h"
#include "common/error_box.h"
#include "common/i18n.h"

FilterRef AddSourceForFile(Graph* graph, const std::string& path) {
  const std::string extension = GetLowerExtension(path);

  if (extension == ".asf") {
    FilterRef reader = CreateFilter(kClsidWMAsfReader);
    if (!reader) return nullptr;
    if (!FilterLoadFile(reader.get(), path)) {
      ShowErrorBox(_("エラー No504"), _("ファイルを読み込めません"));
      return nullptr;
    }
    if (!GraphAddFilter(graph, reader, "ASF Reader")) return nullptr;
    return reader;
  }

  if (extension == ".cda") {
    FilterRef reader = CreateFilter(kClsidCdTrackReader);
    if (!reader) return nullptr;
    if (!FilterLoadFile(reader.get(), path)) {
      ShowErrorBox(_("エラー No505"), _("ファイルを読み込めません"));
      return nullptr;
    }
    if (!GraphAddFilter(graph, reader, "WMP CD FILTER")) {
      ShowErrorBox(_("エラー No005"), _("ＣＤを読み込むフィルターの登録に失敗しました"));
      return nullptr;
    }
    return reader;
  }

  return GraphAddSourceFilter(graph, path);
}
