// UTF-8 helpers: pieces cut between characters, character counts, name comparison.
#include "text.h"

#include <gtest/gtest.h>

namespace torqa::cli {
namespace {

TEST(cli_text, utf8_pieces_are_never_cut_inside_a_character) {
  EXPECT_EQ(utf8_complete("ab"), 2u);
  EXPECT_EQ(utf8_complete("a\xC3"), 1u);
  EXPECT_EQ(utf8_complete("a\xC3\xA9"), 3u);
  EXPECT_EQ(utf8_complete("a\xF0\x9F\x98"), 1u);
  EXPECT_EQ(utf8_complete("\x80\x80\x80\x80"), 4u);  // not UTF-8: kept whole
  EXPECT_EQ(utf8_length("\xC3\xA9t\xC3\xA9"), 3u);
  EXPECT_TRUE(same_name("Sample.PERSON", "sample.person"));
  EXPECT_FALSE(same_name("Age", "Ages"));
}

}  // namespace
}  // namespace torqa::cli
