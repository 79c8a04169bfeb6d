// The driver's SQL functions, called through its exported entry points on
// a namespace of the embedded server.
#include "test_util.h"

#include "transport/driver.h"

#include <cstring>
#include <fstream>
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

  query All()
    SELECT "ID", Name FROM Test_Item ORDER BY "ID"
  end query
  query Range(low: integer, high: integer, name: string)
    SELECT Name, Count FROM Test_Item WHERE Count BETWEEN ? AND ? AND Name <> ? ORDER BY Count
  end query
end class
)";

std::u16string u16(std::string_view utf8) {
  const std::string b = utf8_to_utf16le(utf8);
  std::u16string s(b.size() / 2, u'\0');
  std::memcpy(s.data(), b.data(), b.size());
  return s;
}

torqa_drv_str drv_str(const std::u16string& s) {
  return {reinterpret_cast<const unsigned short*>(s.data()), static_cast<unsigned>(s.size())};
}

SQLCHAR* sql_text(const std::u16string& s) { return reinterpret_cast<SQLCHAR*>(const_cast<char16_t*>(s.data())); }

// A connection to a fresh namespace with the test schema; the parameter
// says whether the namespace uses 16-bit text.
class sql_driver : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::ofstream(dir / "schema.tq") << schema_text;
    ASSERT_EQ(drv.SQLAllocEnv(&env), SQL_SUCCESS);
    ASSERT_EQ(drv.SQLAllocConnect(env, &dbc), SQL_SUCCESS);
    const std::u16string host = u"local", user = u"torqa",
                         options = u16("fasthash=1;schema=" + (dir / "schema.tq") + (GetParam() ? ";unicode=1" : "")),
                         path = u16(dir / "ns");
    const torqa_drv_str h = drv_str(host), o = drv_str(options), p = drv_str(path), u = drv_str(user);
    ASSERT_EQ(drv.DrvConnect(dbc, &h, &o, &p, &u, &u), 0);
    ASSERT_EQ(drv.SQLAllocStmt(dbc, &st), SQL_SUCCESS);
  }
  void TearDown() override {
    EXPECT_EQ(drv.SQLFreeConnect(dbc), SQL_SUCCESS);  // frees its statements
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
  template <class T>
  SQLRETURN fixed(SQLUSMALLINT col, SQLSMALLINT c_type, T& v, SQLLEN* ind = nullptr) {
    SQLLEN local = 0;
    return drv.SQLGetData(st, col, c_type, &v, sizeof v, ind != nullptr ? ind : &local);
  }
  SQLSMALLINT text_type() const { return GetParam() ? SQL_WVARCHAR : SQL_VARCHAR; }

  const detail::driver_table& drv = detail::driver();
  test::temp_dir dir;
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLHSTMT st = nullptr;
};

TEST_P(sql_driver, columns_are_described_by_their_declared_type) {
  run(u"INSERT INTO Test_Item (Name, Count, Price) VALUES ('a', 1, 2.5)");
  ASSERT_EQ(prepare(u"SELECT \"ID\", Name, Count, Price, Flag, Data, Day, At, Stamp, Notes, Blob, "
                    u"Count + 1 AS Next, Price * 2, Name || 'x', x'00FF', NULL FROM Test_Item"),
            SQL_SUCCESS);
  SQLSMALLINT n = 0;
  ASSERT_EQ(drv.SQLNumResultCols(st, &n), SQL_SUCCESS);
  ASSERT_EQ(n, 16);
  const SQLSMALLINT wide_long = GetParam() ? SQL_WLONGVARCHAR : SQL_LONGVARCHAR;
  const struct {
    const char16_t* name;
    SQLSMALLINT type;
    SQLULEN size;
    SQLSMALLINT nullable;
  } expected[] = {{u"ID", SQL_INTEGER, 10, SQL_NO_NULLS},
                  {u"Name", text_type(), 65535, SQL_NULLABLE},
                  {u"Count", SQL_INTEGER, 10, SQL_NULLABLE},
                  {u"Price", SQL_DOUBLE, 15, SQL_NULLABLE},
                  {u"Flag", SQL_INTEGER, 10, SQL_NULLABLE},
                  {u"Data", SQL_VARBINARY, 65535, SQL_NULLABLE},
                  {u"Day", SQL_TYPE_DATE, 10, SQL_NULLABLE},
                  {u"At", SQL_TYPE_TIME, 8, SQL_NULLABLE},
                  {u"Stamp", SQL_TYPE_TIMESTAMP, 19, SQL_NULLABLE},
                  {u"Notes", wide_long, 2147483647, SQL_NULLABLE},
                  {u"Blob", SQL_LONGVARBINARY, 2147483647, SQL_NULLABLE},
                  {u"Next", SQL_INTEGER, 10, SQL_NULLABLE_UNKNOWN},  // expressions: by the first row's value
                  {u"Price * 2", SQL_DOUBLE, 15, SQL_NULLABLE_UNKNOWN},
                  {u"Name || 'x'", text_type(), 65535, SQL_NULLABLE_UNKNOWN},
                  {u"x'00FF'", SQL_VARBINARY, 65535, SQL_NULLABLE_UNKNOWN},
                  {u"NULL", text_type(), 65535, SQL_NULLABLE_UNKNOWN}};
  for (SQLUSMALLINT i = 1; i <= 16; ++i) {
    const auto& e = expected[i - 1];
    unsigned short name[256];
    SQLSMALLINT len = 0, type = 0, digits = -1, nullable = -1;
    SQLULEN size = 0;
    ASSERT_EQ(drv.SQLDescribeCol(st, i, reinterpret_cast<SQLCHAR*>(name), 256, &len, &type, &size, &digits, &nullable),
              SQL_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name), static_cast<std::size_t>(len)), e.name);
    EXPECT_EQ(name[len], 0) << i;
    EXPECT_EQ(type, e.type) << i;
    EXPECT_EQ(size, e.size) << i;
    EXPECT_EQ(digits, 0) << i;
    EXPECT_EQ(nullable, e.nullable) << i;
  }
}

TEST_P(sql_driver, column_names_never_pass_the_buffer) {
  ASSERT_EQ(prepare(u16("SELECT Name AS \"Ab\xF0\x9F\x98\x80" "c\" FROM Test_Item")), SQL_SUCCESS);
  // "Ab", a surrogate pair, "c": 5 units.
  const auto describe = [&](SQLSMALLINT cap, std::vector<unsigned short>& buf, SQLSMALLINT& len) {
    buf.assign(8, 0xAAAA);
    len = 0;
    return drv.SQLDescribeCol(st, 1, reinterpret_cast<SQLCHAR*>(buf.data()), cap, &len, nullptr, nullptr, nullptr,
                              nullptr);
  };
  std::vector<unsigned short> buf;
  SQLSMALLINT len = 0;
  EXPECT_EQ(describe(5, buf, len), SQL_SUCCESS);  // fills the buffer: no terminator
  EXPECT_EQ(len, 5);
  EXPECT_EQ(buf[4], u'c');
  EXPECT_EQ(buf[5], 0xAAAA);
  EXPECT_EQ(describe(3, buf, len), SQL_SUCCESS_WITH_INFO);  // the pair is not cut
  EXPECT_EQ(len, 5);
  EXPECT_EQ((std::vector<unsigned short>(buf.begin(), buf.begin() + 4)),
            (std::vector<unsigned short>{u'A', u'b', 0, 0xAAAA}));
  EXPECT_EQ(describe(4, buf, len), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(buf[3], 0xDE00);
  EXPECT_EQ(buf[4], 0xAAAA);
  EXPECT_EQ(describe(0, buf, len), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(buf[0], 0xAAAA);
  EXPECT_EQ(len, 5);

  EXPECT_EQ(describe(-1, buf, len), SQL_ERROR);
  EXPECT_EQ(drv.SQLDescribeCol(st, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr), SQL_ERROR);
  EXPECT_EQ(drv.SQLDescribeCol(st, 2, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr), SQL_ERROR);
  EXPECT_EQ(drv.SQLDescribeCol(st, 1, nullptr, 9, &len, nullptr, nullptr, nullptr, nullptr), SQL_SUCCESS);
}

TEST_P(sql_driver, parameters_take_the_type_of_their_column) {
  const auto kinds = [&](const std::u16string& text) {
    std::vector<SQLSMALLINT> out;
    EXPECT_EQ(prepare(text), SQL_SUCCESS);
    SQLSMALLINT n = 0;
    EXPECT_EQ(drv.SQLNumParams(st, &n), SQL_SUCCESS);
    for (SQLUSMALLINT i = 1; i <= n; ++i) {
      SQLSMALLINT type = 0, nullable = 0;
      EXPECT_EQ(drv.SQLDescribeParam(st, i, &type, nullptr, nullptr, &nullable), SQL_SUCCESS);
      EXPECT_EQ(nullable, SQL_NULLABLE);
      out.push_back(type);
    }
    return out;
  };
  const SQLSMALLINT text = text_type();
  EXPECT_EQ(kinds(u"SELECT Name FROM Test_Item t WHERE t.Count = ? AND ? < Price AND Day NOT BETWEEN ? AND ? "
                  u"AND Name IN ('a', ?, ?) AND \"Stamp\" > ? AND Data IS NOT ? AND Count + ? > 0 AND At LIKE ?"),
            (std::vector<SQLSMALLINT>{SQL_INTEGER, SQL_DOUBLE, SQL_TYPE_DATE, SQL_TYPE_DATE, text, text,
                                      SQL_TYPE_TIMESTAMP, SQL_VARBINARY, SQL_VARCHAR, SQL_TYPE_TIME}));
  EXPECT_EQ(kinds(u"INSERT INTO Test_Item (Name, Count, Data, At, Notes) VALUES (?, ?, ?, ?, ? || 'x')"),
            (std::vector<SQLSMALLINT>{text, SQL_INTEGER, SQL_VARBINARY, SQL_TYPE_TIME, SQL_VARCHAR}));
  EXPECT_EQ(kinds(u"UPDATE Test_Item SET Price = ?, Blob = ? WHERE \"ID\" = ?"),
            (std::vector<SQLSMALLINT>{SQL_DOUBLE, SQL_LONGVARBINARY, SQL_INTEGER}));
  // Parameters whose column cannot be told are text; numbered ones cannot
  // be told apart by position.
  EXPECT_EQ(kinds(u"SELECT Name FROM Test_Item WHERE Count = ?2 AND Price = ?1"),
            (std::vector<SQLSMALLINT>{SQL_VARCHAR, SQL_VARCHAR}));
  // A class query's parameters have their declared types.
  EXPECT_EQ(kinds(u"{ call Test_Item_Range(?, ?, ?) }"), (std::vector<SQLSMALLINT>{SQL_INTEGER, SQL_INTEGER, text}));

  SQLSMALLINT type = 0;
  EXPECT_EQ(drv.SQLDescribeParam(st, 0, &type, nullptr, nullptr, nullptr), SQL_ERROR);
  EXPECT_EQ(drv.SQLDescribeParam(st, 4, &type, nullptr, nullptr, nullptr), SQL_ERROR);
  EXPECT_EQ(drv.SQLNumParams(st, nullptr), SQL_ERROR);
}

TEST_P(sql_driver, every_parameter_type_is_stored_and_read_back) {
  ASSERT_EQ(prepare(u"INSERT INTO Test_Item (Name, Count, Price, Data, Day, At, Stamp, Flag) "
                    u"VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
            SQL_SUCCESS);
  const std::u16string name = u16("Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80");
  SQLINTEGER count = -7;
  double price = 2.25;
  const char data[] = {0, 1, static_cast<char>(0xFE)};
  DATE_STRUCT day{2000, 2, 29};
  TIME_STRUCT at{6, 30, 15};
  TIMESTAMP_STRUCT stamp{2001, 2, 3, 4, 5, 6, 0};
  const char flag[] = "1";
  SQLLEN ind[8] = {static_cast<SQLLEN>(2 * name.size()), 4, 8, 3, 6, 6, 16, SQL_NTS};
  ASSERT_EQ(bind(1, SQL_C_WCHAR, text_type(), name.data(), ind[0], &ind[0]), SQL_SUCCESS);
  ASSERT_EQ(bind(2, SQL_C_SLONG, SQL_INTEGER, &count, 0, &ind[1]), SQL_SUCCESS);
  ASSERT_EQ(bind(3, SQL_C_DOUBLE, SQL_DOUBLE, &price, 0, &ind[2]), SQL_SUCCESS);
  ASSERT_EQ(bind(4, SQL_C_BINARY, SQL_VARBINARY, data, 3, &ind[3]), SQL_SUCCESS);
  ASSERT_EQ(bind(5, SQL_C_DATE, SQL_TYPE_DATE, &day, 0, &ind[4]), SQL_SUCCESS);
  ASSERT_EQ(bind(6, SQL_C_TIME, SQL_TYPE_TIME, &at, 0, &ind[5]), SQL_SUCCESS);
  ASSERT_EQ(bind(7, SQL_C_TIMESTAMP, SQL_TYPE_TIMESTAMP, &stamp, 0, &ind[6]), SQL_SUCCESS);
  ASSERT_EQ(bind(8, SQL_C_CHAR, SQL_INTEGER, flag, 2, &ind[7]), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  // The buffers are read at execution: a second row of nulls.
  for (SQLLEN& i : ind) i = SQL_NULL_DATA;
  ASSERT_EQ(drv.SQLExecute(st), SQL_SUCCESS);

  ASSERT_EQ(prepare(u"SELECT Name, Count, Price, Data, Day, At, Stamp, Flag FROM Test_Item ORDER BY \"ID\""),
            SQL_SUCCESS);
  ASSERT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLFetch(st), SQL_SUCCESS);
  EXPECT_EQ(pieces(1, SQL_C_WCHAR, 64), utf8_to_utf16le("Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_EQ(pieces(1, SQL_C_CHAR, 64), "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80");
  SQLINTEGER c = 0;
  SQLLEN c_ind = 0;
  EXPECT_EQ(fixed(2, SQL_C_SLONG, c, &c_ind), SQL_SUCCESS);
  EXPECT_EQ(c, -7);
  EXPECT_EQ(c_ind, 4);
  EXPECT_EQ(fixed(8, SQL_C_SLONG, c), SQL_SUCCESS);  // text "1" stored as a number
  EXPECT_EQ(c, 1);

  ASSERT_EQ(drv.SQLFetch(st), SQL_SUCCESS);
  for (SQLUSMALLINT col = 1; col <= 8; ++col) {
    char buf[32];
    SQLLEN i = 0;
    const SQLSMALLINT c_type[] = {SQL_C_WCHAR, SQL_C_SLONG, SQL_C_DOUBLE, SQL_C_BINARY,
                                  SQL_C_DATE,  SQL_C_TIME,  SQL_C_TIMESTAMP, SQL_C_CHAR};
    EXPECT_EQ(drv.SQLGetData(st, col, c_type[col - 1], buf, sizeof buf, &i), SQL_SUCCESS);
    EXPECT_EQ(i, SQL_NULL_DATA) << col;
    EXPECT_EQ(drv.SQLGetData(st, col, c_type[col - 1], buf, sizeof buf, &i), SQL_NO_DATA);
    EXPECT_EQ(drv.SQLGetData(st, col, c_type[col - 1], buf, sizeof buf, nullptr), SQL_NO_DATA);
  }
  EXPECT_EQ(drv.SQLFetch(st), SQL_NO_DATA);
  EXPECT_EQ(drv.SQLFetch(st), SQL_NO_DATA);

  // Stored in the forms the object side reads.
  run(u"SELECT Day || '|' || At || '|' || Stamp || '|' || typeof(Flag) || '|' || hex(Data) || '|' || Price "
      u"FROM Test_Item");
  ASSERT_EQ(drv.SQLFetch(st), SQL_SUCCESS);
  EXPECT_EQ(pieces(1, SQL_C_CHAR, 100), "2000-02-29|06:30:15|2001-02-03 04:05:06|integer|0001FE|2.25");
}

TEST_P(sql_driver, long_values_come_in_pieces) {
  std::string text(40000, 'x');
  for (std::size_t i = 0; i < text.size(); i += 7) text[i] = static_cast<char>('a' + i % 26);
  std::string blob(70000, '\0');
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 31);
  ASSERT_EQ(prepare(u"INSERT INTO Test_Item (Name, Data, Notes) VALUES (?, ?, '')"), SQL_SUCCESS);
  SQLLEN text_len = static_cast<SQLLEN>(text.size()), blob_len = static_cast<SQLLEN>(blob.size());
  ASSERT_EQ(bind(1, SQL_C_CHAR, SQL_VARCHAR, text.data(), text_len, &text_len), SQL_SUCCESS);
  ASSERT_EQ(bind(2, SQL_C_BINARY, SQL_VARBINARY, blob.data(), blob_len, &blob_len), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLExecute(st), SQL_SUCCESS);

  run(u"SELECT Name, Data, Notes, Count FROM Test_Item");
  ASSERT_EQ(drv.SQLFetch(st), SQL_SUCCESS);
  // Each piece answers SQL_SUCCESS with the bytes left from it on, without
  // a terminator; the call after the last answers SQL_NO_DATA.
  std::vector<char> buf(16384 + 1);
  SQLLEN ind = 0;
  std::string got;
  for (SQLLEN left : {40000, 23616, 7232}) {
    std::fill(buf.begin(), buf.end(), 'Z');
    ASSERT_EQ(drv.SQLGetData(st, 1, SQL_C_CHAR, buf.data(), 16384, &ind), SQL_SUCCESS);
    EXPECT_EQ(ind, left);
    const auto n = static_cast<std::size_t>(std::min<SQLLEN>(left, 16384));
    got.append(buf.data(), n);
    EXPECT_EQ(buf[n], 'Z');
  }
  EXPECT_EQ(drv.SQLGetData(st, 1, SQL_C_CHAR, buf.data(), 16384, &ind), SQL_NO_DATA);
  EXPECT_TRUE(got == text);
  // A buffer too small for one unit gets nothing and the whole length.
  EXPECT_EQ(drv.SQLGetData(st, 1, SQL_C_WCHAR, buf.data(), 1, &ind), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(ind, 80000);
  EXPECT_EQ(buf[0], 'x');
  // 16-bit pieces are whole units: 7 bytes of buffer carry 6.
  EXPECT_TRUE(pieces(1, SQL_C_WCHAR, 7) == utf8_to_utf16le(text));
  EXPECT_TRUE(pieces(2, SQL_C_BINARY, 32768) == blob);
  // An empty value is one empty piece.
  EXPECT_EQ(drv.SQLGetData(st, 3, SQL_C_CHAR, buf.data(), 10, &ind), SQL_SUCCESS);
  EXPECT_EQ(ind, 0);
  EXPECT_EQ(drv.SQLGetData(st, 3, SQL_C_CHAR, buf.data(), 10, &ind), SQL_NO_DATA);
  EXPECT_EQ(drv.SQLGetData(st, 4, SQL_C_CHAR, buf.data(), 10, nullptr), SQL_ERROR);  // null with no indicator
}

TEST_P(sql_driver, stored_values_convert_as_odbc_converts_them) {
  run(u"INSERT INTO Test_Item (Day, At, Count) VALUES (58074, 3600, 5000000000)");
  run(u"SELECT '42', ' 2.5 ', 'abc', 42, 2.5, Count, x'01AB', '2020-01-02 03:04:05', '2020-01-02', Day, At, "
      u"'12:00:00.25' FROM Test_Item");
  ASSERT_EQ(drv.SQLFetch(st), SQL_SUCCESS);
  SQLINTEGER i = 0;
  EXPECT_EQ(fixed(1, SQL_C_SLONG, i), SQL_SUCCESS);
  EXPECT_EQ(i, 42);
  EXPECT_EQ(fixed(2, SQL_C_SLONG, i), SQL_SUCCESS_WITH_INFO);  // fraction dropped
  EXPECT_EQ(i, 2);
  double d = 0;
  EXPECT_EQ(fixed(2, SQL_C_DOUBLE, d), SQL_SUCCESS);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(fixed(3, SQL_C_SLONG, i), SQL_ERROR);
  EXPECT_EQ(fixed(3, SQL_C_DOUBLE, d), SQL_ERROR);
  EXPECT_EQ(pieces(4, SQL_C_CHAR, 10), "42");
  EXPECT_EQ(pieces(5, SQL_C_WCHAR, 10), utf8_to_utf16le("2.5"));
  EXPECT_EQ(fixed(6, SQL_C_SLONG, i), SQL_ERROR);  // out of range
  SQLBIGINT big = 0;
  EXPECT_EQ(fixed(6, SQL_C_SBIGINT, big), SQL_SUCCESS);
  EXPECT_EQ(big, 5000000000);
  EXPECT_EQ(pieces(7, SQL_C_CHAR, 10), "01AB");
  EXPECT_EQ(fixed(4, SQL_C_BINARY, i), SQL_ERROR);  // numbers have no binary form
  DATE_STRUCT date{};
  TIME_STRUCT time{};
  TIMESTAMP_STRUCT ts{};
  const auto ymd = [&] { return std::vector<int>({date.year, date.month, date.day}); };
  EXPECT_EQ(fixed(8, SQL_C_DATE, date), SQL_SUCCESS_WITH_INFO);  // time of day dropped
  EXPECT_EQ(ymd(), std::vector<int>({2020, 1, 2}));
  EXPECT_EQ(fixed(8, SQL_C_TIME, time), SQL_SUCCESS);
  EXPECT_EQ(std::vector<int>({time.hour, time.minute, time.second}), std::vector<int>({3, 4, 5}));
  EXPECT_EQ(fixed(9, SQL_C_TIMESTAMP, ts), SQL_SUCCESS);
  EXPECT_EQ(std::vector<int>({ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second}),
            std::vector<int>({2020, 1, 2, 0, 0, 0}));
  // Numbers in date and time columns are day numbers and seconds.
  EXPECT_EQ(fixed(10, SQL_C_DATE, date), SQL_SUCCESS);
  EXPECT_EQ(ymd(), std::vector<int>({2000, 1, 1}));
  EXPECT_EQ(fixed(11, SQL_C_TIME, time), SQL_SUCCESS);
  EXPECT_EQ(time.hour, 1);
  EXPECT_EQ(fixed(12, SQL_C_TIMESTAMP, ts), SQL_SUCCESS);
  EXPECT_EQ(ts.fraction, 250000000u);
  EXPECT_TRUE(fixed(9, SQL_C_TIME, time) == SQL_ERROR && fixed(3, SQL_C_DATE, date) == SQL_ERROR &&
              fixed(4, SQL_C_DATE, date) == SQL_ERROR);
  EXPECT_EQ(fixed(12, SQL_C_TIME, time), SQL_SUCCESS_WITH_INFO);
  // A fixed-size value is delivered once.
  EXPECT_EQ(fixed(12, SQL_C_TIME, time), SQL_NO_DATA);
  // A buffer too small for the type is refused.
  EXPECT_EQ(drv.SQLGetData(st, 1, SQL_C_DOUBLE, &d, 4, nullptr), SQL_ERROR);
}

TEST_P(sql_driver, class_queries_run_through_the_call_escape) {
  run(u"INSERT INTO Test_Item (Name, Count) VALUES ('a', 1), ('b', 2), ('c', 3), ('d', 4)");
  run(u"{ call Test_Item_All }");
  int rows = 0;
  while (drv.SQLFetch(st) == SQL_SUCCESS) ++rows;
  EXPECT_EQ(rows, 4);

  ASSERT_EQ(prepare(u"{call test_item_range( ?,? , ?)}"), SQL_SUCCESS);
  SQLINTEGER low = 2, high = 4;
  const char name[] = "c";
  SQLLEN ind[3] = {4, 4, 1};
  ASSERT_EQ(bind(1, SQL_C_SLONG, SQL_INTEGER, &low, 0, &ind[0]), SQL_SUCCESS);
  ASSERT_EQ(bind(2, SQL_C_SLONG, SQL_INTEGER, &high, 0, &ind[1]), SQL_SUCCESS);
  ASSERT_EQ(bind(3, SQL_C_CHAR, SQL_VARCHAR, name, 1, &ind[2]), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  std::string names;
  while (drv.SQLFetch(st) == SQL_SUCCESS) names += pieces(1, SQL_C_CHAR, 8);
  EXPECT_EQ(names, "bd");

  for (const char16_t* bad : {u"{ call Test_Item_Range(?, ?) }", u"{ call Test_Item_Nope() }", u"{ call }",
                              u"{ call Test_Item_All() } x", u"{ ? = call Test_Item_All() }", u"{ call X(1) }",
                              u"{ call Test_Item_All(", u"{ ?"})
    EXPECT_EQ(prepare(bad), SQL_ERROR) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
}

TEST_P(sql_driver, query_information_answers_procedure_and_parameter_count) {
  ASSERT_EQ(drv.SQLPrepare(st, sql_text(u"{ ? = call %Library.CPPStoredProc_getQueryInfo( ?, ? ) }"), SQL_NTS),
            SQL_SUCCESS);
  SQLSMALLINT n = 0;
  EXPECT_EQ(drv.SQLNumParams(st, &n), SQL_SUCCESS);
  EXPECT_EQ(n, 3);
  char reply[64];
  SQLLEN reply_len = 0;
  std::u16string cls, query;
  SQLLEN cls_len = 0, query_len = 0;
  const auto ask = [&](const std::u16string& c, const std::u16string& q, SQLLEN cap = sizeof reply) {
    cls = c;
    query = q;
    cls_len = static_cast<SQLLEN>(2 * cls.size());
    query_len = static_cast<SQLLEN>(2 * query.size());
    std::memset(reply, 0x5A, sizeof reply);
    EXPECT_EQ(drv.SQLBindParameter(st, 1, SQL_PARAM_OUTPUT, SQL_C_BINARY, SQL_BINARY, 32768, 0, reply, cap,
                                   &reply_len),
              SQL_SUCCESS);
    EXPECT_EQ(bind(2, SQL_C_WCHAR, text_type(), cls.data(), cls_len, &cls_len), SQL_SUCCESS);
    EXPECT_EQ(bind(3, SQL_C_WCHAR, text_type(), query.data(), query_len, &query_len), SQL_SUCCESS);
    return drv.SQLExecute(st);
  };
  const std::string name = GetParam() ? hex("20 02") + utf8_to_utf16le("Test_Item_Range") : hex("11 01") + "Test_Item_Range";
  const std::string found = hex("02 01") + name + hex("03 04 03");
  EXPECT_EQ(ask(u"test.item", u"RANGE"), SQL_SUCCESS);
  EXPECT_EQ(reply_len, static_cast<SQLLEN>(found.size()));
  EXPECT_EQ(std::string(reply, found.size()), found);
  EXPECT_EQ(reply[found.size()], 0x5A);
  EXPECT_EQ(drv.SQLFetch(st), SQL_ERROR);  // no result set

  EXPECT_EQ(ask(u"Test.Item", u"All"), SQL_SUCCESS);
  EXPECT_EQ(std::string(reply, static_cast<std::size_t>(reply_len)).substr(reply_len - 3), hex("03 04 00"));

  // Errors are statuses: the element holding header, two bytes, code and message.
  EXPECT_EQ(ask(u"Test.Nope", u"All"), SQL_SUCCESS);
  const std::string no_class = "class Test.Nope does not exist";
  EXPECT_EQ(std::string(reply, static_cast<std::size_t>(reply_len)),
            hex("2A 01 28 01 01 00 04 05 15 FC 20 01") + no_class);
  EXPECT_EQ(ask(u"Test.Item", u"Nope"), SQL_SUCCESS);
  EXPECT_EQ(std::string(reply, 10), hex("2D 01 2B 01 01 00 04 05 14 FC"));

  // A short buffer gets what fits and the whole length.
  EXPECT_EQ(ask(u"Test.Item", u"Range", 5), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(reply_len, static_cast<SQLLEN>(found.size()));
  EXPECT_EQ(std::string(reply, 6), found.substr(0, 5) + "Z");

  // The reply goes to an output parameter only.
  EXPECT_EQ(bind(1, SQL_C_BINARY, SQL_BINARY, reply, sizeof reply, &reply_len), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
}

TEST_P(sql_driver, failures_are_errors_and_leave_the_statement_usable) {
  // Malformed SQL, and SQL reaching the password hashes, the settings or
  // other files: nothing is prepared.
  for (const char16_t* bad : {u"SELEKT 1", u"SELECT 1; SELECT 2", u"  -- nothing", u"SELECT hash FROM torqa_users",
                              u"UPDATE TORQA_SETTINGS SET value = '1'", u"ATTACH DATABASE '/tmp/x.db' AS x"}) {
    EXPECT_EQ(prepare(bad), SQL_ERROR);
    SQLSMALLINT n = 0;
    EXPECT_EQ(drv.SQLNumResultCols(st, &n), SQL_ERROR);
    EXPECT_EQ(drv.SQLNumParams(st, &n), SQL_ERROR);
    EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
    EXPECT_EQ(drv.SQLFetch(st), SQL_ERROR);
  }
  EXPECT_EQ(drv.SQLPrepare(st, nullptr, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(drv.SQLPrepare(st, sql_text(u"SELECT 1"), -5), SQL_ERROR);

  // Fetching before executing, reading before fetching.
  ASSERT_EQ(prepare(u"SELECT Count FROM Test_Item WHERE Count > ?; "), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFetch(st), SQL_ERROR);
  SQLINTEGER v = 0;
  EXPECT_EQ(fixed(1, SQL_C_SLONG, v), SQL_ERROR);
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);  // parameter 1 not bound
  SQLLEN ind = 4;
  EXPECT_EQ(bind(1, 99, SQL_INTEGER, &v, 0, &ind), SQL_ERROR);  // unknown C type
  EXPECT_EQ(bind(1, SQL_C_SLONG, 12345, &v, 0, &ind), SQL_ERROR);
  EXPECT_EQ(bind(0, SQL_C_SLONG, SQL_INTEGER, &v, 0, &ind), SQL_ERROR);
  EXPECT_EQ(bind(1, SQL_C_SLONG, SQL_INTEGER, nullptr, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(drv.SQLBindParameter(st, 1, 7, SQL_C_SLONG, SQL_INTEGER, 0, 0, &v, 0, &ind), SQL_ERROR);
  // Values that cannot be read: an invalid date, odd 16-bit lengths, data
  // at execution time, a length past the buffer.
  DATE_STRUCT bad_day{2001, 2, 29};
  SQLLEN day_ind = 6;
  ASSERT_EQ(bind(1, SQL_C_DATE, SQL_TYPE_DATE, &bad_day, 0, &day_ind), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
  const char16_t wide[] = u"abc";
  SQLLEN wide_ind = 3;
  ASSERT_EQ(bind(1, SQL_C_WCHAR, SQL_WVARCHAR, wide, 8, &wide_ind), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
  wide_ind = SQL_DATA_AT_EXEC;
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
  wide_ind = 10;
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
  wide_ind = SQL_NTS;  // up to the zero unit
  EXPECT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFetch(st), SQL_NO_DATA);

  // A constraint refused at execution.
  run(u"INSERT INTO Test_Item (\"ID\") VALUES (1)");
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
  // ... and the statement runs again once the cause is gone.
  ASSERT_EQ(prepare(u"DELETE FROM Test_Item"), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFetch(st), SQL_ERROR);  // no result set
}

TEST_P(sql_driver, close_keeps_the_preparation_and_reset_drops_the_bindings) {
  run(u"INSERT INTO Test_Item (Count) VALUES (1), (2), (3)");
  ASSERT_EQ(prepare(u"SELECT Count FROM Test_Item WHERE Count >= ? ORDER BY Count"), SQL_SUCCESS);
  SQLINTEGER low = 2;
  SQLLEN ind = 4;
  ASSERT_EQ(bind(1, SQL_C_SLONG, SQL_INTEGER, &low, 0, &ind), SQL_SUCCESS);
  const auto first = [&] {
    SQLINTEGER v = 0;
    EXPECT_EQ(drv.SQLExecute(st), SQL_SUCCESS);
    EXPECT_EQ(drv.SQLFetch(st), SQL_SUCCESS);
    EXPECT_EQ(fixed(1, SQL_C_SLONG, v), SQL_SUCCESS);
    return v;
  };
  EXPECT_EQ(first(), 2);
  EXPECT_EQ(drv.SQLFreeStmt(st, SQL_CLOSE), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFetch(st), SQL_ERROR);  // closed
  low = 3;
  EXPECT_EQ(first(), 3);
  low = 1;
  EXPECT_EQ(first(), 1);  // executing again starts over
  EXPECT_EQ(drv.SQLFreeStmt(st, SQL_UNBIND), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFreeStmt(st, SQL_RESET_PARAMS), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLExecute(st), SQL_ERROR);
  EXPECT_EQ(drv.SQLFreeStmt(st, 77), SQL_ERROR);

  // A statement dropped with an open result; the connection frees the rest.
  SQLHSTMT other = nullptr;
  ASSERT_EQ(drv.SQLAllocStmt(dbc, &other), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLPrepare(other, sql_text(u"SELECT * FROM Test_Item"), SQL_NTS), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLExecute(other), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLFetch(other), SQL_SUCCESS);
  EXPECT_EQ(drv.SQLFreeStmt(other, SQL_DROP), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLAllocStmt(dbc, &other), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLPrepare(other, sql_text(u"SELECT * FROM Test_Item"), SQL_NTS), SQL_SUCCESS);
  ASSERT_EQ(drv.SQLExecute(other), SQL_SUCCESS);
}

TEST_P(sql_driver, bad_handles_are_refused) {
  struct {
    unsigned tag = 0x12345678;
    char rest[64] = {};
  } foreign;
  for (void* h : {static_cast<void*>(nullptr), env, dbc, static_cast<void*>(&foreign)}) {
    SQLSMALLINT n = 0;
    SQLLEN ind = 0;
    char buf[8];
    EXPECT_EQ(drv.SQLPrepare(h, sql_text(u"SELECT 1"), SQL_NTS), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLNumResultCols(h, &n), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLDescribeCol(h, 1, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLNumParams(h, &n), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLDescribeParam(h, 1, nullptr, nullptr, nullptr, nullptr), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 0, 0, buf, 8, &ind),
              SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLExecute(h), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLFetch(h), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLGetData(h, 1, SQL_C_CHAR, buf, 8, &ind), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLFreeStmt(h, SQL_CLOSE), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv.SQLFreeStmt(h, SQL_DROP), SQL_INVALID_HANDLE);
  }
  SQLHSTMT none = &foreign;
  EXPECT_EQ(drv.SQLAllocStmt(env, &none), SQL_INVALID_HANDLE);
  EXPECT_EQ(none, nullptr);
}

INSTANTIATE_TEST_SUITE_P(namespaces, sql_driver, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "unicode" : "narrow"; });

}  // namespace
}  // namespace torqa::server
