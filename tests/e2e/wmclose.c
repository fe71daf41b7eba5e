/* Test tool: asks an X window to close the way a window manager does when its close box is
 * clicked, with a WM_DELETE_WINDOW client message. Usage: wmclose <window id>. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <window id>\n", argv[0]);
    return 2;
  }
  const Window window = (Window)strtoul(argv[1], NULL, 0);
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "%s: cannot open the display\n", argv[0]);
    return 1;
  }
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)deleteWindow;
  event.xclient.data.l[1] = CurrentTime;
  const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  XCloseDisplay(display);
  if (!sent) {
    fprintf(stderr, "%s: the message could not be sent to window %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
