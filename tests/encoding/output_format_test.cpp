// Encoding values as list elements through t_ostream.
#include "support/scripted_driver.h"
#include "support/value_bytes.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

using namespace torqa::test;

namespace {

std::string bytes_of(const t_ostrstream& os) { return {os.data(), os.size()}; }

TEST(list_output, integer_widths_and_signs) {
  constexpr std::int64_t b56 = std::int64_t{1} << 56;
  const struct {
    std::int64_t v;
    const char* hex;
  } cases[] = {
      {0, "03 04 00"}, {255, "03 04 FF"}, {256, "04 04 00 01"}, {65536, "05 04 00 00 01"},
      {2147483647, "06 04 FF FF FF 7F"}, {b56 - 1, "09 04 FF FF FF FF FF FF FF"},
      {b56, "0A 04 00 00 00 00 00 00 00 01"}, {INT64_MAX, "0A 04 FF FF FF FF FF FF FF 7F"},
      {-1, "03 05 FF"}, {-2, "03 05 FE"}, {-256, "03 05 00"}, {-257, "04 05 FF FE"},
      {-2147483648LL, "06 05 00 00 00 80"}, {-(b56 / 2) - 1, "09 05 FF FF FF FF FF FF 7F"},
      {-b56 - 1, "0A 05 FF FF FF FF FF FF FF FE"}, {INT64_MIN, "0A 05 00 00 00 00 00 00 00 80"},
  };
  for (const auto& c : cases) {
    t_ostrstream os;
    os.put_int(c.v);
    EXPECT_EQ(hex(bytes_of(os)), c.hex) << c.v;
  }
}

TEST(list_output, doubles_match_printf) {
  // Every magnitude and both signs, half of them around the range where the
  // whole part fits 64 bits; exact ties at the 15th decimal (odd multiples
  // of 2^-16); and edges: rounding up into the whole part, one and eight
  // digits before the point, the bits below the point filling one or two
  // 64-bit words, the last decimal near one half, 2^64, the smallest values.
  const double edges[] = {0.0,         0x1.fffffffffffffp-1, 0x1.fffffffffffffp1, 9.999999999999998,
                          10.0,        99999999.99999999,    100000000.0,         0x1.8p-11,
                          0x1.8p-12,   0x1.8p-13,            5e-16,               4.9999999999999995e-16,
                          0x1.8p-52,   0x1.fffffffffffffp63, 0x1p64,              0x1.fffffffffffffp64,
                          4.9406564584124654e-324};
  t_ostrstream os;
  const auto sent = [&os](double v) {
    os.reset();
    os << v;
    const std::size_t head = os.data()[0] == 0 ? 4 : 2;
    return std::string(os.data() + head, os.size() - head);
  };
  const auto printed = [](double v) {
    char text[400];
    std::snprintf(text, sizeof text, "%.15f", v);
    return std::string(text);
  };
  os << 1e300;  // 301 digits, a point and 15 decimals: the long form
  EXPECT_EQ(hex(bytes_of(os).substr(0, 4)), "00 3E 01 01");
  for (double v : edges) {
    ASSERT_EQ(sent(v), printed(v)) << std::hexfloat << v;
    ASSERT_EQ(sent(-v), printed(-v)) << std::hexfloat << -v;
  }
  std::mt19937_64 rng(5);
  for (int i = 0; i < 40000; ++i) {
    const std::uint64_t exponent = i % 2 != 0 ? rng() % 2047 : 1075 - 110 + rng() % 124;
    const double v = i < 200 ? (i - 100) * 2 + 1 / 65536.0 * (2 * i + 1)
                             : std::bit_cast<double>((rng() & 0x800FFFFFFFFFFFFF) | exponent << 52);
    ASSERT_EQ(sent(v), printed(v)) << std::hexfloat << v;
  }
}

TEST(list_output, string_header_forms) {
  const struct {
    int kind;
    std::size_t len;
    const char* header;
  } cases[] = {
      {0, 0, "02 01"},       {0, 253, "FF 01"}, {0, 254, "00 FF 00 01"}, {1, 300, "00 2D 01 02"},
      {0, 65534, "00 FF FF 01"},
      {0, 65535, "00 00 00 01"},  // the length field wraps to 0
      {2, 255, "00 FF 00 02"},    // an odd byte of 16-bit text is dropped
  };
  for (const auto& c : cases) {
    const std::string data(c.len, 'x');
    t_ostrstream os;
    os.put_str(c.kind, data.data(), static_cast<unsigned short>(c.len));
    const std::size_t head = c.len < 254 ? 2 : 4;
    EXPECT_EQ(hex(std::string(os.data(), head)), c.header) << c.len;
    EXPECT_EQ(std::string(os.data() + head, os.size() - head), c.kind == 2 ? data.substr(1) : data) << c.len;
  }
}

TEST(list_output, string_kinds_null_and_operators) {
  struct value : D_type {
    void get(t_istream&, Database*) override {}
    void put(t_ostream& os, Database* db) const override {
      EXPECT_EQ(db, nullptr);
      os.put_str(0, "v", 1);
    }
  };
  const unsigned short units[] = {0x0041, 0x00E9, 0x20AC};
  t_ostrstream os;
  os.put_str(2, reinterpret_cast<const char*>(units), 6);
  os.put_str(1, "\x41\x00", 2);
  os.put_str(0, "ab", 2);
  os.put_null();
  os.put_str(3, "ab", 2);  // unknown kinds: null
  os.put_str(-1, "ab", 2);
  EXPECT_EQ(hex(bytes_of(os)), "08 02 41 00 E9 00 AC 20 04 02 41 00 04 01 61 62 02 01 02 01 02 01");
  os.reset();
  os << -2 << 4294967295u << true << false << std::int64_t{-4294967296} << value{};
  EXPECT_EQ(hex(bytes_of(os)), "03 05 FE 06 04 FF FF FF FF 03 04 01 03 04 00 06 05 00 00 00 00 03 01 76");
}

TEST(string_output_stream, reset_reuses_storage_and_copy_starts_empty) {
  // Values of every width and both signs, through many growths of the buffer.
  const auto value = [](std::uint64_t i) {
    const auto x = static_cast<std::int64_t>((i * 0x9E3779B97F4A7C15) >> (i % 64));
    return i % 2 != 0 ? ~x : x;
  };
  t_ostrstream os;
  for (int i = 0; i < 1000; ++i) os.put_int(value(i));
  std::string copy_of(os.data(), os.size());
  t_istrstream in(copy_of.data(), static_cast<int>(copy_of.size()));
  for (int i = 0; i < 1000; ++i) {
    std::int64_t v;
    bool null;
    in.read_int(v, null);
    ASSERT_EQ(v, value(i));
  }
  const char* storage = os.data();
  os.setstate(std::ios_base::badbit);
  os.reset();
  EXPECT_TRUE(os.good());
  EXPECT_EQ(os.size(), 0u);
  EXPECT_EQ(os.data(), storage);
  os.put_int(7);
  EXPECT_EQ(hex(bytes_of(os)), "03 04 07");

  os.set_uni_srv(true);
  const t_ostrstream copy(os);
  EXPECT_EQ(copy.size(), 0u);
  EXPECT_FALSE(copy.is_uni_srv());
  EXPECT_TRUE(copy.good());
}

TEST(list_output, refused_writes_set_badbit) {
  struct bare : t_ostream {};
  struct full : std::streambuf {};  // no put area; overflow refuses
  bare os;
  os.put_int(1);  // no buffer at all: nothing happens
  full sink;
  os.rdbuf(&sink);
  ASSERT_TRUE(os.good());
  os.put_str(0, "abc", 3);
  EXPECT_TRUE(os.bad());
}

}  // namespace
