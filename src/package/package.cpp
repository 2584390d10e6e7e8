// The package's lifecycle: the unit counter, the unit table and the load and
// unload entries.
#include "rdr00800/Rdr00800.h"
#include "runtime/main_thread.h"
#include "serial/settings.h"

namespace Rdr00800 {

namespace {
// Main-thread only, like every entry of the lifecycle.
int32_t unitCounter = 0;
int32_t packageUnitCounter = 0;
int32_t runtimeUnitCounter = 0;

void PackageUnitInitialization() { --packageUnitCounter; }
void PackageUnitFinalization() { ++packageUnitCounter; }

// Our stand-in for the component runtime: its initialization decides which
// thread serves synchronized calls.
void RuntimeUnitInitialization() {
  if (--runtimeUnitCounter == -1) detail::MakeCurrentThreadMain();
}
void RuntimeUnitFinalization() { ++runtimeUnitCounter; }

constexpr PackageUnitEntry kUnits[] = {
    {PackageUnitInitialization, PackageUnitFinalization},
    {RuntimeUnitInitialization, RuntimeUnitFinalization},
    {initialization, Finalization},
};
constexpr PackageInfoTable kPackageInfo = {static_cast<int32_t>(std::size(kUnits)), kUnits};
}  // namespace

void initialization() {
  // A new round after a finalization emptied the tables puts their texts
  // back, so the tables always hold their constants while the unit is live.
  if (--unitCounter == -1) detail::FillTables();
}

void Finalization() {
  if (++unitCounter == 0) detail::ReleaseUnitTexts();
}

int32_t UnitInitializationCounter() { return unitCounter; }

namespace Pkg_Rdr00800 {

void PackageLoad() {
  for (const PackageUnitEntry& unit : kUnits) unit.Initialization();
}

void PackageUnload() {
  for (auto unit = std::rbegin(kUnits); unit != std::rend(kUnits); ++unit) unit->Finalization();
}

const PackageInfoTable* GetPackageInfoTable() { return &kPackageInfo; }

}  // namespace Pkg_Rdr00800
}  // namespace Rdr00800
