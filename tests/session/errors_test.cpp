#include <torqa/errors.h>
#include <torqa/streams.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <locale>
#include <sstream>
#include <string>
#include <string_view>

namespace {

// Bytes from hex text such as "03 04 05".
std::string hex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    ++i;
  }
  return out;
}

std::string printed(const Db_err& e) {
  std::ostringstream os;
  os << e;
  return os.str();
}

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

}  // namespace

TEST(db_err_record, value_semantics_and_printing) {
  Db_err e(-1, "x");
  EXPECT_TRUE(e.is_error());
  EXPECT_EQ(e.get_code(), -1);
  EXPECT_EQ(e.get_msg(), "x");
  EXPECT_EQ(printed(e), "Error: code = -1, msg = x");

  e.info = "kept";
  e.clear();
  EXPECT_FALSE(e.is_error());
  EXPECT_EQ(e.get_msg(), "");
  EXPECT_EQ(e.info, "kept");

  Db_err copy;
  copy = with_info(5, "m", "i");
  EXPECT_EQ(copy.code, 5);
  EXPECT_EQ(copy.msg, "m");
  EXPECT_EQ(copy.info, "i");

  // The code never takes the stream's digit grouping.
  std::ostringstream os;
  os.imbue(std::locale(std::locale::classic(), new grouping));
  os << Db_err(-1000, "Connection is busy");
  EXPECT_EQ(os.str(), "Error: code = -1000, msg = Connection is busy");
}

TEST(db_err_record, reads_code_message_and_detail_from_one_element) {
  // Code -9, "bad", and a detail list holding 5809; then another element.
  std::string bytes = hex("10 01 03 05 F7 05 01 62 61 64 06 01 04 04 B1 16 03 04 07");
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
  Db_err e;
  e.get(is);
  EXPECT_EQ(e.code, -9);
  EXPECT_EQ(e.msg, "bad");
  EXPECT_EQ(e.info, hex("04 04 B1 16"));
  std::int64_t next = 0;
  bool null = true;
  is.read_int(next, null);
  EXPECT_EQ(next, 7);
}

TEST(db_err_record, empty_or_zero_record_is_no_error) {
  // Empty element; only a zero code; a zero code followed by a message.
  std::string bytes = hex("02 01 05 01 03 04 00 0A 01 03 04 00 05 01 62 61 64 03 04 07");
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
  Db_err e = with_info(-3, "old", "kept");
  for (int i = 0; i < 3; ++i) {
    e.msg = "old";
    e.get(is);
    EXPECT_EQ(e.code, 0) << i;
    EXPECT_EQ(e.msg, "") << i;
    EXPECT_EQ(e.info, "kept") << i;
  }
  std::int64_t next = 0;
  bool null = true;
  is.read_int(next, null);
  EXPECT_EQ(next, 7);
}

TEST(db_err_record, converts_16_bit_message_and_keeps_info_without_detail) {
  std::string bytes = hex("0B 01 03 05 FF 06 02 E9 00 21 00");
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
  Db_err e = with_info(0, "", "old detail");
  e.get(is);
  EXPECT_EQ(e.code, -1);
  EXPECT_EQ(e.msg, "\xC3\xA9!");
  EXPECT_EQ(e.info, "old detail");
}

TEST(err_open_obj, replaces_lock_and_not_found_messages) {
  const struct {
    const char* info;
    int srv_code;
    const char* msg;
  } cases[] = {
      {"04 04 AB 16", 5803, "couldn't aquire exclusive lock"},
      {"04 04 AC 16", 5804, "couldn't aquire read lock"},
      {"04 04 B1 16", 5809, "object not found"},
      {"04 04 D2 04", 1234, "server text"},
      {"", 0, "server text"},
      {"02 03", 0, "server text"},
  };
  for (const auto& c : cases) {
    const Err_open_obj o(with_info(-9, "server text", hex(c.info)));
    EXPECT_EQ(o.code, -9) << c.info;
    EXPECT_EQ(o.srv_code, c.srv_code) << c.info;
    EXPECT_EQ(o.msg, c.msg) << c.info;
    EXPECT_EQ(o.info, hex(c.info)) << c.info;
  }
  try {
    throw Err_open_obj(with_info(-9, "server text", hex("04 04 B1 16")));
  } catch (const Db_err& e) {
    EXPECT_EQ(e.msg, "object not found");
  }
}

TEST(err_close_obj, reads_two_details_zero_when_missing) {
  const struct {
    const char* info;
    int detail1, detail2;
  } cases[] = {
      {"03 04 01 03 05 FE", 1, -2},
      {"03 04 01 03 04 02 03 04 03", 1, 2},
      {"03 04 09", 9, 0},
      {"", 0, 0},
  };
  for (const auto& c : cases) {
    const Err_close_obj o(with_info(-7, "close failed", hex(c.info)));
    EXPECT_EQ(o.code, -7) << c.info;
    EXPECT_EQ(o.msg, "close failed") << c.info;
    EXPECT_EQ(o.detail1, c.detail1) << c.info;
    EXPECT_EQ(o.detail2, c.detail2) << c.info;
  }
}
