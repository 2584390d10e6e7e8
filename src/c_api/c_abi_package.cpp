// C interface of the package: lifecycle, resources, tables, settings.
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "c_api/c_abi_support.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

namespace {

using namespace Rdr00800;

static_assert(sizeof(Rdr00800PackageUnitEntry) == sizeof(PackageUnitEntry));
static_assert(sizeof(Rdr00800PackageInfoTable) == sizeof(PackageInfoTable));
static_assert(offsetof(Rdr00800PackageInfoTable, Units) == offsetof(PackageInfoTable, Units));

std::atomic<int32_t>* SettingById(int32_t setting) {
  switch (setting) {
    case RDR00800_ID_PORTA_OPT:
      return &IdPortaOpt;
    case RDR00800_ID_VELOC_OPT:
      return &IdVelocOpt;
    case RDR00800_ID_TIPO_OPT:
      return &IdTipoOpt;
    case RDR00800_ID_PORTA_PROX:
      return &IdPortaProx;
    case RDR00800_ID_VELOC_PROX:
      return &IdVelocProx;
    case RDR00800_ID_TIPO_PROX:
      return &IdTipoProx;
    case RDR00800_READ_INTERVAL_MS:
      return &ReadIntervalTimeoutMs;
    default:
      return nullptr;
  }
}

// The settings that are switches; they read back as 0 or 1.
std::atomic<bool>* SwitchById(int32_t setting) {
  switch (setting) {
    case RDR00800_SCANNER_HOLDS_PORT:
      return &ScannerHoldsPort;
    case RDR00800_CHECK_PROXIMITY_PARITY:
      return &CheckProximityParity;
    default:
      return nullptr;
  }
}

template <size_t N>
std::string EntryOf(const std::array<TableText, N>& table, int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < N ? table[static_cast<size_t>(index)] : std::string();
}

}  // namespace

extern "C" {

void Rdr00800_Initialize(void) {
  detail::GuardedVoid([] { Pkg_Rdr00800::PackageLoad(); });
}

void Rdr00800_Finalize(void) {
  detail::GuardedVoid([] { Pkg_Rdr00800::PackageUnload(); });
}

void Initialize(void) { Rdr00800_Initialize(); }

void Finalize(void) { Rdr00800_Finalize(); }

const Rdr00800PackageInfoTable* GetPackageInfoTable(void) {
  // The C declarations mirror the C++ ones member for member.
  return detail::Guarded<const Rdr00800PackageInfoTable*>(
      nullptr, [] { return reinterpret_cast<const Rdr00800PackageInfoTable*>(Pkg_Rdr00800::GetPackageInfoTable()); });
}

char* Rdr00800_FindPackageResource(const char* name, const char* type, size_t* size) {
  return detail::Guarded<char*>(nullptr, [&]() -> char* {
    if (size) *size = 0;
    const std::string bytes = FindPackageResource(detail::TextArg(name), detail::TextArg(type));
    if (bytes.empty()) return nullptr;
    char* copy = detail::CopyText(bytes);
    if (copy && size) *size = bytes.size();
    return copy;
  });
}

char* Rdr00800_Porta(int32_t index) {
  return detail::GuardedText([=] { return EntryOf(Portas, index); });
}

char* Rdr00800_Velocidade(int32_t index) {
  return detail::GuardedText([=] { return EntryOf(Velocidades, index); });
}

int32_t Rdr00800_GetSetting(int32_t setting) {
  return detail::Guarded(0, [=] {
    if (const std::atomic<bool>* flag = SwitchById(setting)) return flag->load() ? 1 : 0;
    const std::atomic<int32_t>* variable = SettingById(setting);
    return variable ? variable->load() : 0;
  });
}

int Rdr00800_SetSetting(int32_t setting, int32_t value) {
  return detail::Guarded(0, [=] {
    if (std::atomic<bool>* flag = SwitchById(setting)) {
      flag->store(value != 0);
      return 1;
    }
    std::atomic<int32_t>* variable = SettingById(setting);
    if (!variable) throw std::invalid_argument("no setting " + std::to_string(setting));
    variable->store(value);
    return 1;
  });
}

char* Rdr00800_GetIdCriptoCons(void) {
  return detail::GuardedText([] { return IdCriptoCons; });
}

void Rdr00800_SetIdCriptoCons(const char* text) {
  detail::GuardedVoid([=] { IdCriptoCons = detail::TextArg(text); });
}

}  // extern "C"
