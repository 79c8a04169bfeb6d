#include "frame.h"

#include <stdexcept>

namespace torqa::net {

void put_u32(std::string& out, std::uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out.append(b, sizeof b);
}

void put_u64(std::string& out, std::uint64_t v) {
  char b[8];
  for (int i = 7; i >= 0; --i, v >>= 8) b[i] = static_cast<char>(v);
  out.append(b, sizeof b);
}

std::uint32_t get_u32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

void put_str(std::string& out, std::string_view s) {
  put_u32(out, static_cast<std::uint32_t>(s.size()));
  out += s;
}

bool body_reader::u32(std::uint32_t& v) {
  if (rest_.size() < 4) return false;
  v = get_u32(rest_.data());
  rest_.remove_prefix(4);
  return true;
}

bool body_reader::u8(std::uint8_t& v) {
  if (rest_.empty()) return false;
  v = static_cast<std::uint8_t>(rest_[0]);
  rest_.remove_prefix(1);
  return true;
}

bool body_reader::u64(std::uint64_t& v) {
  if (rest_.size() < 8) return false;
  v = (static_cast<std::uint64_t>(get_u32(rest_.data())) << 32) | get_u32(rest_.data() + 4);
  rest_.remove_prefix(8);
  return true;
}

bool body_reader::bytes(std::size_t n, std::string_view& s) {
  if (rest_.size() < n) return false;
  s = rest_.substr(0, n);
  rest_.remove_prefix(n);
  return true;
}

bool body_reader::str(std::string_view& s) {
  std::uint32_t n = 0;
  const std::string_view before = rest_;
  if (!u32(n) || !bytes(n, s)) {
    rest_ = before;
    return false;
  }
  return true;
}

bool read_login_start(std::string_view body, std::uint32_t& version, std::string_view& name,
                      std::string_view& client_first) {
  body_reader r(body);
  return r.u32(version) && r.str(name) && r.str(client_first) && r.at_end();
}

bool read_one_str(std::string_view body, std::string_view& s) {
  body_reader r(body);
  return r.str(s) && r.at_end();
}

parse_result parse_frame(const char* p, std::size_t n, frame& out, std::size_t& used) {
  used = 0;
  if (n < 4) return parse_result::incomplete;
  const std::uint32_t length = get_u32(p);
  if (length == 0 || length > max_frame_length) return parse_result::malformed;
  used = 4 + static_cast<std::size_t>(length);
  if (n < used) return parse_result::incomplete;
  out.type = static_cast<std::uint8_t>(p[4]);
  out.body = std::string_view(p + frame_header, length - 1);
  return parse_result::complete;
}

std::array<char, frame_header> frame_head(std::uint8_t type, std::size_t size) {
  if (size >= max_frame_length) throw std::length_error("frame body too long");
  const auto length = static_cast<std::uint32_t>(size + 1);
  return {static_cast<char>(length >> 24), static_cast<char>((length >> 16) & 0xFF),
          static_cast<char>((length >> 8) & 0xFF), static_cast<char>(length & 0xFF), static_cast<char>(type)};
}

std::string make_frame(std::uint8_t type, std::string_view body) {
  const auto head = frame_head(type, body.size());
  std::string out;
  out.reserve(frame_header + body.size());
  out.append(head.data(), head.size());
  out += body;
  return out;
}

}  // namespace torqa::net
