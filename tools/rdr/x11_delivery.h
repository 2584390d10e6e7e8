// Relayed codes typed into an X11 window, for `rdr scan --to x11:...`.
//
// The scanner relays each code as window messages to a registered window
// procedure; the one made here turns every WM_CHAR into a key press and
// release of that byte's character in the library's code page, Windows-1252
// (€, É, ç), and WM_KEYDOWN VK_RETURN into Return. Control bytes are never
// typed. Characters on no key of the layout (most above 0x7F) go through a
// spare keycode remapped for them; remapped keycodes stay mapped
// while the delivery lives, so a receiver that looks the mapping up late still
// finds it, and are restored after the server has processed every event.
//
// Main thread only: the procedure runs inside the scanner's synchronized
// calls. Each key blocks on one round trip to the X server. A lost connection
// to the server ends the process (Xlib allows nothing else) with rdr's line
// and exit code 6.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "rdr00800/Rdr00800.h"

namespace rdr {

class X11Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class X11Delivery {
 public:
  // Events to one window by id (XSendEvent; some programs ignore such
  // synthetic events), or to whichever window has the focus (XTest).
  enum class Target { Window, Focused };

  // Connects to $DISPLAY and, for a window target, checks that the window
  // exists. Throws X11Error naming what is missing.
  X11Delivery(Target target, unsigned long windowId);
  // Restores the remapped keycodes once the server has processed the events.
  ~X11Delivery();
  X11Delivery(X11Delivery&&) noexcept;
  X11Delivery& operator=(X11Delivery&&) noexcept;

  // The window procedure for RegisterWindow. It never throws into the
  // scanner: the first error is kept in Error() and later keys are dropped.
  Rdr00800::WindowProc WindowProcedure();
  // The first error. Also finds out, without blocking, whether the server
  // hung up, so a caller asking regularly ends on a lost display at once.
  const std::string& Error() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rdr
