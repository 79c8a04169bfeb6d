// Shared scratch buffers, the empty 16-bit strings and the conversions
// between the client's and the server's text forms.
#include <torqa/conversions.h>

#include "encoding/text.h"
#include "transport/driver.h"

#include <algorithm>

#if defined(_WIN32)
char (&torqa_conv_buf())[32768] {
  alignas(8) thread_local char buf[32768];
  return buf;
}
char (&torqa_copy_buf())[32768] {
  alignas(8) thread_local char buf[32768];
  return buf;
}
#else
alignas(8) thread_local char conv_buf[32768];
alignas(8) thread_local char copy_buf[32768];
#endif

namespace {
const unsigned short empty_text[1] = {0};

constexpr bool is_high_surrogate(unsigned u) { return u >= 0xD800 && u <= 0xDBFF; }

// The 16-bit unit whose two bytes (least significant first) end at p.
unsigned unit_before(const char* p) {
  return static_cast<unsigned char>(p[-2]) | static_cast<unsigned>(static_cast<unsigned char>(p[-1])) << 8;
}
}  // namespace

const unsigned short* const empty_str = empty_text;
const unsigned short* const empty_name = empty_text;

void mb_to_uni(const char* src, unsigned short len, unsigned short** out, unsigned short* out_len) {
  *out = reinterpret_cast<unsigned short*>(conv_buf);
  *out_len = torqa::detail::driver().DrvMbToUni(src, len, *out, sizeof conv_buf / 2);
}

void torqa_uni_to_uni(const char* src, unsigned short len, const unsigned short** out, unsigned short* out_len) {
  // The server's form is the client's form: only the count and the
  // terminating zero unit, written in place, change.
  const unsigned short even = len & ~1u;
  char* end = const_cast<char*>(src) + even;
  end[0] = 0;
  end[1] = 0;
  *out = reinterpret_cast<const unsigned short*>(src);
  *out_len = even / 2;
}

void uni_to_torqa_uni(const unsigned short* src, unsigned short len, const char** out, unsigned short* out_len) {
  // A byte count is 16-bit: more than 32767 characters are cut there,
  // without splitting a surrogate pair.
  unsigned short n = std::min<unsigned short>(len, 32767);
  if (n < len && is_high_surrogate(src[n - 1])) --n;
  *out = reinterpret_cast<const char*>(src);
  *out_len = static_cast<unsigned short>(2 * n);
}

namespace torqa::detail {

std::size_t append_srv_as_mb(const char* src, std::size_t bytes, std::string& out, bool more) {
  std::size_t end = bytes & ~std::size_t{1};
  if (more && end >= 2 && is_high_surrogate(unit_before(src + end))) end -= 2;
  for (std::size_t done = 0; done < end;) {
    std::size_t piece = std::min(end - done, srv_piece_bytes);
    if (done + piece < end && is_high_surrogate(unit_before(src + done + piece))) piece -= 2;
    const std::size_t old = out.size();
    const auto cap = static_cast<unsigned short>(piece / 2 * 3);
    out.resize(old + cap);
    const unsigned short n =
        driver().DrvSrvToMb(src + done, static_cast<unsigned short>(piece), out.data() + old, cap);
    out.resize(old + n);
    done += piece;
  }
  return more ? end : bytes;
}

}  // namespace torqa::detail
