// A private X server (Xvfb) for the tests of the progress window, and the few
// Xlib look-ups they need: windows by title, properties, pixels.
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <vector>

namespace testing_support {

struct XServer {
  pid_t pid = -1;
  std::string name;            // ":N"
  Display* display = nullptr;  // the tests' own connection
};

// Starts Xvfb (-nolisten tcp) on a free display and waits until it accepts
// connections. False, with the reason in `why`, when no
// server could be started; the caller skips its tests then.
bool start_x_server(XServer* server, std::string* why);
// Closes the connection and ends the server.
void stop_x_server(XServer* server);

// The top-level windows whose WM_NAME is `title`, mapped or not.
std::vector<Window> windows_named(Display* display, const std::string& title);
// map_state of `window` (IsViewable, IsUnmapped...), or -1 when it is gone.
int map_state(Display* display, Window window);
// The 32-bit items of property `name` on `window` (longs as Xlib gives them);
// `type` receives the property's type. Empty when it is not set.
std::vector<long> property_items(Display* display, Window window, const char* name,
                                 Atom* type = nullptr);

// A screen area's pixels as 0xRRGGBB, row by row.
struct Pixels {
  int width = 0, height = 0;
  std::vector<unsigned> rgb;
  unsigned at(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};
// The pixels of the root window's area x, y, width, height (what the screen
// shows there). Empty on failure.
Pixels grab_screen(Display* display, int x, int y, int width, int height);

}  // namespace testing_support
