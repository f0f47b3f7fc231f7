// Batches converted several files at once, going on past failures, into folders of
// one's own, and run again to finish what is left.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <thread>

#include "common/batch.h"
#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

ProgramRun Batch(std::vector<std::string> args) {
  args.insert(args.begin(), "--batch");
  return RunProgram(args);
}

// Every file under folder, relative to it, sorted.
std::vector<std::string> Tree(const std::string& folder) {
  std::string listing = RunCommand({"find", folder, "-type", "f", "-printf", "%P\n"});
  std::vector<std::string> files;
  for (size_t at = 0, end; (end = listing.find('\n', at)) != std::string::npos; at = end + 1)
    files.push_back(listing.substr(at, end - at));
  std::sort(files.begin(), files.end());
  return files;
}

// Every file under folder but the journals of records where no extended attributes are kept.
std::vector<std::string> Outputs(const std::string& folder) {
  std::vector<std::string> files = Tree(folder);
  std::erase_if(files, [](const std::string& f) { return GetFileNamePart(f) == ".quilllomare-journal"; });
  return files;
}

bool IsPart(const std::string& name) { return name.find("quilllomare") != std::string::npos; }

std::vector<pid_t> Children(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string pid, name, state;
    pid_t ppid = 0;
    if (stat >> pid >> name >> state >> ppid && ppid == parent) children.push_back(std::stoi(pid));
  }
  closedir(proc);
  return children;
}

// The workers of parent once one of them does what begun says, in at most 60 s; empty
// when none did.
std::vector<pid_t> WorkersOnceBegun(pid_t parent, const std::function<bool(pid_t worker)>& begun) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (std::vector<pid_t> workers; std::chrono::steady_clock::now() < deadline; workers = Children(parent)) {
    if (std::any_of(workers.begin(), workers.end(), begun)) return workers;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

// The report's lines as "NAME STATUS ERROR", one per line in the order written, with
// "missing output" for a converted line whose output is not there; "bad line" for a
// line that is not a whole JSON object of the documented fields.
std::string ReportSummary(const std::string& report) {
  static const char* const kScript = R"(
import json, os, sys
for line in open(sys.argv[1], encoding="utf-8", errors="surrogateescape"):
    try:
        r = json.loads(line)
        assert set(r) == {"input", "output", "status", "error", "message", "seconds", "audio_seconds"}
        assert r["status"] in ("converted", "failed", "skipped") and r["seconds"] >= 0
        assert (r["output"] is not None) == (r["status"] == "converted")
        if r["output"] is not None and not os.path.isfile(r["output"]): print("missing output")
        print(os.path.basename(r["input"]), r["status"], r["error"])
    except Exception as e:
        print("bad line", repr(line), e)
)";
  return RunCommand({"python3", "-c", kScript, report});
}

// The same batch one file after another and three at once: the same messages and
// lines in the same order, the same files under the same names, the same bytes; a bad
// file in the middle stops both at the same place, or is summed up with --keep-going.
TEST(BatchJobsTest, ParallelRunsLeaveWhatSequentialRunsLeave) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  const std::pair<Fixture, const char*> inputs[] = {
      {Fixture::Wav16Stereo44k, "song.wav"}, {Fixture::Mp3Stereo44k, "song.mp3"}, {Fixture::AviPcm, "clip.avi"},
      {Fixture::VobAc3Stereo, "film.vob"},   {Fixture::Mp3Mono22k, "voice.mp3"},  {Fixture::WmvWma, "movie.wmv"},
      {Fixture::Mpeg1PsMp2, "prog.mpg"},     {Fixture::Wav8BitMono8k, "low.wav"}};
  std::vector<std::string> files;
  // The first file is the longest, so that with --keep-going the later song.mp3 is done first.
  for (const auto& [fixture, name] : inputs)
    files.push_back(MakeFixture(fixture, dir.path(), files.empty() ? 8.0 : 2.0, name));
  const std::string bad = MakeFixture(Fixture::TextAsMpg, dir.path(), 1.0, "bad.mpg");

  struct Row { const char* name; bool withBad, keepGoing; int status; size_t outputs; };
  const Row rows[] = {{"all good", false, false, 0, 8}, {"bad fourth", true, false, 1, 3},
                      {"bad fourth, keep going", true, true, 1, 8}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> batch = files;
    if (row.withBad) batch.insert(batch.begin() + 3, bad);
    ProgramRun runs[2];
    for (int jobs : {1, 3}) {
      std::vector<std::string> args = {"--mode", "mp3", "--mp3-format", "128,44100,2", "--jobs", std::to_string(jobs),
                                       "--output-dir", dir.file("out" + std::to_string(jobs))};
      if (row.keepGoing) args.push_back("--keep-going");
      args.insert(args.end(), batch.begin(), batch.end());
      runs[jobs > 1] = Batch(args);
      EXPECT_EQ(runs[jobs > 1].status, row.status) << runs[jobs > 1].err;
    }
    EXPECT_EQ(runs[0].err, runs[1].err);
    const std::vector<std::string> names = Tree(dir.file("out1"));
    EXPECT_EQ(names.size(), row.outputs);
    EXPECT_EQ(Tree(dir.file("out3")), names);
    EXPECT_TRUE(std::count(names.begin(), names.end(), "song_2.mp3")) << "song.mp3 comes after song.wav";
    for (const std::string& name : names)
      EXPECT_TRUE(ReadFileBytes(dir.file("out3/" + name)) == ReadFileBytes(dir.file("out1/" + name))) << name;
    if (row.withBad) {
      // The message names the file it is about, not the one converted before it.
      EXPECT_NE(runs[1].err.find("\n" + bad + ": エラー No."), std::string::npos) << runs[1].err;
    }
    if (row.keepGoing) {
      EXPECT_NE(runs[1].err.find("quilllomare: 変換 8、失敗 1、スキップ 0\n  " + bad + "\n    エラー No."),
                std::string::npos) << runs[1].err;
    }
    RunCommand({"rm", "-rf", dir.file("out1"), dir.file("out3")});
  }
}

// A batch stopped by SIGTERM, by a worker that crashes, or by SIGINT while a worker is
// stopped (SIGSTOP), ends and leaves no partial output; a rerun with --skip-existing
// finishes the rest without a second copy of anything.
TEST(BatchJobsTest, StoppedBatchesLeaveNothingPartialAndRerunsFinishTheRest) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  std::vector<std::string> args = {"--mode", "mp3", "--jobs", "2", "--output-dir", dir.file("out")};
  for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"})
    args.push_back(MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 60.0, name));
  std::vector<std::string> argv = {QL_PROGRAM, "--batch", "--report", dir.file("report")};
  argv.insert(argv.end(), args.begin(), args.end());

  enum class End { Term, Crash, StoppedWorker };
  for (End end : {End::Term, End::Crash, End::StoppedWorker}) {
    const bool crash = end == End::Crash;
    SCOPED_TRACE(static_cast<int>(end));
    pid_t pid = StartCommand(argv, dir.file("err"));
    const std::vector<pid_t> workers =
        WorkersOnceBegun(pid, [&](pid_t worker) { return UnnamedOutputSize(worker, dir.file("out")) > 0; });
    ASSERT_FALSE(workers.empty()) << "no output was begun";
    // The first file's worker is the first started.
    const pid_t first = *std::min_element(workers.begin(), workers.end());
    if (end == End::StoppedWorker) kill(first, SIGSTOP);
    kill(crash ? first : pid, crash ? SIGSEGV : end == End::Term ? SIGTERM : SIGINT);
    const int status = WaitCommand(pid);
    const std::string err = ReadFileBytes(dir.file("err"));
    EXPECT_EQ(status, crash ? 1 : 130) << err;
    if (crash) {
      EXPECT_NE(err.find("エラー No.601: 変換中にエラーが発生しました。\n"), std::string::npos) << err;
    }
    for (const std::string& name : Tree(dir.file("out"))) {
      EXPECT_FALSE(IsPart(name)) << name;
      EXPECT_NEAR(ProbeAudio(dir.file("out/" + name)).duration, 60.0, 0.1) << name;
    }
    // Every input has one whole line, its output one that exists.
    const std::string report = ReportSummary(dir.file("report"));
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 4) << report;
    EXPECT_EQ(report.find("missing output"), std::string::npos) << report;
    if (crash) {
      EXPECT_NE(report.find("a.wav failed 601"), std::string::npos) << report;
    }
  }

  const size_t done = Tree(dir.file("out")).size();
  args.push_back("--skip-existing");
  ProgramRun rerun = Batch(args);
  EXPECT_EQ(rerun.status, 0) << rerun.err;
  EXPECT_NE(rerun.err.find("変換 " + std::to_string(4 - done) + "、失敗 0、スキップ " + std::to_string(done)),
            std::string::npos) << rerun.err;
  EXPECT_EQ(Tree(dir.file("out")), (std::vector<std::string>{"a.mp3", "b.mp3", "c.mp3", "d.mp3"}));
}

// Outputs mirror the tree under each folder given (its subfolders with --recursive);
// a file given directly lands in the output folder itself; without --output-dir a
// folder converts in place. Only media files of a folder are inputs.
TEST(BatchJobsTest, FoldersAsInputsAndOutputFolders) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  const std::string tree = dir.file("tree");
  RunCommand({"mkdir", "-p", tree + "/sub/deep"});
  MakeFixture(Fixture::Wav8BitMono8k, tree, 1.0, "a.wav");
  MakeFixture(Fixture::Wav8BitMono8k, tree + "/sub", 1.0, "b.WAV");
  MakeFixture(Fixture::Mp3Mono22k, tree + "/sub/deep", 1.0, "c.mp3");
  WriteFileBytes(tree + "/notes.txt", "not media");
  const std::string direct = MakeFixture(Fixture::Mp3Mono22k, dir.path(), 1.0, "direct.mp3");

  struct Row { std::vector<std::string> args; const char* folder; std::vector<std::string> files; };
  const Row rows[] = {
      {{"--recursive", "--output-dir", dir.file("out"), tree, direct}, "out",
       {"a.wav", "direct.wav", "sub/b.wav", "sub/deep/c.wav"}},
      {{"--output-dir", dir.file("flat"), tree, direct}, "flat", {"a.wav", "direct.wav"}},
      {{tree}, "tree", {"a.wav", "a_2.wav", "notes.txt", "sub/b.WAV", "sub/deep/c.mp3"}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"--mode", "wav", "--wav-format", "keep"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ProgramRun o = Batch(args);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(Tree(dir.file(row.folder)), row.files) << row.folder;
  }
  EXPECT_EQ(ProbeAudio(dir.file("out/sub/deep/c.wav")).sampleRate, 22050);
}

// Trees are walked as find walks them: a link loop and a link out of the tree are not
// followed, a link to a file is an input, each file is taken once however often it is
// named, and the output folder inside the tree is never an input. A folder that cannot
// be read (by a user who is not root) fails with its name, and the rest converts.
TEST(BatchJobsTest, TreesAreWalkedOnceAndUnreadableFoldersFail) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string tree = dir.file("tree");
  RunCommand({"mkdir", "-p", tree + "/d0/sub", dir.file("outside")});
  MakeFixture(Fixture::Wav8BitMono8k, tree, 0.5, "c.wav");
  MakeFixture(Fixture::Wav8BitMono8k, tree + "/d0", 0.5, "a.wav");
  MakeFixture(Fixture::Wav8BitMono8k, tree + "/d0/sub", 0.5, "b.wav");
  MakeFixture(Fixture::Wav8BitMono8k, dir.file("outside"), 0.5, "x.wav");
  symlink("..", (tree + "/d0/loop").c_str());
  symlink("../outside", (tree + "/away").c_str());
  symlink("../c.wav", (tree + "/d0/same.wav").c_str());
  symlink("../outside/x.wav", (tree + "/ext.wav").c_str());

  const std::vector<std::string> expected = {"c.wav", "d0/a.wav", "d0/sub/b.wav", "ext.wav"};
  for (const char* jobs : {"1", "3"}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs);
    const std::string out = dir.file(std::string("out") + jobs);
    ProgramRun o = Batch({"--mode", "wav", "-r", "--jobs", jobs, "--output-dir", out, tree, tree + "/../tree",
                          tree + "/c.wav", tree + "/d0/loop/c.wav"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(Tree(out), expected);
  }
  EXPECT_EQ(Tree(dir.file("outside")), std::vector<std::string>{"x.wav"});

  // An output folder in the tree, run into three times: never read as inputs.
  for (int run = 0; run < 3; ++run) {
    ProgramRun o = Batch({"--mode", "wav", "-r", "--output-dir", tree + "/d0/out", tree + "/d0"});
    EXPECT_EQ(o.status, 0) << o.err;
  }
  EXPECT_EQ(Tree(tree + "/d0/out"), (std::vector<std::string>{"a.wav", "a_2.wav", "a_3.wav", "same.wav", "same_2.wav",
                                                               "same_3.wav", "sub/b.wav", "sub/b_2.wav", "sub/b_3.wav"}));
  RunCommand({"rm", "-r", tree + "/d0/out"});

  // Unreadable, below the tree or named itself.
  const std::string locked = tree + "/d0/locked";
  mkdir(locked.c_str(), 0755);
  MakeFixture(Fixture::Wav8BitMono8k, locked, 0.5, "hidden.wav");
  chmod(locked.c_str(), 0);
  const std::vector<std::string> asNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
  struct Row { std::vector<std::string> inputs; const char* out; };
  const Row rows[] = {{{"-r", tree + "/d0"}, "n1"}, {{locked, tree + "/c.wav"}, "n2"}};
  for (const Row& row : rows) {
    const std::string out = dir.file(row.out);
    mkdir(out.c_str(), 0777);
    chmod(out.c_str(), 0777);
    std::vector<std::string> args = {"--batch", "--mode", "wav", "--keep-going", "--output-dir", out};
    args.insert(args.end(), row.inputs.begin(), row.inputs.end());
    ProgramRun o = RunProgram(args, asNobody);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find(locked + ": エラー No.506: "), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("失敗 1、"), std::string::npos) << o.err;
    EXPECT_EQ(Tree(out).size(), row.inputs[0] == "-r" ? 3u : 1u) << o.err;
  }
}

// --skip-existing counts an input done only when an output made from it exists: not a
// file, folder or empty file under its name, not the output of another input of that
// name, not another input. Runs in place and into a folder, repeated, add nothing more;
// an output removed meanwhile is made again.
TEST(BatchJobsTest, SkipExistingCountsOnlyOutputsMadeFromTheInput) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  const std::string in = dir.file("in"), out = dir.file("out");
  RunCommand({"mkdir", "-p", in + "/A", in + "/B"});
  for (const char* name : {"x.wav", "y.wav", "z.wav", "song.wav", "A/01.wav", "B/01.wav"})
    MakeFixture(Fixture::Wav8BitMono8k, in, 0.5, name);
  MakeFixture(Fixture::Mp3Mono22k, in, 0.5, "song.mp3");
  const std::vector<std::string> intoFolder = {"01.mp3", "01_2.mp3", "song.mp3", "song_2.mp3", "x.mp3",
                                               "x_2.mp3", "y_2.mp3", "z.mp3", "z_2.mp3"};
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs);
    RunCommand({"rm", "-rf", out});
    RunCommand({"mkdir", "-p", out + "/y.mp3"});
    WriteFileBytes(out + "/x.mp3", "");
    WriteFileBytes(out + "/z.mp3", "not audio");
    for (int run = 0; run < 3; ++run) {
      if (run == 2) unlink((out + "/x_2.mp3").c_str());
      ProgramRun o = Batch({"--mode", "mp3", "--skip-existing", "--jobs", jobs, "--output-dir", out, in + "/x.wav",
                            in + "/y.wav", in + "/z.wav", in + "/A/01.wav", in + "/B/01.wav", in + "/song.wav",
                            in + "/song.mp3"});
      EXPECT_EQ(o.status, 0) << o.err;
      const int converted = run == 0 ? 7 : run == 2;
      EXPECT_NE(o.err.find("変換 " + std::to_string(converted) + "、失敗 0、スキップ " + std::to_string(7 - converted)),
                std::string::npos) << o.err;
      EXPECT_EQ(Outputs(out), intoFolder);
    }
    EXPECT_EQ(ProbeAudio(out + "/01_2.mp3").sampleRate, 44100);
  }

  // In place: the outputs of earlier runs are not inputs, and song.mp3 (an input) does
  // not stand for song.wav's output.
  RunCommand({"rm", "-r", in + "/A", in + "/B"});
  for (int run = 0; run < 3; ++run) {
    ProgramRun o = Batch({"--mode", "mp3", "-r", "--skip-existing", in});
    EXPECT_EQ(o.status, 0) << o.err;
  }
  EXPECT_EQ(Tree(in), (std::vector<std::string>{"song.mp3", "song.wav", "song_2.mp3", "song_3.mp3", "x.mp3", "x.wav",
                                                 "y.mp3", "y.wav", "z.mp3", "z.wav"}));
}

// A FUSE mount of folder without unnamed files or extended attributes (bindfs), as NFS
// is; unmounted at the end. path() is "" where FUSE cannot be mounted.
class FuseMount {
 public:
  FuseMount(const std::string& folder, const std::string& mountPoint) : path_(mountPoint) {
    mkdir(mountPoint.c_str(), 0755);
    int status = -1;
    if (access("/dev/fuse", R_OK | W_OK) == 0 && HaveTool("bindfs"))
      RunCommand({"bindfs", "--xattr-none", folder, mountPoint}, &status);
    if (status != 0) path_.clear();
  }
  ~FuseMount() {
    if (!path_.empty()) RunCommand({"fusermount", "-u", "-z", path_});
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Whether a process has a file open under folder.
bool WritesUnder(pid_t pid, const std::string& folder) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
    if (std::filesystem::read_symlink(entry.path(), error).string().starts_with(folder + "/")) return true;
  return false;
}

// Three instances given the same command at once, with the parts 1..3 of --shard or
// with --skip-existing, on the local disk and on a FUSE mount: every input converted exactly once.
// One instance killed in the middle (its workers too) and the command run again: the
// rerun finishes exactly what is left, leaving no temporary, claim or second copy.
TEST(BatchJobsTest, InstancesTogetherConvertEveryInputOnce) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir local;
  mkdir(local.file("fuse").c_str(), 0755);
  FuseMount fuse(local.file("fuse"), local.file("mnt"));
  const std::string roots[] = {local.file("disk"), fuse.path()};
  const std::string wav = MakeFixture(Fixture::Wav8BitMono8k, local.path(), 0.5, "t.wav");
  const std::string longWav = MakeFixture(Fixture::Wav16Stereo44k, local.path(), 20.0, "long.wav");
  for (const std::string& root : roots) {
    if (root.empty()) {
      std::cout << "FUSE cannot be mounted here: the FUSE case is skipped\n";
      continue;
    }
    SCOPED_TRACE(root);
    mkdir(root.c_str(), 0755);
    const std::string tree = root + "/tree";
    RunCommand({"mkdir", "-p", tree + "/one", tree + "/two"});
    std::vector<std::string> expected;
    for (int i = 0; i < 12; ++i) {
      const std::string name = std::string(i % 2 ? "one/" : "two/") + "t" + std::to_string(i) + ".wav";
      RunCommand({"cp", wav, tree + "/" + name});
      expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    for (bool sharded : {true, false}) {
      SCOPED_TRACE(sharded ? "--shard" : "no --shard");
      const std::string out = root + (sharded ? "/sharded" : "/out");
      std::vector<pid_t> runs;
      for (int k = 1; k <= 3; ++k) {
        std::vector<std::string> argv = {QL_PROGRAM, "--batch", "--mode", "wav", "-r", "--jobs", "2", "--output-dir", out};
        if (sharded) argv.insert(argv.end(), {"--shard", std::to_string(k) + "/3"});
        else argv.push_back("--skip-existing");
        argv.push_back(tree);
        runs.push_back(StartCommand(argv, local.file("err" + std::to_string(k))));
      }
      for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(WaitCommand(runs[k - 1]), 0) << ReadFileBytes(local.file("err" + std::to_string(k)));
      EXPECT_EQ(Outputs(out), expected);
    }

    // Killed in the middle, with its workers, and run again.
    const std::string big = root + "/big";
    mkdir(big.c_str(), 0755);
    std::vector<std::string> bigOutputs;
    for (int i = 0; i < 6; ++i) {
      RunCommand({"cp", longWav, big + "/b" + std::to_string(i) + ".wav"});
      bigOutputs.push_back("b" + std::to_string(i) + ".mp3");
    }
    const std::vector<std::string> command = {QL_PROGRAM, "--batch", "--mode", "mp3", "--skip-existing", "--jobs", "2",
                                              "--output-dir", root + "/bigout", big};
    std::vector<pid_t> runs;
    for (int k = 1; k <= 3; ++k) runs.push_back(StartCommand(command, local.file("err" + std::to_string(k))));
    const std::vector<pid_t> workers = WorkersOnceBegun(runs[0], [&](pid_t w) { return WritesUnder(w, root + "/bigout"); });
    ASSERT_FALSE(workers.empty()) << "no output was begun";
    for (pid_t worker : workers) kill(worker, SIGKILL);
    kill(runs[0], SIGKILL);
    WaitCommand(runs[0]);
    for (int k = 2; k <= 3; ++k) EXPECT_EQ(WaitCommand(runs[k - 1]), 0) << ReadFileBytes(local.file("err" + std::to_string(k)));
    std::vector<std::string> argv(command.begin() + 1, command.end());
    ProgramRun rerun = RunProgram(argv);
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    const std::vector<std::string> names = Outputs(root + "/bigout");
    EXPECT_EQ(names, bigOutputs);
    for (const std::string& name : names) EXPECT_NEAR(ProbeAudio(root + "/bigout/" + name).duration, 20.0, 0.1) << name;
  }
}

// More jobs than the descriptor limit allows workers: no more workers start than fit,
// and every file converts.
TEST(BatchJobsTest, JobsBeyondTheDescriptorLimitConvertEveryFile) {
  if (!HaveFfmpeg() || !HaveTool("prlimit")) GTEST_SKIP() << "ffmpeg and prlimit are needed";
  TempDir dir;
  std::vector<std::string> args = {"--batch", "--mode", "wav", "--jobs", "1024", "--output-dir", dir.file("out")};
  std::vector<std::string> expected;
  for (int i = 10; i < 30; ++i) {
    args.push_back(MakeFixture(Fixture::Wav8BitMono8k, dir.path(), 0.3, "f" + std::to_string(i) + ".wav"));
    expected.push_back("f" + std::to_string(i) + ".wav");
  }
  ProgramRun o = RunProgram(args, {"prlimit", "--nofile=48:48"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Tree(dir.file("out")), expected);
}

}  // namespace
