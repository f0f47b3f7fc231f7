// The inputs of a batch: the files and folders of its command line, each file once.
#include "app/batch_inputs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>

#include <glib.h>

#include "app/batch_records.h"
#include "common/batch.h"
#include "common/i18n.h"
#include "engine/naming.h"

static constexpr const char* kUnreadableFolderCaption = N_("エラー No.506");
static constexpr const char* kUnreadableFolderText = N_("フォルダーを読み込めません。\n");

std::string AbsolutePath(const std::string& path) {
  g_autofree char* absolute = g_canonicalize_filename(path.c_str(), nullptr);
  return absolute;
}

// The extensions the dialog's media filter lists: what a FOLDER stands for.
static constexpr const char* kMediaExtensions[] = {"mpg", "m2p", "mpa", "avi", "mpeg", "mp2", "mp3",
                                                   "wav", "vob", "cda", "asf", "wma", "wmv"};

static bool IsMediaFileName(const std::string& name) {
  const std::string extension = GetLowerExtension(name);
  return std::any_of(std::begin(kMediaExtensions), std::end(kMediaExtensions),
                     [&](const char* e) { return extension == std::string(".") + e; });
}

// The inputs a command line stands for, each once. Folders are walked as find and
// rsync walk them: a symlinked folder is not entered, a folder reached twice (a link
// loop, a bind mount) is read once, the output folder is never read, and a symlink to a
// file is an input. A folder that cannot be read is an input that fails in its turn.
struct InputWalk {
  std::string outputDir;                         // absolute, ending in '/'; "" none
  bool recursive = false;                        // folders in folders are entered
  unsigned shardIndex = 1, shardCount = 1;       // this instance's part K of N
  std::set<std::pair<dev_t, ino_t>> folders;     // folders read
  std::set<std::string> seen;                    // the real paths taken
  std::vector<BatchFile> files;
};

static bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// FNV-1a over the bytes: the same on every machine and every run.
static uint64_t StableHash(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
  return hash;
}

// Whether the input named by key (its path under the FOLDER given, or as given) is
// this instance's part of the inputs.
static bool InShard(const InputWalk& walk, const std::string& key) {
  return walk.shardCount <= 1 || StableHash(key) % walk.shardCount == walk.shardIndex - 1;
}

static void AddInput(InputWalk& walk, const std::string& path, const std::string& outputFolder,
                     const std::string& shardKey) {
  if (!InShard(walk, shardKey)) return;
  g_autofree char* real = realpath(path.c_str(), nullptr);
  if (!walk.seen.insert(real ? real : path).second) return;
  BatchFile file;
  file.path = path;
  file.outputFolder = outputFolder;
  walk.files.push_back(file);
}

static void AddUnreadableFolder(InputWalk& walk, const std::string& path, int error) {
  BatchFile file;
  file.path = path;
  file.failCaption = _(kUnreadableFolderCaption);
  file.failText = std::string(_(kUnreadableFolderText)) + g_strerror(error);
  walk.files.push_back(file);
}

// The media files of root/relative ("" or ending in '/') in name order, with their
// output folders under the output folder.
static void AddFolderFiles(InputWalk& walk, const std::string& root, const std::string& relative) {
  const std::string folder = root + "/" + relative;
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    AddUnreadableFolder(walk, folder.substr(0, folder.size() - 1), errno);
    return;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    errno = 0;
  }
  const int readError = errno;
  closedir(dir);
  if (readError) {
    AddUnreadableFolder(walk, folder.substr(0, folder.size() - 1), readError);
    return;
  }
  std::sort(names.begin(), names.end());
  struct stat outputFolder;
  const bool haveOutputFolder = !walk.outputDir.empty() && stat(walk.outputDir.c_str(), &outputFolder) == 0;
  for (const std::string& name : names) {
    const std::string path = folder + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (!walk.recursive || (haveOutputFolder && SameFile(st, outputFolder))) continue;
      if (walk.folders.insert({st.st_dev, st.st_ino}).second) AddFolderFiles(walk, root, relative + name + "/");
      continue;
    }
    if (S_ISLNK(st.st_mode) && (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))) continue;
    if (IsMediaFileName(name) && !IsOwnOutput(path))
      AddInput(walk, path, walk.outputDir.empty() ? "" : walk.outputDir + relative, relative + name);
  }
}

std::vector<BatchFile> ExpandBatchInputs(const std::vector<std::string>& inputs, const std::string& outputDir,
                                         bool recursive, unsigned shardIndex, unsigned shardCount) {
  InputWalk walk;
  if (!outputDir.empty()) walk.outputDir = AbsolutePath(outputDir) + "/";
  walk.recursive = recursive;
  walk.shardIndex = shardIndex;
  walk.shardCount = shardCount;
  for (const std::string& input : inputs) {
    const std::string path = AbsolutePath(input);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if (walk.folders.insert({st.st_dev, st.st_ino}).second) AddFolderFiles(walk, path == "/" ? "" : path, "");
    } else {
      AddInput(walk, path, walk.outputDir, input);
    }
  }
  return walk.files;
}
