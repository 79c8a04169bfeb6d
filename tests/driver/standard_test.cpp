// Connections opened as a driver manager opens them (SQLDriverConnect)
// against connections opened by the binding (DrvConnect): each keeps its own
// text conventions on the same data; transactions and connection failures.
#include "driver_fixture.h"

#include <cstring>
#include <utility>
#include <vector>

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

TEST_F(standard, each_connection_keeps_its_text_conventions) {
  ASSERT_EQ(exec("INSERT INTO T_Item(S) VALUES('Zoë 0123456789')"), SQL_SUCCESS);  // 15 bytes, 14 characters
  // The binding's connection on the same namespace.
  SQLHDBC binding = nullptr;
  SQLHSTMT bstmt = nullptr;
  ASSERT_EQ(SQLAllocConnect(henv, &binding), SQL_SUCCESS);
  ASSERT_EQ(fixture::connect(u"torqa", binding), 0);
  ASSERT_EQ(SQLAllocStmt(binding, &bstmt), SQL_SUCCESS);
  const std::u16string select = u"SELECT S AS \"Näme\" FROM T_Item";
  ASSERT_EQ(SQLPrepare(bstmt, reinterpret_cast<SQLCHAR*>(const_cast<char16_t*>(select.c_str())), SQL_NTS),
            SQL_SUCCESS);
  ASSERT_EQ(SQLExecute(bstmt), SQL_SUCCESS);
  ASSERT_EQ(exec("SELECT S AS \"Näme\" FROM T_Item"), SQL_SUCCESS);

  // Column names: 16-bit units for the binding, UTF-8 bytes, terminated, here.
  char16_t wide[8] = {};
  SQLCHAR narrow[8] = {};
  SQLSMALLINT n = 0;
  ASSERT_EQ(SQLDescribeCol(bstmt, 1, reinterpret_cast<SQLCHAR*>(wide), 8, &n, nullptr, nullptr, nullptr, nullptr),
            SQL_SUCCESS);
  EXPECT_EQ(std::u16string(wide, n), u"Näme");
  ASSERT_EQ(SQLDescribeCol(hstmt, 1, narrow, sizeof narrow, &n, nullptr, nullptr, nullptr, nullptr), SQL_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(narrow)), "Näme");
  EXPECT_EQ(n, 5);
  EXPECT_EQ(SQLDescribeCol(hstmt, 1, narrow, 3, &n, nullptr, nullptr, nullptr, nullptr), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(narrow)), "N");  // not inside "ä"
  SQLWCHAR units[8] = {};
  ASSERT_EQ(SQLDescribeColW(hstmt, 1, units, 8, &n, nullptr, nullptr, nullptr, nullptr), SQL_SUCCESS);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(units)), u"Näme");

  // Pieces: the binding's fill the buffer, answer SQL_SUCCESS and add no
  // terminator; standard ones keep a unit for the terminator and answer
  // 01004 while data remains. Both tell the bytes still to come.
  // Each piece as "<result> <length to come> <the whole buffer>".
  const auto pieces = [](SQLHSTMT s, SQLSMALLINT c_type, SQLLEN capacity) {
    std::vector<std::string> out;
    for (SQLLEN ind = 0; out.size() < 10;) {
      char buf[16];
      std::memset(buf, '#', sizeof buf);
      const SQLRETURN rc = SQLGetData(s, 1, c_type, buf, capacity, &ind);
      if (rc == SQL_NO_DATA) break;
      out.push_back(std::to_string(rc) + " " + std::to_string(ind) + " " + std::string(buf, capacity));
    }
    return out;
  };
  using v = std::vector<std::string>;
  ASSERT_EQ(SQLFetch(bstmt) + SQLFetch(hstmt), 2 * SQL_SUCCESS);
  EXPECT_EQ(pieces(bstmt, SQL_C_CHAR, 6), (v{"0 15 Zo\xC3\xAB 0", "0 9 123456", "0 3 789###"}));
  const std::string nul(1, '\0');
  EXPECT_EQ(pieces(hstmt, SQL_C_CHAR, 6), (v{"1 15 Zo\xC3\xAB " + nul, "1 10 01234" + nul, "0 5 56789" + nul}));
  // 16-bit pieces on a fresh row: whole units, and the standard one terminated.
  ASSERT_EQ(SQLExecute(bstmt) + exec("SELECT S FROM T_Item"), 2 * SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(bstmt) + SQLFetch(hstmt), 2 * SQL_SUCCESS);
  const auto utf16 = [](const std::u16string& s) {
    return std::string(reinterpret_cast<const char*>(s.data()), 2 * s.size());
  };
  EXPECT_EQ(pieces(bstmt, SQL_C_WCHAR, 15)[0], "0 28 " + utf16(u"Zo\u00EB 012") + "#");
  EXPECT_EQ(pieces(hstmt, SQL_C_WCHAR, 15),
            (v{"1 28 " + utf16(std::u16string(u"Zo\u00EB 01\0", 7)) + "#", "1 16 " + utf16(std::u16string(u"234567\0", 7)) + "#",
               "0 4 " + utf16(std::u16string(u"89\0", 3)) + std::string(9, '#')}));

  SQLFreeConnect(binding);
}

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
