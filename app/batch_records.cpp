#include "app/batch_records.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <vector>

#include <glib.h>

#include "common/app_settings.h"
#include "common/batch.h"
#include "engine/naming.h"

static constexpr const char* kRecordAttribute = "user.quilllomare.input";
static constexpr const char* kJournalName = ".quilllomare-journal";
static constexpr const char* kClaimPrefix = ".quilllomare-claim-";
// A claim from another host is alive while renewed at least this often.
static constexpr time_t kForeignClaimLifetime = 120;

static std::string conversionKey;

void SetConversionKey(const std::string& key) { conversionKey = key; }

// "1 SIZE MTIME_NS KEY PATH": the input as it was converted, and how.
static std::string RecordOf(const std::string& inputPath) {
  struct stat st;
  if (stat(inputPath.c_str(), &st) != 0) return "";
  const long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return "1 " + std::to_string(st.st_size) + " " + std::to_string(mtime) + " " + conversionKey + " " + inputPath;
}

// ---------------------------------------------------------------------------
// Records

static std::string journaledName;  // the name the journal has a line for; "" none

static std::string JournalPath(const std::string& folder) { return folder + kJournalName; }

static std::string Escaped(const std::string& text) {
  g_autofree char* escaped = g_strescape(text.c_str(), nullptr);
  return escaped;
}

static void AddJournalLine(const std::string& inputPath, const std::string& finalPath) {
  const std::string line = Escaped(GetFileNamePart(finalPath)) + "\t" + Escaped(RecordOf(inputPath)) + "\n";
  int fd = open(JournalPath(GetDirectoryPart(finalPath)).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  // One write: a line is whole or absent.
  if (write(fd, line.data(), line.size()) < 0) {
    // Without its record the output is converted again by a rerun; nothing is lost.
  }
  close(fd);
}

void RecordOutput(const std::string& inputPath, const std::string& writePath, const std::string& finalPath) {
  const std::string record = RecordOf(inputPath);
  journaledName.clear();
  if (setxattr(writePath.c_str(), kRecordAttribute, record.data(), record.size(), 0) == 0) return;
  AddJournalLine(inputPath, finalPath);
  journaledName = finalPath;
}

void RecordNamedOutput(const std::string& inputPath, const std::string& finalPath) {
  if (!journaledName.empty() && journaledName != finalPath) AddJournalLine(inputPath, finalPath);
  journaledName.clear();
}

// The journals read so far, by folder: output name -> record, the last line for a name
// winning, and how far the file was read; lines appended since are read when next asked.
struct Journal {
  off_t readTo = 0;
  std::map<std::string, std::string> records;
};

static const std::map<std::string, std::string>& JournalOf(const std::string& folder) {
  static std::map<std::string, Journal> journals;
  Journal& journal = journals[folder];
  int fd = open(JournalPath(folder).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return journal.records;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size < journal.readTo) journal = Journal{};  // replaced meanwhile
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, journal.readTo + static_cast<off_t>(text.size()))) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  close(fd);
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    g_autofree char* name = g_strcompress(line.substr(0, tab).c_str());
    g_autofree char* record = g_strcompress(line.substr(tab + 1).c_str());
    journal.records[name] = record;
  }
  journal.readTo += static_cast<off_t>(at);  // a line still being written is read once whole
  return journal.records;
}

// The record of an output: its attribute, else its journal line; "" for none.
static std::string ReadRecord(const std::string& path) {
  char value[4096];
  ssize_t n = getxattr(path.c_str(), kRecordAttribute, value, sizeof value);
  if (n >= 0) return std::string(value, static_cast<size_t>(n));
  if (errno != ENOTSUP && errno != ENODATA) return "";
  const auto& journal = JournalOf(GetDirectoryPart(path));
  auto found = journal.find(GetFileNamePart(path));
  return found == journal.end() ? "" : found->second;
}

bool IsOwnOutput(const std::string& path) { return !ReadRecord(path).empty(); }

// The extensions a mode's outputs take; extraction keeps the stream's own form.
static std::vector<std::string> ModeExtensions() {
  switch (Settings.DecodeMode) {
    case kModeMp3: return {"mp3"};
    case kModeWma: return {"wma"};
    case kModeExtract: return {"ac3", "mp2", "dts", "wav", "mp3"};
    default: return {"wav"};
  }
}

bool InputConverted(const std::string& inputPath) {
  const std::string record = RecordOf(inputPath);
  if (record.empty()) return false;
  for (const std::string& extension : ModeExtensions()) {
    const std::string unnumbered = UnnumberedOutputPath(inputPath, extension);
    const std::string folder = GetDirectoryPart(unnumbered);
    std::string stem = GetFileNamePart(unnumbered);
    stem.resize(stem.size() - extension.size() - 1);
    struct stat in, same;
    if (stem.ends_with("_2") && stat(inputPath.c_str(), &in) == 0 &&
        stat((folder + stem.substr(0, stem.size() - 2) + "." + extension).c_str(), &same) == 0 &&
        in.st_dev == same.st_dev && in.st_ino == same.st_ino)
      stem.resize(stem.size() - 2);  // "_2" because the unnumbered name is the input itself
    // Its outputs, STEM.EXT, STEM_2.EXT, ...: numbers are taken in turn, so the first
    // run of missing names ends them.
    static constexpr unsigned kMissingNamesEnd = 16;
    for (unsigned n = 1, missing = 0; missing < kMissingNamesEnd; ++n) {
      const std::string path = folder + stem + (n < 2 ? "" : "_" + std::to_string(n)) + "." + extension;
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) {
        ++missing;
        continue;
      }
      missing = 0;
      if (S_ISREG(st.st_mode) && ReadRecord(path) == record) return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Claims

static std::map<std::string, std::string> heldClaims;  // input -> its claim file

static std::string HostName() { return g_get_host_name(); }

// The kernel's start time of a process (clock ticks since boot): a pid reused later
// has another. "" when there is no such process.
static std::string ProcessStart(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return "";
  std::vector<std::string> fields;
  for (size_t at = close + 2, end; at < text.size(); at = end + 1) {
    end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    fields.push_back(text.substr(at, end - at));
  }
  return fields.size() > 19 ? fields[19] : "";  // field 22: starttime
}

static std::string OwnerLine() {
  return HostName() + " " + std::to_string(getpid()) + " " + ProcessStart(getpid()) + "\n";
}

// Whether the claim file open on fd has a live owner.
static bool ClaimAlive(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  char text[512];
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  text[n > 0 ? n : 0] = '\0';
  char host[256], start[64];
  long pid = 0;
  const bool young = time(nullptr) - st.st_mtim.tv_sec < kForeignClaimLifetime;
  // Being written this instant, or cut short: alive while young, as a claim of another host.
  if (std::sscanf(text, "%255s %ld %63s", host, &pid, start) != 3 || host != HostName()) return young;
  return ProcessStart(static_cast<pid_t>(pid)) == start;
}

// Moves a dead claim out of the way. Of several instances taking it over at once, one
// moves it; one that moved a claim made meanwhile (not the file judged dead) puts it back.
static void RemoveDeadClaim(const std::string& claimPath) {
  int fd = open(claimPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat judged, moved;
  const bool dead = fstat(fd, &judged) == 0 && !ClaimAlive(fd);
  close(fd);
  if (!dead) return;
  const std::string stale = claimPath + ".stale-" + HostName() + "-" + std::to_string(getpid());
  if (rename(claimPath.c_str(), stale.c_str()) != 0) return;
  if (lstat(stale.c_str(), &moved) == 0 && (moved.st_dev != judged.st_dev || moved.st_ino != judged.st_ino)) {
    if (link(stale.c_str(), claimPath.c_str()) != 0) {
      // A third claim took the name meanwhile: the one moved is its owner's to lose.
    }
  }
  unlink(stale.c_str());
}

static std::string ClaimPathOf(const std::string& inputPath) {
  const std::string folder = GetDirectoryPart(UnnumberedOutputPath(inputPath, ModeExtensions().front()));
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : inputPath + '\n' + conversionKey) hash = (hash ^ c) * 0x100000001b3ull;
  char name[17];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
  return folder + kClaimPrefix + name;
}

bool ClaimInput(const std::string& inputPath) {
  const std::string claimPath = ClaimPathOf(inputPath);
  g_mkdir_with_parents(GetDirectoryPart(claimPath).c_str(), 0755);
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = open(claimPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      const std::string owner = OwnerLine();
      if (write(fd, owner.data(), owner.size()) < 0) {
        // An empty claim still holds for a while; its owner renews it.
      }
      close(fd);
      heldClaims[inputPath] = claimPath;
      return true;
    }
    if (errno != EEXIST) return true;  // nowhere to claim: nothing to part from
    RemoveDeadClaim(claimPath);
  }
  return false;
}

void ReleaseInput(const std::string& inputPath) {
  auto held = heldClaims.find(inputPath);
  if (held == heldClaims.end()) return;
  unlink(held->second.c_str());
  heldClaims.erase(held);
}

void ReleaseAllInputs() {
  for (const auto& [input, claim] : heldClaims) unlink(claim.c_str());
  heldClaims.clear();
}

void RenewInputClaims() {
  for (const auto& [input, claim] : heldClaims) utimensat(AT_FDCWD, claim.c_str(), nullptr, 0);
}
