// X11 delivery in a build made without X11 (no libX11/libXtst development
// files at configure time): every target is reported unavailable at run time.
#include "x11_delivery.h"

namespace rdr {

struct X11Delivery::Impl {
  std::string error;
};

X11Delivery::X11Delivery(Target, unsigned long) {
  throw X11Error("x11 delivery is unavailable: rdr was built without X11 (install libx11-dev and libxtst-dev)");
}

X11Delivery::~X11Delivery() = default;
X11Delivery::X11Delivery(X11Delivery&&) noexcept = default;
X11Delivery& X11Delivery::operator=(X11Delivery&&) noexcept = default;

// Never reached: no object is ever made.
Rdr00800::WindowProc X11Delivery::WindowProcedure() { return {}; }
const std::string& X11Delivery::Error() const { return impl_->error; }

}  // namespace rdr
