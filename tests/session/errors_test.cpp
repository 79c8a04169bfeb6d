#include "support/thrown.h"
#include "support/value_bytes.h"

#include <torqa/streams.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <locale>
#include <sstream>
#include <string>
#include <string_view>

using torqa::test::thrown;
using torqa::test::unhex;

namespace {

Db_err with_info(int code, const std::string& msg, const std::string& info) {
  Db_err e(code, msg);
  e.info = info;
  return e;
}

// A numeric facet that groups digits by three with a comma.
struct grouping : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(db_err_record, prints_as_a_std_exception_and_clears) {
  // The code never takes the stream's digit grouping; no line end.
  std::ostringstream os;
  os.imbue(std::locale(std::locale::classic(), new grouping));
  os << Db_err(-1000, "x");
  EXPECT_EQ(os.str(), "Error: code = -1000, msg = x");
  // what() is the printed form, also for the subclasses, with the message
  // they put in, and after changes.
  const auto what = [](auto f) -> std::string {
    try {
      f();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "nothing thrown";
  };
  EXPECT_EQ(what([] { throw Err_open_obj(with_info(-9, "server", unhex("04 04 B1 16"))); }),
            "Error: code = -9, msg = object not found");
  Db_err e(-1000, "first");
  EXPECT_STREQ(e.what(), "Error: code = -1000, msg = first");
  e.msg = "second";
  EXPECT_EQ(what([&] { throw e; }), "Error: code = -1000, msg = second");
  // Clearing keeps the detail.
  e = with_info(-1, "x", "kept");
  e.diag.state = "HY000";
  e.clear();
  EXPECT_TRUE(!e.is_error() && e.msg.empty() && e.info == "kept" && e.diag.state.empty());
}

TEST(db_err_record, reads_one_element_and_no_more) {
  const struct {
    const char* bytes;  // the record, then 03 04 07
    int code;
    const char* msg;
    const char* info;  // as left in a record holding "kept"
  } cases[] = {
      // Code -9, "bad", and a detail list holding 5809.
      {"10 01 03 05 F7 05 01 62 61 64 06 01 04 04 B1 16", -9, "bad", "04 04 B1 16"},
      // An empty element; only a zero code; a zero code with a message.
      {"02 01", 0, "", "kept"},
      {"05 01 03 04 00", 0, "", "kept"},
      {"0A 01 03 04 00 05 01 62 61 64", 0, "", "kept"},
      // A 16-bit message is converted; no detail keeps the old one.
      {"0B 01 03 05 FF 06 02 E9 00 21 00", -1, "\xC3\xA9!", "kept"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::string bytes = unhex(c.bytes) + unhex("03 04 07");
    t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
    Db_err e = with_info(-3, "old", "kept");
    e.get(is);
    EXPECT_EQ(e.code, c.code);
    EXPECT_EQ(e.msg, c.msg);
    EXPECT_EQ(e.info, std::string(c.info) == "kept" ? "kept" : unhex(c.info));
    std::int64_t next = 0;
    bool null = true;
    is.read_int(next, null);
    EXPECT_EQ(next, 7);
  }
}

TEST(db_err_subclasses, read_their_details_from_the_info) {
  const struct {
    int code;
    const char* info;
    const char* thrown;
  } cases[] = {
      {-9, "04 04 AB 16", "-9 couldn't aquire exclusive lock (open 5803)"},
      {-9, "04 04 AC 16", "-9 couldn't aquire read lock (open 5804)"},
      {-9, "04 04 B1 16", "-9 object not found (open 5809)"},
      {-9, "04 04 D2 04", "-9 server text (open 1234)"},
      {-9, "", "-9 server text (open 0)"},
      {-9, "02 03", "-9 server text (open 0)"},
      {-7, "03 04 01 03 05 FE", "-7 server text (close 1 -2)"},
      {-7, "03 04 01 03 04 02 03 04 03", "-7 server text (close 1 2)"},
      {-7, "03 04 09", "-7 server text (close 9 0)"},  // missing integers are 0
      {-7, "", "-7 server text (close 0 0)"},
  };
  for (const auto& c : cases) {
    const Db_err e = with_info(c.code, "server text", unhex(c.info));
    EXPECT_EQ(thrown([&] {
                if (c.code == -9) throw Err_open_obj(e);
                throw Err_close_obj(e);
              }),
              c.thrown);
    EXPECT_EQ(c.code == -9 ? Err_open_obj(e).info : Err_close_obj(e).info, unhex(c.info));
  }
}

}  // namespace
