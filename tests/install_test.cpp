// The program as people install it: cmake --install into a prefix, and the Debian package.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// A user's home with its own configuration folder, as the installed program sees it.
std::vector<std::string> AsUser(const std::string& home, std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"env", "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config"});
  return argv;
}

TEST(InstallTest, InstalledCopyHasItsDesktopFilesAndKeepsUserFilesInTheHome) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  const std::string prefix = dir.file("prefix");
  int status = -1;
  std::string err;
  std::string out = RunCommand({"cmake", "--install", QL_BINARY_DIR, "--prefix", prefix}, &status, &err);
  ASSERT_EQ(status, 0) << out << err;

  const std::string desktop = prefix + "/share/applications/quilllomare.desktop";
  const std::string metainfo = prefix + "/share/metainfo/org.quilllomare.QuillLomare.metainfo.xml";
  for (const char* file : {"bin/quilllomare", "share/man/man1/quilllomare.1.gz",
                           "share/man/ja/man1/quilllomare.1.gz", "share/doc/quilllomare/copyright",
                           "share/locale/en/LC_MESSAGES/quilllomare.mo",
                           "share/locale/ja/LC_MESSAGES/quilllomare.mo",
                           "share/icons/hicolor/32x32/apps/quilllomare.png",
                           "share/icons/hicolor/48x48/apps/quilllomare.png",
                           "share/icons/hicolor/256x256/apps/quilllomare.png",
                           "share/icons/hicolor/scalable/apps/quilllomare.svg"})
    EXPECT_TRUE(Exists(prefix + "/" + file)) << file;
  // The validators read the desktop entry and the metainfo, which must be there.
  for (const std::vector<std::string>& check :
       {std::vector<std::string>{"desktop-file-validate", desktop}, {"appstreamcli", "validate", "--no-net", metainfo}}) {
    ASSERT_TRUE(Exists(check.back())) << check.back();
    if (!HaveTool(check[0])) continue;
    out = RunCommand(check, &status, &err);
    EXPECT_EQ(status, 0) << out << err;
  }
  // Both translated from the catalogues.
  EXPECT_NE(ReadFileBytes(desktop).find("\nName[ja]=くいるろまれ\n"), std::string::npos);
  EXPECT_NE(ReadFileBytes(metainfo).find("<name xml:lang=\"ja\">くいるろまれ</name>"), std::string::npos);

  // The settings come from the user's configuration folder, never from beside the
  // installed program, even where that folder is writable.
  const std::string home = dir.file("home");
  RunCommand({"mkdir", "-p", home + "/.config/quilllomare", dir.file("cdda:host=sr0")});
  WriteFileBytes(home + "/.config/quilllomare/QuillLomare.ini",
                 "[Setting]\nDecodeMode=0\nChangeWavFormat=1\nWavFormat=0\n");
  WriteFileBytes(prefix + "/bin/QuillLomare.ini", "[Setting]\nDecodeMode=0\nChangeWavFormat=0\n");
  const std::string input = MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 1.0, "song.wav");
  out = RunCommand(AsUser(home, {prefix + "/bin/quilllomare", "--batch", input}), &status, &err);
  ASSERT_EQ(status, 0) << err;
  AudioInfo converted = ProbeAudio(dir.file("song_2.wav"));
  EXPECT_EQ(converted.sampleRate, 8000);  // row 0 of the user's settings
  EXPECT_EQ(converted.channels, 1);

  // A CD track goes to output/ in the user's Music folder, not beside the program.
  const std::string track = MakeFixture(Fixture::Wav16Stereo44k, dir.file("cdda:host=sr0"), 1.0,
                                        "Track 1.wav");
  out = RunCommand(AsUser(home, {prefix + "/bin/quilllomare", "--batch", "--wav-format", "keep", track}),
                   &status, &err);
  ASSERT_EQ(status, 0) << err;
  EXPECT_EQ(ProbeAudio(home + "/Music/output/Track 1.wav").sampleRate, 44100);
  EXPECT_FALSE(Exists(prefix + "/bin/output"));
  EXPECT_FALSE(Exists(home + "/.config/quilllomare/QuillLomare.ini.tmp"));

  // The installed program finds its catalogues.
  WriteFileBytes(dir.file("notes.wav"), "not a wave file");
  RunCommand(AsUser(home, {"env", "LC_ALL=en_US.UTF-8", "LANGUAGE=en", prefix + "/bin/quilllomare", "--batch",
                           dir.file("notes.wav")}),
             &status, &err);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, dir.file("notes.wav") + ": Error No.103: This is not a readable media file.\n");
}

TEST(InstallTest, DebianPackageDependsOnTheRuntimeAndRunsFromItsFiles) {
  if (!HaveTool("dpkg-deb")) GTEST_SKIP() << "dpkg-deb is needed to read the package";
  TempDir dir;
  int status = -1;
  std::string err;
  std::string out = RunCommand({"cpack", "--config", std::string(QL_BINARY_DIR) + "/CPackConfig.cmake",
                                "-G", "DEB", "-B", dir.path()},
                               &status, &err);
  ASSERT_EQ(status, 0) << out << err;
  std::string deb = RunCommand({"sh", "-c", "ls " + dir.path() + "/quilllomare_*.deb"});
  deb.erase(deb.find_last_not_of('\n') + 1);
  ASSERT_TRUE(Exists(deb)) << deb;

  std::string info = RunCommand({"dpkg-deb", "--field", deb, "Depends"}, &status);
  for (const char* package : {"libc6 (>= ", "libgtk-3-0 (>= ", "gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good",
                              "gstreamer1.0-plugins-bad", "gstreamer1.0-plugins-ugly",
                              "gstreamer1.0-libav", "fonts-ipafont-gothic"}) {
    EXPECT_NE(info.find(package), std::string::npos) << package << " missing from: " << info;
  }

  const std::string root = dir.file("root");
  RunCommand({"dpkg-deb", "-x", deb, root}, &status, &err);
  ASSERT_EQ(status, 0) << err;
  for (const char* file : {"applications/quilllomare.desktop", "locale/ja/LC_MESSAGES/quilllomare.mo",
                           "man/ja/man1/quilllomare.1.gz", "doc/quilllomare/changelog.Debian.gz"})
    EXPECT_TRUE(Exists(root + "/usr/share/" + file)) << file;
  out = RunCommand({root + "/usr/bin/quilllomare", "--batch", "--list-formats"}, &status, &err);
  EXPECT_EQ(status, 0) << err;
  EXPECT_NE(out.find("WMA (--wma-profile ROW):"), std::string::npos) << out;

  // Debian's rules: no error from lintian (its warnings are named in the README).
  ASSERT_TRUE(HaveTool("lintian")) << "tools/install-deps --test installs lintian";
  out = RunCommand({"lintian", "--tag-display-limit", "0", deb}, &status, &err);
  EXPECT_FALSE(std::regex_search(out, std::regex("(^|\n)E: "))) << out;
}

// Every option --help names is in both manual pages, and the other way round.
TEST(InstallTest, ManualPagesNameTheOptionsOfHelp) {
  int status = -1;
  const std::string help = RunCommand({QL_PROGRAM, "--help-all"}, &status);
  ASSERT_EQ(status, 0);
  auto options = [](const std::string& text) {
    std::set<std::string> found;
    std::regex option(R"(--[a-z][a-z0-9-]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
      found.insert(it->str());
    return found;
  };
  std::set<std::string> helpOptions = options(help);
  helpOptions.insert("--help-all");  // GLib accepts it always, lists it only with option groups
  for (const char* name : {"quilllomare.1", "ja/quilllomare.1"}) {
    const std::string page = std::regex_replace(ReadFileBytes(std::string(QL_SOURCE_DIR "/res/man/") + name),
                                                std::regex(R"(\\-)"), "-");
    EXPECT_EQ(helpOptions, options(page)) << name;
  }
}

}  // namespace
