// Naming the output file of an input, and bringing the output under its name.
//
// An output is never written under its final name. Where the file system allows it
// (ext4, tmpfs, xfs, btrfs), MakeOutputPath opens an unnamed file in the output's folder
// (O_TMPFILE); the graph writes it through "/proc/self/fd/N", and CommitOutputFiles
// links it under the final name once it is complete, never replacing anything: however
// the run ends before that, nothing is left. Elsewhere (NFS, many FUSE file systems) it
// claims the name by creating, exclusively, a hidden temporary file beside it
// (".NAME.quilllomare-part"), which the commit renames; a crash then leaves at most that
// temporary, never a short file that looks finished. A name is free only when neither it
// nor its temporary exists and no output of this process holds it; two runs of the
// program choosing the same name at once are parted at the commit, where the later one
// takes the next free number.
#pragma once

#include <string>
#include <vector>

// The output path for an input and a new extension (without its dot): beside the
// input, or in the output folder for inputs on optical media; numbered "_2", "_3", ...
// so that nothing existing is ever overwritten. Claims the name (see above) until it
// is committed or discarded. Sets StatusNotice.
std::string MakeOutputPath(const std::string& inputPath, const std::string& extension);

// The hidden temporary file an output is written to until complete, in the same folder:
// ".NAME.quilllomare-part", or ".quilllomare-HASH.part" when NAME is too long for that.
std::string TemporaryOutputPath(const std::string& finalPath);

// Where the writer of an output writes: "/proc/self/fd/N" for an unnamed file, the
// temporary file of a name MakeOutputPath gave, any other path itself. Its size (stat)
// is the output's size so far.
std::string OutputWritePath(const std::string& finalPath);

// Moves every claimed output's temporary file to its final name, flushed to the disk
// first. A name taken meanwhile by someone else is skipped for the next free number
// (StatusFileName follows). False with the system's reason when an output cannot be
// brought under any name; the outputs not committed stay claimed.
struct CommittedOutput {
  std::string temporary, finalPath;
};
bool CommitOutputFiles(std::string* reason, std::vector<CommittedOutput>* committed = nullptr);

// Starts writing the outputs' data to the disk without waiting, so that the flush
// before the commit has little left to do. Called now and then while a graph runs.
void StartOutputWriteback();

// Removes the temporary files of the outputs not committed and forgets their claims.
void DiscardOutputFiles();

// The folder outputs of optical media go to, ending in '/': "output/" beside the
// program when its folder is writable and it is not installed, else "output/" in the
// user's Music folder.
std::string GetOutputFolder();

// Whether a path lies on optical media: an ISO 9660 or UDF file system, or the
// desktop's audio-CD mount (a folder whose name starts with "cdda:").
bool IsOnOpticalMedia(const std::string& path);

// Tests: behave as on a file system that refuses unnamed files (named temporaries).
void SetUnnamedOutputsRefused(bool refused);

// The batch mode's own places and order; nullptr restores the defaults.
// An OutputFolderRule gives the folder (ending in '/') an input's output goes to
// instead of the usual place, or "" for the usual place.
using OutputFolderRule = std::string (*)(const std::string& inputPath);
void SetOutputFolderRule(OutputFolderRule rule);

// Steps of an output's life, for outputs named and committed by several processes in
// one agreed order: the hook may block until it is this output's turn.
enum class OutputStep {
  BeforeClaim,  // a name is about to be chosen (finalPath empty)
  Claimed,      // finalPath is ours until committed or discarded
  BeforeFlush,  // the output is complete; its data goes to the disk next
  BeforeMove,   // flushed; it is moved to finalPath next
  Moved,        // under its final name, finalPath (a later number when the name was taken)
};
using OutputStepHook = void (*)(OutputStep step, const std::string& finalPath);
void SetOutputStepHook(OutputStepHook hook);

// Names chosen by the other processes of the same run and not given up: an unnamed file
// holds no name on the disk, so they count as taken here until replaced by the next list.
void SetNamesHeldElsewhere(std::vector<std::string> names);

// The name a fresh run gives an input's output when nothing is in the way: unnumbered,
// or "_2" when the unnumbered name is the input itself.
std::string UnnumberedOutputPath(const std::string& inputPath, const std::string& extension);

// Tests replace the optical media test; nullptr restores the real one.
using OpticalMediaTest = bool (*)(const std::string& path);
void SetOpticalMediaTest(OpticalMediaTest test);
