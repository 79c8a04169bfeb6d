// Connections opened as a driver manager opens them (SQLDriverConnect):
// transactions and connection failures.
#include "driver_fixture.h"

#include <utility>

namespace {

using driver_test::record;

class standard : public driver_test::fixture {
 protected:
  standard() : fixture("class T.Item\n  property S: string\nend class\n") {}
  void SetUp() override {
    fixture::SetUp();
    ASSERT_EQ(connect("UID=torqa;PWD=torqa;Connect={" + target() + "}"), SQL_SUCCESS)
        << record(SQL_HANDLE_DBC, hdbc);
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, hdbc, &hstmt), SQL_SUCCESS);
  }
  void TearDown() override {
    SQLEndTran(SQL_HANDLE_DBC, hdbc, SQL_ROLLBACK);
    SQLDisconnect(hdbc);
    fixture::TearDown();
  }

  std::string target() const { return "local[fasthash=1;schema=" + dir + "/schema.tq]:" + dir + "/ns"; }
  SQLRETURN connect(const std::string& s, SQLHDBC h = nullptr) {
    return SQLDriverConnect(h ? h : hdbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str())), SQL_NTS,
                            nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  }
  SQLRETURN exec(const std::string& sql, SQLHSTMT h = nullptr) {
    return SQLExecDirect(h ? h : hstmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  }
};

TEST_F(standard, transactions_end_by_sqlendtran_and_failures_leave_records) {
  ASSERT_EQ(SQLSetConnectAttr(hdbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
            SQL_SUCCESS);
  const auto count = [&] {
    SQLINTEGER n = -1;
    EXPECT_EQ(exec("SELECT count(*) FROM T_Item"), SQL_SUCCESS);
    EXPECT_EQ(SQLFetch(hstmt), SQL_SUCCESS);
    EXPECT_EQ(SQLGetData(hstmt, 1, SQL_C_SLONG, &n, 0, nullptr), SQL_SUCCESS);
    SQLCloseCursor(hstmt);
    return n;
  };
  ASSERT_EQ(exec("INSERT INTO T_Item(S) VALUES('a')"), SQL_SUCCESS);
  SQLLEN rows = 0;
  EXPECT_EQ(SQLRowCount(hstmt, &rows), SQL_SUCCESS);
  EXPECT_EQ(rows, 1);
  EXPECT_EQ(SQLDisconnect(hdbc), SQL_ERROR);
  EXPECT_EQ(record(SQL_HANDLE_DBC, hdbc).substr(0, 5), "25000");
  EXPECT_EQ(SQLEndTran(SQL_HANDLE_DBC, hdbc, SQL_ROLLBACK), SQL_SUCCESS);
  EXPECT_EQ(count(), 0);
  ASSERT_EQ(exec("INSERT INTO T_Item(S) VALUES('b')"), SQL_SUCCESS);
  EXPECT_EQ(SQLEndTran(SQL_HANDLE_ENV, henv, SQL_COMMIT), SQL_SUCCESS);
  EXPECT_EQ(SQLEndTran(SQL_HANDLE_DBC, hdbc, SQL_ROLLBACK), SQL_SUCCESS);
  EXPECT_EQ(count(), 1);

  // Failures name their state on the handle they happened on.
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, henv), SQL_ERROR);
  EXPECT_EQ(record(SQL_HANDLE_ENV, henv), "HY010 free the environment's connections first");
  EXPECT_EQ(exec("SELECT hash FROM torqa_users"), SQL_ERROR);
  EXPECT_EQ(record(SQL_HANDLE_STMT, hstmt).substr(0, 5), "42000");
  SQLINTEGER native = 0;
  EXPECT_EQ(SQLGetDiagField(SQL_HANDLE_STMT, hstmt, 0, SQL_DIAG_NUMBER, &native, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(native, 1);
  EXPECT_EQ(SQLGetInfo(hdbc, 65000, nullptr, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(record(SQL_HANDLE_DBC, hdbc), "HY096 unknown information type 65000");
  SQLHDBC other = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, henv, &other), SQL_SUCCESS);
  for (const auto& [in, state] : {std::pair<std::string, std::string>{"UID=torqa;PWD=torqa", "08001"},
                                  {"Connect=local[]" + dir, "08001"},
                                  {"Connect={" + target() + "};UID=torqa;PWD=nope", "28000"},
                                  {"Connect={far[1]:x}", "08001"}}) {
    EXPECT_EQ(connect(in, other), SQL_ERROR) << in;
    EXPECT_EQ(record(SQL_HANDLE_DBC, other).substr(0, 5), state) << in;
  }
  SQLFreeHandle(SQL_HANDLE_DBC, other);
}

}  // namespace
