#include "common/batch.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

BatchState Batch;

// The zero-separated strings of a fileList up to its terminating empty string.
static std::vector<std::string_view> SplitFileList(const std::string& list) {
  std::vector<std::string_view> parts;
  std::string_view rest(list);
  while (!rest.empty()) {
    size_t end = rest.find('\0');
    std::string_view part = rest.substr(0, end);
    if (part.empty()) break;  // the second zero ends the list
    parts.push_back(part);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return parts;
}

uint32_t CountBatchFiles() {
  const std::string& list = Batch.fileList;
  uint32_t count = 0;
  for (size_t p = 1; p < list.size(); ++p) {
    if (list[p - 1] != '\0') continue;
    if (list[p] == '\0') break;
    ++count;
  }
  return count == 0 ? 1 : count;
}

// The list's own layout decides between its two forms: a lone path has no names after it,
// so a folder is never returned as if it were the file.
std::string GetBatchFile(uint32_t n) {
  std::vector<std::string_view> parts = SplitFileList(Batch.fileList);
  if (parts.empty() || n == 0) return "";
  if (parts.size() == 1) return n == 1 ? std::string(parts[0]) : "";
  if (n >= parts.size()) return "";

  std::string path(parts[0]);
  if (path.back() != '/') path += '/';
  path += parts[n];
  return path;
}

std::string MakeFileList(const std::string& folder, const std::vector<std::string>& names) {
  std::vector<const std::string*> kept;
  for (const std::string& name : names)
    if (!name.empty()) kept.push_back(&name);  // an empty name would end the list early

  std::string list;
  if (kept.size() <= 1) {
    list = folder;
    if (kept.size() == 1) {
      if (!list.empty() && list.back() != '/') list += '/';
      list += *kept[0];
    }
    list.append(2, '\0');
    return list;
  }

  // The folder carries no trailing separator, except the root, which is nothing else.
  std::string head = folder;
  while (head.size() > 1 && head.back() == '/') head.pop_back();
  list = head;
  list += '\0';
  for (const std::string* name : kept) {
    list += *name;
    list += '\0';
  }
  list += '\0';
  return list;
}

bool IsFilePath(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return true;
  return !S_ISDIR(st.st_mode);
}

std::string GetFileNamePart(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GetLowerExtension(const std::string& path) {
  std::string part = path;
  for (size_t p = path.size(); p-- > 1;) {
    if (path[p] == '.') {
      part = path.substr(p);
      break;
    }
  }
  // File names need not be UTF-8; those that are not are lower-cased byte by byte in ASCII.
  g_autofree gchar* lower = g_utf8_validate(part.data(), part.size(), nullptr)
                                ? g_utf8_strdown(part.data(), part.size())
                                : g_ascii_strdown(part.data(), part.size());
  return lower;
}

std::string GetDirectoryPart(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Empty when the program's own path cannot be read.
std::string GetProgramDirectory() {
  g_autofree gchar* exe = g_file_read_link("/proc/self/exe", nullptr);
  if (!exe) return "";
  return GetDirectoryPart(exe);
}

// An installed program (its desktop entry in ../share/applications) never writes beside
// itself, even when it may: a system's bin folder is no place for a user's files.
bool ProgramFolderTakesFiles() {
  const std::string folder = GetProgramDirectory();
  if (folder.empty() || access(folder.c_str(), W_OK) != 0) return false;
  const std::string desktopEntry = folder + "../share/applications/quilllomare.desktop";
  return !g_file_test(desktopEntry.c_str(), G_FILE_TEST_EXISTS);
}
