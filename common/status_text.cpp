#include "common/status_text.h"

#include <cstdio>

#include "common/app_settings.h"

std::mutex StatusLock;
std::string StatusFileName;
std::string StatusNotice;

bool IsEncodingMode(int32_t decodeMode) { return decodeMode != kModeWav && decodeMode != kModeExtract; }

static const char* Nickname(int32_t decodeMode) {
  // TRANSLATORS: the mascots' names, shown in the status window's captions.
  return IsEncodingMode(decodeMode) ? C_("mascot", "ゆまれ") : C_("mascot", "ろまれ");
}

std::string FormatProgressCaption(int32_t decodeMode, uint32_t i, uint32_t n, int percent) {
  char text[96];
  const char* name = Nickname(decodeMode);
  if (percent == -1 && n == 1)
    // TRANSLATORS: %s is a mascot's name; the caption is the status window's title, keep it short.
    std::snprintf(text, sizeof text, _("%s中"), name);
  else if (percent == -1)
    std::snprintf(text, sizeof text, _("(%u/%u) %s中"), i, n, name);
  else if (n == 1)
    std::snprintf(text, sizeof text, _("%d%% %s中"), percent, name);
  else
    std::snprintf(text, sizeof text, _("(%u/%u) %d%% %s中"), i, n, percent, name);
  return text;
}

std::string FormatFileDoneCaption(int32_t decodeMode, uint32_t i, uint32_t n) {
  char text[96];
  std::snprintf(text, sizeof text, _("(%u/%u) 100%% %s完了"), i, n, Nickname(decodeMode));
  return text;
}

std::string FormatFinishedCaption(int32_t decodeMode) {
  char text[96];
  std::snprintf(text, sizeof text, _("100%% -%s完了-"), Nickname(decodeMode));
  return text;
}
