#include "x11_delivery.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <list>
#include <map>
#include <vector>

#include "code_splitter.h"
#include "exit_codes.h"
#include "output.h"

namespace rdr {
namespace {

// Xlib reports errors through one process-wide handler; the delivery checks
// it after each synchronous round trip. Main thread only, like the delivery.
std::string trappedError;

int TrapError(Display* display, XErrorEvent* event) {
  char text[256] = {};
  XGetErrorText(display, event->error_code, text, sizeof text);
  if (trappedError.empty()) {
    trappedError = std::string(text) + " (request " + std::to_string(event->request_code) + ")";
  }
  return 0;
}

// Xlib ends the process when this handler returns; it ends it first, with
// rdr's line and exit code for an unavailable window.
int LostConnection(Display* display) {
  FailNow(kExitWindowUnavailable, std::string("lost the connection to the X display ") + DisplayString(display));
}

// The keysym that types one character of the library's code page,
// Windows-1252: Latin-1 keysyms equal their character's code, and the
// characters of 0x80-0x9F go by their Unicode code point.
KeySym KeysymOf(unsigned char byte) {
  if (byte < 0x80 || byte >= 0xA0) return byte;
  const std::string utf8 = Rdr00800::Cp1252ToUtf8(std::string(1, static_cast<char>(byte)));
  auto codePoint = static_cast<KeySym>(static_cast<unsigned char>(utf8[0]) & (0xFF >> (utf8.size() + 1)));
  for (size_t at = 1; at < utf8.size(); ++at)
    codePoint = (codePoint << 6) | (static_cast<unsigned char>(utf8[at]) & 0x3F);
  return codePoint == 0x20AC ? XK_EuroSign : 0x1000000 | codePoint;
}

}  // namespace

struct X11Delivery::Impl {
  Display* display = nullptr;
  Target target = Target::Window;
  Window window = None;
  int minKeycode = 0;
  int maxKeycode = 0;
  int symsPerKeycode = 0;
  std::vector<KeySym> mapping;  // the server's mapping as this delivery left it
  std::vector<KeyCode> spares;  // keycodes with no keysym at all
  std::map<KeySym, KeyCode> remapped;
  std::list<KeyCode> recentlyRemapped;  // least recently used first
  std::string error;

  KeySym SymAt(int keycode, int level) const {
    return mapping[static_cast<size_t>((keycode - minKeycode) * symsPerKeycode + level)];
  }

  void Check(const char* what) {
    XSync(display, False);
    if (trappedError.empty()) return;
    const std::string reason = std::move(trappedError);
    trappedError.clear();
    throw X11Error(std::string(what) + ": " + reason);
  }

  void SetRow(KeyCode keycode, KeySym keysym) {
    std::vector<KeySym> row(static_cast<size_t>(symsPerKeycode), NoSymbol);
    if (keysym != NoSymbol) {
      // Both shift levels, so the key types the same whatever modifiers are held.
      row[0] = keysym;
      if (symsPerKeycode > 1) row[1] = keysym;
    }
    XChangeKeyboardMapping(display, keycode, symsPerKeycode, row.data(), 1);
    std::copy(row.begin(), row.end(), mapping.begin() + (keycode - minKeycode) * symsPerKeycode);
  }

  // A keycode and shift state that type `keysym`, remapping a spare keycode
  // when no key of the layout has it on its first two levels.
  std::pair<KeyCode, unsigned> KeyFor(KeySym keysym) {
    for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode) {
      for (int level = 0; level < std::min(symsPerKeycode, 2); ++level) {
        if (SymAt(keycode, level) == keysym) return {static_cast<KeyCode>(keycode), level ? ShiftMask : 0u};
      }
    }
    if (spares.empty()) {
      char text[32];
      std::snprintf(text, sizeof text, "0x%lx", keysym);
      throw X11Error(std::string("no spare keycode to type keysym ") + text);
    }
    KeyCode keycode;
    if (remapped.size() < spares.size()) {
      keycode = spares[remapped.size()];
    } else {
      // Every spare is taken: reuse the least recently used one. Its events
      // were processed already, as each key ends with a round trip.
      keycode = recentlyRemapped.front();
      recentlyRemapped.pop_front();
      std::erase_if(remapped, [keycode](const auto& entry) { return entry.second == keycode; });
    }
    SetRow(keycode, keysym);
    Check("remapping a spare keycode");
    remapped[keysym] = keycode;
    recentlyRemapped.push_back(keycode);
    return {keycode, 0u};
  }

  void SendToWindow(KeyCode keycode, unsigned state) {
    XKeyEvent event{};
    event.display = display;
    event.window = window;
    event.root = DefaultRootWindow(display);
    event.subwindow = None;
    event.time = CurrentTime;
    event.x = event.y = event.x_root = event.y_root = 1;
    event.state = state;
    event.keycode = keycode;
    event.same_screen = True;
    event.type = KeyPress;
    XSendEvent(display, window, True, KeyPressMask, reinterpret_cast<XEvent*>(&event));
    event.type = KeyRelease;
    XSendEvent(display, window, True, KeyReleaseMask, reinterpret_cast<XEvent*>(&event));
  }

  void SendToFocus(KeyCode keycode, unsigned state) {
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    if (state & ShiftMask) XTestFakeKeyEvent(display, shift, True, CurrentTime);
    XTestFakeKeyEvent(display, keycode, True, CurrentTime);
    XTestFakeKeyEvent(display, keycode, False, CurrentTime);
    if (state & ShiftMask) XTestFakeKeyEvent(display, shift, False, CurrentTime);
  }

  void Type(KeySym keysym) {
    if (!remapped.contains(keysym)) {
      const auto [keycode, shift] = KeyFor(keysym);
      Deliver(keycode, shift);
      return;
    }
    const KeyCode keycode = remapped[keysym];
    recentlyRemapped.remove(keycode);
    recentlyRemapped.push_back(keycode);
    Deliver(keycode, 0);
  }

  void Deliver(KeyCode keycode, unsigned state) {
    if (target == Target::Window) {
      SendToWindow(keycode, state);
    } else {
      SendToFocus(keycode, state);
    }
    Check(target == Target::Window ? "sending keys to the window" : "typing into the focused window");
  }

  ~Impl() {
    if (!display) return;
    // XSync first: the server must have processed every event typed through
    // a remapped keycode before that keycode loses its keysym.
    XSync(display, False);
    for (const auto& entry : remapped) SetRow(entry.second, NoSymbol);
    XSync(display, False);
    XCloseDisplay(display);
  }
};

X11Delivery::X11Delivery(Target target, unsigned long windowId) : impl_(std::make_unique<Impl>()) {
  XSetErrorHandler(TrapError);
  XSetIOErrorHandler(LostConnection);
  Impl& impl = *impl_;
  impl.target = target;
  impl.window = windowId;
  impl.display = XOpenDisplay(nullptr);
  if (!impl.display) throw X11Error("cannot open the X display (is DISPLAY set?)");
  if (target == Target::Window) {
    XWindowAttributes attributes;
    const Status found = XGetWindowAttributes(impl.display, impl.window, &attributes);
    trappedError.clear();
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", windowId);
    if (!found) throw X11Error(std::string("no X11 window ") + text);
  } else {
    int event, error, major, minor;
    if (!XTestQueryExtension(impl.display, &event, &error, &major, &minor)) {
      throw X11Error("the X server has no XTest extension");
    }
  }
  XDisplayKeycodes(impl.display, &impl.minKeycode, &impl.maxKeycode);
  const int count = impl.maxKeycode - impl.minKeycode + 1;
  KeySym* syms = XGetKeyboardMapping(impl.display, static_cast<KeyCode>(impl.minKeycode), count, &impl.symsPerKeycode);
  if (!syms) throw X11Error("cannot read the keyboard mapping");
  impl.mapping.assign(syms, syms + static_cast<size_t>(count * impl.symsPerKeycode));
  XFree(syms);
  for (int keycode = impl.minKeycode; keycode <= impl.maxKeycode; ++keycode) {
    bool empty = true;
    for (int level = 0; level < impl.symsPerKeycode; ++level) empty = empty && impl.SymAt(keycode, level) == NoSymbol;
    if (empty) impl.spares.push_back(static_cast<KeyCode>(keycode));
  }
}

X11Delivery::~X11Delivery() = default;
X11Delivery::X11Delivery(X11Delivery&&) noexcept = default;
X11Delivery& X11Delivery::operator=(X11Delivery&&) noexcept = default;

const std::string& X11Delivery::Error() const {
  // The server hung up (the session ended, the server died): said at once,
  // not at the next code.
  pollfd connection{ConnectionNumber(impl_->display), 0, 0};
  if (::poll(&connection, 1, 0) > 0 && (connection.revents & (POLLHUP | POLLERR))) LostConnection(impl_->display);
  return impl_->error;
}

Rdr00800::WindowProc X11Delivery::WindowProcedure() {
  // Captures the implementation, which stays put when the delivery is moved.
  return [impl = impl_.get()](uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
    if (!impl->error.empty()) return 0;
    try {
      // Control bytes are left out: as keys they would submit, move the
      // focus or edit.
      const auto byte = static_cast<char>(wParam);
      if (message == Rdr00800::kWmChar && !IsControlByte(byte)) impl->Type(KeysymOf(static_cast<unsigned char>(byte)));
      if (message == Rdr00800::kWmKeyDown && wParam == Rdr00800::kVkReturn) impl->Type(XK_Return);
    } catch (const X11Error& error) {
      impl->error = error.what();
    }
    return 0;
  };
}

}  // namespace rdr
