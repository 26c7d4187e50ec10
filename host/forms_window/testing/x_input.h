// What the tests that drive windows send besides XTest's keys and clicks: a
// window manager's request to close a window (its close box).
#pragma once

#include <X11/Xlib.h>

namespace host::test {

inline void SendCloseRequest(Display* display, Window window) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &e);
  XFlush(display);
}

}  // namespace host::test
