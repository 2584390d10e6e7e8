#include "serial/settings.h"

#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {

namespace {
constexpr std::array<const char*, 14> kPortNames = {"",     "COM1", "COM2", "COM3",  "COM4",  "COM5",  "COM6",
                                                    "COM7", "COM8", "COM9", "COM10", "COM11", "COM12", "LPT1"};
constexpr std::array<const char*, 13> kSpeedTexts = {"110",   "300",   "1200",   "2400",   "4800",   "9600",  "19200",
                                                     "38400", "57600", "115200", "230400", "460800", "921600"};

template <size_t N>
std::array<std::string, N> TextsOf(const std::array<const char*, N>& constants) {
  std::array<std::string, N> texts;
  for (size_t i = 0; i < N; ++i) texts[i] = constants[i];
  return texts;
}
}  // namespace

// Filled by static initialization, so a host that only maps the library and
// never runs the unit initialization still finds the tables.
std::array<std::string, 14> Portas = TextsOf(kPortNames);
std::array<std::string, 13> Velocidades = TextsOf(kSpeedTexts);

std::atomic<int32_t> IdPortaOpt{0};
std::atomic<int32_t> IdVelocOpt{0};
std::atomic<int32_t> IdTipoOpt{0};
std::atomic<int32_t> IdPortaProx{0};
std::atomic<int32_t> IdVelocProx{0};
std::atomic<int32_t> IdTipoProx{0};
std::atomic<int32_t> ReadIntervalTimeoutMs{0};
std::atomic<bool> ScannerHoldsPort{false};
std::atomic<bool> CheckProximityParity{false};
std::string IdCriptoCons;

namespace detail {

void FillTables() {
  Portas = TextsOf(kPortNames);
  Velocidades = TextsOf(kSpeedTexts);
}

void ReleaseUnitTexts() {
  for (auto& speed : Velocidades) std::string().swap(speed);
  for (auto& port : Portas) std::string().swap(port);
  std::string().swap(IdCriptoCons);
}

}  // namespace detail
}  // namespace Rdr00800
