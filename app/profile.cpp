#include "app/profile.h"

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A profile file as lines without their terminators.
struct ProfileText {
  std::vector<std::string> lines;
  bool crlf = false;  // the file ends its lines in CRLF; new text is written the same way
  bool bom = false;   // the file starts with a UTF-8 byte order mark, kept on writing
};

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (g_ascii_tolower(a[i]) != g_ascii_tolower(b[i])) return false;
  return true;
}

bool IsComment(std::string_view line) {
  line = TrimBlanks(line);
  return !line.empty() && line.front() == ';';
}

// "[name]" gives name; a header without its ']' runs to the end of the line.
bool ParseSection(std::string_view line, std::string_view* name) {
  line = TrimBlanks(line);
  if (line.empty() || line.front() != '[') return false;
  line.remove_prefix(1);
  *name = TrimBlanks(line.substr(0, line.find(']')));
  return true;
}

bool ParseEntry(std::string_view line, std::string_view* key, std::string_view* value) {
  std::string_view trimmed = TrimBlanks(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '[') return false;
  size_t eq = trimmed.find('=');
  if (eq == std::string_view::npos) return false;
  *key = TrimBlanks(trimmed.substr(0, eq));
  *value = TrimBlanks(trimmed.substr(eq + 1));
  return true;
}

ProfileText SplitProfile(std::string_view contents) {
  ProfileText text;
  if (contents.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.bom = true;
    contents.remove_prefix(kByteOrderMark.size());
  }
  while (!contents.empty()) {
    size_t end = contents.find('\n');
    std::string_view line = contents.substr(0, end);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
      text.crlf = true;
    }
    text.lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    contents.remove_prefix(end + 1);
  }
  return text;
}

std::string JoinProfile(const ProfileText& text) {
  std::string out;
  if (text.bom) out += kByteOrderMark;
  for (const std::string& line : text.lines) {
    out += line;
    out += text.crlf ? "\r\n" : "\n";
  }
  return out;
}

// Reads the file; a missing file is empty. False when it exists but cannot be read.
bool ReadProfile(const std::string& path, std::string* contents, bool* exists) {
  g_autofree gchar* data = nullptr;
  gsize length = 0;
  g_autoptr(GError) error = nullptr;
  if (!g_file_get_contents(path.c_str(), &data, &length, &error)) {
    *exists = false;
    contents->clear();
    return g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT);
  }
  *exists = true;
  contents->assign(data, length);
  return true;
}

// Lines [first, last) of the section, header excluded; false when there is no such section.
bool FindSection(const ProfileText& text, std::string_view section, size_t* first, size_t* last) {
  for (size_t i = 0; i < text.lines.size(); ++i) {
    std::string_view name;
    if (!ParseSection(text.lines[i], &name) || !SameName(name, section)) continue;
    size_t end = i + 1;
    while (end < text.lines.size() && !ParseSection(text.lines[end], &name)) ++end;
    *first = i + 1;
    *last = end;
    return true;
  }
  return false;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Replaces the file at path by contents in one rename; the temporary never outlives the call.
bool ReplaceFileAtomically(const std::string& path, std::string_view contents, bool exists) {
  std::string tmpl = path + ".XXXXXX";
  int fd = g_mkstemp_full(tmpl.data(), O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return false;

  bool ok = true;
  struct stat st;
  if (exists && stat(path.c_str(), &st) == 0) ok = fchmod(fd, st.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd, contents) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(tmpl.c_str(), path.c_str()) == 0;
  if (!ok) g_unlink(tmpl.c_str());
  return ok;
}

bool SafeName(std::string_view name, std::string_view forbidden) {
  return !name.empty() && name == TrimBlanks(name) &&
         name.find_first_of(forbidden) == std::string_view::npos;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& path, const std::string& section,
                                    const std::string& key, const std::string& defaultValue) {
  std::string contents;
  bool exists = false;
  if (!ReadProfile(path, &contents, &exists) || !exists) return defaultValue;

  ProfileText text = SplitProfile(contents);
  size_t first = 0, last = 0;
  if (!FindSection(text, section, &first, &last)) return defaultValue;
  for (size_t i = first; i < last; ++i) {
    std::string_view name, value;
    if (ParseEntry(text.lines[i], &name, &value) && SameName(name, key)) return std::string(value);
  }
  return defaultValue;
}

bool WritePrivateProfileString(const std::string& path, const std::string& section,
                               const std::string& key, const std::string& value) {
  if (!SafeName(section, "]\r\n") || !SafeName(key, "=\r\n") || key.front() == '[' ||
      key.front() == ';' || value.find_first_of("\r\n") != std::string::npos)
    return false;

  // Write through a symbolic link to the file it names, as an ordinary write would.
  g_autofree char* resolved = realpath(path.c_str(), nullptr);
  std::string target = resolved ? resolved : path;

  std::string contents;
  bool exists = false;
  if (!ReadProfile(target, &contents, &exists)) return false;
  // A read-only file stays as it is, even though its folder would allow the rename.
  if (exists && access(target.c_str(), W_OK) != 0) return false;

  ProfileText text = SplitProfile(contents);
  std::string entry = key + "=" + value;
  size_t first = 0, last = 0;
  if (!FindSection(text, section, &first, &last)) {
    text.lines.push_back("[" + section + "]");
    text.lines.push_back(entry);
  } else {
    size_t insertAt = first;  // right after the header when the section has no entries
    bool replaced = false;
    for (size_t i = first; i < last && !replaced; ++i) {
      std::string_view name, old;
      if (ParseEntry(text.lines[i], &name, &old) && SameName(name, key)) {
        text.lines[i] = std::string(name) + "=" + value;
        replaced = true;
      } else if (!TrimBlanks(text.lines[i]).empty() && !IsComment(text.lines[i])) {
        insertAt = i + 1;
      }
    }
    if (!replaced) text.lines.insert(text.lines.begin() + static_cast<ptrdiff_t>(insertAt), entry);
  }

  std::string updated = JoinProfile(text);
  if (exists && updated == contents) return true;
  return ReplaceFileAtomically(target, updated, exists);
}
