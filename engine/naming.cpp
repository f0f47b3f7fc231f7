#include "engine/naming.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <glib.h>

#include "common/batch.h"
#include "common/status_text.h"

static constexpr long kIso9660Magic = 0x9660;
static constexpr long kUdfMagic = 0x15013346;

static OpticalMediaTest opticalMediaTest = nullptr;

void SetOpticalMediaTest(OpticalMediaTest test) { opticalMediaTest = test; }

// The desktop mounts an audio CD as a folder named "cdda:host=..." holding its tracks
// as "Track N.wav" files.
static bool IsInAudioCdMount(const std::string& path) {
  return path.starts_with("cdda:") || path.find("/cdda:") != std::string::npos;
}

bool IsOnOpticalMedia(const std::string& path) {
  if (opticalMediaTest) return opticalMediaTest(path);
  if (IsInAudioCdMount(path)) return true;
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) return false;
  return fs.f_type == kIso9660Magic || fs.f_type == kUdfMagic;
}

std::string GetOutputFolder() {
  if (ProgramFolderTakesFiles()) return GetProgramDirectory() + "output/";
  const char* music = g_get_user_special_dir(G_USER_DIRECTORY_MUSIC);
  std::string base = music ? music : std::string(g_get_home_dir()) + "/Music";
  return base + "/output/";
}

// Anything at all under the path, a dangling link included, makes the name taken.
static bool NameTaken(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string MakeOutputPath(const std::string& inputPath, const std::string& extension) {
  std::string base = inputPath;
  bool inOutputFolder = IsOnOpticalMedia(inputPath);
  if (inOutputFolder) {
    std::string folder = GetOutputFolder();
    g_mkdir_with_parents(folder.c_str(), 0755);
    base = folder + GetFileNamePart(inputPath);
  }

  // The stem is everything before the file name's last dot; a name without one (or
  // with only a leading dot) keeps its whole path as the stem.
  size_t nameStart = base.rfind('/');
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  size_t dot = base.rfind('.');
  std::string stem = dot != std::string::npos && dot > nameStart ? base.substr(0, dot) : base;

  std::string output = stem + "." + extension;
  for (unsigned n = 2; NameTaken(output); ++n) output = stem + "_" + std::to_string(n) + "." + extension;

  std::lock_guard lock(StatusLock);
  StatusNotice = inOutputFolder ? kOutputFolderNotice : "";
  return output;
}
