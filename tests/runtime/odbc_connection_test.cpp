// The database connection and the reader data module, against the SQLite3
// ODBC driver and the PostgreSQL driver (no server needed for the refusal).
#include "runtime/odbc_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "decrypt/decrypt_test_support.h"
#include "rdr00800/Rdr00800.h"
#include "support/pty_reader.h"

namespace {

using Rdr00800::EDatabaseError;
using Rdr00800::TADOConnection;
using Rdr00800::detail::LiveOdbcHandleCount;
using Rdr00800::detail::WithDriverFromProvider;
using rdrtest::SilentPort;

TEST(ProviderRule, DriverComesFromTheStringFirstThenTheProperty) {
  struct Case {
    std::wstring text;
    std::string provider;
    std::wstring expected;
  };
  const Case cases[] = {
      // A string that names its driver or data source is left alone.
      {L"Driver=SQLite3;Database=x", "MSDAORA.1", L"Driver=SQLite3;Database=x"},
      {L" dsn = Host;UID=a", "MSDAORA.1", L" dsn = Host;UID=a"},
      {L"FileDSN=/etc/x.dsn", "P", L"FileDSN=/etc/x.dsn"},
      {L"Provider=MSDASQL;DSN=Host", "P", L"Provider=MSDASQL;DSN=Host"},
      // Its own Provider= key wins over the property.
      {L"Provider=SQLite3;Database=x", "MSDAORA.1", L"DRIVER={SQLite3};Database=x"},
      {L"Database=x;provider={PostgreSQL Unicode};Port=5", "P", L"Database=x;DRIVER={PostgreSQL Unicode};Port=5"},
      // A braced value may hide the key words: they name nothing.
      {L"Database={a;DSN=b}", "SQLite3", L"DRIVER={SQLite3};Database={a;DSN=b}"},
      {L"Database=x", "SQLite3", L"DRIVER={SQLite3};Database=x"},
      {L"Database=x", "", L"Database=x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WithDriverFromProvider(c.text, c.provider), c.expected) << std::string(c.text.begin(), c.text.end());
  }
}

TEST(ProviderRule, WideFormKeepsWindows1252Characters) {
  EXPECT_EQ(Rdr00800::detail::WidenCp1252("S\xe3o \x80"), L"S\u00e3o \u20ac");
}

class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rdrtest::UsePrivateOdbcConfiguration()) GTEST_SKIP() << "SQLite3 ODBC driver not installed";
  }
  rdrtest::TempDir dir_;
};

TEST_F(Connection, OpensRunsHandlersInOrderAndClosesEveryHandle) {
  const int handlesBefore = LiveOdbcHandleCount();
  std::vector<std::string> events;
  {
    TADOConnection connection;
    connection.LoginPrompt = false;
    connection.BeforeConnect = [&](void* sender) {
      EXPECT_EQ(sender, &connection);
      EXPECT_EQ(connection.Handle(), nullptr);
      events.push_back("before");
      const auto text = rdrtest::SqliteConnectionString(dir_);
      connection.ConnectionString.assign(text.begin(), text.end());
    };
    connection.AfterConnect = [&](void*) {
      EXPECT_NE(connection.Handle(), nullptr);
      events.push_back("after");
    };
    connection.SetConnected(true);
    EXPECT_TRUE(connection.Connected());
    connection.SetConnected(true);  // already open: no second round of handlers
    EXPECT_EQ(events, (std::vector<std::string>{"before", "after"}));
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "host.db"));

    connection.SetConnected(false);
    EXPECT_FALSE(connection.Connected());
    EXPECT_EQ(connection.Handle(), nullptr);
    EXPECT_EQ(LiveOdbcHandleCount(), handlesBefore);
    connection.SetConnected(true);
    EXPECT_GT(LiveOdbcHandleCount(), handlesBefore);
  }
  EXPECT_EQ(LiveOdbcHandleCount(), handlesBefore);
}

TEST_F(Connection, UnknownDriverFailsWithDiagnosticsButNeverThePassword) {
  TADOConnection connection;
  connection.LoginPrompt = false;
  connection.ConnectionString = L"Driver={No Such Driver};Database=x;PWD={hunter2;x}";
  bool afterRan = false;
  connection.AfterConnect = [&](void*) { afterRan = true; };
  try {
    connection.SetConnected(true);
    FAIL() << "no error";
  } catch (const EDatabaseError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("[01000]"), std::string::npos) << message;  // the driver manager's own record
    EXPECT_EQ(message.find("hunter2"), std::string::npos) << message;
  }
  EXPECT_FALSE(afterRan);
  EXPECT_FALSE(connection.Connected());
  EXPECT_EQ(LiveOdbcHandleCount(), 0);
}

class PostgresDriver : public Connection {
 protected:
  void SetUp() override {
    Connection::SetUp();
    if (!IsSkipped() && !rdrtest::HavePostgresDriver()) GTEST_SKIP() << "PostgreSQL ODBC driver not installed";
  }
  // Opens a connection to `port` that must fail; returns the error message.
  std::string FailedOpenMessage(int port, const std::string& password, int32_t loginTimeout) {
    TADOConnection connection;
    connection.LoginPrompt = false;
    connection.LoginTimeout = loginTimeout;
    const auto text = "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(port) +
                      ";Database=postgres;UID=postgres;PWD=" + password;
    connection.ConnectionString.assign(text.begin(), text.end());
    try {
      connection.SetConnected(true);
    } catch (const EDatabaseError& error) {
      EXPECT_EQ(connection.Handle(), nullptr);
      return error.what();
    }
    ADD_FAILURE() << "connected to a port where nobody answers";
    return {};
  }
};

TEST_F(PostgresDriver, RefusedPortFailsAndLeavesNoHandleOrDescriptor) {
  SilentPort refusing(false);
  const int descriptorsBefore = rdrtest::OpenDescriptorCount();
  const std::string message = FailedOpenMessage(refusing.Port(), "s3cr3t-pw", 5);
  EXPECT_NE(message.find("[08001]"), std::string::npos) << message;
  EXPECT_EQ(message.find("s3cr3t-pw"), std::string::npos) << message;
  EXPECT_EQ(LiveOdbcHandleCount(), 0);
  EXPECT_EQ(rdrtest::OpenDescriptorCount(), descriptorsBefore);
}

TEST_F(PostgresDriver, ServerThatNeverAnswersFailsAfterTheLoginTimeout) {
  SilentPort silent(true);
  const auto start = std::chrono::steady_clock::now();
  // A one-letter password must not blank out the words that contain it.
  const std::string message = FailedOpenMessage(silent.Port(), "t", 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_NE(message.find("timeout"), std::string::npos) << message;
  EXPECT_EQ(LiveOdbcHandleCount(), 0);
}

class ReaderDataModule : public Connection {
 protected:
  void SetUp() override {
    Connection::SetUp();
    framework_.connectionString = rdrtest::SqliteConnectionString(dir_);
    Rdr00800::SetHostFramework(&framework_);
  }
  void TearDown() override { Rdr00800::SetHostFramework(nullptr); }
  rdrtest::RecordingFramework framework_;
};

TEST_F(ReaderDataModule, IsBuiltWithItsStoredPropertiesAndTranslatedOnCreation) {
  Rdr00800::TdtmLeitor module;
  EXPECT_EQ(framework_.translated, (std::vector<Rdr00800::TDataModule*>{&module}));
  EXPECT_FALSE(module.adcLeitor.LoginPrompt);
  EXPECT_EQ(module.adcLeitor.Provider, "MSDAORA.1");
  EXPECT_FALSE(module.adcLeitor.Connected());
  EXPECT_TRUE(module.adcLeitor.ConnectionString.empty());
}

TEST_F(ReaderDataModule, ConnectAsksTheHostEveryTimeAndHandsOverTheSession) {
  Rdr00800::TdtmLeitor module;
  module.adcLeitor.SetConnected(true);
  EXPECT_EQ(framework_.connectionStringQueries, std::vector<std::string>{""});
  ASSERT_EQ(framework_.sessions.size(), 1u);
  EXPECT_EQ(framework_.sessions[0], &module.adcLeitor);
  EXPECT_EQ(framework_.sessionHandles[0], module.adcLeitor.Handle());

  // The host switched databases: the next connect follows it.
  rdrtest::TempDir other;
  framework_.connectionString = rdrtest::SqliteConnectionString(other);
  module.adcLeitor.SetConnected(false);
  module.adcLeitor.SetConnected(true);
  EXPECT_EQ(framework_.connectionStringQueries.size(), 2u);
  EXPECT_TRUE(std::filesystem::exists(other.Path() / "host.db"));
}

TEST_F(ReaderDataModule, DefaultFrameworkForgetsTheSessionWithTheModule) {
  Rdr00800::SetHostFramework(nullptr);
  Rdr00800::SetDefaultConnectionString(rdrtest::SqliteConnectionString(dir_));
  {
    Rdr00800::TdtmLeitor module;
    module.adcLeitor.SetConnected(true);
    EXPECT_EQ(Rdr00800::CurrentADODBSession(), &module.adcLeitor);
  }
  EXPECT_EQ(Rdr00800::CurrentADODBSession(), nullptr);
  Rdr00800::SetDefaultConnectionString("");
}

}  // namespace
