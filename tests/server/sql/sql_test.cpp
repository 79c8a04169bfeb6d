// The driver's SQL functions, called through its entry points on the embedded server.
#include "server/test_util.h"

#include "transport/driver.h"

#include <gmock/gmock.h>
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace torqa::server {
namespace {

using test::hex;

constexpr const char* schema_text = R"(
class Test.Item
  property Name: string
  property Count: integer
  property Price: double
  property Flag: boolean
  property Data: binary
  property Day: date
  property At: time
  property Stamp: timestamp
  property Notes: character stream
  property Blob: binary stream
  query Range(low: integer, high: integer, name: string)
    SELECT Name, Count FROM Test_Item WHERE Count BETWEEN ? AND ? AND Name <> ? ORDER BY Count
  end query
end class
)";

std::u16string u16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }
SQLCHAR* sql_text(const std::u16string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char16_t*>(s.data())); }

// A statement on a fresh namespace, with 16-bit text or not.
class sql_driver : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::ofstream(dir / "schema.tq") << schema_text;
    ASSERT_EQ(drv.SQLAllocEnv(&env), SQL_SUCCESS);
    ASSERT_EQ(drv.SQLAllocConnect(env, &dbc), SQL_SUCCESS);
    ASSERT_EQ(connect(dbc, u"torqa", u"torqa"), 0);
    ASSERT_EQ(drv.SQLAllocStmt(dbc, &st), SQL_SUCCESS);
  }
  // Connects `to` to the test's namespace (small limits: 500 ms, 16 MB).
  short connect(SQLHDBC to, const std::u16string& user, const std::u16string& password) {
    const std::u16string strs[] = {u"local",
                                   u16("fasthash=1;timelimit=500;memlimit=16777216;schema=" + (dir / "schema.tq") +
                                       (GetParam() ? ";unicode=1" : "")),
                                   u16(dir / "ns"), user, password};
    torqa_drv_str d[5];
    for (int i = 0; i < 5; ++i)
      d[i] = {reinterpret_cast<const unsigned short*>(strs[i].data()), static_cast<unsigned>(strs[i].size())};
    return drv.DrvConnect(to, &d[0], &d[1], &d[2], &d[3], &d[4]);
  }
  void TearDown() override {
    EXPECT_EQ(drv.SQLFreeConnect(dbc), SQL_SUCCESS);  // frees its statements, open results included
    EXPECT_EQ(drv.SQLFreeEnv(env), SQL_SUCCESS);
  }

  SQLRETURN prepare(const std::u16string& text) {
    return drv.SQLPrepare(st, sql_text(text), static_cast<SQLINTEGER>(text.size()));
  }
  void run(const std::u16string& text) {
    ASSERT_EQ(prepare(text), SQL_SUCCESS);
    ASSERT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  }
  SQLRETURN bind(SQLUSMALLINT i, SQLSMALLINT c_type, SQLSMALLINT sql_type, const void* data, SQLLEN cap,
                 SQLLEN* ind) {
    return drv.SQLBindParameter(st, i, SQL_PARAM_INPUT, c_type, sql_type, 0, 0, const_cast<void*>(data), cap, ind);
  }
  // Column `col` read whole as `c_type` through a buffer of `cap` bytes.
  std::string pieces(SQLUSMALLINT col, SQLSMALLINT c_type, SQLLEN cap) {
    std::vector<char> buf(static_cast<std::size_t>(cap));
    std::string out;
    SQLLEN ind = 0;
    const SQLLEN whole = c_type == SQL_C_WCHAR ? cap / 2 * 2 : cap;  // 16-bit pieces are whole units
    while (drv.SQLGetData(st, col, c_type, buf.data(), cap, &ind) == SQL_SUCCESS && ind != SQL_NULL_DATA)
      out.append(buf.data(), static_cast<std::size_t>(std::min(ind, whole)));
    return out;
  }
  SQLSMALLINT text_type() const { return GetParam() ? SQL_WVARCHAR : SQL_VARCHAR; }

  const detail::driver_table& drv = detail::driver();
  test::temp_dir dir;
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLHSTMT st = nullptr;
};

TEST_P(sql_driver, columns_are_described_by_their_declared_type_into_bounded_buffers) {
  run(u"INSERT INTO Test_Item (Name, Count, Price) VALUES ('a', 1, 2.5)");
  ASSERT_EQ(prepare(u"SELECT \"ID\", Name, Count, Price, Flag, Data, Day, At, Stamp, Notes, Blob, "
                    u"Count + 1 AS Next, Price * 2, x'00FF', NULL, Name AS \"Ab\U0001F600c\" FROM Test_Item"),
            SQL_SUCCESS);
  const SQLSMALLINT text = text_type(), long_text = GetParam() ? SQL_WLONGVARCHAR : SQL_LONGVARCHAR;
  const SQLSMALLINT no = SQL_NO_NULLS, yes = SQL_NULLABLE, unknown = SQL_NULLABLE_UNKNOWN;
  constexpr SQLULEN big = 2147483647;
  const std::tuple<const char16_t*, SQLSMALLINT, SQLULEN, SQLSMALLINT> expected[] = {  // expressions: by the first row
      {u"ID", SQL_INTEGER, 10, no},     {u"Name", text, 65535, yes},     {u"Count", SQL_INTEGER, 10, yes},
      {u"Price", SQL_DOUBLE, 15, yes},  {u"Flag", SQL_INTEGER, 10, yes}, {u"Data", SQL_VARBINARY, 65535, yes},
      {u"Day", SQL_TYPE_DATE, 10, yes}, {u"At", SQL_TYPE_TIME, 8, yes},  {u"Stamp", SQL_TYPE_TIMESTAMP, 19, yes},
      {u"Notes", long_text, big, yes},  {u"Blob", SQL_LONGVARBINARY, big, yes}, {u"Next", SQL_INTEGER, 10, unknown},
      {u"Price * 2", SQL_DOUBLE, 15, unknown}, {u"x'00FF'", SQL_VARBINARY, 65535, unknown},
      {u"NULL", text, 65535, unknown}};
  for (SQLUSMALLINT i = 1; i <= 15; ++i) {
    const auto& [e_name, e_type, e_size, e_nullable] = expected[i - 1];
    char16_t name[256];
    SQLSMALLINT len = 0, type = 0, digits = -1, nullable = -1;
    SQLULEN size = 0;
    ASSERT_EQ(drv.SQLDescribeCol(st, i, reinterpret_cast<SQLCHAR*>(name), 256, &len, &type, &size, &digits, &nullable),
              SQL_SUCCESS);
    EXPECT_EQ(std::u16string(name, static_cast<std::size_t>(len) + 1), e_name + std::u16string(1, u'\0')) << i;
    EXPECT_EQ(std::tuple(type, size, digits, nullable), std::tuple(e_type, e_size, SQLSMALLINT{0}, e_nullable)) << i;
  }
  // "Ab", a surrogate pair, "c": 5 units. A buffer of the name's size gets
  // no terminator; a short one is cut before the pair, never inside it.
  const std::tuple<SQLSMALLINT, SQLRETURN, std::u16string> cuts[] = {
      {5, SQL_SUCCESS, u"Ab\U0001F600c\xAAAA"}, {4, SQL_SUCCESS_WITH_INFO, u"Ab\U0001F600\xAAAA"},
      {3, SQL_SUCCESS_WITH_INFO, std::u16string(u"Ab\0\xAAAA", 4)}, {0, SQL_SUCCESS_WITH_INFO, u"\xAAAA"},
      {-1, SQL_ERROR, u"\xAAAA"}};
  for (const auto& [cap, rc, head] : cuts) {
    std::u16string buf(8, u'\xAAAA');
    SQLSMALLINT len = 0;
    EXPECT_EQ(drv.SQLDescribeCol(st, 16, reinterpret_cast<SQLCHAR*>(buf.data()), cap, &len, nullptr, nullptr, nullptr,
                                 nullptr),
              rc);
    EXPECT_EQ(buf.substr(0, head.size()) + u"/" + char16_t(len), head + u"/" + char16_t(rc == SQL_ERROR ? 0 : 5));
  }
  for (SQLUSMALLINT col : {0, 17})
    EXPECT_EQ(drv.SQLDescribeCol(st, col, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr), SQL_ERROR);
}

TEST_P(sql_driver, parameters_take_the_type_of_their_column_or_class_query) {
  const auto kinds = [&](const std::u16string& text) {
    std::vector<SQLSMALLINT> out;
    SQLSMALLINT n = 0, type = 0, nullable = 0;
    if (prepare(text) != SQL_SUCCESS || drv.SQLNumParams(st, &n) != SQL_SUCCESS) return out;
    for (SQLUSMALLINT i = 1; i <= n; ++i)
      if (drv.SQLDescribeParam(st, i, &type, nullptr, nullptr, &nullable) == SQL_SUCCESS && nullable == SQL_NULLABLE)
        out.push_back(type);
    return out;
  };
  const SQLSMALLINT text = text_type();
  EXPECT_EQ(kinds(u"INSERT INTO Test_Item (Name, Count, Data, At, Notes) VALUES (?, ?, ?, ?, ? || 'x')"),
            (std::vector<SQLSMALLINT>{text, SQL_INTEGER, SQL_VARBINARY, SQL_TYPE_TIME, SQL_VARCHAR}));
  EXPECT_EQ(kinds(u"UPDATE Test_Item SET Price = ?, Blob = ? WHERE \"ID\" = ?"),
            (std::vector<SQLSMALLINT>{SQL_DOUBLE, SQL_LONGVARBINARY, SQL_INTEGER}));
  EXPECT_EQ(kinds(u"SELECT Name FROM Test_Item t WHERE t.Count = ? AND ? < Price AND Day NOT BETWEEN ? AND ? "
                  u"AND Name IN ('a', ?) AND \"Stamp\" > ? AND Data IS NOT ? AND Count + ? > 0 AND At LIKE ?"),
            (std::vector<SQLSMALLINT>{SQL_INTEGER, SQL_DOUBLE, SQL_TYPE_DATE, SQL_TYPE_DATE, text,
                                      SQL_TYPE_TIMESTAMP, SQL_VARBINARY, SQL_VARCHAR, SQL_TYPE_TIME}));
  EXPECT_EQ(kinds(u"SELECT Name FROM Test_Item WHERE Count = ?2 AND Price = ?1"),  // numbered: text
            (std::vector<SQLSMALLINT>{SQL_VARCHAR, SQL_VARCHAR}));
  EXPECT_EQ(kinds(u"{call test_item_range( ?,? , ?)}"), (std::vector<SQLSMALLINT>{SQL_INTEGER, SQL_INTEGER, text}));
  SQLSMALLINT type = 0;
  for (SQLUSMALLINT i : {0, 4}) EXPECT_EQ(drv.SQLDescribeParam(st, i, &type, nullptr, nullptr, nullptr), SQL_ERROR);
  for (const char16_t* bad : {u"{ call Test_Item_Range(?, ?) }", u"{ call Test_Item_Nope() }", u"{ call }",
                              u"{ call Test_Item_Range(?, ?, ?) } x", u"{ ? = call Test_Item_Range(?, ?, ?) }",
                              u"{ call X(1) }", u"{ call Test_Item_Range(", u"{ ?"})
    EXPECT_EQ(prepare(bad), SQL_ERROR) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
}

// A fixed-size value read into the 32 bytes at `b`, as text.
std::string shown(SQLSMALLINT c_type, const char* b) {
  const auto as = [b]<class T>(T v) { return std::memcpy(&v, b, sizeof v), v; };
  const auto s = as(TIMESTAMP_STRUCT{});
  std::ostringstream os;
  if (c_type == SQL_C_SLONG || c_type == SQL_C_SBIGINT) os << (c_type == SQL_C_SLONG ? as(0) : as(0LL));
  if (c_type == SQL_C_DOUBLE) os << as(0.0);
  if (c_type == SQL_C_DATE || c_type == SQL_C_TIMESTAMP) os << s.year << '-' << s.month << '-' << s.day;
  if (c_type == SQL_C_TIMESTAMP) os << ' ' << s.hour << ':' << s.minute << ':' << s.second << '.' << s.fraction;
  if (c_type == SQL_C_TIME) os << s.year << ':' << s.month << ':' << s.day;  // hour, minute, second
  return os.str();
}

TEST_P(sql_driver, values_are_stored_in_the_object_forms_and_convert_as_odbc_converts_them) {
  ASSERT_EQ(prepare(u"INSERT INTO Test_Item (Day, Stamp, Flag, At, Count) VALUES (?, ?, ?, 3600, 5000000000), "
                    u"(58074, NULL, NULL, NULL, NULL)"),
            SQL_SUCCESS);
  DATE_STRUCT day{2000, 2, 29};
  TIMESTAMP_STRUCT stamp{2001, 2, 3, 4, 5, 6, 0};
  SQLLEN ind[3] = {6, 16, SQL_NTS};
  ASSERT_EQ(bind(1, SQL_C_DATE, SQL_TYPE_DATE, &day, 0, &ind[0]), SQL_SUCCESS);
  ASSERT_EQ(bind(2, SQL_C_TIMESTAMP, SQL_TYPE_TIMESTAMP, &stamp, 0, &ind[1]), SQL_SUCCESS);
  ASSERT_EQ(bind(3, SQL_C_CHAR, SQL_INTEGER, "1", 2, &ind[2]), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  run(u"SELECT '42', ' 2.5 ', 'abc', 42, 2.5, Count, x'01AB', '2020-01-02 03:04:05', '2020-01-02', "
      u"Day, At, '12:00:00.25', Name, Day || '|' || Stamp || '|' || typeof(Flag) FROM Test_Item ORDER BY \"ID\"");
  ASSERT_EQ(drv.SQLFetch(st), SQL_SUCCESS);
  EXPECT_EQ(pieces(14, SQL_C_CHAR, 64), "2000-02-29|2001-02-03 04:05:06|integer");
  EXPECT_EQ(pieces(5, SQL_C_WCHAR, 10) + pieces(7, SQL_C_CHAR, 10), utf8_to_utf16le("2.5") + "01AB");
  // Numbers in date and time columns are day numbers and seconds; losing a
  // fraction or a time of day is info; a null or fixed-size value comes once.
  const std::tuple<SQLUSMALLINT, SQLSMALLINT, SQLRETURN, const char*> cases[] = {
      {1, SQL_C_SLONG, SQL_SUCCESS, "42"},           {2, SQL_C_SLONG, SQL_SUCCESS_WITH_INFO, "2"},
      {2, SQL_C_DOUBLE, SQL_SUCCESS, "2.5"},         {3, SQL_C_DOUBLE, SQL_ERROR, ""},
      {3, SQL_C_DATE, SQL_ERROR, ""},                {4, SQL_C_BINARY, SQL_ERROR, ""},
      {6, SQL_C_SBIGINT, SQL_SUCCESS, "5000000000"}, {8, SQL_C_DATE, SQL_SUCCESS_WITH_INFO, "2020-1-2"},
      {8, SQL_C_TIME, SQL_SUCCESS, "3:4:5"},         {9, SQL_C_TIMESTAMP, SQL_SUCCESS, "2020-1-2 0:0:0.0"},
      {9, SQL_C_TIME, SQL_ERROR, ""},                {10, SQL_C_DATE, SQL_SUCCESS, "2000-2-29"},
      {11, SQL_C_TIME, SQL_SUCCESS, "1:0:0"},        {12, SQL_C_TIMESTAMP, SQL_SUCCESS, " 12:0:0.250000000"},
      {12, SQL_C_TIME, SQL_SUCCESS_WITH_INFO, "12:0:0"}, {12, SQL_C_TIME, SQL_NO_DATA, ""},
      {13, SQL_C_DATE, SQL_SUCCESS, "null"},         {13, SQL_C_DATE, SQL_NO_DATA, ""}};
  for (const auto& [col, c_type, rc, value] : cases) {
    SCOPED_TRACE(testing::Message() << col << " as " << c_type);
    alignas(8) char buf[32] = {};
    SQLLEN len = 0;
    ASSERT_EQ(drv.SQLGetData(st, col, c_type, buf, sizeof buf, &len), rc);
    EXPECT_THAT(rc == SQL_NO_DATA || rc == SQL_ERROR ? "" : len == SQL_NULL_DATA ? "null" : shown(c_type, buf),
                testing::EndsWith(value));
  }
  double d = 0;
  EXPECT_EQ(drv.SQLGetData(st, 1, SQL_C_DOUBLE, &d, 4, nullptr), SQL_ERROR);  // too small for the type
  ASSERT_EQ(drv.SQLFetch(st), SQL_SUCCESS);
  alignas(8) char date[32] = {};
  EXPECT_EQ(drv.SQLGetData(st, 10, SQL_C_DATE, date, sizeof date, nullptr), SQL_SUCCESS);
  EXPECT_EQ(shown(SQL_C_DATE, date), "2000-1-1");
  EXPECT_EQ(drv.SQLGetData(st, 13, SQL_C_CHAR, &d, 8, nullptr), SQL_ERROR);  // a null needs an indicator
}

TEST_P(sql_driver, query_information_answers_procedure_and_parameter_count) {
  ASSERT_EQ(drv.SQLPrepare(st, sql_text(u"{ ? = call %Library.CPPStoredProc_getQueryInfo( ?, ? ) }"), SQL_NTS),
            SQL_SUCCESS);
  char reply[64];
  char16_t cls[16], query[16];
  SQLLEN reply_len = 0, cls_len = 0, query_len = 0;
  ASSERT_EQ(bind(2, SQL_C_WCHAR, text_type(), cls, sizeof cls, &cls_len), SQL_SUCCESS);
  ASSERT_EQ(bind(3, SQL_C_WCHAR, text_type(), query, sizeof query, &query_len), SQL_SUCCESS);
  const auto ask = [&](std::u16string_view c, std::u16string_view q, SQLLEN cap = sizeof reply) {
    std::memset(reply, 'Z', sizeof reply);
    drv.SQLBindParameter(st, 1, SQL_PARAM_OUTPUT, SQL_C_BINARY, SQL_BINARY, 32768, 0, reply, cap, &reply_len);
    cls_len = static_cast<SQLLEN>(2 * c.copy(cls, 16)), query_len = static_cast<SQLLEN>(2 * q.copy(query, 16));
    return drv.SQLExecute(st);
  };
  const std::string found = hex("02 01") + (GetParam() ? hex("20 02") + utf8_to_utf16le("Test_Item_Range")
                                                       : hex("11 01") + "Test_Item_Range") + hex("03 04 03");
  EXPECT_EQ(ask(u"test.item", u"RANGE"), SQL_SUCCESS);
  EXPECT_EQ(std::string(reply, static_cast<std::size_t>(reply_len) + 1), found + "Z");
  EXPECT_EQ(drv.SQLFetch(st), SQL_ERROR);  // no result set
  // Errors are statuses: the element holding header, two bytes, code and message.
  EXPECT_EQ(ask(u"Test.Nope", u"Range"), SQL_SUCCESS);
  EXPECT_EQ(std::string(reply, static_cast<std::size_t>(reply_len)),
            hex("2A 01 28 01 01 00 04 05 15 FC 20 01") + "class Test.Nope does not exist");
  EXPECT_EQ(ask(u"Test.Item", u"Range", 5), SQL_SUCCESS_WITH_INFO);  // what fits, and the whole length
  EXPECT_EQ(std::string(reply, 6) + std::to_string(reply_len), found.substr(0, 5) + "Z" + std::to_string(found.size()));
  EXPECT_EQ(bind(1, SQL_C_BINARY, SQL_BINARY, reply, sizeof reply, &reply_len), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);  // the reply goes to an output parameter only
}

TEST_P(sql_driver, refused_statements_bindings_values_and_sequences) {
  SQLSMALLINT v16 = 0;
  // SQL reaching the password hashes, the settings or other files is refused.
  for (const char16_t* bad : {u"SELECT 1; SELECT 2", u"  -- nothing", u"SELECT hash FROM torqa_users",
                              u"UPDATE TORQA_SETTINGS SET value = '1'", u"ATTACH DATABASE '/tmp/x.db' AS x"})
    EXPECT_EQ((std::vector{prepare(bad), drv.SQLNumResultCols(st, &v16), drv.SQLExecute(st)}),
              std::vector<SQLRETURN>(3, SQL_ERROR));
  EXPECT_EQ(drv.SQLPrepare(st, nullptr, SQL_NTS) + drv.SQLPrepare(st, sql_text(u"SELECT 1"), -5), 2 * SQL_ERROR);

  ASSERT_EQ(prepare(u"SELECT Count FROM Test_Item WHERE Count > ?; "), SQL_SUCCESS);
  SQLINTEGER v = 0;
  SQLLEN ind = 4, day_ind = 6;
  // An unknown C type, SQL type, parameter number or direction; no buffer.
  EXPECT_EQ(bind(1, 99, SQL_INTEGER, &v, 0, &ind), SQL_ERROR);
  EXPECT_EQ(bind(1, SQL_C_SLONG, 12345, &v, 0, &ind), SQL_ERROR);
  EXPECT_EQ(bind(0, SQL_C_SLONG, SQL_INTEGER, &v, 0, &ind), SQL_ERROR);
  EXPECT_EQ(drv.SQLBindParameter(st, 1, 7, SQL_C_SLONG, SQL_INTEGER, 0, 0, &v, 0, &ind), SQL_ERROR);
  EXPECT_EQ(bind(1, SQL_C_SLONG, SQL_INTEGER, nullptr, 0, nullptr), SQL_ERROR);
  // An invalid date; an odd 16-bit length, data at execution, a length past the buffer.
  DATE_STRUCT bad_day{2001, 2, 29};
  ASSERT_EQ(bind(1, SQL_C_DATE, SQL_TYPE_DATE, &bad_day, 0, &day_ind), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
  ASSERT_EQ(bind(1, SQL_C_WCHAR, SQL_WVARCHAR, u"abc", 8, &ind), SQL_SUCCESS);
  for (SQLLEN bad : {SQLLEN{3}, SQLLEN{SQL_DATA_AT_EXEC}, SQLLEN{10}})
    EXPECT_EQ((ind = bad, drv.SQLExecute(st)), SQL_ERROR) << bad;
  EXPECT_EQ((ind = SQL_NTS, drv.SQLExecute(st)), SQL_SUCCESS);  // up to the zero unit
  EXPECT_EQ(drv.SQLFetch(st), SQL_NO_DATA);
  // Closing keeps the preparation; resetting drops the bindings.
  EXPECT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFreeStmt(st, SQL_CLOSE), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFetch(st) + drv.SQLGetData(st, 1, SQL_C_SLONG, &v, sizeof v, &ind), 2 * SQL_ERROR);
  EXPECT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFreeStmt(st, SQL_RESET_PARAMS), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
  EXPECT_EQ(drv.SQLFreeStmt(st, 77), SQL_ERROR);
}

// What the namespace's users table holds, read beside the server.
std::string users_table(const std::string& db_path) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
    sqlite3_exec(
        db, "SELECT name, hash FROM torqa_users ORDER BY name",
        [](void* o, int n, char** v, char**) {
          for (int i = 0; i < n; ++i) *static_cast<std::string*>(o) += std::string(v[i] ? v[i] : "") + ";";
          return 0;
        },
        &out, nullptr);
  sqlite3_close(db);
  return out;
}

TEST_P(sql_driver, hostile_sql_is_refused_or_stopped_and_the_server_serves_on) {
  const std::string users = users_table(dir / "ns/objects.db");
  ASSERT_NE(users, "");
  const std::string copy = dir / "copy.db";
  for (const std::u16string& bad : std::initializer_list<std::u16string>{
           u"ALTER TABLE torqa_users RENAME TO t", u"ALTER TABLE Test_Item RENAME TO t", u"VACUUM",
        u16("VACUUM INTO '" + copy + "'"),
        u"CREATE TRIGGER x AFTER UPDATE ON Test_Item BEGIN UPDATE torqa_users SET hash = 'x'; END",
        u"CREATE VIEW v AS SELECT * FROM Test_Item", u"CREATE TABLE t(a)", u"CREATE TEMP TABLE t(a)",
        u"CREATE INDEX i ON Test_Item(Name)", u"DROP TABLE Test_Item", u"PRAGMA writable_schema = ON",
        u"PRAGMA journal_mode = DELETE", u"PRAGMA table_info(torqa_users)", u"SELECT * FROM sqlite_master",
        u"SELECT fts3_tokenizer('simple', x'4141414141414141')", u"CREATE VIRTUAL TABLE b USING fts3(a)",
        u"SELECT load_extension('/tmp/x')", u"BEGIN", u"SAVEPOINT s",
        u"INSERT INTO torqa_users SELECT 'mallory', hash FROM torqa_users",
        u"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c",
        u"SELECT length(randomblob(100000000))", u"SELECT zeroblob(100000000)"}) {
    const SQLRETURN prepared = prepare(bad);
    EXPECT_EQ(prepared == SQL_ERROR ? SQL_ERROR : drv.SQLExecute(st), SQL_ERROR) << std::string(bad.begin(), bad.end());
  }
  EXPECT_FALSE(std::filesystem::exists(copy));
  // What an application needs still runs, on the same statement handle.
  for (const char16_t* good : {u"INSERT INTO Test_Item (Name, Count) VALUES ('a', 1)",
                               u"UPDATE Test_Item SET Count = Count + 1", u"PRAGMA table_info(Test_Item)",
                               u"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 9) "
                               u"SELECT sum(x), json_extract('{\"a\": 1}', '$.a') FROM c",
                               u"SELECT count(*) FROM Test_Item", u"DELETE FROM Test_Item"})
    EXPECT_EQ((prepare(good), drv.SQLExecute(st)), SQL_SUCCESS) << std::string(good, good + 20);
  EXPECT_EQ(users_table(dir / "ns/objects.db"), users);
}

TEST_P(sql_driver, the_administrator_manages_users) {
  const auto user_call = [&](SQLHSTMT on, const std::u16string& call, std::vector<std::u16string> args) {
    if (drv.SQLPrepare(on, sql_text(call), static_cast<SQLINTEGER>(call.size())) != SQL_SUCCESS)
      return SQLRETURN{SQL_ERROR};
    std::vector<SQLLEN> lens(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
      lens[i] = static_cast<SQLLEN>(args[i].size() * 2);
      drv.SQLBindParameter(on, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 0, 0,
                           args[i].data(), lens[i], &lens[i]);
    }
    const SQLRETURN rc = drv.SQLExecute(on);
    // A call that succeeded answers the user's name.
    char16_t name[16] = {};
    SQLLEN len = 0;
    if (rc == SQL_SUCCESS &&
        (drv.SQLFetch(on) != SQL_SUCCESS || drv.SQLGetData(on, 1, SQL_C_WCHAR, name, sizeof name, &len) != SQL_SUCCESS ||
         std::u16string(name) != args[0] || drv.SQLFetch(on) != SQL_NO_DATA))
      return SQLRETURN{-99};
    return rc;
  };
  // The logins these calls change are tried through the torqa tool's user command.
  const std::u16string add = u"{ call %Torqa.AddUser(?, ?) }", set = u"{ call %Torqa.SetPassword(?, ?) }",
                       remove = u"{ call %Torqa.RemoveUser(?) }";
  EXPECT_EQ(user_call(st, add, {u"ann", u"first"}), SQL_SUCCESS);
  EXPECT_EQ(user_call(st, set, {u"ann", u"second"}), SQL_SUCCESS);
  // Another user may not manage users.
  SQLHDBC ann = nullptr;
  SQLHSTMT ann_st = nullptr;
  drv.SQLAllocConnect(env, &ann);
  ASSERT_EQ(connect(ann, u"ann", u"second"), 0);
  drv.SQLAllocStmt(ann, &ann_st);
  EXPECT_EQ(user_call(ann_st, add, {u"bob", u"pw"}), SQL_ERROR);
  EXPECT_EQ(user_call(ann_st, set, {u"torqa", u"pw"}), SQL_ERROR);
  drv.SQLFreeConnect(ann);
  EXPECT_EQ(user_call(st, remove, {u"ann"}), SQL_SUCCESS);
  // Not twice, not the administrator, not a user that does not exist, no empty password; bad calls.
  for (const auto& [call, args] : {std::pair<std::u16string, std::vector<std::u16string>>{add, {u"torqa", u"pw"}},
                                   {remove, {u"torqa"}}, {remove, {u"ann"}}, {set, {u"nobody", u"pw"}},
                                   {add, {u"carl", u""}}, {u"{ call %Torqa.AddUser(?) }", {u"carl"}}})
    EXPECT_EQ(user_call(st, call, args), SQL_ERROR) << std::string(call.begin(), call.end());
}

INSTANTIATE_TEST_SUITE_P(namespaces, sql_driver, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "unicode" : "narrow"; });

}  // namespace
}  // namespace torqa::server
