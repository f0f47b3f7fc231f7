#include "app/profile.h"

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Each further attempt follows a save by another program; this many mean something is
// replacing the file without end.
constexpr int kLockAttempts = 10000;

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

// Reads the file from fd to its end.
bool ReadAll(int fd, std::string* contents) {
  contents->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    contents->append(buffer, static_cast<size_t>(n));
  }
}

// Opens the file for reading without ever waiting: only a regular file is taken, so a
// FIFO or a device put in its place neither blocks nor is read. -1 with errno ENOENT
// for anything else.
int OpenRegularFile(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = ENOENT;
    return -1;
  }
  return fd;
}

// Reads the file; a missing file is empty. False when it exists but cannot be read.
bool ReadProfile(const std::string& path, std::string* contents, bool* exists) {
  contents->clear();
  *exists = false;
  int fd = OpenRegularFile(path, 0);
  if (fd < 0) return errno == ENOENT;
  *exists = true;
  bool ok = ReadAll(fd, contents);
  close(fd);
  return ok;
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

// Sets key in section of the text: an existing key keeps its spelling and place, a new
// one goes after the last entry of its section, a new section at the end.
void SetEntry(ProfileText* text, const std::string& section, const std::string& key, const std::string& value) {
  std::string entry = key + "=" + value;
  size_t first = 0, last = 0;
  if (!FindSection(*text, section, &first, &last)) {
    text->lines.push_back("[" + section + "]");
    text->lines.push_back(entry);
    return;
  }
  size_t insertAt = first;  // right after the header when the section has no entries
  for (size_t i = first; i < last; ++i) {
    std::string_view name, old;
    if (ParseEntry(text->lines[i], &name, &old) && SameName(name, key)) {
      text->lines[i] = std::string(name) + "=" + value;
      return;
    }
    if (!TrimBlanks(text->lines[i]).empty() && !IsComment(text->lines[i])) insertAt = i + 1;
  }
  text->lines.insert(text->lines.begin() + static_cast<ptrdiff_t>(insertAt), entry);
}

}  // namespace

std::string ReadPrivateProfile(const std::string& path) {
  std::string contents;
  bool exists = false;
  if (!ReadProfile(path, &contents, &exists)) contents.clear();
  return contents;
}

std::string GetProfileStringFrom(const std::string& contents, const std::string& section,
                                 const std::string& key, const std::string& defaultValue) {
  // Walked in place: a file of one huge line is not copied for every key.
  std::string_view rest = contents;
  if (rest.substr(0, kByteOrderMark.size()) == kByteOrderMark) rest.remove_prefix(kByteOrderMark.size());
  bool inSection = false, sectionSeen = false;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view name, value;
    if (ParseSection(line, &name)) {
      if (inSection) return defaultValue;  // only the first section of a name counts
      inSection = !sectionSeen && SameName(name, section);
      sectionSeen = sectionSeen || inSection;
    } else if (inSection && ParseEntry(line, &name, &value) && SameName(name, key)) {
      return std::string(value);
    }
  }
  return defaultValue;
}

std::string GetPrivateProfileString(const std::string& path, const std::string& section,
                                    const std::string& key, const std::string& defaultValue) {
  return GetProfileStringFrom(ReadPrivateProfile(path), section, key, defaultValue);
}

bool WritePrivateProfileString(const std::string& path, const std::string& section,
                               const std::string& key, const std::string& value) {
  return WritePrivateProfileStrings(path, {{section, key, value}});
}

bool WritePrivateProfileStrings(const std::string& path, const std::vector<ProfileEntry>& entries) {
  for (const ProfileEntry& e : entries)
    if (!SafeName(e.section, "]\r\n") || !SafeName(e.key, "=\r\n") || e.key.front() == '[' ||
        e.key.front() == ';' || e.value.find_first_of("\r\n") != std::string::npos)
      return false;

  // Write through a symbolic link to the file it names, as an ordinary write would.
  g_autofree char* resolved = realpath(path.c_str(), nullptr);
  std::string target = resolved ? resolved : path;

  // The lock is on the file itself; a writer that got it on a file already replaced
  // by another's rename opens the new one and locks again.
  int fd = -1;
  bool exists = false;
  for (int attempt = 0; attempt < kLockAttempts && fd < 0; ++attempt) {
    fd = OpenRegularFile(target, 0);
    if (fd < 0 && errno == ENOENT) {
      struct stat st;
      if (lstat(target.c_str(), &st) == 0) return false;  // there, but not a regular file
      exists = false;
      fd = OpenRegularFile(target, O_CREAT | O_EXCL);  // a missing file: ours, created empty
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) return false;
    } else if (fd < 0) {
      return false;
    } else {
      exists = true;
    }
    struct stat held, named;
    if (flock(fd, LOCK_EX) != 0 || fstat(fd, &held) != 0 || stat(target.c_str(), &named) != 0 ||
        held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
      close(fd);
      fd = -1;
    }
  }
  if (fd < 0) return false;

  std::string contents;
  bool ok = ReadAll(fd, &contents);
  // A read-only file stays as it is, even though its folder would allow the rename.
  ok = ok && (!exists || access(target.c_str(), W_OK) == 0);
  if (ok) {
    ProfileText text = SplitProfile(contents);
    for (const ProfileEntry& e : entries) SetEntry(&text, e.section, e.key, e.value);
    std::string updated = JoinProfile(text);
    ok = updated == contents || ReplaceFileAtomically(target, updated, exists);
  }
  // A file made here for this save and left empty by its failure goes again.
  if (!ok && !exists) g_unlink(target.c_str());
  close(fd);
  return ok;
}
