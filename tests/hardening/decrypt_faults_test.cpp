// The decryption gateway under hostile input and failing databases, and a
// thousand one-shot calls in a row without growth. These tests place
// KQZR32.dll beside this executable: CTest runs them under one resource lock.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "decrypt_test_support.h"
#include "process_usage.h"
#include "rdr00800/Rdr00800.h"
#include "rdr00800/rdr00800.h"
#include "runtime/odbc_connection.h"
#include "support/pty_reader.h"

namespace {

using namespace Rdr00800;
using detail::LiveOdbcHandleCount;

// Bytes 0x80..0xFF, as a badge with accented letters would give them.
std::string HighBytes() {
  std::string text;
  for (int byte = 0x80; byte <= 0xFF; ++byte) text += static_cast<char>(byte);
  return text;
}

std::string PostgresAt(int port) {
  return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(port) +
         ";Database=postgres;UID=postgres;PWD=x";
}

class GatewayFaults : public ::testing::Test {
 protected:
  GatewayFaults() { framework_.connectionString = rdrtest::SqliteConnectionString(database_); }
  void SetUp() override {
    if (!rdrtest::UsePrivateOdbcConfiguration()) GTEST_SKIP() << "SQLite3 ODBC driver not installed";
    SetHostFramework(&framework_);
  }
  void TearDown() override {
    StopDigVerif();
    SetHostFramework(nullptr);
    EXPECT_EQ(dtmLeitor, nullptr);
    EXPECT_EQ(LiveOdbcHandleCount(), 0);
  }
  void PlaceLibrary() {
    library_.emplace(rdrtest::FakeLibrary("normal"), rdrtest::ExecutableDirectory() / "KQZR32.dll");
  }
  static std::string ExecutableDirectory() { return rdrtest::ExecutableDirectory().string() + "/"; }

  // The one-shot call must fail with a database error.
  void ExpectDatabaseError() {
    std::string result = "caller's";
    EXPECT_THROW(LeitorDescriptoDll(result, ExecutableDirectory(), "1"), EDatabaseError);
    EXPECT_EQ(result, "caller's");
    EXPECT_TRUE(framework_.messages.empty());
  }

  rdrtest::TempDir database_;
  rdrtest::RecordingFramework framework_;
  std::optional<rdrtest::PlacedLibrary> library_;
};

TEST_F(GatewayFaults, HugeHighAndMissingTextsPassWithoutHarm) {
  EXPECT_EQ(::LeitorDescriptoDll(nullptr, nullptr, nullptr), 0);  // "KQZR32.DLL" in no directory
  framework_.messages.clear();
  PlaceLibrary();
  const std::string huge(1 << 20, '7');
  const std::string prefix = "dir=" + ExecutableDirectory() + "|code=";
  std::string result;
  // The fake answers through a fixed buffer: the start of the code is enough.
  ASSERT_TRUE(LeitorDescriptoDll(result, ExecutableDirectory(), huge));
  EXPECT_EQ(result.compare(0, prefix.size() + 64, prefix + huge.substr(0, 64)), 0);
  ASSERT_TRUE(LeitorDescriptoDll(result, ExecutableDirectory(), HighBytes()));
  EXPECT_EQ(result, prefix + HighBytes());

  // A directory far beyond any path length is a file not found, shown verbatim.
  const std::string hugeDirectory = "/" + std::string(1 << 20, 'd') + "/";
  EXPECT_FALSE(LeitorDescriptoDll(result, hugeDirectory, "1"));
  ASSERT_EQ(framework_.messages.size(), 1u);
  EXPECT_NE(framework_.messages[0].text.find(hugeDirectory), std::string::npos);

  StartDigVerif();
  ASSERT_TRUE(DigVerifOK);
  EXPECT_EQ(GetMatriculaDV(HighBytes()).substr(GetMatriculaDV("").size()), HighBytes());
  EXPECT_FALSE(GetMatriculaDV(huge).empty());

  // Null pointers through the C interface are empty texts; a null result
  // slot is simply not written.
  char* resident = Rdr00800_GetMatriculaDV(nullptr);
  EXPECT_STREQ(resident, GetMatriculaDV("").c_str());
  Rdr00800_FreeText(resident);
  EXPECT_EQ(::LeitorDescriptoDll(nullptr, ExecutableDirectory().c_str(), nullptr), 1);
}

TEST_F(GatewayFaults, DatabaseThatRefusesEndsTheCallWithItsError) {
  if (!rdrtest::HavePostgresDriver()) GTEST_SKIP() << "PostgreSQL ODBC driver not installed";
  rdrtest::SilentPort refusing(false);
  framework_.connectionString = PostgresAt(refusing.Port());
  const int descriptors = rdrtest::OpenDescriptorCount();
  ExpectDatabaseError();
  EXPECT_EQ(rdrtest::OpenDescriptorCount(), descriptors);
}

TEST_F(GatewayFaults, DatabaseThatNeverAnswersIsEndedByTheLoginTimeout) {
  if (!rdrtest::HavePostgresDriver()) GTEST_SKIP() << "PostgreSQL ODBC driver not installed";
  rdrtest::SilentPort silent(true);
  framework_.connectionString = PostgresAt(silent.Port());
  dtmLeitor = new TdtmLeitor();  // the host's own module, with a short login time-out
  dtmLeitor->adcLeitor.LoginTimeout = 1;
  const auto start = std::chrono::steady_clock::now();
  ExpectDatabaseError();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(GatewayFaults, ThousandOneShotCallsLeaveNoHandleDescriptorOrMemoryBehind) {
  PlaceLibrary();
  std::string result;
  const auto call = [&](int i) {
    ASSERT_TRUE(LeitorDescriptoDll(result, ExecutableDirectory(), std::to_string(i)));
    ASSERT_EQ(LiveOdbcHandleCount(), 0);
  };
  for (int i = 0; i < 50; ++i) call(i);  // the driver's one-time allocations first
  const int descriptors = rdrtest::OpenDescriptorCount();
  const long residentKb = rdrtest::ProcessStatusField("VmRSS");
  for (int i = 0; i < 1000; ++i) {
    call(i);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(result, "dir=" + ExecutableDirectory() + "|code=999");
  EXPECT_EQ(rdrtest::OpenDescriptorCount(), descriptors);
  EXPECT_EQ(framework_.sessions.size(), 1050u);
  if (rdrtest::kResidentMemoryIsMeaningful) {
    EXPECT_LT(rdrtest::ProcessStatusField("VmRSS") - residentKb, 2048);
  }
}

}  // namespace
