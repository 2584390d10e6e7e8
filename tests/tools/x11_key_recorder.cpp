// A test window: prints its window id, then one line per key press it
// receives ("<keysym in hex>"), until killed. Takes the input focus, so
// XTest typing reaches it as well.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 1;
  const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, 0, 0);
  XSelectInput(display, window, KeyPressMask | ExposureMask);
  XMapWindow(display, window);
  for (XEvent event; XNextEvent(display, &event), event.type != Expose;) {
  }
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  std::printf("0x%lx\n", window);
  std::fflush(stdout);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
    if (event.type != KeyPress) continue;
    char text[8];
    KeySym keysym = NoSymbol;
    XLookupString(&event.xkey, text, sizeof text, &keysym, nullptr);
    std::printf("%lx\n", keysym);
    std::fflush(stdout);
  }
}
