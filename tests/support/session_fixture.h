// A session over the scripted driver for the tests of the layers above the
// session, and builders of class-definition replies ("B2" to "B4").
#pragma once

#include "support/scripted_driver.h"
#include "support/thrown.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace torqa::test {

/// A session on a scripted connection: started on construction (its "B0"
/// request and the connection's statement calls forgotten) and ended, the
/// closing exchange answered, at the end.
struct session {
  explicit session(bool use_cache = false, bool uni_srv = false) {
    start(use_cache, startup_reply(true, uni_srv));
    drv.requests.clear();
    clear();
  }
  ~session() { end(); }

  void start(bool use_cache = false, const std::string& startup = startup_reply()) {
    drv.reply(startup);
    db.emplace(conn, use_cache);
  }
  /// Ends the session, the server answering "B1" with two clear records.
  void end() {
    if (!db) return;
    drv.reply(bytes_elem("") + bytes_elem(""));
    db.reset();
  }
  /// Forgets the statement calls and executions recorded so far.
  void clear() {
    drv.sql_calls.clear();
    drv.executions.clear();
  }
  const request& last() const { return drv.requests.back(); }
  /// The last request's payload as hex text ("" when none was sent).
  std::string last_hex() const { return drv.requests.empty() ? "" : hex(last().payload); }
  /// The last request as its code and payload: "B6 03 04 07".
  std::string sent() const { return drv.requests.empty() ? "" : last().code + " " + last_hex(); }
  /// Every request sent, as sent() gives it, each followed by "; ".
  std::string all_sent() const {
    std::string out;
    for (const request& r : drv.requests) out += r.code + " " + hex(r.payload) + "; ";
    return out;
  }

  scripted_driver drv;
  Handle<Conn_t> conn = tcp_conn::connect("local[0]:test", "u", "p", nullptr);
  std::optional<Database> db;
};

/// 8-bit text as one element.
inline void text(t_ostream& o, const char* s) { o.put_str(0, s, static_cast<unsigned short>(std::strlen(s))); }

/// A reply to "B2", "B3" or "B4": no error, a success status, the records.
inline std::string defs(const std::string& records = "") { return bytes_elem("") + bytes_elem("1") + records; }

inline std::string prop_record(const char* name, int slot, bool data_type = true, int pos = 0, int aux_int = 0) {
  return elems([&](t_ostream& o) {
    text(o, "aux");
    o << 3;
    text(o, "aux2");
    o << data_type;
    text(o, name);
    o << slot << pos << aux_int;
  });
}

/// A method record; `outputs` gives each argument's is_output flag.
inline std::string method_record(const char* name, const std::vector<bool>& outputs, int ret_type = 1,
                                 bool ret_data = true, bool class_method = false) {
  return elems([&](t_ostream& o) {
    o << class_method;
    text(o, "aux");
    o << ret_type << ret_data << false;
    text(o, name);
    o << static_cast<int>(outputs.size());
    for (bool out : outputs) {
      text(o, "aux");
      o << 0 << false << out;
      text(o, "arg");
      o << false;
      text(o, "aux text");
    }
  });
}

inline std::string query_record(const char* name, const char* sql_name, int par_cnt) {
  return elems([&](t_ostream& o) {
    text(o, name);
    text(o, sql_name);
    o << par_cnt;
  });
}

/// A typed reference read from the text `ref` ("7@%ListOfDataTypes"), whose
/// class is loaded with the method records `methods`; requests forgotten.
template <class T>
d_ref<T> typed_ref(session& s, const char* ref, const std::string& methods) {
  s.drv.reply(defs());
  s.drv.reply(defs(methods));
  s.drv.reply(defs());
  std::string bytes = elems([&](t_ostream& o) { text(o, ref); });
  t_istrstream in(bytes.data(), static_cast<int>(bytes.size()));
  d_ref<T> r;
  r.get(in, &*s.db);
  s.drv.requests.clear();
  return r;
}

/// Drops the last reference `r`, answering the close ("B6") it sends.
template <class T>
void close_ref(session& s, d_ref<T>& r) {
  s.drv.reply(bytes_elem(""));
  r.set_null();
}

}  // namespace torqa::test
