#include "serial/settings.h"

#include "rdr00800/Rdr00800.h"

namespace Rdr00800 {

namespace {
constexpr std::array<const char*, 14> kPortNames = {"",     "COM1", "COM2", "COM3",  "COM4",  "COM5",  "COM6",
                                                    "COM7", "COM8", "COM9", "COM10", "COM11", "COM12", "LPT1"};
constexpr std::array<const char*, 13> kSpeedTexts = {"110",   "300",   "1200",   "2400",   "4800",   "9600",  "19200",
                                                     "38400", "57600", "115200", "230400", "460800", "921600"};

template <size_t N>
void Fill(std::array<TableText, N>& table, const std::array<const char*, N>& constants) {
  for (size_t i = 0; i < N; ++i) table[i] = constants[i];
}

template <size_t N>
std::array<TableText, N> TextsOf(const std::array<const char*, N>& constants) {
  std::array<TableText, N> table;
  Fill(table, constants);
  return table;
}
}  // namespace

// Filled by static initialization, so a host that only maps the library and
// never runs the unit initialization still finds the tables.
std::array<TableText, 14> Portas = TextsOf(kPortNames);
std::array<TableText, 13> Velocidades = TextsOf(kSpeedTexts);

TableText::TableText(std::string_view text) { *this = text; }

TableText& TableText::operator=(std::string_view text) {
  const std::string* current = current_.load(std::memory_order_relaxed);
  if (current && *current == text) return *this;
  texts_.push_back(std::make_unique<const std::string>(text));
  current_.store(texts_.back().get(), std::memory_order_release);
  return *this;
}

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
  Fill(Portas, kPortNames);
  Fill(Velocidades, kSpeedTexts);
}

void ReleaseUnitTexts() {
  for (auto& speed : Velocidades) speed = "";
  for (auto& port : Portas) port = "";
  std::string().swap(IdCriptoCons);
}

}  // namespace detail
}  // namespace Rdr00800
