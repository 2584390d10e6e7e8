// Bad host input at every C entry: null pointers, indices and settings out
// of range, priorities beyond the table, windows nobody registered. Each
// gives the empty text, 0 or nothing, and never takes the process down.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"

namespace {

// Takes a text from the library, checks it is the empty text, frees it.
void ExpectEmptyText(char* text) {
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  Rdr00800_FreeText(text);
}

TEST(CInterfaceInput, NullTextsAreEmptyTexts) {
  Rdr00800_FreeText(nullptr);
  size_t size = 99;
  EXPECT_EQ(Rdr00800_FindPackageResource(nullptr, nullptr, &size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(Rdr00800_FindPackageResource(nullptr, nullptr, nullptr), nullptr);
  Rdr00800_SetIdCriptoCons(nullptr);
  ExpectEmptyText(Rdr00800_GetIdCriptoCons());
  Rdr00800_SetPortDevice(nullptr, nullptr);
  ExpectEmptyText(Rdr00800_GetProximidadeReaderValue(nullptr, nullptr, 9600));
  ExpectEmptyText(Rdr00800_HexaToBin(nullptr));
  ExpectEmptyText(Rdr00800_BinToDec(nullptr));
  ExpectEmptyText(Rdr00800_DecodeProximityFrame(nullptr, nullptr));
  ExpectEmptyText(LeitorProximidade(nullptr, nullptr, 9600));
  Rdr00800_SetDefaultConnectionString(nullptr);
  ExpectEmptyText(Rdr00800_GetMatriculaDV(nullptr));
  // A session on no port, at no rate, with time-outs below zero: no code, and why.
  Rdr00800Session* session = Rdr00800_Session_Open(nullptr, INT32_MIN, INT32_MIN);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(Rdr00800_Session_NextCode(session, INT32_MIN), nullptr);
  EXPECT_EQ(Rdr00800_Session_Status(session), RDR00800_READ_NO_SUCH_DEVICE);
  Rdr00800_Session_Close(session);
}

TEST(CInterfaceInput, IndicesSettingsAndRatesOutOfRange) {
  for (const int32_t index : {-1, RDR00800_PORTAS_COUNT, RDR00800_VELOCIDADES_COUNT, INT32_MIN, INT32_MAX}) {
    if (index != RDR00800_VELOCIDADES_COUNT) ExpectEmptyText(Rdr00800_Porta(index));
    ExpectEmptyText(Rdr00800_Velocidade(index));
  }
  for (const int32_t setting : {-1, RDR00800_CHECK_PROXIMITY_PARITY + 1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(Rdr00800_GetSetting(setting), 0);
    EXPECT_EQ(Rdr00800_SetSetting(setting, 5), 0);
  }
  // The optical read with indices outside both tables reads nothing.
  for (const int32_t index : {-1, 14, INT32_MAX}) {
    ASSERT_EQ(Rdr00800_SetSetting(RDR00800_ID_PORTA_OPT, index), 1);
    ASSERT_EQ(Rdr00800_SetSetting(RDR00800_ID_VELOC_OPT, index), 1);
    ExpectEmptyText(Rdr00800_GetOpticalReaderValue());
  }
  Rdr00800_SetSetting(RDR00800_ID_PORTA_OPT, 0);
  Rdr00800_SetSetting(RDR00800_ID_VELOC_OPT, 0);
  // Rates no line can have are refused by the device, not by a crash.
  for (const int32_t baud : {0, -9600, INT32_MIN})
    ExpectEmptyText(Rdr00800_GetProximidadeReaderValue("2", "COM1", baud));
}

TEST(CInterfaceInput, FrameworkWithoutCallbacksKeepsTheDefaults) {
  const Rdr00800HostFramework bare{};
  Rdr00800_SetHostFramework(&bare);
  char* code = Rdr00800_DecodeProximityFrame("2", "003DD93700");
  EXPECT_STREQ(code, "12345678");  // facility 123, card 45678
  Rdr00800_FreeText(code);
  Rdr00800_SetHostFramework(nullptr);
}

TEST(CInterfaceInput, UnknownWindowsAndNullThreadsAreHarmless) {
  constexpr uint32_t kNobody = 0xDEAD;
  EXPECT_EQ(Rdr00800_SendMessageA(kNobody, Rdr00800::kWmChar, 'x', 0), 0);
  Rdr00800_PostTextHandle(kNobody, nullptr);
  Rdr00800_PostTextHandle(kNobody, "12345");
  Rdr00800_RegisterWindow(kNobody, nullptr, nullptr);
  Rdr00800_UnregisterWindow(kNobody);
  EXPECT_EQ(Rdr00800_CheckSynchronize(-5), 0);
  Rdr00800_SetWakeMainThread(nullptr, nullptr);

  Rdr00800_ScannerThread_Start(nullptr);
  Rdr00800_ScannerThread_Terminate(nullptr);
  EXPECT_EQ(Rdr00800_ScannerThread_WaitFor(nullptr), 0);
  EXPECT_EQ(Rdr00800_ScannerThread_Finished(nullptr), 0);
  Rdr00800_ScannerThread_Free(nullptr);
}

TEST(CInterfaceInput, PrioritiesBeyondTheTableAndAThreadForNoWindow) {
  // Only the low 8 bits count, and everything above time-critical is it.
  for (const uint32_t priority : {7u, 0x1FFu, UINT32_MAX}) {
    Rdr00800::TScannerThread thread(priority, 0xDEAD);
    EXPECT_EQ(thread.Priority(), Rdr00800::tpTimeCritical) << priority;
  }
  Rdr00800::TScannerThread wrapped(0x100u + Rdr00800::tpLower, 0xDEAD);
  EXPECT_EQ(wrapped.Priority(), Rdr00800::tpLower);

  // A scanner relaying into a window nobody registered runs and ends cleanly.
  Rdr00800_SetSetting(RDR00800_ID_PORTA_OPT, 0);  // the empty port: nothing to read
  Rdr00800ScannerThread* thread = Rdr00800_ScannerThread_Create(UINT32_MAX, 0xDEAD);
  ASSERT_NE(thread, nullptr);
  Rdr00800_ScannerThread_Start(thread);
  Rdr00800_CheckSynchronize(50);
  Rdr00800_ScannerThread_Terminate(thread);
  EXPECT_EQ(Rdr00800_ScannerThread_WaitFor(thread), 0);
  EXPECT_EQ(Rdr00800_ScannerThread_Finished(thread), 1);
  Rdr00800_ScannerThread_Free(thread);
}

}  // namespace
