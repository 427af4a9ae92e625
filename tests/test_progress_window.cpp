// The progress window of the real updater, on an X server of the test's own
// (Xvfb). A run is held at a chosen point with FIFOs in the update
// directory: the worker blocks opening update.manifest (still at 0 %) or
// update.status (at 100 %) until the test opens the other end, so the window
// can be examined for as long as needed without any hook in the program.
// GoogleTest first: Xlib defines None and other names as macros.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <algorithm>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

using namespace testing_support;

namespace {

const std::string kTitle = "Updating the test application";
const std::string kInfo = "Applying the test update, please wait";
const std::string kIni = "; strings of the test\n[Window]\ntitle=" + kTitle + "\ninfo=" + kInfo + "\n";

double now_seconds() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Reads a FIFO whose writer is (or will soon be) blocked opening it, up to
// the writer's close. False when no writer came within `timeout`.
bool fifo_read_all(const std::string& path, double timeout, std::string* content) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  double end = now_seconds() + timeout;
  bool done = false;
  while (!done && now_seconds() < end) {
    // Until a writer has come, Linux reports neither data nor a hang-up.
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) content->append(buffer, static_cast<size_t>(n));
    if (n == 0) done = true;
    if (n < 0 && errno != EAGAIN) break;
  }
  close(fd);
  return done;
}

// Lets a reader blocked opening the FIFO go on; it then reads end of file.
bool fifo_release_reader(const std::string& path, double timeout) {
  double end = now_seconds() + timeout;
  while (now_seconds() < end) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    if (errno != ENXIO) return false;  // ENXIO: no reader yet
    usleep(5000);
  }
  return false;
}

struct Rect {
  int x, y, width, height;
};

class ProgressWindowTest : public ::testing::Test {
 protected:
  static XServer server;
  static bool server_started;
  static std::string server_problem;

  static void SetUpTestSuite() {
    server_started = start_x_server(&server, &server_problem);
    if (!server_started) return;
    // Every window mapped on the server is reported, so that a test can tell
    // that none was shown.
    XSelectInput(server.display, DefaultRootWindow(server.display), SubstructureNotifyMask);
  }
  static void TearDownTestSuite() { stop_x_server(&server); }

  TempDir root;
  std::string install = root / "install";
  std::string updates = root / "updates";
  std::string program = root / "bin/updater";  // its strings file: bin/updater.ini
  Child updater;
  double started_at = 0;

  void SetUp() override {
    if (!server_started) GTEST_SKIP() << "no X server for the window tests: " << server_problem;
    make_dirs(install);
    make_dirs(root / "bin");
    ASSERT_EQ(symlink(updater_bin().c_str(), program.c_str()), 0);
  }

  Display* display() { return server.display; }

  // A package of comments; FIFOs hold the run before Prepare (manifest) or
  // after Finish (status).
  void make_run(bool hold_at_start, bool hold_at_end) {
    make_update(updates, "# a run of comments only\n");
    if (hold_at_start) {
      ASSERT_EQ(mkfifo((updates + "/update.manifest").c_str(), 0644), 0);
    }
    if (hold_at_end) {
      ASSERT_EQ(mkfifo((updates + "/update.status").c_str(), 0644), 0);
    }
  }

  void start(std::vector<std::string> args, bool with_display_variable = true) {
    RunOptions options;
    options.cwd = install;
    if (with_display_variable) options.env.push_back("DISPLAY=" + server.name);
    args.insert(args.begin(), program);
    started_at = now_seconds();
    ASSERT_TRUE(start_program(args, options, root / "output", &updater));
  }

  void release_start() {
    std::string manifest;
    ASSERT_TRUE(fifo_read_all(updates + "/update.manifest", 20, &manifest));
    EXPECT_EQ(manifest, "# a run of comments only\n");
    ASSERT_TRUE(fifo_release_reader(updates + "/update.manifest", 20));
  }

  std::string release_end() {
    std::string status;
    EXPECT_TRUE(fifo_read_all(updates + "/update.status", 20, &status));
    return status;
  }

  void expect_clean_exit() {
    EXPECT_EQ(wait_program(&updater, 30), 0) << read_file(root / "output");
    EXPECT_EQ(read_file(root / "output"), "");
    EXPECT_EQ(read_file(updates + "/update.log"), "succeeded\ncalling QuitProgressUI\n");
  }

  // The viewable window titled `title`, waiting up to `timeout`; 0 if none.
  Window wait_for_window(const std::string& title, double timeout) {
    double end = now_seconds() + timeout;
    while (now_seconds() < end) {
      for (Window w : windows_named(display(), title)) {
        if (map_state(display(), w) == IsViewable) return w;
      }
      usleep(5000);
    }
    return 0;
  }

  // Forgets the map events seen so far; then counts those that come.
  int count_maps() {
    XSync(display(), False);
    int maps = 0;
    while (XPending(display()) > 0) {
      XEvent event;
      XNextEvent(display(), &event);
      if (event.type == MapNotify) maps++;
    }
    return maps;
  }

  Rect geometry(Window w) {
    XWindowAttributes a;
    XGetWindowAttributes(display(), w, &a);
    Window child;
    int x = 0, y = 0;
    XTranslateCoordinates(display(), w, DefaultRootWindow(display()), 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
  }

  Pixels grab(const Rect& r) { return grab_screen(display(), r.x, r.y, r.width, r.height); }
};

XServer ProgressWindowTest::server;
bool ProgressWindowTest::server_started = false;
std::string ProgressWindowTest::server_problem;

// Pixels of a rectangle of `p` that differ from `colour`, or from `other`.
int count_differing(const Pixels& p, const Rect& r, unsigned colour) {
  int n = 0;
  for (int y = r.y; y < r.y + r.height; y++) {
    for (int x = r.x; x < r.x + r.width; x++) n += p.at(x, y) != colour;
  }
  return n;
}
int count_changed(const Pixels& a, const Pixels& b, const Rect& r) {
  int n = 0;
  for (int y = r.y; y < r.y + r.height; y++) {
    for (int x = r.x; x < r.x + r.width; x++) n += a.at(x, y) != b.at(x, y);
  }
  return n;
}

TEST_F(ProgressWindowTest, SlowRunShowsAnUndecoratedDialogThatRefusesToClose) {
  write_file(root / "bin/updater.ini", kIni);
  make_run(true, true);
  start({updates, "0"});

  Window window = wait_for_window(kTitle, 20);
  ASSERT_NE(window, 0u) << "no window titled \"" << kTitle << "\"";
  EXPECT_GE(now_seconds() - started_at, 0.5) << "shown before the half-second wait";

  // A dialog, undecorated (Motif hints: decorations flag set, no decorations).
  Atom dialog = XInternAtom(display(), "_NET_WM_WINDOW_TYPE_DIALOG", False);
  std::vector<long> types = property_items(display(), window, "_NET_WM_WINDOW_TYPE");
  ASSERT_EQ(types.size(), 1u);
  EXPECT_EQ(static_cast<Atom>(types[0]), dialog);
  std::vector<long> motif = property_items(display(), window, "_MOTIF_WM_HINTS");
  ASSERT_GE(motif.size(), 3u);
  EXPECT_NE(motif[0] & 2, 0) << "decorations not among the hints";
  EXPECT_EQ(motif[2], 0) << "decorations asked for";

  // Centred on the screen, with the info line at the top left of the box.
  Rect r = geometry(window);
  int screen_width = DisplayWidth(display(), DefaultScreen(display()));
  int screen_height = DisplayHeight(display(), DefaultScreen(display()));
  EXPECT_LE(std::abs(2 * r.x + r.width - screen_width), 1);
  EXPECT_LE(std::abs(2 * r.y + r.height - screen_height), 1);
  int half = (r.height - 20 - 6) / 2;  // two equal rows inside the border of 10
  Rect label_area = {0, 0, r.width, 10 + half};
  Rect bar_row = {10, 10 + half + 6, r.width - 20, half};
  Rect bar_area = {bar_row.x + 3, bar_row.y + 3, bar_row.width - 6, bar_row.height - 6};
  ASSERT_GT(bar_area.width, 0);
  ASSERT_GT(bar_area.height, 0);
  // Mapped is not yet drawn: wait for the first drawing, still at 0 %. The
  // bar's trough is drawn when its row is not the window's plain background.
  Pixels at_start;
  bool label_drawn = false, trough_drawn = false;
  for (double end = now_seconds() + 10; now_seconds() < end && !(label_drawn && trough_drawn);) {
    usleep(20000);
    at_start = grab(r);
    ASSERT_EQ(at_start.width, r.width);
    label_drawn = count_differing(at_start, label_area, at_start.at(2, 2)) > 0;
    trough_drawn = count_differing(at_start, bar_row, at_start.at(2, 2)) > 0;
  }
  EXPECT_TRUE(label_drawn) << "the info text is not drawn above the bar";
  EXPECT_TRUE(trough_drawn) << "the bar is not drawn";

  // Prepare over: the run stands at 100 % and the next ticks fill the bar.
  release_start();
  int changed = 0;
  Pixels at_end;
  for (double end = now_seconds() + 10; now_seconds() < end;) {
    usleep(50000);
    at_end = grab(r);
    changed = count_changed(at_start, at_end, bar_area);
    if (changed == bar_area.width * bar_area.height) break;
  }
  EXPECT_EQ(changed, bar_area.width * bar_area.height) << "the bar was not filled";
  EXPECT_EQ(count_changed(at_start, at_end, label_area), 0)
      << "the info line changed";

  // A close request, as a window manager sends it, is refused.
  XEvent close_request = {};
  close_request.xclient.type = ClientMessage;
  close_request.xclient.window = window;
  close_request.xclient.message_type = XInternAtom(display(), "WM_PROTOCOLS", False);
  close_request.xclient.format = 32;
  close_request.xclient.data.l[0] = static_cast<long>(XInternAtom(display(), "WM_DELETE_WINDOW", False));
  close_request.xclient.data.l[1] = CurrentTime;
  ASSERT_NE(XSendEvent(display(), window, False, NoEventMask, &close_request), 0);
  XSync(display(), False);
  usleep(500000);
  EXPECT_EQ(map_state(display(), window), IsViewable) << "the window closed on request";
  EXPECT_TRUE(updater.running());

  // The end of the run hides the window at the next tick.
  EXPECT_EQ(release_end(), "succeeded\n");
  double quit_at = now_seconds();
  int state = IsViewable;
  while (state == IsViewable && now_seconds() - quit_at < 10) state = map_state(display(), window);
  double hidden_after = now_seconds() - quit_at;
  EXPECT_NE(state, IsViewable);
  EXPECT_EQ(wait_program(&updater, 30), 0);
  double ended_after = now_seconds() - quit_at;
  // The timer fires every 100 ms; the bounds leave room for a loaded machine.
  EXPECT_LT(hidden_after, 0.6) << "hidden only after " << hidden_after << " s";
  EXPECT_LT(ended_after, 0.6) << "the run went on only after " << ended_after << " s";
  expect_clean_exit();
}

TEST_F(ProgressWindowTest, NoWindowWhenTheRunIsQuickOrTheStringsAreMissing) {
  const std::string bad_ini = "a\nb\ntitle=" + kTitle + "\ninfo without equals sign\n";
  const std::string short_ini = "a\nb\ntitle=" + kTitle + "\n";
  struct Case {
    const char* what;
    const std::string* ini;  // none: no strings file
    bool hold_at_start;      // stays at 0 % past the half second
    bool hold_at_end;        // stays at 100 % past the half second
  } cases[] = {
      {"quit within half a second", &kIni, false, false},
      {"more than half done after half a second", &kIni, false, true},
      {"no strings file", nullptr, true, false},
      {"strings file without '='", &bad_ini, true, false},
      {"strings file of three lines", &short_ini, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink((root / "bin/updater.ini").c_str());
    if (c.ini != nullptr) write_file(root / "bin/updater.ini", *c.ini);
    TempDir run_root;
    updates = run_root / "updates";
    make_run(c.hold_at_start, c.hold_at_end);
    count_maps();
    start({updates, "0"});
    // A window would be up well within this; every test above shows one so.
    if (c.hold_at_start || c.hold_at_end) usleep(1500000);
    if (c.hold_at_start) release_start();
    std::string status = c.hold_at_end ? release_end() : "";
    expect_clean_exit();
    double took = now_seconds() - started_at;
    if (!c.hold_at_end) status = read_file(updates + "/update.status");
    EXPECT_EQ(status, "succeeded\n");
    EXPECT_EQ(count_maps(), 0) << "a window was mapped";
    // With a display the half-second wait always runs.
    EXPECT_GE(took, 0.5);
  }
}

TEST_F(ProgressWindowTest, WithoutADisplayThereIsNoWindowAndNoWait) {
  write_file(root / "bin/updater.ini", kIni);
  count_maps();
  double fastest = 1e9;
  for (int i = 0; i < 3; i++) {
    TempDir run_root;
    updates = run_root / "updates";
    make_run(false, false);
    start({updates, "0"}, false);
    expect_clean_exit();
    fastest = std::min(fastest, now_seconds() - started_at);
    EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
  }
  EXPECT_EQ(count_maps(), 0);
  // Loosely: a run that waited half a second could not be this fast.
  EXPECT_LT(fastest, 0.5) << "fastest of three runs took " << fastest << " s";
}

TEST_F(ProgressWindowTest, DisplayOptionIsTakenOutOfTheArguments) {
  write_file(root / "bin/updater.ini", kIni);
  make_run(true, false);
  start({"--display", server.name, updates, "0"}, false);
  EXPECT_NE(wait_for_window(kTitle, 20), 0u) << "no window on the display given";
  release_start();
  expect_clean_exit();
  EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
}

}  // namespace

// 98 actions make each one step of 1 %: the run is held at the action whose
// percentage is exactly 50 (a window is wanted), or 51 (none is).
TEST_F(ProgressWindowTest, WindowAtExactlyHalfDoneButNotPastIt) {
  write_file(root / "bin/updater.ini", kIni);
  for (int held_action : {49, 50}) {
    SCOPED_TRACE("held at " + std::to_string(held_action + 1) + " %");
    TempDir run_root;
    updates = run_root / "updates";
    install = run_root / "install";
    make_dirs(install);
    std::string manifest;
    std::vector<PackageFile> entries;
    for (int i = 0; i < 98; i++) {
      if (i == held_action) {
        // Its backup opens the FIFO for reading and waits for a writer.
        manifest += "remove \"pipe\"\n";
        continue;
      }
      std::string name = "f" + std::to_string(i);
      manifest += "add \"" + name + "\"\n";
      entries.push_back({name, name, 0644});
    }
    make_update(updates, manifest, entries);
    ASSERT_EQ(mkfifo((install + "/pipe").c_str(), 0644), 0);
    count_maps();
    start({updates, "0"});
    bool wanted = held_action == 49;
    Window w = wait_for_window(kTitle, wanted ? 10 : 1.5);
    if (wanted) {
      EXPECT_NE(w, 0u) << "no window at exactly half done";
    } else {
      EXPECT_EQ(w, 0u) << "a window past half done";
    }
    ASSERT_TRUE(fifo_release_reader(install + "/pipe", 20));
    EXPECT_EQ(wait_program(&updater, 30), 0) << read_file(root / "output");
    EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
    EXPECT_FALSE(exists(install + "/pipe"));
    if (!wanted) {
      EXPECT_EQ(count_maps(), 0) << "a window was mapped";
    }
  }
}
