#include "serial_test_support.h"

#include "device/system_call_faults.h"
#include "rdr00800/Rdr00800.h"
#include "serial/settings.h"

namespace rdrtest {

SerialTest::~SerialTest() {
  Rdr00800::SetPortDevice(kPort, "");
  Rdr00800::detail::ClearSystemCallFailures();
  Rdr00800::detail::FillTables();
  for (auto* setting : {&Rdr00800::IdPortaOpt, &Rdr00800::IdVelocOpt, &Rdr00800::IdTipoOpt, &Rdr00800::IdPortaProx,
                        &Rdr00800::IdVelocProx, &Rdr00800::IdTipoProx, &Rdr00800::ReadIntervalTimeoutMs}) {
    setting->store(0);
  }
}

}  // namespace rdrtest
