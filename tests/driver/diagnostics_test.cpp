// Diagnostic records and handle validation of the driver's ODBC functions.
#include "driver_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {

using driver_test::record;

// A connection to a namespace whose schema has one class, and a statement on it.
class diagnostics : public driver_test::fixture {
 protected:
  diagnostics() : fixture("class T.Item\n  property N: integer\nend class\n") {}
  void SetUp() override {
    fixture::SetUp();
    EXPECT_EQ(connect(u"wrong"), -1014);
    EXPECT_EQ(record(SQL_HANDLE_DBC, hdbc), "28000 unknown user or wrong password");
    ASSERT_EQ(connect(u"torqa"), 0);
    EXPECT_EQ(record(SQL_HANDLE_DBC, hdbc), "no record");
    ASSERT_EQ(SQLAllocStmt(hdbc, &hstmt), SQL_SUCCESS);
  }

  SQLRETURN prepare(const std::u16string& sql) {
    return SQLPrepare(hstmt, reinterpret_cast<SQLCHAR*>(const_cast<char16_t*>(sql.c_str())), SQL_NTS);
  }
  SQLRETURN run(const std::u16string& sql) {
    const SQLRETURN rc = prepare(sql);
    return rc == SQL_SUCCESS ? SQLExecute(hstmt) : rc;
  }
  std::string stmt_record() const { return record(SQL_HANDLE_STMT, hstmt); }
};

TEST_F(diagnostics, failed_calls_leave_a_record_and_the_next_call_clears_it) {
  // A call's result and the record it leaves.
  const auto after = [&](SQLRETURN rc) { return std::to_string(rc) + " " + stmt_record(); };
  const std::string syntax = after(prepare(u"SELEC N FROM T_Item"));
  EXPECT_TRUE(syntax.starts_with("-1 42000 ") && syntax.find("syntax error") != std::string::npos) << syntax;
  EXPECT_EQ(after(SQLFetch(hstmt)), "-1 HY010 the statement is not executed");
  EXPECT_EQ(after(prepare(u"INSERT INTO T_Item(N) VALUES(?)")), "0 no record");
  EXPECT_EQ(after(SQLExecute(hstmt)), "-1 07002 parameter 1 is not bound as input");
  ASSERT_EQ(run(u"INSERT INTO T_Item(N) VALUES(1099511627776)"), SQL_SUCCESS);

  ASSERT_EQ(run(u"SELECT N FROM T_Item"), SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(hstmt), SQL_SUCCESS);
  SQLINTEGER n = 0;
  SQLLEN ind = 0;
  EXPECT_EQ(after(SQLGetData(hstmt, 1, SQL_C_SLONG, &n, sizeof n, &ind)), "-1 22003 column 1 is out of range");  // 2^40
  EXPECT_EQ(after(SQLGetData(hstmt, 2, SQL_C_SLONG, &n, sizeof n, &ind)), "-1 07009 no column 2");

  // A message longer than the buffer: cut, terminated, its whole length told.
  EXPECT_EQ(run(u"SELECT nope FROM T_Item"), SQL_ERROR);
  SQLCHAR state[6], text[8];
  SQLSMALLINT length = 0;
  EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_STMT, hstmt, 1, state, nullptr, text, sizeof text, &length),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), "no such");
  EXPECT_GT(length, 7);
  EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_STMT, hstmt, 2, state, nullptr, text, sizeof text, &length), SQL_NO_DATA);
  EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_STMT, hstmt, 0, state, nullptr, text, sizeof text, &length), SQL_ERROR);
}

TEST_F(diagnostics, freed_and_foreign_handles_are_refused) {
  ASSERT_EQ(run(u"SELECT N FROM T_Item"), SQL_SUCCESS);
  ASSERT_EQ(SQLFreeStmt(hstmt, SQL_DROP), SQL_SUCCESS);
  EXPECT_EQ(record(SQL_HANDLE_STMT, hstmt), "rc " + std::to_string(SQL_INVALID_HANDLE));
  // A freed statement, live handles of other kinds, and memory that never was a handle.
  struct {
    unsigned tag = 0x12345678;
    char rest[64] = {};
  } foreign;
  for (SQLHANDLE h : {hstmt, SQLHANDLE{nullptr}, henv, hdbc, SQLHANDLE(&foreign)}) {
    SQLSMALLINT n = 0;
    SQLLEN ind = 0;
    char buf[8];
    for (SQLRETURN rc : {SQLPrepare(h, reinterpret_cast<SQLCHAR*>(const_cast<char16_t*>(u"SELECT 1")), SQL_NTS),
                         SQLNumResultCols(h, &n), SQLDescribeCol(h, 1, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                                                 nullptr),
                         SQLNumParams(h, &n), SQLDescribeParam(h, 1, nullptr, nullptr, nullptr, nullptr),
                         SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 0, 0, buf, 8, &ind),
                         SQLExecute(h), SQLFetch(h), SQLGetData(h, 1, SQL_C_CHAR, buf, 8, &ind),
                         SQLFreeStmt(h, SQL_CLOSE), SQLFreeStmt(h, SQL_DROP)})
      EXPECT_EQ(rc, SQL_INVALID_HANDLE);
  }
  SQLHSTMT none = &foreign;
  EXPECT_EQ(SQLAllocStmt(henv, &none), SQL_INVALID_HANDLE);
  EXPECT_EQ(none, nullptr);

  void* channel = nullptr;
  ASSERT_EQ(DrvOpenChannel(hdbc, &channel), 0);
  ASSERT_EQ(DrvCloseChannel(channel), 0);
  EXPECT_EQ(DrvCloseChannel(channel), -1);
}

TEST_F(diagnostics, a_namespace_held_by_another_process_is_refused_naming_it) {
  // A child process connects to a namespace this process has not opened,
  // says so through a pipe, and holds it until the pipe's other end closes.
  int ready[2], hold[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(hold[1]);
    SQLHDBC mine = nullptr;
    const bool ok = SQLAllocConnect(henv, &mine) == SQL_SUCCESS && connect(u"torqa", mine, "held") == 0;
    char c = ok ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1 || read(hold[0], &c, 1) < 0) _exit(2);
    _exit(ok ? 0 : 1);
  }
  close(ready[1]);
  close(hold[0]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  SQLHDBC other = nullptr;
  ASSERT_EQ(SQLAllocConnect(henv, &other), SQL_SUCCESS);
  EXPECT_EQ(connect(u"torqa", other, "held"), -1010);
  const std::string held = std::filesystem::canonical(dir + "/held").string();
  EXPECT_EQ(record(SQL_HANDLE_DBC, other),
            "08001 namespace " + held + " is served by process " + std::to_string(child) + " (tests_driver)");
  // The owner's exit lets the namespace go.
  close(hold[1]);
  close(ready[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(connect(u"torqa", other, "held"), 0);
  SQLFreeConnect(other);
}

}  // namespace
