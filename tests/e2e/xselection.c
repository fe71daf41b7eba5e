/* Test tool: prints the text that pasting an X selection would give, as UTF-8, without a newline
 * of its own. Usage: xselection [CLIPBOARD|PRIMARY] (CLIPBOARD by default). Exit status 1 when
 * nobody owns the selection or its owner did not answer within five seconds. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "CLIPBOARD";
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "%s: cannot open the display\n", argv[0]);
    return 1;
  }
  const Atom selection = XInternAtom(display, name, False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  const Atom property = XInternAtom(display, "KV_SELECTION", False);
  if (XGetSelectionOwner(display, selection) == None) {
    fprintf(stderr, "%s: nobody owns %s\n", argv[0], name);
    return 1;
  }
  const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XConvertSelection(display, selection, utf8, property, window, CurrentTime);
  XFlush(display);

  const time_t deadline = time(NULL) + 5;
  XEvent event;
  for (;;) {
    if (XCheckTypedWindowEvent(display, window, SelectionNotify, &event))
      break;
    if (time(NULL) > deadline) {
      fprintf(stderr, "%s: the owner of %s did not answer\n", argv[0], name);
      return 1;
    }
    usleep(10000);
  }
  if (event.xselection.property == None) {
    fprintf(stderr, "%s: %s cannot be had as text\n", argv[0], name);
    return 1;
  }
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = NULL;
  if (XGetWindowProperty(display, window, property, 0, 1 << 20, True, AnyPropertyType, &type, &format, &count,
                         &after, &data) != Success || !data) {
    fprintf(stderr, "%s: the text of %s could not be read\n", argv[0], name);
    return 1;
  }
  fwrite(data, 1, count, stdout);
  XFree(data);
  XDestroyWindow(display, window);
  XCloseDisplay(display);
  return 0;
}
