// Replies from a hostile server, decoded by the binding.
//
// Input, first byte even: a message read directly. The second byte picks
// the form (list, 8-bit or 16-bit text), the third how many reads follow,
// then one byte per read choosing it (every t_istream read, every value
// class's get, a list walk); the rest is the message, read by those reads in
// turn until it is used up.
//
// First byte odd: a session over the scripted driver, whose replies come
// from the input, each as a length (2 bytes, least significant first), the
// size of its first chunk (1 byte, 0: one chunk) and its bytes. The session
// starts (start-up reply), opens a Sample.Person (class definitions and the
// open), reads every property it was told of, calls every method and ends.
// The second bit of the first byte starts it with the property cache.
//
// Decoding bad bytes may fail with Db_err (a refusing start-up reply with
// its plain text) but never crash, hang or read past the bytes (each input
// buffer is exactly as long as its bytes), and every result keeps its
// contract: a byte count within its buffer, text of a known kind, a
// terminated name, list walks and reads that reach the end. The seeds hold
// valid messages of every element form and corrupted ones: lengths past the
// data, cut headers, unknown types, odd 16-bit text, broken UTF-8, records
// and statuses cut short.
#include "check.h"
#include "support/scripted_driver.h"
#include "support/value_bytes.h"

#include <torqa/torqa.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace torqa::test;

namespace {

/// read_bytes into exactly `cap` bytes; the count must stay within them.
bool bytes_within(t_istream& is, unsigned short cap) {
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

const read_op read_ops[] = {
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
std::string walk_list(const std::string& bytes) {
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

void decode_message(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return;
  const int form = data[0] % 3;
  const std::size_t nreads = std::min<std::size_t>(1 + data[1] % 8, size - 2);
  const std::uint8_t* ops = data + 2;
  const std::string bytes(reinterpret_cast<const char*>(ops + nreads), size - 2 - nreads);
  input in(bytes);
  if (form != 0) in.is.use_str_fmt(form == 2);
  try {
    // A list read consumes at least one byte; a text-form read may not move.
    const std::size_t limit = form == 0 ? bytes.size() + 1 : 8;
    const auto read = [&](std::size_t k) { return read_ops[ops[k % nreads] % std::size(read_ops)].read(in.is); };
    for (std::size_t k = 0; !in.is.at_end() && k < limit; ++k) fuzz::check(read(k), "a result breaks its contract");
    fuzz::check(form != 0 || in.is.at_end(), "reads did not reach the end");
    fuzz::check(read(0), "a result past the end breaks its contract");
    in.is.skip_rest();
  } catch (const Db_err&) {
  }
  if (form == 0) fuzz::check(walk_list(bytes).empty(), "list walk did not reach the end");
}

// The input's replies, queued on the scripted driver.
void queue_replies(scripted_driver& drv, const std::uint8_t* p, std::size_t n) {
  while (n >= 3) {
    std::size_t len = p[0] | (p[1] << 8);
    const std::size_t first = p[2];
    p += 3;
    n -= 3;
    len = std::min(len, n);
    const std::string bytes(reinterpret_cast<const char*>(p), len);
    if (first != 0 && first < len)
      drv.reply(bytes, {first});
    else
      drv.reply(bytes);
    p += len;
    n -= len;
  }
}

void run_session(const std::uint8_t* data, std::size_t size) {
  scripted_driver drv;
  drv.record = false;
  queue_replies(drv, data + 1, size - 1);
  try {
    Handle<Conn_t> conn = tcp_conn::connect("local[0]:test", "u", "p", nullptr);
    Database db(conn, (data[0] & 2) != 0);
    try {
      const auto cls = u16(u"Sample.Person"), id = u16(u"1");
      d_ref<Dyn_obj> obj = Dyn_obj::open(db, cls.data(), id.data());
      if (obj.check_null()) return;
      const Class_def* def = obj->get_class();
      for (const auto& [name, prop] : def->properties()) {
        d_string v;
        try {
          obj->get(name.c_str(), v);
          v.mb_str();
        } catch (const Db_err&) {
        }
      }
      for (const auto& [name, m] : def->methods()) {
        std::vector<d_string> values(m->args.size());
        std::vector<D_type*> args;
        for (auto& v : values) args.push_back(&v);
        try {
          obj->run_method_by_name(name.c_str(), args.data(), static_cast<int>(args.size()));
        } catch (const Db_err&) {
        }
      }
    } catch (const Db_err&) {
    }
  } catch (const Db_err&) {
  } catch (const char*) {  // how a start-up reply that refuses the client fails
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1)
    run_session(data, size);
  else
    decode_message(data + 1, size - 1);
  return 0;
}
