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

// Tries one display number; true once the server takes connections. The
// server itself writes the number to the pipe (-displayfd) when it is ready,
// and closes it unwritten when it cannot take the display, so a parallel test
// that takes the same number at the same moment cannot be mistaken for ours.
bool try_display(int number, XServer* server) {
  char name[16];
  snprintf(name, sizeof name, ":%d", number);
  char lock[64];
  snprintf(lock, sizeof lock, "/tmp/.X%d-lock", number);
  if (access(lock, F_OK) == 0) return false;  // taken

  int ready[2];
  if (pipe(ready) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The server goes with the test process, even when that one dies.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    close(ready[0]);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    char fd_text[16];
    snprintf(fd_text, sizeof fd_text, "%d", ready[1]);
    execlp("Xvfb", "Xvfb", name, "-displayfd", fd_text, "-nolisten", "tcp", "-screen", "0",
           "800x600x24", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  std::string said;
  pollfd p = {ready[0], POLLIN, 0};
  while (said.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0) {
    char buffer[32];
    ssize_t n = read(ready[0], buffer, sizeof buffer);
    if (n <= 0) break;
    said.append(buffer, static_cast<size_t>(n));
  }
  close(ready[0]);
  Display* d = said.find('\n') != std::string::npos ? XOpenDisplay(name) : nullptr;
  if (d == nullptr) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }
  server->pid = pid;
  server->name = name;
  server->display = d;
  return true;
}

}  // namespace

bool start_x_server(XServer* server, std::string* why) {
  for (int number = 90; number <= 99; number++) {
    if (try_display(number, server)) return true;
  }
  *why = "Xvfb could not be started on any display of :90 to :99 (is the xvfb package installed?)";
  return false;
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
