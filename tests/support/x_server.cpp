// Xvfb for the tests, and Xlib look-ups on its windows.
#include "tests/support/x_server.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace testing_support {

namespace {

bool x_error_seen = false;
int note_x_error(Display*, XErrorEvent*) {
  x_error_seen = true;
  return 0;
}

// Windows vanish while the tests look at them: their X errors are noted, not
// fatal. The handler is process-wide and a toolkit in the same process has
// its own, so it is put back afterwards.
struct QuietXErrors {
  XErrorHandler previous;
  Display* display;
  explicit QuietXErrors(Display* d) : display(d) {
    XSync(display, False);
    x_error_seen = false;
    previous = XSetErrorHandler(note_x_error);
  }
  ~QuietXErrors() {
    XSync(display, False);
    XSetErrorHandler(previous);
  }
};

}  // namespace

// Xvfb picks a free display itself (-displayfd) and writes its number to the
// pipe once it takes connections, so parallel tests never share one.
bool start_x_server(XServer* server, std::string* why) {
  int ready[2];
  if (pipe(ready) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // the server goes with the test process
    int devnull = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; fd++) dup2(devnull, fd);
    close(ready[0]);
    std::string fd_text = std::to_string(ready[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd_text.c_str(), "-nolisten", "tcp", "-screen", "0", "800x600x24",
           "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  std::string said;
  pollfd p = {ready[0], POLLIN, 0};
  char buffer[32];
  for (ssize_t n = 1; said.find('\n') == std::string::npos && n > 0 && poll(&p, 1, 20000) > 0;) {
    n = read(ready[0], buffer, sizeof buffer);
    said.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  }
  close(ready[0]);
  server->pid = pid;
  server->name = ":" + said.substr(0, said.find('\n'));
  server->display = said.find('\n') != std::string::npos ? XOpenDisplay(server->name.c_str()) : nullptr;
  if (server->display == nullptr) {
    stop_x_server(server);
    *why = "Xvfb could not be started (is the xvfb package installed?)";
  }
  return server->display != nullptr;
}

void stop_x_server(XServer* server) {
  if (server->display != nullptr) XCloseDisplay(server->display);
  server->display = nullptr;
  if (server->pid > 0) {
    kill(server->pid, SIGTERM);
    waitpid(server->pid, nullptr, 0);
  }
  server->pid = -1;
}

std::vector<Window> windows_named(Display* display, const std::string& title) {
  QuietXErrors quiet(display);
  std::vector<Window> found;
  Window root_return, parent_return;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root_return, &parent_return, &children,
                  &count)) {
    return found;
  }
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

int map_state(Display* display, Window window) {
  QuietXErrors quiet(display);
  XWindowAttributes attributes;
  Status ok = XGetWindowAttributes(display, window, &attributes);
  XSync(display, False);
  if (!ok || x_error_seen) return -1;
  return attributes.map_state;
}

std::vector<long> property_items(Display* display, Window window, const char* name, Atom* type) {
  QuietXErrors quiet(display);
  std::vector<long> items;
  Atom actual_type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  Atom property = XInternAtom(display, name, False);
  if (XGetWindowProperty(display, window, property, 0, 64, False, AnyPropertyType, &actual_type,
                         &format, &count, &after, &data) == Success &&
      format == 32 && data != nullptr) {
    const long* values = reinterpret_cast<const long*>(data);
    items.assign(values, values + count);
  }
  if (data != nullptr) XFree(data);
  if (type != nullptr) *type = actual_type;
  return items;
}

Pixels grab_screen(Display* display, int x, int y, int width, int height) {
  QuietXErrors quiet(display);
  Pixels pixels;
  XImage* image =
      XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image == nullptr) return pixels;
  pixels.width = width;
  pixels.height = height;
  for (int row = 0; row < height; row++) {
    for (int col = 0; col < width; col++) {
      unsigned long p = XGetPixel(image, col, row);
      // Xvfb's 24-bit TrueColor visual: red, green, blue from high to low.
      pixels.rgb.push_back(static_cast<unsigned>(p & 0xffffff));
    }
  }
  XDestroyImage(image);
  return pixels;
}


}  // namespace testing_support
