// Names made from UTF-8 and UTF-16 text, and the compile-time rules of the
// value and handle classes.
#include <torqa/connection.h>
#include <torqa/streams.h>
#include <torqa/text16.h>

#include "support/thrown.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace {

using torqa::text16;
using torqa::test::thrown;

std::u16string units(const text16& t) { return std::u16string(t.view()); }

TEST(text16, utf8_becomes_utf16_and_malformed_text_is_refused) {
  EXPECT_EQ(units(text16("Sample.Person")), u"Sample.Person");
  EXPECT_EQ(units(text16("Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80")), u"Zo\u00EB \u20AC \U0001F600");
  const std::string long_name(300, 'x');  // past the inline buffer
  EXPECT_EQ(units(text16(long_name)), std::u16string(300, u'x'));
  EXPECT_EQ(text16(long_name).c_str()[300], 0);
  for (const char* bad : {"\xC3", "\xE2\x82", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF",
                          "ab\xC3(", "\xF0\x9F\x98"})
    EXPECT_EQ(thrown([&] { text16 t(bad); }), "-1000 text is not UTF-8") << bad;
  // A zero inside would cut the name short.
  EXPECT_EQ(thrown([&] { text16 t(std::string_view("a\0b", 3)); }), "-1000 text holds a zero character");
  EXPECT_EQ(thrown([&] { text16 t(std::u16string_view(u"a\0b", 3)); }), "-1000 text holds a zero character");
  const char16_t* literal = u"Sample";
  EXPECT_EQ(reinterpret_cast<const char16_t*>(text16(literal).c_str()), literal);  // used in place
  EXPECT_EQ(units(text16(std::u16string_view(u"Sample.Person", 6))), u"Sample");
}

// Raw text is not an element of a typed stream, and a handle tests as a
// condition without converting to bool or int.
template <class S>
concept writes_raw_text = requires(S& os) { os << "abc"; };
static_assert(!writes_raw_text<t_ostream>);
static_assert(std::is_constructible_v<bool, Handle<Conn_t>> && !std::is_convertible_v<Handle<Conn_t>, bool>);

}  // namespace
