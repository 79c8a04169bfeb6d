// The object requests of a session: opens, object creation, method calls,
// property reads and writes, and the server's decoding of a status.
#include <torqa/names.h>
#include <torqa/session.h>

#include <array>

namespace {

// Writes a class, method or property name (or the texts of an open by
// name) as a name value: 16-bit text to a 16-bit server, 8-bit otherwise.
void put_name(t_ostream& os, const unsigned short* name) { db_name(name).put(os, nullptr); }

// Writes a request's payload; a value that refuses to be written leaves
// no partial message behind for the next request.
template <class Write>
void build(t_otcpstream& out, Write write) {
  try {
    write();
  } catch (...) {
    out.restart();
    throw;
  }
}

}  // namespace

t_istream& Database::open_obj(const d_binary& oid, int opt1, int opt2, Db_err* e) {
  if (e != nullptr) e->clear();
  build(out, [&] {
    flush_cache();
    oid.put(out, this);
    out << opt1 << opt2;
  });
  send_msg("B9");
  try {
    get_common();
  } catch (const Db_err& failure) {
    if (e != nullptr) *e = failure;
  }
  return reply;
}

t_istream& Database::openid_obj(const unsigned short* text1, const unsigned short* text2, int opt1, int opt2,
                                Db_err* e) {
  if (e != nullptr) e->clear();
  build(out, [&] {
    flush_cache();
    put_name(out, text1);
    put_name(out, text2);
    out << opt1 << opt2;
  });
  send_msg("BG");
  try {
    get_common();
  } catch (const Db_err& failure) {
    if (e != nullptr) *e = failure;
  }
  return reply;
}

t_istream& Database::make_obj(const unsigned short* cls, const unsigned short* arg, Db_err* e) {
  if (e != nullptr) e->clear();
  try {
    // The argument gets a name of its own: `cls` may point into
    // db_name::cmn (a class name that get_oref_n_name handed out).
    db_name name;
    int n = 0;
    if (arg != nullptr) {
      name = arg;
      args[n++] = &name;
    }
    return run_method(-1, cls, m_New, args, n, nullptr, 0, ret_ref);
  } catch (const Db_err& failure) {
    if (e != nullptr) *e = failure;
  }
  return reply;
}

t_istream& Database::run_method(int oid, const unsigned short* cls, const unsigned short* mtd, D_type** argv,
                                int nargs, const int* out_pos, int nout, db_ret_type rt) {
  if (nargs > max_args || nout > max_args) throw Db_err(-5, "too many arguments");
  build(out, [&] {
    flush_cache();
    out << oid;
    put_name(out, cls);
    put_name(out, mtd);
    out << (rt == ret_ref) << nargs;
    std::array<int, max_args> refs;  // 1-based positions of the reference arguments
    int nrefs = 0;
    for (int i = 0; i < nargs; ++i) {
      argv[i]->put(out, this);
      if (dynamic_cast<const abs_d_ref*>(argv[i]) != nullptr) refs[nrefs++] = i + 1;
    }
    out << nout;
    for (int i = 0; i < nout; ++i) out << out_pos[i];
    out << nrefs;
    for (int i = 0; i < nrefs; ++i) out << refs[i];
  });
  send_msg(rt == ret_none ? "B8" : "B7");
  get_common();
  return reply;
}

t_istream& Database::get_property(int oid, int slot, int pos, db_ret_type rt, const unsigned short* name) {
  if (cache != nullptr && cache->get_property(oid, slot, pos, rt == ret_ref, uni_srv, &reply)) return reply;
  build(out, [&] {
    flush_cache();
    out << oid;
    put_name(out, name);
    out << (rt == ret_ref);
  });
  send_msg("BH");
  get_common();
  return reply;
}

void Database::set_property(int oid, int slot, int pos, int z, db_ret_type rt, const unsigned short* name,
                            D_type* value) {
  if (cache != nullptr && cache->set_property(oid, slot, pos, z, rt == ret_ref, name, value)) return;
  build(out, [&] {
    flush_cache();
    out << oid;
    put_name(out, name);
    out << (rt == ret_ref);
    value->put(out, this);
  });
  send_msg("BI");
  get_common();
}

void d_status::get_from_srv(Database* db, const char* text, Db_err* err) {
  thread_local d_string request_text;
  request_text = d_string(text);
  build(db->out, [&] {
    put(db->out, db);
    request_text.put(db->out, db);
  });
  db->send_msg("BJ");
  if (err != nullptr)
    err->get(db->in);
  else
    db->in.skip();
  code.get(db->in, db);
  msg.get(db->in, db);
}
