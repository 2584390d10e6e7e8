#include "serial_test_support.h"

#include <thread>

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

CancelledWait CancelAfter(Rdr00800::ReaderSession& session, std::chrono::milliseconds after) {
  std::chrono::steady_clock::time_point cancelledAt;
  std::thread canceller([&] {
    std::this_thread::sleep_for(after);
    cancelledAt = std::chrono::steady_clock::now();
    session.Cancel();
  });
  CancelledWait wait;
  wait.code = session.NextCode(std::chrono::seconds(5));
  const auto returnedAt = std::chrono::steady_clock::now();
  canceller.join();
  wait.afterCancel = std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - cancelledAt);
  return wait;
}

}  // namespace rdrtest
