#include "engine/naming.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <glib.h>

#include "common/batch.h"
#include "common/i18n.h"
#include "common/status_text.h"

static constexpr long kIso9660Magic = 0x9660;
static constexpr long kUdfMagic = 0x15013346;
static constexpr const char* kTemporarySuffix = ".quilllomare-part";

static OpticalMediaTest opticalMediaTest = nullptr;
static OutputFolderRule outputFolderRule = nullptr;
static OutputStepHook outputStepHook = nullptr;

void SetOutputFolderRule(OutputFolderRule rule) { outputFolderRule = rule; }
void SetOutputStepHook(OutputStepHook hook) { outputStepHook = hook; }

static void Step(OutputStep step, const std::string& finalPath) {
  if (outputStepHook) outputStepHook(step, finalPath);
}

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

// ---------------------------------------------------------------------------
// Claims

// An output named but not yet under its final name.
struct ClaimedOutput {
  std::string finalPath;
  std::string stem;       // the final path before "_N.ext" / ".ext"
  std::string extension;
  std::string temporary;  // what the writer writes: "/proc/self/fd/N" for an unnamed file
  int fd = -1;            // our own handle on it, for flushing; -1 when not claimed
  bool unnamed = false;   // an O_TMPFILE file: no name at all until committed
};

static std::vector<ClaimedOutput> claims;
static std::vector<std::string> namesHeldElsewhere;

void SetNamesHeldElsewhere(std::vector<std::string> names) { namesHeldElsewhere = std::move(names); }
static bool unnamedOutputsRefused = false;  // tests: behave as on a file system without them

void SetUnnamedOutputsRefused(bool refused) { unnamedOutputsRefused = refused; }

std::string TemporaryOutputPath(const std::string& finalPath) {
  const std::string folder = GetDirectoryPart(finalPath);
  const std::string name = GetFileNamePart(finalPath);
  if (1 + name.size() + strlen(kTemporarySuffix) <= NAME_MAX) return folder + "." + name + kTemporarySuffix;
  char hash[17];
  snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(g_str_hash(name.c_str())) *
                                             0x9E3779B97F4A7C15ull ^ name.size());
  return folder + ".quilllomare-" + hash + ".part";
}

std::string OutputWritePath(const std::string& finalPath) {
  for (const ClaimedOutput& claim : claims)
    if (claim.finalPath == finalPath) return claim.temporary;
  return finalPath;
}

// Anything at all under the path, a dangling link included, makes the name taken.
static bool NameTaken(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A named temporary is locked (flock) by the process writing it for as long as it
// writes. One that nobody holds was left by a run that ended without cleaning up (kill
// -9, a crash, a power cut): it is removed, and its name is free again. The lock is
// taken on the file found, which is removed only while still under its name.
static bool RemoveAbandonedTemporary(const std::string& temporary) {
  int fd = open(temporary.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  bool removed = false;
  struct stat held, named;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && lstat(temporary.c_str(), &named) == 0 &&
      held.st_dev == named.st_dev && held.st_ino == named.st_ino)
    removed = unlink(temporary.c_str()) == 0;
  close(fd);
  return removed;
}

// A name is free when nothing is under it, no named temporary of a live writer (this
// run's or another's) holds it and no output of this run has it in hand.
static bool NameFree(const std::string& path) {
  if (NameTaken(path)) return false;
  const std::string temporary = TemporaryOutputPath(path);
  if (NameTaken(temporary) && !RemoveAbandonedTemporary(temporary)) return false;
  if (std::find(namesHeldElsewhere.begin(), namesHeldElsewhere.end(), path) != namesHeldElsewhere.end()) return false;
  return std::none_of(claims.begin(), claims.end(),
                      [&path](const ClaimedOutput& c) { return c.finalPath == path; });
}

// An unnamed file in the folder of path, for writing; -1 with errno when the file
// system cannot make one (EOPNOTSUPP or EISDIR) or the folder refuses it.
static int OpenUnnamedFile(const std::string& path) {
  if (unnamedOutputsRefused) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const std::string folder = GetDirectoryPart(path);
  return open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

static std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Creates the temporary exclusively and locks it. One who finds it in the instant before
// the lock may judge it abandoned and remove it; the lock is therefore waited for, and
// the name checked to be still ours once locked, or the creation tried again. Where
// the file system has no locks it is created only. -1 with errno (EEXIST: taken).
static int CreateLockedTemporary(const std::string& temporary) {
  for (int attempt = 0;; ++attempt) {
    int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) return fd;
    struct stat held, named;
    if (fstat(fd, &held) == 0 && lstat(temporary.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
      return fd;
    close(fd);
    if (attempt == 2) {
      errno = EEXIST;
      return -1;
    }
  }
}

// Takes the name when nobody has it. Where the file system makes unnamed files, the
// output is one of them (*unnamed): nothing under any name until it is committed, and
// nothing left should the run end otherwise. Elsewhere the name's temporary file is
// created exclusively, so of two runs asking at once only one succeeds. A folder
// where nothing can be created leaves the name free but unclaimed; writing there
// fails later with the reason.
static bool ClaimName(const std::string& path, int* claimFd, bool* unnamed) {
  *claimFd = -1;
  *unnamed = false;
  if (!NameFree(path)) return false;
  int fd = OpenUnnamedFile(path);
  if (fd >= 0) {
    *claimFd = fd;
    *unnamed = true;
    return true;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR) return true;
  const std::string temporary = TemporaryOutputPath(path);
  fd = CreateLockedTemporary(temporary);
  if (fd < 0) return errno != EEXIST;
  if (NameTaken(path)) {  // someone else made it between the two looks
    unlink(temporary.c_str());
    close(fd);
    return false;
  }
  *claimFd = fd;
  return true;
}

// "STEM.EXT" or "STEM_N.EXT"; a file name too long for the file system loses the end
// of its stem (whole characters) so that the number and the extension stay.
static std::string NumberedName(const std::string& stem, unsigned n, const std::string& extension) {
  const std::string suffix = (n < 2 ? "" : "_" + std::to_string(n)) + "." + extension;
  const size_t nameStart = stem.rfind('/') == std::string::npos ? 0 : stem.rfind('/') + 1;
  size_t end = stem.size();
  if (end - nameStart + suffix.size() > NAME_MAX && suffix.size() < NAME_MAX) {
    end = nameStart + (NAME_MAX - suffix.size());
    while (end > nameStart && (static_cast<unsigned char>(stem[end]) & 0xC0) == 0x80) --end;
  }
  return stem.substr(0, end) + suffix;
}

// The path an input's output is named after, before its extension changes: the input
// itself, or its name in the folder the outputs go to (made when makeFolder).
static std::string OutputBase(const std::string& inputPath, bool makeFolder, bool* inOutputFolder) {
  std::string folder = outputFolderRule ? outputFolderRule(inputPath) : "";
  *inOutputFolder = folder.empty() && IsOnOpticalMedia(inputPath);
  if (*inOutputFolder) folder = GetOutputFolder();
  if (folder.empty()) return inputPath;
  if (makeFolder) g_mkdir_with_parents(folder.c_str(), 0755);
  return folder + GetFileNamePart(inputPath);
}

// The stem is everything before the file name's last dot; a name without one (or
// with only a leading dot) keeps its whole path as the stem.
static std::string OutputStem(const std::string& base) {
  size_t nameStart = base.rfind('/');
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  size_t dot = base.rfind('.');
  return dot != std::string::npos && dot > nameStart ? base.substr(0, dot) : base;
}

std::string UnnumberedOutputPath(const std::string& inputPath, const std::string& extension) {
  bool inOutputFolder = false;
  const std::string stem = OutputStem(OutputBase(inputPath, false, &inOutputFolder));
  std::string output = NumberedName(stem, 1, extension);
  struct stat in, out;
  if (stat(inputPath.c_str(), &in) == 0 && stat(output.c_str(), &out) == 0 && in.st_dev == out.st_dev &&
      in.st_ino == out.st_ino)
    output = NumberedName(stem, 2, extension);
  return output;
}

std::string MakeOutputPath(const std::string& inputPath, const std::string& extension) {
  Step(OutputStep::BeforeClaim, "");
  bool inOutputFolder = false;
  const std::string stem = OutputStem(OutputBase(inputPath, true, &inOutputFolder));

  std::string output = NumberedName(stem, 1, extension);
  int fd = -1;
  bool unnamed = false;
  for (unsigned n = 2; !ClaimName(output, &fd, &unnamed); ++n) output = NumberedName(stem, n, extension);
  claims.push_back({output, stem, extension, unnamed ? FdPath(fd) : TemporaryOutputPath(output), fd, unnamed});
  Step(OutputStep::Claimed, output);

  std::lock_guard lock(StatusLock);
  StatusNotice = inOutputFolder ? _(kOutputFolderNotice) : "";
  return output;
}

// ---------------------------------------------------------------------------
// Commit

// Moves from to a free name to, never replacing anything. False with errno; EEXIST
// when to is taken.
static bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  // File systems without the flag: a hard link fails on an existing name just the same.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) return false;
  // Nor hard links (FAT): look, then rename; only a writer racing within that instant loses.
  if (NameTaken(to)) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

void StartOutputWriteback() {
  for (const ClaimedOutput& claim : claims)
    if (claim.fd >= 0) sync_file_range(claim.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

// The data on the disk before the name says the file is complete.
static bool FlushToDisk(const ClaimedOutput& claim) {
  int fd = claim.fd >= 0 ? claim.fd : open(claim.temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fdatasync(fd) == 0 || errno == EINVAL;
  int saved = errno;
  if (fd != claim.fd) close(fd);
  errno = saved;
  return ok;
}

static void Forget(ClaimedOutput& claim) {
  if (claim.fd >= 0) close(claim.fd);
  claim.fd = -1;
}

// Gives an unnamed file its first name; never replaces anything (EEXIST).
static bool LinkUnnamed(const ClaimedOutput& claim, const std::string& to) {
  return linkat(AT_FDCWD, claim.temporary.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

static bool Commit(ClaimedOutput& claim, std::string* reason) {
  Step(OutputStep::BeforeFlush, claim.finalPath);
  if (!FlushToDisk(claim)) {
    *reason = g_strerror(errno);
    return false;
  }
  Step(OutputStep::BeforeMove, claim.finalPath);
  std::string target = claim.finalPath;
  std::string extraClaim;  // the temporary that holds a renumbered name for us
  int extraClaimFd = -1;   // its lock
  for (unsigned n = 2;;) {
    bool moved = claim.unnamed ? LinkUnnamed(claim, target) : MoveWithoutReplacing(claim.temporary, target);
    int error = errno;
    if (!extraClaim.empty()) unlink(extraClaim.c_str());
    if (extraClaimFd >= 0) close(extraClaimFd);
    extraClaim.clear();
    extraClaimFd = -1;
    if (moved) break;
    if (error != EEXIST) {
      *reason = g_strerror(error);
      return false;
    }
    // Taken meanwhile by someone else: the next free number. A named temporary claims
    // it the same way as before; an unnamed file needs no claim, its link fails on a
    // taken name.
    std::string next;
    if (claim.unnamed) {
      do next = NumberedName(claim.stem, n++, claim.extension);
      while (next == target || !NameFree(next));
    } else {
      int fd = -1;
      bool unnamed = false;
      do next = NumberedName(claim.stem, n++, claim.extension);
      while (next == target || !ClaimName(next, &fd, &unnamed));
      if (unnamed) {
        if (fd >= 0) close(fd);
      } else {
        extraClaim = TemporaryOutputPath(next);
        extraClaimFd = fd;
      }
    }
    target = next;
  }
  if (target != claim.finalPath) {
    claim.finalPath = target;
    std::lock_guard lock(StatusLock);
    StatusFileName = GetFileNamePart(target);
  }
  Step(OutputStep::Moved, target);
  return true;
}

bool CommitOutputFiles(std::string* reason, std::vector<CommittedOutput>* committed) {
  while (!claims.empty()) {
    if (!Commit(claims.front(), reason)) return false;
    if (committed) committed->push_back({claims.front().temporary, claims.front().finalPath});
    Forget(claims.front());
    claims.erase(claims.begin());
  }
  return true;
}

void DiscardOutputFiles() {
  // In a folder made read-only meanwhile the file cannot go; its contents can.
  for (ClaimedOutput& claim : claims) {
    if (!claim.unnamed && unlink(claim.temporary.c_str()) != 0 && errno != ENOENT)
      truncate(claim.temporary.c_str(), 0);
    Forget(claim);  // an unnamed file ends with its last handle
  }
  claims.clear();
}
