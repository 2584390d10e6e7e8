// The reader data module against a real PostgreSQL server through the
// "PostgreSQL Unicode" ODBC driver; the server comes from the CTest fixture
// postgres_fixture.sh.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <fstream>

#include "decrypt_test_support.h"
#include "rdr00800/Rdr00800.h"
#include "runtime/odbc_connection.h"

namespace {

namespace fs = std::filesystem;

std::string ReadState(const std::string& name) {
  std::ifstream file(fs::path(RDR00800_TEST_POSTGRES_STATE) / name);
  std::string value;
  std::getline(file, value);
  return value;
}

class Postgres : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rdrtest::HavePostgresDriver()) GTEST_SKIP() << "PostgreSQL ODBC driver not installed";
    const std::string unavailable = ReadState("unavailable");
    if (!unavailable.empty()) GTEST_SKIP() << "PostgreSQL server: " << unavailable;
    const std::string port = ReadState("port");
    ASSERT_FALSE(port.empty()) << "the postgres fixture did not run (ctest starts it)";
    password_ = ReadState("password");
    base_ = "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + port + ";Database=postgres;UID=postgres;";
    Rdr00800::SetHostFramework(&framework_);
  }
  void TearDown() override { Rdr00800::SetHostFramework(nullptr); }

  rdrtest::RecordingFramework framework_;
  std::string base_;
  std::string password_;
};

TEST_F(Postgres, SessionHandedToTheHostRunsQueries) {
  framework_.connectionString = base_ + "PWD=" + password_;
  Rdr00800::TdtmLeitor module;
  module.adcLeitor.SetConnected(true);
  ASSERT_EQ(framework_.sessions.size(), 1u);

  SQLHSTMT statement = SQL_NULL_HSTMT;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, framework_.sessionHandles[0], &statement)));
  SQLCHAR query[] = "SELECT current_user";
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(statement, query, SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(statement)));
  char user[64] = {};
  SQLLEN length = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetData(statement, 1, SQL_C_CHAR, user, sizeof user, &length)));
  EXPECT_STREQ(user, "postgres");
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
}

TEST_F(Postgres, RejectedLoginReportsTheServerButNotThePassword) {
  framework_.connectionString = base_ + "PWD=wrong-" + password_;
  {
    Rdr00800::TdtmLeitor module;
    try {
      module.adcLeitor.SetConnected(true);
      FAIL() << "logged in with a wrong password";
    } catch (const Rdr00800::EDatabaseError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find("password authentication failed"), std::string::npos) << message;
      EXPECT_EQ(message.find(password_), std::string::npos) << message;
    }
  }
  EXPECT_TRUE(framework_.sessions.empty());
  EXPECT_EQ(Rdr00800::detail::LiveOdbcHandleCount(), 0);
}

}  // namespace
