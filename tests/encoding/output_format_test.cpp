// Encoding values as list elements through t_ostream.
#include <torqa/streams.h>
#include <torqa/types.h>

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

bytes written(const t_ostrstream& os) {
  const auto* p = reinterpret_cast<const unsigned char*>(os.data());
  return bytes(p, p + os.size());
}

bytes int_bytes(std::int64_t v) {
  t_ostrstream os;
  os.put_int(v);
  return written(os);
}

bytes header_of(int kind, std::size_t len) {
  const std::string data(len, 'x');
  t_ostrstream os;
  os.put_str(kind, data.data(), static_cast<unsigned short>(len));
  const bytes all = written(os);
  EXPECT_EQ(all.size(), (len < 254 ? 2 : 4) + (kind == 2 ? len & ~1u : len));
  return bytes(all.begin(), all.begin() + (len < 254 ? 2 : 4));
}

TEST(list_output, integer_widths_and_signs) {
  EXPECT_EQ(int_bytes(0), (bytes{0x03, 0x04, 0x00}));
  EXPECT_EQ(int_bytes(255), (bytes{0x03, 0x04, 0xFF}));
  EXPECT_EQ(int_bytes(256), (bytes{0x04, 0x04, 0x00, 0x01}));
  EXPECT_EQ(int_bytes(65536), (bytes{0x05, 0x04, 0x00, 0x00, 0x01}));
  EXPECT_EQ(int_bytes(2147483647), (bytes{0x06, 0x04, 0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(int_bytes((std::int64_t{1} << 56) - 1), (bytes{0x09, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(int_bytes(std::int64_t{1} << 56), (bytes{0x0A, 0x04, 0, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(int_bytes(std::numeric_limits<std::int64_t>::max()),
            (bytes{0x0A, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));

  EXPECT_EQ(int_bytes(-1), (bytes{0x03, 0x05, 0xFF}));
  EXPECT_EQ(int_bytes(-2), (bytes{0x03, 0x05, 0xFE}));
  EXPECT_EQ(int_bytes(-256), (bytes{0x03, 0x05, 0x00}));
  EXPECT_EQ(int_bytes(-257), (bytes{0x04, 0x05, 0xFF, 0xFE}));
  EXPECT_EQ(int_bytes(-2147483648LL), (bytes{0x06, 0x05, 0x00, 0x00, 0x00, 0x80}));
  EXPECT_EQ(int_bytes(-(std::int64_t{1} << 55) - 1), (bytes{0x09, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(int_bytes(-(std::int64_t{1} << 56) - 1), (bytes{0x0A, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(int_bytes(std::numeric_limits<std::int64_t>::min()),
            (bytes{0x0A, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x80}));
}

TEST(list_output, doubles_as_fixed_text) {
  t_ostrstream os;
  os << 2.08 << -0.5;
  const std::string text(os.data(), os.size());
  EXPECT_EQ(text, std::string("\x13\x01" "2.080000000000000" "\x14\x01" "-0.500000000000000"));

  os.reset();
  os << 1e300;  // 301 digits, a point and 15 decimals: the long form
  const bytes all = written(os);
  ASSERT_EQ(all.size(), 4u + 317u);
  EXPECT_EQ(bytes(all.begin(), all.begin() + 6), (bytes{0x00, 0x3E, 0x01, 0x01, '1', '0'}));
  EXPECT_EQ(std::string(os.data() + os.size() - 16, 16), ".000000000000000");
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
  EXPECT_EQ(header_of(0, 0), (bytes{0x02, 0x01}));
  EXPECT_EQ(header_of(0, 253), (bytes{0xFF, 0x01}));
  EXPECT_EQ(header_of(0, 254), (bytes{0x00, 0xFF, 0x00, 0x01}));
  EXPECT_EQ(header_of(1, 300), (bytes{0x00, 0x2D, 0x01, 0x02}));
  EXPECT_EQ(header_of(0, 65534), (bytes{0x00, 0xFF, 0xFF, 0x01}));
  EXPECT_EQ(header_of(0, 65535), (bytes{0x00, 0x00, 0x00, 0x01}));  // the length field wraps to 0
  EXPECT_EQ(header_of(2, 255), (bytes{0x00, 0xFF, 0x00, 0x02}));     // an odd byte of 16-bit text is dropped
}

TEST(list_output, string_kinds_and_null) {
  const unsigned short units[] = {0x0041, 0x00E9, 0x20AC};
  t_ostrstream os;
  os.put_str(2, reinterpret_cast<const char*>(units), 6);
  os.put_str(1, "\x41\x00", 2);
  os.put_str(0, "ab", 2);
  os.put_null();
  os.put_str(3, "ab", 2);
  os.put_str(-1, "ab", 2);
  EXPECT_EQ(written(os), (bytes{0x08, 0x02, 0x41, 0x00, 0xE9, 0x00, 0xAC, 0x20, 0x04, 0x02, 0x41, 0x00, 0x04, 0x01,
                                'a', 'b', 0x02, 0x01, 0x02, 0x01, 0x02, 0x01}));
}

TEST(list_output, operators) {
  struct value : D_type {
    void get(t_istream&, Database*) override {}
    void put(t_ostream& os, Database* db) const override {
      EXPECT_EQ(db, nullptr);
      os.put_str(0, "v", 1);
    }
  };
  t_ostrstream os;
  os << -2 << 4294967295u << true << false << std::int64_t{-4294967296} << value{};
  EXPECT_EQ(written(os), (bytes{0x03, 0x05, 0xFE, 0x06, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0x04, 0x01, 0x03, 0x04,
                                0x00, 0x06, 0x05, 0x00, 0x00, 0x00, 0x00, 0x03, 0x01, 'v'}));
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
  EXPECT_EQ(written(os), (bytes{0x03, 0x04, 0x07}));

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
