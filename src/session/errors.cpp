// The error record: reading it from a reply, the open and close failures
// that decode the server's detail, and printing.
#include <torqa/errors.h>
#include <torqa/streams.h>

#include <charconv>
#include <cstdint>
#include <ostream>
#include <sstream>

namespace {

// The low 32 bits of a decoded integer, as the server's 32-bit codes carry.
int low32(std::int64_t v) { return static_cast<int>(static_cast<std::uint32_t>(v)); }

// The next integer of a detail list; 0 once the list is used up or when the
// element is not a number.
int next_int(t_istream& in) {
  if (in.at_end()) return 0;
  std::int64_t v = 0;
  bool null_flag = false;
  in.read_int(v, null_flag);
  return low32(v);
}

}  // namespace

Db_err::Db_err(int c, const std::string& m) : code(c), msg(m) {}

const char* Db_err::what() const noexcept {
  // Formed on each call: code and msg are public and may have changed.
  try {
    std::ostringstream os;
    os << *this;
    printed = os.str();
  } catch (...) {
    return "Error: no memory to print the error";
  }
  return printed.c_str();
}

void Db_err::clear() {
  code = 0;
  msg.clear();
  diag = Db_diag();
}

void Db_err::get(t_istream& is) {
  // The record arrives as one string element whose bytes are a nested list:
  // code, message and, when the server has more to say, the detail.
  thread_local std::string record;
  clear();
  bool is_uni = false;
  is.read_str(is_uni, record);
  if (record.empty()) return;
  t_istrstream in(record.data(), static_cast<int>(record.size()));
  std::int64_t c = 0;
  bool null_flag = false;
  in.read_int(c, null_flag);
  code = low32(c);
  if (code == 0) return;
  in.read_mb_str(msg);
  if (!in.at_end()) in.read_str(is_uni, info);
}

Err_open_obj::Err_open_obj(const Db_err& e) : Db_err(e) {
  t_istrstream in(info.data(), static_cast<int>(info.size()));
  srv_code = next_int(in);
  switch (srv_code) {
    case 5803: msg = "couldn't aquire exclusive lock"; break;
    case 5804: msg = "couldn't aquire read lock"; break;
    case 5809: msg = "object not found"; break;
    default: break;
  }
}

Err_close_obj::Err_close_obj(const Db_err& e) : Db_err(e) {
  t_istrstream in(info.data(), static_cast<int>(info.size()));
  detail1 = next_int(in);
  detail2 = next_int(in);
}

std::ostream& operator<<(std::ostream& os, const Db_err& e) {
  // The code is formatted without the stream's locale, so no digit grouping
  // can slip into it.
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, e.code).ptr;
  os << "Error: code = ";
  os.write(digits, end - digits);
  return os << ", msg = " << e.msg;
}
