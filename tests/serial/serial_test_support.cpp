#include "serial_test_support.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "rdr00800/Rdr00800.h"
#include "serial/settings.h"
#include "serial/system_call_faults.h"

namespace rdrtest {

SerialTest::SerialTest() { Rdr00800::SetPortDevice(kPort, reader_.DevicePath()); }

SerialTest::~SerialTest() {
  Rdr00800::SetPortDevice(kPort, "");
  Rdr00800::detail::ClearSystemCallFailures();
  Rdr00800::detail::FillTables();
  for (auto* setting : {&Rdr00800::IdPortaOpt, &Rdr00800::IdVelocOpt, &Rdr00800::IdTipoOpt, &Rdr00800::IdPortaProx,
                        &Rdr00800::IdVelocProx, &Rdr00800::IdTipoProx}) {
    setting->store(0);
  }
}

bool ExclusiveFlag(const std::string& path) {
  // Root opens past TIOCEXCL, so the probe works while the port is held.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return false;
  }
  int exclusive = 0;
  EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
  ::close(fd);
  return exclusive != 0;
}

}  // namespace rdrtest
