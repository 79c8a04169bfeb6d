// Every read a reply decoder makes over bytes from the server: each read of
// t_istream, each value class's get (printed where it prints), and a walk
// over a list. Each is false when its result breaks its own contract.
// Shared by the decoding robustness test and the reply-decoding fuzz target.
#pragma once

#include "support/value_bytes.h"

#include <torqa/datetime.h>
#include <torqa/errors.h>
#include <torqa/list.h>

#include <cstdint>
#include <string>
#include <vector>

namespace torqa::test {

/// read_bytes into exactly `cap` bytes; the count must stay within them.
inline bool bytes_within(t_istream& is, unsigned short cap) {
  static std::vector<char> big(65535);
  std::vector<char> small(cap < 16 ? cap : 0);
  bool uni = false;
  unsigned short len = 0xFFFF;
  is.read_bytes(uni, cap < 16 ? small.data() : big.data(), cap, len);
  return len <= cap;
}

template <class T>
bool get_value(t_istream& is) {
  T v;
  v.get(is, nullptr);
  if constexpr (requires(std::ostream& os) { os << v; }) return !printed(v).empty();
  return true;
}

struct read_op {
  const char* name;
  bool (*read)(t_istream&);
};

inline const read_op read_ops[] = {
    {"read_int", [](t_istream& is) { std::int64_t v = 0; bool null = false; is.read_int(v, null); return true; }},
    {"read_double", [](t_istream& is) { double v = 0; bool null = false; is.read_double(v, null); return true; }},
    {"read_bytes(0)", [](t_istream& is) { return bytes_within(is, 0); }},
    {"read_bytes(3)", [](t_istream& is) { return bytes_within(is, 3); }},
    {"read_bytes(65535)", [](t_istream& is) { return bytes_within(is, 65535); }},
    {"read_str", [](t_istream& is) { bool uni = false; std::string s; is.read_str(uni, s); return true; }},
    {"read_mb_str", [](t_istream& is) { std::string s; is.read_mb_str(s); return true; }},
    {"skip", [](t_istream& is) { is.skip(); return true; }},
    {"d_binary", get_value<d_binary>},
    {"d_int", get_value<d_int>},
    {"d_double", get_value<d_double>},
    {"d_list", get_value<d_list>},
    {"d_string", [](t_istream& is) { d_string s(is); s.mb_str(); return s.kind() == 0 || s.kind() == 1; }},
    {"d_status", [](t_istream& is) { d_status s(is); s.get_msg().mb_str(); return s.get_msg().kind() <= 1; }},
    {"db_name", [](t_istream& is) { db_name n; n.get(is, nullptr); return n.c_str()[n.length()] == 0; }},
    {"Db_err", [](t_istream& is) { Db_err e; e.get(is); Err_open_obj o(e); Err_close_obj c(e); return true; }},
    {"d_date", get_value<d_date>},
    {"d_time", get_value<d_time>},
    {"d_timestamp", get_value<d_timestamp>},
};

/// Walks a list over `bytes` and decodes every element it finds; what went
/// wrong, or nothing.
inline std::string walk_list(const std::string& bytes) {
  const d_list list(bytes.data(), bytes.size());
  std::size_t steps = 0;
  for (list.move_to(0); !list.at_list_end() && steps <= bytes.size(); list.next_elem(), ++steps) {
    std::int64_t i = 0;
    double d = 0;
    d_string s;
    d_binary b;
    list.get_elem(&i);
    list.get_elem(&d);
    list.get_elem(s);
    list.get_elem(b);
  }
  if (!list.at_list_end()) return "list walk did not reach the end";
  list.count();
  return {};
}

}  // namespace torqa::test
