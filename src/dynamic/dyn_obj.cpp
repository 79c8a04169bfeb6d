// Late-bound objects: opening through the session, properties by their
// definitions, and method calls marshalled from the declared argument list.
#include <torqa/dynamic.h>
#include <torqa/query.h>

#include "session/raise.h"

#include <memory>

namespace {

// The first reference to the object whose reference text heads `reply`;
// an error the open reported into `err` is thrown instead.
d_ref<Dyn_obj> first_ref(Database& db, t_istream& reply, const Db_err& err) {
  if (err.is_error()) torqa::detail::raise(err);
  d_ref<Dyn_obj> ref;
  ref.get(reply, &db);
  return ref;
}

// Points `reply` back at the first byte of its result.
void rewind(t_istrstream& reply) {
  const auto* buf = static_cast<const t_istrbuf*>(reply.rdbuf());
  reply.reset(const_cast<char*>(buf->begin()), static_cast<int>(buf->length()));
}

const Method_def& method(const Class_def* cls, const unsigned short* name) {
  const Method_def* m = nullptr;
  if (!cls->mtd_get(name, &m)) throw Db_err(-1, "method not found");
  return *m;
}

}  // namespace

d_ref<Dyn_obj> Dyn_obj::open_oid(Database& db, const d_binary& oid, int concurrency, int timeout) {
  Db_err err;
  t_istream& reply = db.open_obj(oid, concurrency, timeout, &err);
  return first_ref(db, reply, err);
}

d_ref<Dyn_obj> Dyn_obj::open(Database& db, const unsigned short* cls, const unsigned short* id, int concurrency,
                             int timeout) {
  Db_err err;
  t_istream& reply = db.openid_obj(cls, id, concurrency, timeout, &err);
  return first_ref(db, reply, err);
}

d_ref<Dyn_obj> Dyn_obj::create(Database& db, const unsigned short* cls, const unsigned short* arg) {
  Db_err err;
  t_istream& reply = db.make_obj(cls, arg, &err);
  return first_ref(db, reply, err);
}

Dyn_obj* Dyn_obj::make_proxy(Database* db, int oid, const unsigned short* cls) {
  std::unique_ptr<Dyn_obj> p(new Dyn_obj(db, db->get_classes().open(db, cls)));
  p->init_openref(db, oid);
  return p.release();
}

const Prop_def& Dyn_obj::prop(const unsigned short* name) const {
  const Prop_def* p = nullptr;
  if (!cls->prop_get(name, &p)) throw Db_err(-1, "property not found");
  return *p;
}

t_istream& Dyn_obj::get(const unsigned short* name) { return get_property(prop(name)); }

void Dyn_obj::get(const unsigned short* name, D_type& value) { value.get(get(name), db); }

void Dyn_obj::set(const unsigned short* name, D_type& value) { set_property(prop(name), &value); }

t_istream& Dyn_obj::get_property(const Prop_def& p) {
  return db->get_property(oid, p.slot, p.pos, p.is_data_type ? ret_data : ret_ref, p.name.c_str());
}

void Dyn_obj::set_property(const Prop_def& p, D_type* value) {
  db->set_property(oid, p.slot, p.pos, p.aux_int, p.is_data_type ? ret_data : ret_ref, p.name.c_str(), value);
}

t_istream& Dyn_obj::run_method_by_name(const unsigned short* name, D_type** args, int n) {
  return run_method(db, cls, method(cls, name), oid, args, n);
}

t_istream& Dyn_obj::run_method(Database* db, const Class_def* cls, const Method_def& m, int oid, D_type** args,
                               int n) {
  if (m.is_class_method) oid = -1;
  // Checked here as well as by the session: out_positions is filled first.
  if (n > static_cast<int>(m.args.size()) || n > Database::max_args) throw Db_err(-5, "too many arguments");

  int* out_pos = db->get_out_positions();
  int k = 0;
  for (m.arg_cursor = 0; m.arg_cursor < n; ++m.arg_cursor) {
    if (m.args[m.arg_cursor]->is_output) out_pos[k++] = m.arg_cursor + 1;
  }
  const db_ret_type rt = m.ret_type.value() == -1 ? ret_none : m.ret_is_data_type ? ret_data : ret_ref;

  t_istream& reply = db->run_method(oid, cls->get_name().c_str(), m.name.c_str(), args, n, out_pos, k, rt);
  // The result is the return value, then the output arguments in ascending
  // order: take the outputs now, and leave the return value to the caller.
  reply.skip();
  for (int j = 0; j < k; ++j) args[out_pos[j] - 1]->get(reply, db);
  rewind(db->get_reply());
  return reply;
}

t_istream& Dyn_obj::run_marked(Database* db, const Class_def* cls, int oid, const unsigned short* name, D_type** args,
                               const bool* output, int n) {
  const Method_def& m = method(cls, name);
  for (int i = 0; i < n && i < static_cast<int>(m.args.size()); ++i)
    if (m.args[i]->is_output != output[i])
      throw Db_err(-1000, "argument " + std::to_string(i + 1) +
                              (output[i] ? " is not an output argument" : " is an output argument: pass it with out()"));
  return run_method(db, cls, m, oid, args, n);
}

void Dyn_obj::get_query(const unsigned short* name, d_seq_query& query) const {
  const Query_def* q = nullptr;
  if (!cls->query_get(name, &q)) throw Db_err(-1, "query not found");
  query.prepare_call(d_string(q->sql_name.c_str()), q->par_cnt);
}

t_istream& run_class_method(Database& db, const unsigned short* cls, const unsigned short* name, D_type** args,
                            int n) {
  const Class_def* def = db.get_classes().open(&db, cls);
  return Dyn_obj::run_method(&db, def, method(def, name), -1, args, n);
}
