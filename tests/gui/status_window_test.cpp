// The status window's picture, pixel by pixel, and what the window shows on screen.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "app/gui_status_window.h"
#include "app/run.h"
#include "common/app_settings.h"
#include "common/i18n.h"
#include "common/resources.h"
#include "common/status_text.h"
#include "dialog/gui_selection_dialog.h"
#include "tests/gui/gui_support.h"
#include "tests/support/media_fixtures.h"

namespace {

constexpr uint32_t kOutline = 0x6496C8;

struct Reference {
  GdkPixbuf* picture = nullptr;
  uint32_t at(int x, int y) const {
    const guchar* p = gdk_pixbuf_read_pixels(picture) + y * gdk_pixbuf_get_rowstride(picture) +
                      x * gdk_pixbuf_get_n_channels(picture);
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
  }
};

Reference Load(int number) {
  g_autofree char* path = g_strdup_printf("/res/bitmap/%d.png", number);
  GdkPixbuf* picture = gdk_pixbuf_new_from_resource(path, nullptr);
  EXPECT_NE(picture, nullptr) << path;
  return {picture};
}

uint32_t PictureAt(cairo_surface_t* s, int x, int y) {
  cairo_surface_flush(s);
  const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                      y * cairo_image_surface_get_stride(s));
  return row[x] & 0xFFFFFF;
}

// The picture as designed, without text: the background; the frame where the mask is
// white and the background elsewhere; the outline and the bar, clamped, unless -1.
uint32_t Expected(int x, int y, int percent, bool encoding, int frame) {
  static const Reference background[2] = {Load(126), Load(127)};
  static const Reference filled = Load(124), unfilled = Load(125);
  static Reference masks[kFrameCount], figures[2][kFrameCount];
  if (!masks[0].picture)
    for (int k = 0; k < kFrameCount; ++k) {
      masks[k] = Load(165 + k);
      figures[0][k] = Load(145 + k);
      figures[1][k] = Load(155 + k);
    }
  uint32_t pixel = background[encoding].at(x, y);
  if (x >= 15 && x < 63 && y >= 30 && y < 80 && masks[frame].at(x - 15, y - 30) == 0xFFFFFF)
    pixel = figures[encoding][frame].at(x - 15, y - 30);
  if (percent == -1) return pixel;
  const bool onOutline = ((y == 59 || y == 70) && x >= 79 && x <= 180) ||
                         ((x == 79 || x == 180) && y >= 59 && y <= 70);
  if (onOutline) return kOutline;
  if (x >= 80 && x < 180 && y >= 60 && y < 70) {
    const int column = x - 80;
    return column < std::clamp(percent, 0, 100) ? filled.at(column, y - 60) : unfilled.at(column, y - 60);
  }
  return pixel;
}

// Every pixel of the w x h pictures alike; the first that differs is reported.
using Pixels = std::function<uint32_t(int x, int y)>;
void ExpectSamePixels(int w, int h, const Pixels& got, const Pixels& want, const std::string& what) {
  int wrong = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (got(x, y) != want(x, y) && wrong++ == 0)
        ADD_FAILURE() << what << " at (" << x << ", " << y << "): " << std::hex << got(x, y) << " instead of "
                      << want(x, y);
  EXPECT_EQ(wrong, 0) << what;
}
Pixels Picture(cairo_surface_t* s) { return [s](int x, int y) { return PictureAt(s, x, y); }; }

void SetTexts(const std::string& fileName, const std::string& notice) {
  std::lock_guard lock(StatusLock);
  StatusFileName = fileName;
  StatusNotice = notice;
}

class StatusWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterProgramResources();
    Settings = AppSettings{};
    SetTexts("", "");
    CreateStatusWindow(0, 0);
  }
  void TearDown() override {
    DestroyStatusWindow();
    AnimationPaused = false;
  }
};

// The picture as designed; on a display scaled by two every picture pixel becomes a 2 x 2
// block of the same colour.
TEST_F(StatusWindowTest, PictureHasExactlyTheDesignedPixelsAndScaledCrispOnes) {
  struct Case {
    int mode, frame, percent;
  };
  const Case cases[] = {
      {kModeWav, 0, -1}, {kModeWav, 0, 0},   {kModeWav, 3, 37},    {kModeExtract, 9, 100},
      {kModeMp3, 4, 37}, {kModeWma, 7, 250}, {kModeMp3, 1, -7},
  };
  for (const Case& c : cases) {
    Settings.DecodeMode = c.mode;
    PrepareStatusGraphics();
    FrameIndex = c.frame;
    PaintStatus(c.percent);
    const std::string what = "mode " + std::to_string(c.mode) + " frame " + std::to_string(c.frame) + " percent " +
                             std::to_string(c.percent);
    ExpectSamePixels(kStatusWidth, kStatusHeight, Picture(StatusPicture()),
                     [&](int x, int y) { return Expected(x, y, c.percent, IsEncodingMode(c.mode), c.frame); }, what);
    cairo_surface_t* device = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 2 * kStatusWidth, 2 * kStatusHeight);
    cairo_surface_set_device_scale(device, 2, 2);
    cairo_t* cr = cairo_create(device);
    DrawStatusPicture(cr);
    cairo_destroy(cr);
    ExpectSamePixels(2 * kStatusWidth, 2 * kStatusHeight, Picture(device),
                     [](int x, int y) { return PictureAt(StatusPicture(), x / 2, y / 2); }, "scaled, " + what);
    cairo_surface_destroy(device);
  }
}

TEST_F(StatusWindowTest, TextLinesComeAndGoWithTheFile) {
  PrepareStatusGraphics();
  auto darkPixelsInRows = [](int top, int bottom) {
    int dark = 0;
    for (int y = top; y < bottom; ++y)
      for (int x = 0; x < kStatusWidth; ++x) {
        const uint32_t p = PictureAt(StatusPicture(), x, y);
        if (((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) < 200) ++dark;
      }
    return dark;
  };
  auto expectRowsAsDesigned = [](int top, int bottom) {
    ExpectSamePixels(kStatusWidth, bottom - top, [=](int x, int y) { return PictureAt(StatusPicture(), x, top + y); },
                     [=](int x, int y) { return Expected(x, top + y, 50, false, 0); }, "rows from " + std::to_string(top));
  };
  // A file from optical media: the notice at the top, the output's name below it.
  SetTexts("track01.wav", kOutputFolderNotice);
  PaintStatus(50);
  EXPECT_GT(darkPixelsInRows(2, 14), 20);
  EXPECT_GT(darkPixelsInRows(16, 28), 20);
  // The next file from a hard disk: the notice is gone.
  SetTexts("movie.wav", "");
  PaintStatus(50);
  // A screen reader finds a progress bar over the picture, named by the file, at the
  // percentage painted.
  GList* layers = gtk_container_get_children(GTK_CONTAINER(gtk_bin_get_child(GTK_BIN(StatusWindow))));
  AtkObject* bar = g_list_length(layers) == 2 ? gtk_widget_get_accessible(GTK_WIDGET(layers->next->data)) : nullptr;
  g_list_free(layers);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(atk_object_get_role(bar), ATK_ROLE_PROGRESS_BAR);
  EXPECT_STREQ(atk_object_get_name(bar), "movie.wav");
  ASSERT_TRUE(ATK_IS_VALUE(bar));
  double value = 0;
  g_autofree char* valueText = nullptr;
  atk_value_get_value_and_text(ATK_VALUE(bar), &value, &valueText);
  EXPECT_DOUBLE_EQ(value, 0.5);
  expectRowsAsDesigned(0, 16);
  EXPECT_GT(darkPixelsInRows(16, 28), 20);
  expectRowsAsDesigned(30, kStatusHeight);
}

// A window that lay over the status window goes away: the last picture is back at once,
// with no animation step to repaint it. While the shell switches files the animation
// leaves caption, frame and picture alone.
TEST_F(StatusWindowTest, UncoveredWindowShowsItsLastPictureAndPausedAnimationKeepsCaptionAndFrame) {
  PrepareStatusGraphics();
  ShowStatusWindow();
  PaintStatus(64);
  GtkWidget* area = gtk_bin_get_child(GTK_BIN(StatusWindow));
  ASSERT_TRUE(guitest::RunUntil([&] { return gtk_widget_get_mapped(area); }));
  guitest::Pause(200);

  GtkWidget* cover = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_move(GTK_WINDOW(cover), 0, 0);
  gtk_window_set_default_size(GTK_WINDOW(cover), 400, 300);
  gtk_widget_show_all(cover);
  guitest::Pause(200);
  gtk_widget_destroy(cover);
  guitest::Pause(200);

  int x = 0, y = 0;
  gdk_window_get_origin(gtk_widget_get_window(area), &x, &y);
  g_autoptr(GdkPixbuf) shown =
      gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, kStatusWidth, kStatusHeight);
  ASSERT_NE(shown, nullptr);
  const Reference onScreen{shown};
  ExpectSamePixels(kStatusWidth, kStatusHeight, [&](int x, int y) { return onScreen.at(x, y); },
                   Picture(StatusPicture()), "on screen");

  StartStatusAnimation();
  guitest::Pause(400);
  EXPECT_GE(FrameIndex.load(), 2u);
  AnimationPaused = true;
  SetStatusCaption("(1/3) 100% ろまれ完了");
  const uint32_t frame = FrameIndex;
  guitest::Pause(400);
  EXPECT_EQ(FrameIndex.load(), frame);
  EXPECT_STREQ(gtk_window_get_title(StatusWindow), "(1/3) 100% ろまれ完了");
  AnimationPaused = false;
  StopStatusAnimation();
  SetStatusCaption("100% -ろまれ完了-");
  guitest::Pause(400);
  EXPECT_STREQ(gtk_window_get_title(StatusWindow), "100% -ろまれ完了-");
}

// ---- Under a window manager -------------------------------------------------------

// The columns of the frame's title bar that the caption's text covers: the bar with the
// caption against the same bar with a blank caption. Returns the text's width in pixels.
int CaptionInkWidth(GtkWindow* window, const std::string& caption) {
  auto titleBar = [&](const char* title) {
    gtk_window_set_title(window, title);
    guitest::Pause(300);
    const guitest::ManagedWindow m = guitest::ReadManagedWindow(window);
    int width = 0, height = 0;
    gtk_window_get_size(window, &width, &height);
    return gdk_pixbuf_get_from_window(gdk_get_default_root_window(), m.frameLeft, m.frameTop,
                                      width + m.extents[0] + m.extents[1], m.extents[2]);
  };
  g_autoptr(GdkPixbuf) empty = titleBar(" ");  // an empty one would show the program's name
  g_autoptr(GdkPixbuf) shown = titleBar(caption.c_str());
  if (!empty || !shown) return -1;
  const int channels = gdk_pixbuf_get_n_channels(shown), stride = gdk_pixbuf_get_rowstride(shown);
  int first = -1, last = -1;
  for (int x = 0; x < gdk_pixbuf_get_width(shown); ++x)
    for (int y = 0; y < gdk_pixbuf_get_height(shown); ++y) {
      const guchar* a = gdk_pixbuf_read_pixels(shown) + y * stride + x * channels;
      const guchar* b = gdk_pixbuf_read_pixels(empty) + y * stride + x * channels;
      if (std::equal(a, a + 3, b)) continue;
      if (first < 0) first = x;
      last = x;
    }
  return first < 0 ? 0 : last - first + 1;
}

// Shows the window for the run; what the window manager publishes once it has framed the
// window, raised it above the others and drawn it.
guitest::ManagedWindow ShowForRun() {
  PrepareStatusGraphics();
  ShowStatusWindow();
  PaintStatus(0);
  return guitest::WaitUntilManaged(StatusWindow, [](const guitest::ManagedWindow& m) {
    return !m.iconic && m.onScreen && m.framed && guitest::Contains(m.states, "_NET_WM_STATE_ABOVE");
  });
}

// What a person needs of the run's window on every desktop: a real frame with the caption
// drawn in its title bar, close and move and nothing else of the window manager's, above
// the others, on the screen, and GTK told where the frame is.
void ExpectFramedForRun(const guitest::ManagedWindow& m) {
  GdkRectangle screen;
  gdk_monitor_get_geometry(gdk_display_get_monitor(gdk_display_get_default(), 0), &screen);
  ASSERT_TRUE(m.managed);
  EXPECT_FALSE(m.iconic);
  EXPECT_TRUE(m.onScreen);
  // A frameless window can keep the extents of an earlier frame: a frame window must
  // hold it with a title bar above it.
  EXPECT_TRUE(m.framed);
  EXPECT_GT(m.extents[2], 10);
  EXPECT_TRUE(guitest::Contains(m.states, "_NET_WM_STATE_ABOVE"));
  EXPECT_FALSE(guitest::Contains(m.states, "_NET_WM_STATE_HIDDEN"));
  // xfwm4 offers full screen to every window, fixed size or not: not judged.
  for (const auto& [action, offered] :
       {std::pair{"_NET_WM_ACTION_CLOSE", true}, {"_NET_WM_ACTION_MOVE", true}, {"_NET_WM_ACTION_MINIMIZE", false},
        {"_NET_WM_ACTION_MAXIMIZE_HORZ", false}, {"_NET_WM_ACTION_MAXIMIZE_VERT", false},
        {"_NET_WM_ACTION_RESIZE", false}})
    EXPECT_EQ(guitest::Contains(m.actions, action), offered) << action;
  EXPECT_GE(m.frameLeft, screen.x);
  EXPECT_GE(m.frameTop, screen.y);
  EXPECT_LE(m.frameLeft + m.frameWidth, screen.x + screen.width);
  EXPECT_LE(m.frameTop + m.frameHeight, screen.y + screen.height);
  int left = 0, top = 0;
  gtk_window_get_position(StatusWindow, &left, &top);
  EXPECT_EQ(std::pair(left, top), std::pair(m.frameLeft, m.frameTop)) << "where GTK says the window is";
  EXPECT_GT(CaptionInkWidth(StatusWindow, "(2/3) 45% ゆまれ中"), 20) << "the caption in the title bar";
}

class StatusWindowUnderWindowManagerTest : public ::testing::TestWithParam<const char*> {};

// Each start as the window mode makes it: through the selection dialog (while the files are
// chosen only the dialog is on the screen; the status window waits minimised, listed where
// a taskbar finds it, where the window manager minimises, and unmapped elsewhere), or with
// files (the window shown for the run at once). Stored positions are kept over starts on
// the screen, and brought onto it otherwise; the window manager's close reaches the run.
TEST_P(StatusWindowUnderWindowManagerTest, FramedWithCloseAndMoveKeptWhereLeftAndAloneDialogWhileChoosing) {
  ASSERT_TRUE(mediatest::HaveFfmpeg()) << "ffmpeg is needed";
  guitest::WindowManager wm(GetParam());
  ASSERT_TRUE(wm.running()) << GetParam() << " did not start";
  mediatest::TempDir media;
  static std::string wav;
  wav = mediatest::MakeFixture(mediatest::Fixture::Wav8BitMono8k, media.path(), 0.5);
  RegisterProgramResources();
  Settings = AppSettings{};

  struct Start {
    int left, top;
    bool throughDialog, kept;
    bool besideAnother = false;  // another program's window is up: this one opens beside it
  };
  std::pair<int, int> stored{300, 200};
  for (const Start& start : {Start{3000, 20, true, false}, Start{-40, 70000, false, false}, Start{300, 200, true, true},
                             Start{-1, -1, false, true}, Start{-1, -1, true, true}, Start{-1, -1, false, true, true}}) {
    // (-1, -1): where the start before left the window.
    const std::pair<int, int> place = start.left == -1 ? stored : std::pair(start.left, start.top);
    SCOPED_TRACE(testing::Message() << place.first << "," << place.second << (start.throughDialog ? " dialog" : " files")
                                    << (start.besideAnother ? " beside another" : ""));
    const int other = start.besideAnother ? open(StatusWindowSlotFile(0).c_str(), O_RDWR | O_CREAT, 0600) : -1;
    if (start.besideAnother) {
      ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    }
    const int shift = start.besideAnother ? kInstanceOffset : 0;
    CreateStatusWindow(place.first, place.second);
    ShowStatusWindowMinimised();
    if (start.throughDialog) {
      const std::pair<int, int> dialogPlace = start.kept ? std::pair(120, 90) : place;
      Settings.rDialogWindow = {dialogPlace.first, dialogPlace.second};
      static guitest::ManagedWindow dialog, behind;
      g_idle_add([](gpointer) -> gboolean {
        guitest::RunUntil([] { return SettingsPanel.dialog && gtk_widget_get_mapped(SettingsPanel.dialog); });
        dialog = guitest::WaitUntilManaged(GTK_WINDOW(SettingsPanel.dialog));
        guitest::RunUntil([] { return !guitest::ReadManagedWindow(StatusWindow).onScreen; });
        guitest::Pause(300);  // nothing brings it back
        behind = guitest::ReadManagedWindow(StatusWindow);
        const bool chosen = guitest::Select(wav);
        gtk_dialog_response(GTK_DIALOG(SettingsPanel.dialog), chosen ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);
        return G_SOURCE_REMOVE;
      }, nullptr);
      EXPECT_TRUE(RunSelectionDialog(StatusWindow));
      ASSERT_TRUE(dialog.managed);
      EXPECT_TRUE(dialog.onScreen);
      EXPECT_FALSE(behind.onScreen);
      if (behind.iconic) {
        EXPECT_TRUE(guitest::Contains(behind.states, "_NET_WM_STATE_HIDDEN"));
        EXPECT_TRUE(behind.listed);
        EXPECT_FALSE(guitest::Contains(behind.states, "_NET_WM_STATE_SKIP_TASKBAR"));
      }
      if (start.kept) {
        EXPECT_EQ(std::pair(dialog.frameLeft, dialog.frameTop), dialogPlace);
      }
      EXPECT_TRUE(dialog.frameLeft >= 0 && dialog.frameLeft < 1024 - 100) << dialog.frameLeft;
      EXPECT_TRUE(dialog.frameTop >= 0 && dialog.frameTop < 768 - 100) << dialog.frameTop;
      EXPECT_EQ(std::pair(Settings.rDialogWindow.left, Settings.rDialogWindow.top),
                std::pair(dialog.frameLeft, dialog.frameTop));
    }
    const guitest::ManagedWindow m = ShowForRun();
    ExpectFramedForRun(m);
    StoredStatusWindowPosition(&stored.first, &stored.second);
    if (other >= 0) close(other);
    if (start.kept) {
      EXPECT_EQ(std::pair(m.frameLeft, m.frameTop), std::pair(place.first + shift, place.second + shift));
      EXPECT_EQ(stored, place);
      guitest::CloseThroughWindowManager(StatusWindow);
      EXPECT_TRUE(guitest::RunUntil(StatusWindowCloseRequested));
    }
    DestroyStatusWindow();
  }
}

INSTANTIATE_TEST_SUITE_P(WindowManagers, StatusWindowUnderWindowManagerTest,
                         ::testing::Values("openbox", "mutter", "metacity", "xfwm4", "icewm", "kwin"),
                         [](const auto& info) { return std::string(info.param); });

// Every caption of a three-file run, in both mode families, as wide in the title bar as in
// a wide window: nothing of it is cut. A caption too long for any 200-pixel window shows
// that a cut would be seen.
TEST(StatusWindowCaptionTest, EveryCaptionShowsInFullInTheTitleBar) {
  guitest::WindowManager wm;
  ASSERT_TRUE(wm.running()) << "openbox did not start";
  RegisterProgramResources();
  Settings = AppSettings{};
  CreateStatusWindow(300, 200);
  ShowStatusWindowMinimised();
  ShowForRun();
  GtkWidget* wide = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_move(GTK_WINDOW(wide), 0, 400);
  gtk_window_set_default_size(GTK_WINDOW(wide), 700, 50);
  gtk_widget_show_all(wide);
  guitest::WaitUntilManaged(GTK_WINDOW(wide));
  // Each caption form with its widest number, in Japanese and in English.
  std::vector<std::string> captions;
  auto addCaptions = [&captions] {
    captions.push_back(_(kSelectingCaption));
    captions.push_back(_(kPreparingCaption));
    for (int mode : {kModeWav, kModeMp3})
      for (uint32_t file = 1; file <= 3; ++file) {
        captions.push_back(FormatProgressCaption(mode, file, 3, 100));
        captions.push_back(file < 3 ? FormatFileDoneCaption(mode, file, 3) : FormatFinishedCaption(mode));
      }
  };
  addCaptions();
  guitest::UseEnglish(true);
  const std::pair<std::string, const char*> english[] = {
      {_(kSelectingCaption), "Lomare: choose files"},
      {_(kPreparingCaption), "Preparing the encoder"},
      {FormatProgressCaption(kModeMp3, 2, 3, 100), "(2/3) 100% Yumare…"},
      {FormatFileDoneCaption(kModeMp3, 2, 3), "(2/3) Yumare done"},
      {FormatFinishedCaption(kModeWav), "100% -Lomare done-"}};
  for (const auto& [caption, text] : english) EXPECT_EQ(caption, text) << "the English catalogue beside the test program";
  addCaptions();
  guitest::UseEnglish(false);
  for (const std::string& caption : captions) {
    const int full = CaptionInkWidth(GTK_WINDOW(wide), caption);
    EXPECT_GT(full, 20) << caption;
    EXPECT_NEAR(CaptionInkWidth(StatusWindow, caption), full, 2) << caption;  // a pixel of smoothing
  }
  const std::string tooLong = "(3/3) 100% ろまれ完了 ろまれ完了 ろまれ完了";
  EXPECT_LT(CaptionInkWidth(StatusWindow, tooLong), CaptionInkWidth(GTK_WINDOW(wide), tooLong) - 10);
  gtk_widget_destroy(wide);
  DestroyStatusWindow();
}
}  // namespace
