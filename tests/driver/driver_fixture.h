// An ODBC environment and connection handle beside a namespace made in a
// fresh directory from a one-class schema, and the driver's diagnostic
// records in short.
#pragma once

#include <torqa/driver_abi.h>

#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace driver_test {

inline std::u16string widen(const std::string& s) { return {s.begin(), s.end()}; }

inline torqa_drv_str drv(const std::u16string& s) {
  return {reinterpret_cast<const unsigned short*>(s.data()), static_cast<unsigned>(s.size())};
}

/// The first record of `h` as "<state> <message>", "no record", or the result of asking.
inline std::string record(SQLSMALLINT type, SQLHANDLE h) {
  SQLCHAR state[6] = {}, text[256] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  const SQLRETURN rc = SQLGetDiagRec(type, h, 1, state, &native, text, sizeof text, &length);
  if (rc == SQL_NO_DATA) return "no record";
  if (rc != SQL_SUCCESS) return "rc " + std::to_string(rc);
  return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(text);
}

class fixture : public ::testing::Test {
 protected:
  explicit fixture(const char* schema_text) : schema(schema_text) {}
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torqa-driver-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    std::ofstream(dir + "/schema.tq") << schema;
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &henv), SQL_SUCCESS);
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, henv, &hdbc), SQL_SUCCESS);
  }
  void TearDown() override {
    SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
    SQLFreeHandle(SQL_HANDLE_ENV, henv);
    std::filesystem::remove_all(dir);
  }

  /// DrvConnect of `to` (the fixture's connection by default) as torqa to namespace `name`.
  short connect(const std::u16string& password, SQLHDBC to = nullptr, const std::string& name = "ns") {
    const std::u16string host = u"local", options = widen("fasthash=1;schema=" + dir + "/schema.tq"),
                         path = widen(dir + "/" + name), user = u"torqa";
    const auto h = drv(host), o = drv(options), p = drv(path), u = drv(user), w = drv(password);
    return DrvConnect(to != nullptr ? to : hdbc, &h, &o, &p, &u, &w);
  }

  const char* schema;
  std::string dir;
  SQLHENV henv = nullptr;
  SQLHDBC hdbc = nullptr;
  SQLHSTMT hstmt = nullptr;
};

}  // namespace driver_test
