// The progress window of the real updater on an X server of the test's own
// (Xvfb). A run is held through the fault library: the worker waits opening
// update.manifest (at 0 %) or the new update.status (at 100 %) until the test lets it
// go, so the window can be examined at leisure.
// GoogleTest first: Xlib defines None and other names as macros.
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/clock.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// Xvfb picks a free display itself and writes its number once it takes
// connections, so parallel tests never share one.
struct XServer {
  TempDir dir;
  Child xvfb;
  std::string name;            // ":N"
  Display* display = nullptr;  // the tests' own connection
  void start() {
    std::string out = dir / "xvfb.out";
    if (!start_program({"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24", "-noreset"},
                       {}, out, &xvfb)) {
      return;
    }
    // Its complaints about displays in use come first; the number is a last line of digits.
    for (int i = 0; i < 2000 && display == nullptr && xvfb.running(); i++, usleep(10000)) {
      std::string said = read_file(out);
      size_t last = said.size() < 2 ? 0 : said.rfind('\n', said.size() - 2) + 1;
      if (said.size() < 2 || said.back() != '\n' || said.find_first_not_of("0123456789\n", last) != std::string::npos) continue;
      name = ":" + said.substr(last, said.size() - 1 - last);
      display = XOpenDisplay(name.c_str());
    }
  }
};

// A screen area's pixels as 0xRRGGBB, row by row.
struct Pixels {
  int width = 0, height = 0;
  std::vector<unsigned> rgb;
  unsigned at(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};

// The top-level windows titled `title`, mapped or not.
std::vector<Window> windows_named(Display* display, const std::string& title) {
  std::vector<Window> found;
  Window root_return, parent_return;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root_return, &parent_return, &children, &count)) return found;
  for (unsigned i = 0; i < count; i++) {
    char* name = nullptr;
    if (XFetchName(display, children[i], &name) && name != nullptr) {
      if (title == name) found.push_back(children[i]);
      XFree(name);
    }
  }
  if (children != nullptr) XFree(children);
  return found;
}

// IsViewable, IsUnmapped..., or -1 when the window is gone.
int map_state(Display* display, Window window) {
  XWindowAttributes attributes;
  return XGetWindowAttributes(display, window, &attributes) ? attributes.map_state : -1;
}

// The 32-bit items of property `name` on `window`; empty when it is not set.
std::vector<long> property_items(Display* display, Window window, const char* name) {
  std::vector<long> items;
  Atom actual_type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  Atom property = XInternAtom(display, name, False);
  if (XGetWindowProperty(display, window, property, 0, 64, False, AnyPropertyType, &actual_type, &format, &count, &after,
                         &data) == Success && format == 32 && data != nullptr) {
    const long* values = reinterpret_cast<const long*>(data);
    items.assign(values, values + count);
  }
  if (data != nullptr) XFree(data);
  return items;
}

// What the screen shows in an area; empty on failure.
Pixels grab_screen(Display* display, int x, int y, int width, int height) {
  Pixels pixels;
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image == nullptr) return pixels;
  pixels.width = width;
  pixels.height = height;
  for (int row = 0; row < height; row++) {
    // Xvfb's 24-bit TrueColor visual: red, green, blue from high to low.
    for (int col = 0; col < width; col++) pixels.rgb.push_back(static_cast<unsigned>(XGetPixel(image, col, row) & 0xffffff));
  }
  XDestroyImage(image);
  return pixels;
}

const std::string kTitle = "Updating the test application";
const std::string kIni = "; strings of the test\n[Window]\ntitle=" + kTitle + "\ninfo=Applying the test update\n";

struct Rect {
  int x, y, width, height;
};

int count_changed(const Pixels& a, const Pixels& b, const Rect& r) {
  int n = 0;
  for (int y = r.y; y < r.y + r.height; y++) {
    for (int x = r.x; x < r.x + r.width; x++) n += a.at(x, y) != b.at(x, y);
  }
  return n;
}

class ProgressWindowTest : public ::testing::Test {
 protected:
  static XServer server;
  static void SetUpTestSuite() {
    server.start();
    // Windows vanish while the tests look at them: their X errors are not fatal.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    // Every window mapped is reported, so a test can tell that none was.
    if (server.display) XSelectInput(server.display, DefaultRootWindow(server.display), SubstructureNotifyMask);
  }

  TempDir root;
  std::string install = root / "install", updates = root / "updates";
  std::string program = root / "bin/updater";  // its strings file: bin/updater.ini
  Child updater;
  double started_at = 0;
  Display* display = server.display;

  void SetUp() override {
    if (display == nullptr) GTEST_SKIP() << "Xvfb could not be started (is the xvfb package installed?)";
    make_dirs(install);
    make_dirs(root / "bin");
    ASSERT_EQ(symlink(updater_bin().c_str(), program.c_str()), 0);
    write_file(root / "bin/updater.ini", kIni);
  }
  // A package of comments, held at 0 % and at 100 % as asked.
  void start(bool hold_at_start, bool hold_at_end, std::vector<std::string> args = {}, bool with_display = true) {
    make_update(updates, "# comments only\n");
    RunOptions options;
    options.cwd = install;
    std::string holds = std::string(hold_at_start ? "*/update.manifest:" : "") + (hold_at_end ? "*/update.status.tmp" : "");
    if (!holds.empty()) options.env = fault_shim_env({"FAULT_HOLD_PATH=" + holds});
    if (with_display) options.env.push_back("DISPLAY=" + server.name);
    args.insert(args.begin(), {program, updates, "0"});
    count_maps();
    started_at = now_seconds();
    ASSERT_TRUE(start_program(args, options, root / "output", &updater));
  }
  void release_start() { write_file(updates + "/update.manifest.go", ""); }
  void release_end() { write_file(updates + "/update.status.tmp.go", ""); }
  void expect_clean_exit() {
    EXPECT_EQ(wait_program(&updater, 30), 0);
    EXPECT_EQ(read_file(root / "output"), "");
    EXPECT_EQ(read_file(updates + "/update.log"), kUnverifiedLine + std::string("succeeded\ncalling QuitProgressUI\n"));
  }
  // The viewable window titled kTitle, waiting up to `timeout`; 0 if none.
  Window wait_for_window(double timeout) {
    for (double end = now_seconds() + timeout; now_seconds() < end; usleep(5000)) {
      for (Window w : windows_named(display, kTitle)) {
        if (map_state(display, w) == IsViewable) return w;
      }
    }
    return 0;
  }
  // Forgets the map events seen so far; returns how many there were.
  int count_maps() {
    XSync(display, False);
    int maps = 0;
    for (XEvent event; XPending(display) > 0;) {
      XNextEvent(display, &event);
      maps += event.type == MapNotify;
    }
    return maps;
  }
};

XServer ProgressWindowTest::server;

// The display given as an option, not in the environment.
TEST_F(ProgressWindowTest, SlowRunShowsAnUndecoratedCentredDialogThatRefusesToClose) {
  start(true, true, {"--display", server.name}, false);
  Window window = wait_for_window(20);
  ASSERT_NE(window, 0u) << "no window titled \"" << kTitle << "\"";
  EXPECT_GE(now_seconds() - started_at, 0.5) << "shown before the half-second wait";
  std::vector<long> types = property_items(display, window, "_NET_WM_WINDOW_TYPE");
  EXPECT_EQ(types, std::vector<long>{static_cast<long>(XInternAtom(display, "_NET_WM_WINDOW_TYPE_DIALOG", False))});
  std::vector<long> motif = property_items(display, window, "_MOTIF_WM_HINTS");
  ASSERT_GE(motif.size(), 3u);
  EXPECT_TRUE((motif[0] & 2) != 0 && motif[2] == 0) << "decorations asked for";

  XWindowAttributes a;
  XGetWindowAttributes(display, window, &a);
  Window child;
  int x = 0, y = 0;
  XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
  EXPECT_LE(std::abs(2 * x + a.width - DisplayWidth(display, 0)), 1);
  EXPECT_LE(std::abs(2 * y + a.height - DisplayHeight(display, 0)), 1);
  // Two equal rows inside a border of 10: the info text, then the bar.
  int half = (a.height - 26) / 2;
  Rect text = {0, 0, a.width, 10 + half}, bar = {13, 10 + half + 9, a.width - 26, half - 6};
  ASSERT_GT(bar.width * bar.height, 0);
  auto grab = [&] { return grab_screen(display, x, y, a.width, a.height); };
  Pixels blank = grab();
  blank.rgb.assign(blank.rgb.size(), blank.at(2, 2));  // the plain background
  Pixels at_start = blank;
  for (double end = now_seconds() + 10; now_seconds() < end && count_changed(blank, at_start, text) == 0; usleep(20000)) {
    at_start = grab();  // mapped is not yet drawn
  }
  EXPECT_GT(count_changed(blank, at_start, text), 0) << "no info text";

  // Prepare over: the run stands at 100 % and the next ticks fill the bar.
  release_start();
  Pixels at_end = at_start;
  for (double end = now_seconds() + 10; now_seconds() < end && count_changed(at_start, at_end, bar) < bar.width * bar.height;) {
    usleep(50000);
    at_end = grab();
  }
  EXPECT_EQ(count_changed(at_start, at_end, bar), bar.width * bar.height) << "the bar was not filled";
  EXPECT_EQ(count_changed(at_start, at_end, text), 0) << "the info text changed";

  // A close request, as a window manager sends it, is refused.
  XEvent close = {};
  close.xclient.type = ClientMessage;
  close.xclient.window = window;
  close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  close.xclient.format = 32;
  close.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  ASSERT_NE(XSendEvent(display, window, False, NoEventMask, &close), 0);
  XSync(display, False);
  usleep(500000);
  EXPECT_EQ(map_state(display, window), IsViewable) << "the window closed on request";

  // The end of the run hides the window at the next tick (every 100 ms;
  // the bound leaves room for a loaded machine).
  release_end();
  double quit_at = now_seconds();
  while (map_state(display, window) == IsViewable && now_seconds() - quit_at < 10) usleep(2000);
  EXPECT_LT(now_seconds() - quit_at, 0.6) << "hidden only after " << now_seconds() - quit_at << " s";
  expect_clean_exit();
}

TEST_F(ProgressWindowTest, NoWindowWhenTheRunIsQuickOrTheStringsAreMissing) {
  struct Case {
    const char* what;
    const char* ini;    // null: no strings file
    bool hold_at_start;  // stays at 0 % past the half second
    bool hold_at_end;    // stays at 100 % past the half second
    bool display = true;
  } cases[] = {
      {"quit within half a second", "", false, false},
      {"more than half done after half a second", "", false, true},
      {"no display: no window and no wait", "", true, false, false},
      {"no strings file", nullptr, true, false},
      {"strings file without '='", "a\nb\ntitle=T\ninfo without equals sign\n", true, false},
      {"strings file of three lines", "a\nb\ntitle=T\n", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink((root / "bin/updater.ini").c_str());
    if (c.ini != nullptr) write_file(root / "bin/updater.ini", *c.ini ? c.ini : kIni.c_str());
    TempDir run;
    updates = run / "updates";
    start(c.hold_at_start, c.hold_at_end, {}, c.display);
    if (c.display) usleep(1500000);  // a window would be up well within this
    if (c.hold_at_start) release_start();
    if (c.hold_at_end) release_end();
    expect_clean_exit();
    // With a display the half-second wait always runs; without, never.
    EXPECT_EQ(now_seconds() - started_at >= 0.5, c.display);
    EXPECT_EQ(count_maps(), 0) << "a window was mapped";
  }
}

// 98 actions make each one step of 1 %: the run is held at the action whose
// percentage is exactly 50 (a window is wanted), or 51 (none is).
TEST_F(ProgressWindowTest, WindowAtExactlyHalfDoneButNotPastIt) {
  for (int held : {49, 50}) {
    SCOPED_TRACE(held);
    TempDir run;
    updates = run / "updates";
    std::string manifest;
    std::vector<PackageFile> entries;
    for (int i = 0; i < 98; i++) {
      std::string name = "f" + std::to_string(i);
      // The new "pipe" is held opening it until "pipe.go" exists.
      if (i == held) name = "pipe";
      manifest += "add \"" + name + "\"\n";
      entries.push_back({name, name});
    }
    make_update(updates, manifest, entries);
    unlink((install + "/pipe.go").c_str());
    RunOptions options;
    options.cwd = install;
    options.env = fault_shim_env({"FAULT_HOLD_PATH=pipe", "DISPLAY=" + server.name});
    count_maps();
    ASSERT_TRUE(start_program({program, updates, "0"}, options, root / "output", &updater));
    EXPECT_EQ(wait_for_window(held == 49 ? 10 : 1.5) != 0, held == 49);
    write_file(install + "/pipe.go", "");
    EXPECT_EQ(wait_program(&updater, 30), 0);
    EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
    EXPECT_TRUE(held == 49 || count_maps() == 0) << "a window was mapped";
  }
}

}  // namespace
