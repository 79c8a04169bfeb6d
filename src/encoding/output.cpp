// Server output capture (db_output) and the callout table of GetZFTable.
#include <torqa/conversions.h>
#include <torqa/output.h>
#include <torqa/streams.h>

#include <algorithm>
#include <cstring>

#include "transport/driver.h"

namespace {

unsigned short* units(char* p) { return reinterpret_cast<unsigned short*>(p); }

}  // namespace

db_output::db_output()
    : nbuf(buffer, sizeof buffer), wbuf(units(buffer), sizeof buffer / 2), nstream(&nbuf), wstream(&wbuf) {}

std::basic_istream<char>& db_output::get_istream() {
  unsigned short n = len;
  if (is_uni) {
    n = torqa::detail::driver().DrvUniToMb(units(buffer), len / 2, conv_buf, sizeof conv_buf);
    std::memcpy(buffer, conv_buf, n);
  }
  nstream.clear();
  nbuf.reset(buffer, n);
  return nstream;
}

std::basic_istream<unsigned short>& db_output::get_wistream() {
  unsigned short n = len / 2;
  if (!is_uni) {
    n = torqa::detail::driver().DrvMbToUni(buffer, len, units(conv_buf), sizeof conv_buf / 2);
    std::memcpy(buffer, conv_buf, 2u * n);
  }
  wstream.clear();
  wbuf.reset(units(buffer), n);
  return wstream;
}

t_istream& operator>>(t_istream& is, db_output& o) {
  is.read_bytes(o.is_uni, o.buffer, sizeof o.buffer, o.len);
  return is;
}

// ---- callout table

namespace {

void* host_arg_a = nullptr;
void* host_arg_b = nullptr;

// A counted string: a 16-bit unsigned byte count, then the bytes.
unsigned short counted_length(const void* s) {
  unsigned short n = 0;
  std::memcpy(&n, s, sizeof n);
  return n;
}

// Writes "hello, " followed by the input's bytes into the output counted
// string. The input may be the output itself. The result is cut at 65535
// bytes, the most its count can state.
int greeting(void* in, void* out) {
  if (in == nullptr || out == nullptr) return -1;
  static constexpr char prefix[] = "hello, ";
  constexpr unsigned short prefix_len = sizeof prefix - 1;
  const unsigned short in_len = std::min<unsigned short>(counted_length(in), 0xFFFF - prefix_len);
  char* dst = static_cast<char*>(out) + sizeof(unsigned short);
  std::memmove(dst + prefix_len, static_cast<const char*>(in) + sizeof(unsigned short), in_len);
  std::memcpy(dst, prefix, prefix_len);
  const auto total = static_cast<unsigned short>(prefix_len + in_len);
  std::memcpy(out, &total, sizeof total);
  return 0;
}

const zf_row callout_table[] = {
    {"test", "bB", greeting},
    {nullptr, nullptr, nullptr},
};

}  // namespace

extern "C" const zf_row* GetZFTable(void* a, void* b) {
  host_arg_a = a;
  host_arg_b = b;
  return callout_table;
}
