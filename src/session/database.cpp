// The session: start-up and closing exchanges, the request/reply cycle, the
// common head of replies and the error path.
#include <torqa/list.h>
#include <torqa/session.h>

#include "session/raise.h"

#include <cstdint>
#include <exception>
#include <iostream>

namespace {

constexpr double client_version = 2.08;

}  // namespace

Database::Database(const Handle<Conn_t>& c, bool use_cache) : conn(c), reply(result_buf, 0) {
  if (conn.get() == nullptr) throw Db_err(-1000, "Connection is not active");
  conn->acquire();
  try {
    conn->open_channel(&channel);
    in.set_channel(channel);
    out.set_channel(channel);
    if (use_cache) cache = new Cache_ant(this);

    out << client_version << (use_cache ? 1 : 0) << false << false;
    send_msg("B0");
    std::int64_t ok = 0, uni = 0;
    double srv_version = 0;
    bool null_flag = false;
    in.read_int(ok, null_flag);
    in.read_double(srv_version, null_flag);
    in.read_int(uni, null_flag);
    srv_name.get(in, this);
    in.skip_rest();
    if (ok == 0) throw "the server does not support the client";
    uni_srv = uni != 0;
    out.set_uni_srv(uni_srv);

    if (const auto* tcp = dynamic_cast<const tcp_conn*>(conn.get())) {
      hdbc = tcp->get_hdbc();
      hstmt = tcp->get_hstmt();
    }
  } catch (...) {
    teardown();
    throw;
  }
}

Database::~Database() {
  // The closing exchange reports on std::cerr only: a destructor must not
  // throw, whether the server or the transport fails.
  try {
    flush_cache();
    out << (cache != nullptr) << 1;
    send_msg("B1");
    for (int i = 0; i < 2; ++i) {
      err.get(in);
      if (err.code != 0) std::cerr << err << '\n';
    }
  } catch (const Db_err& e) {
    std::cerr << e << '\n';
  } catch (const char* text) {
    std::cerr << Db_err(-1, text) << '\n';
  } catch (const std::exception& e) {
    std::cerr << Db_err(-1, e.what()) << '\n';
  } catch (...) {
    std::cerr << Db_err(-1, "unknown failure while closing the session") << '\n';
  }
  teardown();
}

void Database::send_msg(const char* code) {
  out.send(code);
  out.restart();
  in.clear_reply();
  in.next_chunk();
}

void Database::get_common() {
  reply.reset(result_buf, 0);
  bool is_uni = false;
  unsigned short len = 0;
  in.read_bytes(is_uni, result_buf, sizeof result_buf, len);
  if (is_uni) throw Db_err(-1, "assertion failed in Database::get_common()");
  reply.reset(result_buf, len);
  reply.use_list_fmt();

  err.get(in);
  in.read_str(is_uni, err_text);
  in >> output;
  if (cache != nullptr) cache->load(in);
  if (err.code != 0) throw_err(err);

  // The second error field holds one more error record.
  if (err_text.empty()) {
    err.clear();
  } else {
    t_istrstream record(err_text.data(), static_cast<int>(err_text.size()));
    err.get(record);
  }
  if (err.code != 0) throw_err(err);
}

void Database::throw_err(const Db_err& e) { torqa::detail::raise(e); }

void Database::flush_cache() {
  if (cache != nullptr) cache->flush(out);
}

void Database::teardown() {
  delete cache;
  cache = nullptr;
  if (channel != nullptr) conn->close_channel(channel);
  channel = nullptr;
  conn->release();
}

void Database::close_obj(int oid) {
  if (cache != nullptr) return cache->close_obj(oid);
  out << oid;
  send_msg("B6");
  err.get(in);
  if (err.code != 0) throw_err(err);
}

void Database::transaction(trans_flag_t flag, Db_err* e) {
  if (e != nullptr) e->clear();
  flush_cache();
  out << d_int(flag);
  send_msg("BB");
  try {
    get_common();
  } catch (const Db_err& failure) {
    if (e != nullptr) *e = failure;
  }
  // Cached values may show the changes a rollback undid.
  if (flag == trans_rollback && cache != nullptr) cache->drop_all();
}

void Database::start_transaction() {
  Db_err e;
  transaction(trans_start, &e);
  if (e.code != 0) throw_err(e);
}

void Database::commit() {
  Db_err e;
  transaction(trans_commit, &e);
  if (e.code != 0) throw_err(e);
}

void Database::rollback() {
  Db_err e;
  transaction(trans_rollback, &e);
  if (e.code != 0) throw_err(e);
}

d_list::d_list(const Database& db) { set_uni_srv(db.is_uni_srv()); }
