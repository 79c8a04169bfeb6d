// The session: one Database per connection.
//
// The constructor claims the connection, opens the message channel and
// performs the start-up exchange; the destructor performs the closing
// exchange, prints its errors to std::cerr ("Error: code = ..." lines) and
// gives the connection back; it never throws. In between, every request is
// one strict send-then-read exchange; the returned t_istream& (the session's
// reply stream) is valid until the next request. Server errors are thrown as
// Db_err, Err_open_obj (-9) or Err_close_obj (-7), except where a function
// takes a Db_err*. Proxies and references must be gone before their session.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. Nothing is
// locked: the rule is the caller's to keep.
#pragma once

#include <torqa/cache.h>
#include <torqa/connection.h>
#include <torqa/errors.h>
#include <torqa/export.h>
#include <torqa/message_streams.h>
#include <torqa/metadata.h>
#include <torqa/objects.h>
#include <torqa/output.h>
#include <torqa/streams.h>
#include <torqa/types.h>

/// What a request's result is: a data value, an object reference, nothing.
enum db_ret_type { ret_data = 0, ret_ref = 1, ret_none = 3 };

class TORQA_API Database {
 public:
  /// Transaction operations sent with "BB". Transactions nest: each start
  /// opens a level, commit closes the innermost level (the outermost commit
  /// makes the work durable), rollback undoes every open level.
  enum trans_flag_t { trans_start = 1, trans_commit = 2, trans_rollback = 3 };

  /// Maximum arguments and output positions of one method call.
  static constexpr int max_args = 128;

  /// Claims `conn` and starts the session; `use_cache` creates the property
  /// cache. Throws Db_err -1000 "Connection is not active" / "Connection is
  /// busy", transport errors, or the const char* "the server does not
  /// support the client".
  Database(const Handle<Conn_t>& conn, bool use_cache);
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Object requests. Errors of the opens and make_obj go to `err` (when
  // given) and the function returns normally.
  t_istream& open_obj(const d_binary& oid, int opt1, int opt2, Db_err* err);
  t_istream& openid_obj(const unsigned short* text1, const unsigned short* text2, int opt1, int opt2,
                        Db_err* err);
  t_istream& make_obj(const unsigned short* cls, const unsigned short* arg, Db_err* err);
  /// Calls method `mtd` of object `oid` (-1: a class method of `cls`). More
  /// than max_args arguments or output positions: Db_err -5 "too many
  /// arguments", nothing sent.
  t_istream& run_method(int oid, const unsigned short* cls, const unsigned short* mtd, D_type** args,
                        int nargs, const int* out_pos, int nout, db_ret_type rt);
  t_istream& get_property(int oid, int slot, int pos, db_ret_type rt, const unsigned short* name);
  void set_property(int oid, int slot, int pos, int z, db_ret_type rt, const unsigned short* name,
                    D_type* value);

  /// Transaction framing; server errors are thrown.
  void start_transaction();
  void commit();
  void rollback();

  // Accessors used by proxies, the cache, class metadata, dynamic objects
  // and queries.
  t_itcpstream& get_in() { return in; }
  t_otcpstream& get_out() { return out; }
  t_istrstream& get_reply() { return reply; }
  Cache* get_cache() const { return cache; }
  Class_def_set& get_classes() { return classes; }
  Proxies_info& get_proxies() { return proxies; }
  int* get_out_positions() { return out_positions; }
  bool is_uni_srv() const { return uni_srv; }
  void* get_hdbc() const { return hdbc; }
  void* get_hstmt() const { return hstmt; }
  char* get_result_buf() { return result_buf; }
  db_output& get_output() { return output; }
  const Db_err& get_err() const { return err; }
  const db_name& get_srv_name() const { return srv_name; }
  const Handle<Conn_t>& get_conn() const { return conn; }

 private:
  friend class Obj_t;          // close_obj
  friend class Class_def_set;  // "B2" to "B4"
  friend class d_status;       // "BJ"

  void send_msg(const char* code);
  void get_common();
  [[noreturn]] void throw_err(const Db_err& e);
  void flush_cache();
  void teardown();
  void close_obj(int oid);
  void transaction(trans_flag_t flag, Db_err* err);

  Handle<Conn_t> conn;
  void* hdbc = nullptr;
  void* hstmt = nullptr;
  int out_positions[max_args] = {};
  D_type* args[max_args] = {};
  void* channel = nullptr;
  t_itcpstream in;
  t_otcpstream out;
  db_output output;
  alignas(8) char result_buf[32768];
  t_istrstream reply;
  Db_err err;
  std::string err_text;
  Cache* cache = nullptr;
  Class_def_set classes;
  Proxies_info proxies;
  bool uni_srv = false;
  db_name srv_name;
};
