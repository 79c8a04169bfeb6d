// The driver's three text conversions.
#include <torqa/driver_abi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using units = std::vector<unsigned short>;

// Runs a conversion on a heap copy of exactly the source (so that a sanitizer
// sees any read past it) into `cap` target units followed by guard units,
// and checks that the guard is untouched and the count within the capacity.
template <class Out, class In, class Conv>
std::vector<Out> run(Conv conv, std::vector<In> src, unsigned short cap) {
  constexpr Out guard = static_cast<Out>(0xA5);
  std::vector<Out> out(cap + 4u, guard);
  const unsigned short n = conv(src.data(), static_cast<unsigned short>(src.size()), out.data(), cap);
  EXPECT_LE(n, cap);
  for (std::size_t i = cap; i < out.size(); ++i) EXPECT_EQ(out[i], guard) << "written past the capacity";
  out.resize(n);
  return out;
}

std::string srv_to_mb(const std::string& src, unsigned short cap = 64) {
  const auto out = run<char>(DrvSrvToMb, std::vector<char>(src.begin(), src.end()), cap);
  return {out.begin(), out.end()};
}

std::string uni_to_mb(const units& src, unsigned short cap = 64) {
  const auto out = run<char>(DrvUniToMb, src, cap);
  return {out.begin(), out.end()};
}

units mb_to_uni(const std::string& src, unsigned short cap = 64) {
  return run<unsigned short>(DrvMbToUni, std::vector<char>(src.begin(), src.end()), cap);
}

constexpr unsigned short fffd = 0xFFFD;
const std::string fffd_mb = "\xEF\xBF\xBD";

TEST(text_conversion, well_formed_text_at_every_length_boundary) {
  // U+0041 U+007F U+0080 U+07FF U+0800 U+D7FF U+E000 U+FFFF U+10000 U+1F600 U+10FFFF
  const std::string mb =
      "\x41\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
      "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
  const units uni = {0x0041, 0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF, 0xE000, 0xFFFF,
                     0xD800, 0xDC00, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF};
  std::string srv;
  for (unsigned short u : uni) srv += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  EXPECT_EQ(mb_to_uni(mb), uni);
  EXPECT_EQ(uni_to_mb(uni), mb);
  EXPECT_EQ(srv_to_mb(srv), mb);
  EXPECT_EQ(srv_to_mb(srv.substr(0, 3)), "\x41");  // an odd last byte is dropped
  EXPECT_EQ(srv_to_mb("\x41"), "");
}

TEST(text_conversion, capacity_cut_never_splits_a_character) {
  // Conversion stops rather than skipping to a later character that fits.
  EXPECT_EQ(mb_to_uni("\x41\xF0\x9F\x98\x80", 2), (units{0x0041}));
  EXPECT_EQ(mb_to_uni("\x41\xF0\x9F\x98\x80", 3), (units{0x0041, 0xD83D, 0xDE00}));
  EXPECT_EQ(mb_to_uni("\xF0\x9F\x98\x80\x41", 1), units{});
  EXPECT_EQ(mb_to_uni("\xE2\x82\x41", 1), (units{fffd}));  // a replacement counts like any character
  EXPECT_EQ(uni_to_mb({0x0041, 0x20AC}, 3), "\x41");
  EXPECT_EQ(uni_to_mb({0x20AC, 0x0041}, 2), "");
  EXPECT_EQ(uni_to_mb({0xD83D, 0xDE00}, 3), "");
  EXPECT_EQ(uni_to_mb({0x00E9, 0x00E9}, 3), "\xC3\xA9");
  EXPECT_EQ(uni_to_mb({0xDE00}, 2), "");  // the replacement is whole too
  EXPECT_EQ(srv_to_mb(std::string("\x3D\xD8\x00\xDE\x41\x00", 6), 3), "");
  EXPECT_EQ(srv_to_mb(std::string("\x41\x00\xAC\x20", 4), 3), "\x41");
  EXPECT_EQ(srv_to_mb(std::string("\x41\x00\xAC\x20", 4), 0), "");

  // Counts near the 16-bit limit: 40000 two-byte characters into 65535 bytes.
  const std::string cut = uni_to_mb(units(40000, 0x00E9), 65535);
  ASSERT_EQ(cut.size(), 65534u);
  EXPECT_EQ(cut.substr(65532), "\xC3\xA9");
  EXPECT_EQ(mb_to_uni(std::string(65535, 'a'), 65535).size(), 65535u);
}

TEST(text_conversion, ill_formed_input_gives_one_replacement_per_maximal_subpart) {
  // Unpaired surrogates: high at the end, high before a non-low, low first.
  EXPECT_EQ(uni_to_mb({0xD83D}), fffd_mb);
  EXPECT_EQ(uni_to_mb({0xD83D, 0x0041}), fffd_mb + "\x41");
  EXPECT_EQ(uni_to_mb({0xDE00, 0xD83D}), fffd_mb + fffd_mb);
  EXPECT_EQ(uni_to_mb({0xD83D, 0xD83D, 0xDE00}), fffd_mb + "\xF0\x9F\x98\x80");
  EXPECT_EQ(srv_to_mb(std::string("\x00\xDC\x41\x00", 4)), fffd_mb + "\x41");
  EXPECT_EQ(srv_to_mb(std::string("\x3D\xD8\x00", 3)), fffd_mb);  // no half unit completes the pair

  // UTF-8: lead bytes that cannot start a sequence, stray continuation
  // bytes, sequences cut short by a wrong byte or by the end of the text,
  // overlong forms, encoded surrogates and values above U+10FFFF.
  EXPECT_EQ(mb_to_uni("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
            (units{0x0061, fffd, fffd, fffd, 0x0062, fffd, 0x0063, fffd, fffd, 0x0064}));
  const struct {
    const char* mb;
    std::size_t replacements;
  } cases[] = {{"\xFF\xFE\xF5\x80", 4}, {"\xC0\xAF", 2},         {"\xE0\x80\xAF", 3}, {"\xF0\x8F\xBF\xBF", 4},
               {"\xED\xA0\x80", 3},     {"\xF4\x90\x80\x80", 4}, {"\xE2\x82", 1}};
  for (const auto& c : cases) EXPECT_EQ(mb_to_uni(c.mb), units(c.replacements, fffd)) << c.replacements;
  EXPECT_EQ(mb_to_uni("\xE2\x41"), (units{fffd, 0x0041}));
  EXPECT_EQ(mb_to_uni("\x41\xC3"), (units{0x0041, fffd}));
  unsigned short out[4] = {};
  EXPECT_EQ(DrvMbToUni("\xE2\x82\xAC", 2, out, 4), 1);  // the length given is the end, whatever lies beyond
  EXPECT_EQ(out[0], fffd);
}

TEST(text_conversion, null_pointers_and_zero_lengths_write_nothing) {
  const unsigned short uni[] = {0x0041};
  EXPECT_EQ(DrvSrvToMb(nullptr, 0, nullptr, 0) + DrvUniToMb(nullptr, 0, nullptr, 0) + DrvMbToUni(nullptr, 0, nullptr, 0),
            0);
  EXPECT_EQ(DrvSrvToMb("\x41\x00", 2, nullptr, 0) + DrvUniToMb(uni, 1, nullptr, 0) + DrvMbToUni("\x41", 1, nullptr, 0),
            0);
  EXPECT_EQ(srv_to_mb("") + uni_to_mb({}), "");
  EXPECT_EQ(mb_to_uni(""), units{});
}

}  // namespace
