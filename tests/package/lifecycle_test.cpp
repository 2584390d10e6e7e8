#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

#include "rdr00800/Rdr00800.h"
#include "serial/settings.h"

using namespace Rdr00800;

namespace {

const std::array<std::string, 14> kPorts = {"",     "COM1", "COM2", "COM3",  "COM4",  "COM5",  "COM6",
                                            "COM7", "COM8", "COM9", "COM10", "COM11", "COM12", "LPT1"};
const std::array<std::string, 13> kSpeeds = {"110",   "300",   "1200",   "2400",   "4800",   "9600",  "19200",
                                             "38400", "57600", "115200", "230400", "460800", "921600"};

template <size_t N>
std::array<std::string, N> Texts(const std::array<TableText, N>& table) {
  std::array<std::string, N> texts;
  for (size_t i = 0; i < N; ++i) texts[i] = table[i];
  return texts;
}

// Each test starts and ends with the unit at its load state.
class UnitLifecycle : public ::testing::Test {
 protected:
  void TearDown() override {
    while (UnitInitializationCounter() < 0) Finalization();
    while (UnitInitializationCounter() > 0) initialization();
    detail::FillTables();
    IdCriptoCons.clear();
  }
};

}  // namespace

TEST(Tables, HoldTheirConstantsAtLoad) {
  EXPECT_EQ(Texts(Portas), kPorts);
  EXPECT_EQ(Texts(Velocidades), kSpeeds);
}

TEST_F(UnitLifecycle, FinalizationAfterOneInitializationEmptiesTheTexts) {
  IdCriptoCons = "chave";
  initialization();
  EXPECT_EQ(UnitInitializationCounter(), -1);
  EXPECT_EQ(Texts(Portas), kPorts);
  Finalization();
  EXPECT_EQ(UnitInitializationCounter(), 0);
  for (const auto& port : Portas) EXPECT_TRUE(port.empty());
  for (const auto& speed : Velocidades) EXPECT_TRUE(speed.empty());
  EXPECT_TRUE(IdCriptoCons.empty());
}

TEST_F(UnitLifecycle, ExtraFinalizationsCleanUpOnce) {
  initialization();
  Finalization();
  IdCriptoCons = "set after the clean-up";
  Finalization();
  Finalization();
  EXPECT_EQ(UnitInitializationCounter(), 2);
  EXPECT_EQ(IdCriptoCons, "set after the clean-up");
}

TEST_F(UnitLifecycle, NestedInitializationsFinalizeOnlyAtTheOutermost) {
  initialization();
  initialization();
  Finalization();
  EXPECT_EQ(Texts(Portas), kPorts) << "one initialization is still outstanding";
  Finalization();
  EXPECT_TRUE(Portas[1].empty());
}

TEST_F(UnitLifecycle, ANewRoundAfterFinalizationRefillsTheTables) {
  initialization();
  Finalization();
  initialization();
  EXPECT_EQ(Texts(Portas), kPorts);
  EXPECT_EQ(Texts(Velocidades), kSpeeds);
  Finalization();
}

TEST_F(UnitLifecycle, PackageLoadRunsEveryUnitAndThisUnitLast) {
  const PackageInfoTable* table = Pkg_Rdr00800::GetPackageInfoTable();
  ASSERT_NE(table, nullptr);
  ASSERT_GE(table->Count, 1);
  EXPECT_EQ(table->Units[table->Count - 1].Initialization, &initialization);
  EXPECT_EQ(table->Units[table->Count - 1].Finalization, &Finalization);
  for (int32_t i = 0; i < table->Count; ++i) {
    EXPECT_NE(table->Units[i].Initialization, nullptr);
    EXPECT_NE(table->Units[i].Finalization, nullptr);
  }
  Pkg_Rdr00800::PackageLoad();
  EXPECT_EQ(UnitInitializationCounter(), -1);
  Pkg_Rdr00800::PackageUnload();
  EXPECT_EQ(UnitInitializationCounter(), 0);
  EXPECT_TRUE(Velocidades[0].empty());
}
