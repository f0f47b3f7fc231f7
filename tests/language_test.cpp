// The program in the user's language: the English and Japanese catalogues, and the
// designed Japanese texts wherever no catalogue applies.
#include <gtest/gtest.h>

#include "tests/support/media_fixtures.h"

using namespace mediatest;

namespace {

// The program under env (LC_ALL=..., LANGUAGE=...), with no other language setting.
ProgramRun InLocale(const std::vector<std::string>& env, const std::vector<std::string>& args) {
  std::vector<std::string> wrapper{"env", "-u", "LANGUAGE", "-u", "LANG", "-u", "LC_MESSAGES"};
  wrapper.insert(wrapper.end(), env.begin(), env.end());
  return RunProgram(args, wrapper);
}

TEST(LanguageTest, MessagesAndHelpFollowTheCatalogueAndKeepTheDesignWithoutOne) {
  const std::string locales = RunCommand({"locale", "-a"});
  ASSERT_NE(locales.find("en_US.utf8"), std::string::npos) << "tools/install-deps --test makes the locales";
  ASSERT_NE(locales.find("ja_JP.utf8"), std::string::npos) << "tools/install-deps --test makes the locales";
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.file("notes.wav"), "not a wave file"));
  const char* kJapaneseError = "エラー No.103: 読み込み可能なメディアファイルではありません。\n";
  struct Case {
    std::vector<std::string> env;
    const char* error;
    const char* usage;
    std::vector<const char*> helpHas, helpLacks;
  };
  const Case cases[] = {
      {{"LC_ALL=en_US.UTF-8", "LANGUAGE=en"}, "Error No.103: This is not a readable media file.\n",
       "quilllomare: unknown mode: fm (see --help)\n", {"Convert without a window", "Exit status:"}, {"ウィンドウ"}},
      {{"LC_ALL=ja_JP.UTF-8"}, kJapaneseError, "quilllomare: 不明なモードです: fm (--help を参照)\n",
       {"ウィンドウを出さずに変換する", "終了ステータス:", "ファイル|フォルダ..."}, {"Convert", "Exit status"}},
      // The C locale takes no catalogue, whatever LANGUAGE says.
      {{"LC_ALL=C", "LANGUAGE=en"}, kJapaneseError, "quilllomare: unknown mode: fm (see --help)\n",
       {"Convert without a window", "Exit status:"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env[0]);
    ProgramRun run = InLocale(c.env, {"--batch", "-q", dir.file("notes.wav")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, dir.file("notes.wav") + ": " + c.error);  // the message names its input
    run = InLocale(c.env, {"--batch", "--mode", "fm", dir.file("notes.wav")});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, c.usage);
    run = InLocale(c.env, {"--help"});
    EXPECT_EQ(run.status, 0);
    for (const char* text : c.helpHas) EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    for (const char* text : c.helpLacks) EXPECT_EQ(run.out.find(text), std::string::npos) << text << "\n" << run.out;
  }
}

// The first word of every listed row: the format a stored row number stands for.
std::string RowValues(const std::string& list) {
  std::string values;
  for (size_t line = 0; line < list.size(); line = list.find('\n', line) + 1) {
    const size_t start = list.find_first_not_of(' ', line);
    values += list.substr(start, list.find(' ', start) - start) + "\n";
    if (list.find('\n', line) == std::string::npos) break;
  }
  return values;
}

// The MP3 labels are read back by their translated channel word, and the rows of every
// list are the same formats in every language (the settings file stores row numbers).
TEST(LanguageTest, EnglishFormatLabelsNameTheSameFormats) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is needed to make media";
  TempDir dir;
  const std::string input = MakeFixture(Fixture::Wav16Stereo44k, dir.path(), 0.5, "song.wav");
  const std::vector<std::string> english{"LC_ALL=en_US.UTF-8", "LANGUAGE=en"};
  ProgramRun run = InLocale(english, {"--batch", "--list-formats"});
  EXPECT_NE(run.out.find(" 0   8,000 Hz ,  8 bit , Mono\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("128,44100,2  128Kbps 44100Hz Stereo\n"), std::string::npos) << run.out;
  EXPECT_EQ(RowValues(run.out), RowValues(InLocale({"LC_ALL=ja_JP.UTF-8"}, {"--batch", "--list-formats"}).out));
  run = InLocale(english, {"--batch", "-q", "--mode", "mp3", "--mp3-format", "128,44100,2", input});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ProbeAudio(dir.file("song.mp3")).channels, 2);
}

}  // namespace
