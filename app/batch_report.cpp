// The report of a batch: one JSON line per input as it ends, each written whole at once.
#include "app/batch_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>

#include <glib.h>

static int reportFd = -1;

bool OpenBatchReport(const std::string& path, std::string* error) {
  reportFd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (reportFd >= 0) return true;
  *error = g_strerror(errno);
  return false;
}

static std::string Escape(const char* format, unsigned char c) {
  char text[8];
  std::snprintf(text, sizeof text, format, c);
  return text;
}

// A JSON string; bytes that are not UTF-8 become "\udcXX", as surrogate escapes.
static std::string JsonString(const std::string& text) {
  std::string out = "\"";
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* valid_end = nullptr;
    g_utf8_validate(p, end - p, &valid_end);
    for (; p < valid_end; ++p) {
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c == '"' || c == '\\') out += std::string("\\") + *p;
      else if (c == '\n') out += "\\n";
      else if (c < 0x20) out += Escape("\\u%04x", c);
      else out += *p;
    }
    if (p < end) out += Escape("\\udc%02x", static_cast<unsigned char>(*p++));
  }
  return out + "\"";
}

static std::string JsonNumber(double value) {
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  return g_ascii_formatd(text, sizeof text, "%.3f", value);
}

// The number of a message caption ("エラー No.202", "エラー No504"); -1 without one.
static int MessageNumber(const std::string& caption) {
  const size_t at = caption.find("No");
  if (at == std::string::npos) return -1;
  size_t digits = at + 2 + (caption.compare(at + 2, 1, ".") == 0);
  int number = -1;
  std::from_chars(caption.data() + digits, caption.data() + caption.size(), number);
  return number;
}

void CloseBatchReport() {
  if (reportFd >= 0) close(reportFd);
  reportFd = -1;
}

void ReportBatchFileEnd(const BatchFile& file, const FileEnd& end) {
  if (reportFd < 0) return;
  static const char* const kStatus[] = {"converted", "failed", "skipped"};
  std::string error = "null", message = "null";
  if (!end.messages.empty()) {
    const int number = MessageNumber(end.messages.front().first);
    if (number >= 0) error = std::to_string(number);
    std::string text;
    for (const auto& [caption, body] : end.messages) {
      std::string line = caption + ": " + body;
      while (line.ends_with("\n")) line.pop_back();
      text += (text.empty() ? "" : "\n") + line;
    }
    message = JsonString(text);
  }
  std::string line = "{\"input\":" + JsonString(file.path) +
                     ",\"output\":" + (end.output.empty() ? "null" : JsonString(end.output)) +
                     ",\"status\":\"" + kStatus[static_cast<int>(end.status)] + "\",\"error\":" + error +
                     ",\"message\":" + message + ",\"seconds\":" + JsonNumber(end.seconds) +
                     ",\"audio_seconds\":" + (end.audioSeconds < 0 ? "null" : JsonNumber(end.audioSeconds)) + "}\n";
  // One write: the line is whole or absent, whatever ends the run.
  if (write(reportFd, line.data(), line.size()) < 0) {
    // A report that cannot be written is no reason to stop converting.
  }
}
