// A test window: prints its window id, then one line per key press it
// receives ("<keysym in hex>", modifier keys left out), until killed. Takes
// the input focus, so XTest typing reaches it as well.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

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
  // Xlib loads the keyboard map on the first key lookup and only then asks
  // for map-change notices, in a request left in its buffer while events are
  // queued. Keycodes remapped in between would stay NoSymbol here, so load
  // the map and send that request before anyone can type.
  XKeysymToKeycode(display, XK_Return);
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
    // XTest presses Shift for capitals; only the characters matter.
    if (IsModifierKey(keysym)) continue;
    std::printf("%lx\n", keysym);
    std::fflush(stdout);
  }
}
