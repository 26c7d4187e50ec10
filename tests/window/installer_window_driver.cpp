// A simulated user for the installer program's windows: it finds them on
// the X display by their titles, waits for each page, presses its buttons
// and keys through the XTest extension (as a person's mouse and keyboard
// would) and takes screenshots of the pages. It never talks to the program
// in any other way. Test-only (tests/window/installer_window_test.sh).
//
//   installer_window_driver STEP...
//
// Steps, run in order; the first that fails ends the run with status 1 and
// a message naming it:
//   wait=TITLE        a viewable window titled TITLE appears (within the
//                     timeout); it becomes the current window and the
//                     pointer moves onto it, so that it takes the keys (a
//                     virtual display has no window manager to focus it)
//   gone=TITLE        no viewable window is titled TITLE any more
//   stays=TITLE       after a while the current window is still viewable
//                     and titled TITLE
//   shot=NAME@WxH     the current window's picture, once it has stopped
//                     changing, as $TAV_SCREENSHOTS/NAME.ppm (binary PPM);
//                     it must be W x H pixels and hold more than one colour
//   click=X,Y         a left click at (X, Y) of the current window
//   key=NAME[*N]      a key (an X key name: Return, Escape, Tab, End, ...),
//                     N times
//   type=TEXT         the text, key by key (shift where the character needs it)
//   close             the window manager's delete request to the current
//                     window (its close box)
//   pause=MS          nothing for MS milliseconds
// TAV_DRIVER_TIMEOUT (seconds, default 30) bounds each wait.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Last: X's headers define macros (None, Bool, Status) that others' names clash with.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include "host/forms_window/testing/x_input.h"

namespace {

using Clock = std::chrono::steady_clock;

Display* dpy = nullptr;
Window current = 0;
std::string currentTitle;
double timeoutSeconds = 30;

// A window that goes while it is read (a page closing) is not a failure of
// the driver: the call reports nothing and the step looks again.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Title(Window w) {
  Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  Atom netName = XInternAtom(dpy, "_NET_WM_NAME", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(dpy, w, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) == Success &&
      data != nullptr && type == utf8) {
    title.assign(reinterpret_cast<char*>(data), count);
  } else {
    char* name = nullptr;
    if (XFetchName(dpy, w, &name) && name) {
      title = name;
      XFree(name);
    }
  }
  if (data) XFree(data);
  return title;
}

bool Viewable(Window w) {
  XWindowAttributes a;
  return XGetWindowAttributes(dpy, w, &a) && a.map_state == IsViewable;
}

// The newest viewable top-level window titled `title`, else 0.
Window Find(const std::string& title) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned int n = 0;
  Window found = 0;
  if (XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &n)) {
    // Stacking order, bottom first: the last match is on top.
    for (unsigned int i = 0; i < n; ++i)
      if (Viewable(children[i]) && Title(children[i]) == title) found = children[i];
    if (children) XFree(children);
  }
  return found;
}

template <typename Pred>
bool WaitFor(Pred pred) {
  const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  while (Clock::now() < end) {
    if (pred()) return true;
    Sleep(20);
  }
  return pred();
}

// Where (x, y) of the window lies on the screen.
void ToScreen(Window w, int x, int y, int& sx, int& sy) {
  Window child = 0;
  XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), x, y, &sx, &sy, &child);
}

void PointerTo(int x, int y) {
  int sx = 0, sy = 0;
  ToScreen(current, x, y, sx, sy);
  XTestFakeMotionEvent(dpy, -1, sx, sy, 0);
  XFlush(dpy);
}

void Key(KeySym sym) {
  const KeyCode code = XKeysymToKeycode(dpy, sym);
  const bool shift = XkbKeycodeToKeysym(dpy, code, 0, 0) != sym && XkbKeycodeToKeysym(dpy, code, 0, 1) == sym;
  const KeyCode shiftCode = XKeysymToKeycode(dpy, XK_Shift_L);
  if (shift) XTestFakeKeyEvent(dpy, shiftCode, True, 0);
  XTestFakeKeyEvent(dpy, code, True, 0);
  XTestFakeKeyEvent(dpy, code, False, 0);
  if (shift) XTestFakeKeyEvent(dpy, shiftCode, False, 0);
  XFlush(dpy);
  Sleep(15);
}

// The window's pixels as 0xRRGGBB; empty when they cannot be read.
std::vector<uint32_t> Grab(Window w, int& width, int& height) {
  XWindowAttributes a;
  if (!XGetWindowAttributes(dpy, w, &a)) return {};
  width = a.width;
  height = a.height;
  XImage* img = XGetImage(dpy, w, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), AllPlanes,
                          ZPixmap);
  if (!img) return {};
  auto channel = [](unsigned long pixel, unsigned long mask) -> uint32_t {
    if (mask == 0) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return static_cast<uint32_t>(((pixel & mask) >> shift) * 255 / max);
  };
  std::vector<uint32_t> px;
  px.reserve(static_cast<size_t>(a.width) * static_cast<size_t>(a.height));
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      const unsigned long p = XGetPixel(img, x, y);
      px.push_back(channel(p, img->red_mask) << 16 | channel(p, img->green_mask) << 8 | channel(p, img->blue_mask));
    }
  XDestroyImage(img);
  return px;
}

bool Fail(const std::string& step, const std::string& why) {
  std::fprintf(stderr, "installer_window_driver: %s: %s\n", step.c_str(), why.c_str());
  return false;
}

bool Shot(const std::string& step, const std::string& arg) {
  const size_t at = arg.find('@');
  const size_t x = arg.find('x', at == std::string::npos ? 0 : at);
  if (at == std::string::npos || x == std::string::npos) return Fail(step, "expected NAME@WxH");
  const std::string name = arg.substr(0, at);
  const int wantW = std::atoi(arg.substr(at + 1, x - at - 1).c_str());
  const int wantH = std::atoi(arg.substr(x + 1).c_str());
  // The picture once two grabs a little apart agree (the page is drawn);
  // a page that keeps changing (progress) gives its last picture.
  int w = 0, h = 0;
  Sleep(60);
  std::vector<uint32_t> px = Grab(current, w, h);
  for (int i = 0; i < 20 && !px.empty(); ++i) {
    Sleep(100);
    int w2 = 0, h2 = 0;
    std::vector<uint32_t> again = Grab(current, w2, h2);
    if (again.empty()) break;  // the window went: the last picture stands
    const bool same = again == px && w2 == w && h2 == h;
    px = std::move(again);
    w = w2;
    h = h2;
    if (same) break;
  }
  if (px.empty()) return Fail(step, "the window's picture cannot be read");
  const char* dir = std::getenv("TAV_SCREENSHOTS");
  const std::string path = std::string(dir && *dir ? dir : ".") + "/" + name + ".ppm";
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << w << " " << h << "\n255\n";
  for (uint32_t p : px) out.put(static_cast<char>(p >> 16)).put(static_cast<char>(p >> 8)).put(static_cast<char>(p));
  out.close();
  if (!out) return Fail(step, "cannot write " + path);
  if (w != wantW || h != wantH)
    return Fail(step, "the picture is " + std::to_string(w) + "x" + std::to_string(h) + ", the page " +
                          std::to_string(wantW) + "x" + std::to_string(wantH));
  const std::set<uint32_t> colours(px.begin(), px.end());
  if (colours.size() < 2) return Fail(step, "the picture holds one colour");
  std::printf("shot %s %dx%d, %zu colours\n", path.c_str(), w, h, colours.size());
  return true;
}

bool Run(const std::string& step) {
  const size_t eq = step.find('=');
  const std::string verb = step.substr(0, eq);
  const std::string arg = eq == std::string::npos ? std::string() : step.substr(eq + 1);
  if (verb == "wait") {
    if (!WaitFor([&] { return (current = Find(arg)) != 0; })) return Fail(step, "no such window");
    currentTitle = arg;
    XWindowAttributes a;
    XGetWindowAttributes(dpy, current, &a);
    PointerTo(a.width / 2, 4);
    return true;
  }
  if (verb == "gone") {
    if (!WaitFor([&] { return Find(arg) == 0; })) return Fail(step, "the window is still there");
    return true;
  }
  if (verb == "stays") {
    Sleep(700);
    if (current == 0 || !Viewable(current) || Title(current) != arg)
      return Fail(step, "the window went or changed its title to \"" + (current ? Title(current) : "") + "\"");
    return true;
  }
  if (current == 0 && verb != "pause") return Fail(step, "no current window (wait=TITLE first)");
  if (verb == "shot") return Shot(step, arg);
  if (verb == "click") {
    int x = 0, y = 0;
    if (std::sscanf(arg.c_str(), "%d,%d", &x, &y) != 2) return Fail(step, "expected X,Y");
    PointerTo(x, y);
    Sleep(30);
    XTestFakeButtonEvent(dpy, 1, True, 0);
    XTestFakeButtonEvent(dpy, 1, False, 0);
    XFlush(dpy);
    Sleep(30);
    return true;
  }
  if (verb == "key") {
    const size_t star = arg.find('*');
    const KeySym sym = XStringToKeysym(arg.substr(0, star).c_str());
    if (sym == NoSymbol) return Fail(step, "unknown key");
    const int times = star == std::string::npos ? 1 : std::atoi(arg.substr(star + 1).c_str());
    for (int i = 0; i < times; ++i) Key(sym);
    return true;
  }
  if (verb == "type") {
    for (unsigned char ch : arg) Key(ch == '\\' ? XK_backslash : ch == ' ' ? XK_space : static_cast<KeySym>(ch));
    return true;
  }
  if (verb == "close") {
    host::test::SendCloseRequest(dpy, current);
    return true;
  }
  if (verb == "pause") {
    Sleep(std::atoi(arg.c_str()));
    return true;
  }
  return Fail(step, "unknown step");
}

}  // namespace

int main(int argc, char** argv) {
  dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "installer_window_driver: cannot open the display\n");
    return 1;
  }
  XSetErrorHandler(IgnoreXError);
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(dpy, &event, &error, &major, &minor)) {
    std::fprintf(stderr, "installer_window_driver: the display has no XTest extension\n");
    return 1;
  }
  if (const char* t = std::getenv("TAV_DRIVER_TIMEOUT"); t && std::atof(t) > 0) timeoutSeconds = std::atof(t);
  for (int i = 1; i < argc; ++i) {
    std::printf("step %s\n", argv[i]);
    std::fflush(stdout);
    if (!Run(argv[i])) {
      XCloseDisplay(dpy);
      return 1;
    }
  }
  XCloseDisplay(dpy);
  return 0;
}
