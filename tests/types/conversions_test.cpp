// Value classes made from plain C++ values and read back as them: exact or
// refused, never cut.
#include "support/thrown.h"

#include <torqa/types.h>

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

using torqa::test::thrown;

namespace {

TEST(value_conversions, made_from_plain_values) {
  const d_string utf8 = std::string("Zo\xC3\xAB");
  EXPECT_TRUE(utf8.kind() == 0 && utf8.bytes() == "Zo\xC3\xAB" && !utf8.is_null());
  d_string utf16 = std::u16string(u"Zo\u00EB\U0001F600");
  EXPECT_TRUE(utf16.kind() == 2 && utf16.size() == 10 && utf16.mb_str() == "Zo\xC3\xAB\xF0\x9F\x98\x80");
  utf16 = std::optional<std::string>();
  EXPECT_TRUE(utf16.is_null() && utf16.size() == 0);
  EXPECT_EQ(d_binary(std::string("\0\xFF", 2)).bytes(), std::string("\0\xFF", 2));

  d_int i = 7LL;
  EXPECT_TRUE(i.value() == 7 && !i.is_null());
  i = std::nullopt;
  EXPECT_TRUE(i.is_null() && i.value() == 0);
  i = std::optional<unsigned>(INT_MAX);
  EXPECT_EQ(i.value(), INT_MAX);
  EXPECT_EQ(d_int(true).value(), 1);
  EXPECT_EQ(d_int(-3.0).value(), -3);
  EXPECT_TRUE(d_double(std::optional<int>()).is_null() && d_double(1LL << 53).value() == 9007199254740992.0);

  // Nothing is cut to fit.
  EXPECT_EQ(thrown([] { d_int v = 1LL << 31; }), "-1000 integer out of range");
  EXPECT_EQ(thrown([] { d_int v = std::optional<long long>(-(1LL << 40)); }), "-1000 integer out of range");
  EXPECT_EQ(thrown([] { d_int v = 2.5; }), "-1000 2.5 is not an integer");
  EXPECT_EQ(thrown([] { d_int v = 1e10; }), "-1000 integer out of range");
  EXPECT_EQ(thrown([] { d_double v = (1LL << 53) + 1; }),
            "-1000 integer 9007199254740993 has no exact floating-point value");
}

TEST(value_conversions, read_back_as_plain_values) {
  const d_string text("Zo\xC3\xAB");
  EXPECT_EQ(text.as<std::string>(), "Zo\xC3\xAB");
  EXPECT_EQ(text.as<std::u16string>(), u"Zo\u00EB");
  EXPECT_EQ(d_string(u"\u00EB").as<std::string>(), "\xC3\xAB");
  EXPECT_EQ(d_string("-12").as<long long>(), -12);
  EXPECT_EQ(d_string("4000000000").as<unsigned>(), 4000000000u);
  EXPECT_EQ(d_string("1.5e3").as<double>(), 1500.0);
  EXPECT_EQ(d_binary(std::string("\0", 1)).as<std::optional<std::string>>(), std::string("\0", 1));

  EXPECT_EQ(d_int(42).as<std::optional<int>>(), 42);
  EXPECT_EQ(d_int().as<std::optional<int>>(), std::nullopt);
  EXPECT_EQ(d_int(-5).as<std::string>(), "-5");
  EXPECT_EQ(d_int(7).as<std::u16string>(), u"7");
  EXPECT_EQ(d_int(2).as<bool>(), true);
  EXPECT_EQ(d_int(-5).as<double>(), -5.0);
  EXPECT_EQ(d_int(9).as<d_int>().value(), 9);
  EXPECT_EQ(d_double(0.1).as<std::string>(), "0.1");
  EXPECT_EQ(d_double(-2.0).as<short>(), -2);
  EXPECT_EQ(d_double(0.5).as<float>(), 0.5f);

  // What a type cannot hold is refused, with the value in the message.
  const auto cases = {
      std::pair{thrown([] { d_string("12x").as<int>(); }), "-1000 '12x' is not an integer"},
      std::pair{thrown([] { d_string(" 1").as<int>(); }), "-1000 ' 1' is not an integer"},
      std::pair{thrown([] { d_string("").as<int>(); }), "-1000 '' is not an integer"},
      std::pair{thrown([] { d_string("99999999999999999999").as<long long>(); }), "-1000 integer out of range"},
      std::pair{thrown([] { d_string("1e999").as<double>(); }), "-1000 '1e999' is out of range"},
      std::pair{thrown([] { d_string("one").as<double>(); }), "-1000 'one' is not a number"},
      std::pair{thrown([] { d_int(300).as<signed char>(); }), "-1000 integer out of range"},
      std::pair{thrown([] { d_int(-1).as<unsigned>(); }), "-1000 integer out of range"},
      std::pair{thrown([] { d_double(1.5).as<int>(); }), "-1000 1.5 is not an integer"},
      std::pair{thrown([] { d_double(1e300).as<float>(); }), "-1000 1e+300 is out of range"},
      std::pair{thrown([] { d_int().as<int>(); }), "-1000 the value is null"},
      std::pair{thrown([] { d_string(std::nullopt).as<std::string>(); }), "-1000 the value is null"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

}  // namespace
