// Element bytes for value-layer tests: building them from hex text, reading
// values out of them and writing values into them.
#pragma once

#include <torqa/streams.h>
#include <torqa/types.h>

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace torqa::test {

/// Bytes from hex text: unhex("03 04 05").
inline std::string unhex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] != ' ') out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i++, 2)), nullptr, 16)));
  return out;
}

/// One element of `type` holding `data`, in the short form when it fits.
inline std::string element(std::string_view data, char type = 1) {
  const std::size_t n = data.size();
  const std::string head = n < 254 ? std::string{static_cast<char>(n + 2), type}
                                   : std::string{0, static_cast<char>((n + 1) & 0xFF),
                                                 static_cast<char>(((n + 1) >> 8) & 0xFF), type};
  return head + std::string(data);
}

/// Text of 16-bit characters as the server sends it, low byte first.
inline std::string units16(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  return out;
}

/// `s` repeated `n` times.
inline std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

/// A t_istrstream over its own copy of `bytes`, exactly as long as they are
/// (so that the sanitizer build catches any read past them).
struct input {
  explicit input(std::string_view bytes)
      : data(bytes.begin(), bytes.end()), is(data.data(), static_cast<int>(data.size())) {}
  std::vector<char> data;
  t_istrstream is;
};

/// A T read with its get from `bytes` (no session).
template <class T>
T read_value(std::string_view bytes) {
  T v;
  input in(bytes);
  v.get(in.is, nullptr);
  return v;
}

/// The bytes that `put` of `v` writes for an 8-bit or a 16-bit server.
inline std::string written(const D_type& v, bool uni_srv = false) {
  t_ostrstream os;
  os.set_uni_srv(uni_srv);
  v.put(os, nullptr);
  return {os.data(), os.size()};
}

/// What operator<< prints for `v`.
template <class T>
std::string printed(const T& v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

}  // namespace torqa::test
