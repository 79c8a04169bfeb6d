// Class definitions fetched from the server: "B2" lists a class's
// properties, "B3" its methods, "B4" its queries. Each reply is an error
// record, a status (an error status means the class has no definitions of
// that kind), then records until the end of the reply.
#include <torqa/metadata.h>
#include <torqa/session.h>

#include "session/raise.h"

#include <algorithm>
#include <cstdint>
#include <memory>

namespace {

name_key key_of(const unsigned short* name) {
  static const unsigned short none = 0;
  if (name == nullptr) return {&none, 0};
  std::size_t n = 0;
  while (name[n] != 0) ++n;
  return {name, n};
}

template <class Map, class Rec>
bool lookup(const Map& map, const unsigned short* name, const Rec** out) {
  const auto it = map.find(key_of(name));
  if (it == map.end()) return false;
  *out = it->second;
  return true;
}

// The low 32 bits of an integer element (0 when it is not a number).
int read_i32(t_istream& in) {
  std::int64_t v = 0;
  bool null_flag = false;
  in.read_int(v, null_flag);
  return null_flag ? 0 : static_cast<int>(static_cast<std::uint32_t>(v));
}

bool read_bool(t_istream& in) {
  std::int64_t v = 0;
  bool null_flag = false;
  in.read_int(v, null_flag);
  return !null_flag && v != 0;
}

// Files `rec` under its name unless a record of that name is already there.
template <class Map, class Rec>
void keep_first(Map& map, std::unique_ptr<Rec> rec) {
  if (map.try_emplace(rec->name, rec.get()).second) rec.release();
}

std::unique_ptr<Prop_def> read_prop(t_istream& in) {
  auto p = std::make_unique<Prop_def>();
  p->aux_name.get(in, nullptr);
  p->aux_code.get(in, nullptr);
  p->aux_name2.get(in, nullptr);
  p->is_data_type = read_bool(in);
  p->name.get(in, nullptr);
  p->slot = read_i32(in);
  p->pos = read_i32(in);
  p->aux_int = read_i32(in);
  return p;
}

std::unique_ptr<Arg_def> read_arg(t_istream& in) {
  auto a = std::make_unique<Arg_def>();
  a->aux_name.get(in, nullptr);
  a->aux_code.get(in, nullptr);
  a->aux_flag = read_bool(in);
  a->is_output = read_bool(in);
  a->name.get(in, nullptr);
  a->aux_flag2 = read_bool(in);
  bool is_uni = false;
  in.read_str(is_uni, a->aux_text);
  return a;
}

std::unique_ptr<Method_def> read_method(t_istream& in) {
  auto m = std::make_unique<Method_def>();
  m->is_class_method = read_bool(in);
  m->aux_name.get(in, nullptr);
  m->ret_type.get(in, nullptr);
  m->ret_is_data_type = read_bool(in);
  m->aux_flag = read_bool(in);
  m->name.get(in, nullptr);
  const int n = read_i32(in);
  // The count comes from the server: reserve no more than a call can use;
  // a count larger than the reply holds ends in a read past its end.
  m->args.reserve(static_cast<std::size_t>(std::clamp(n, 0, Database::max_args)));
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<Arg_def> a = read_arg(in);
    m->args.push_back(a.get());
    a.release();
  }
  return m;
}

std::unique_ptr<Query_def> read_query(t_istream& in) {
  auto q = std::make_unique<Query_def>();
  q->name.get(in, nullptr);
  q->sql_name.get(in, nullptr);
  q->par_cnt = read_i32(in);
  return q;
}

template <class Map>
void delete_values(Map& map) {
  for (auto& entry : map) delete entry.second;
}

}  // namespace

Method_def::~Method_def() {
  for (Arg_def* a : args) delete a;
}

Class_def::Class_def(const unsigned short* name) : name(name) {}

Class_def::~Class_def() {
  delete_values(props);
  delete_values(mtds);
  delete_values(qrys);
}

bool Class_def::prop_get(const unsigned short* name, const Prop_def** out) const {
  return lookup(props, name, out);
}

bool Class_def::mtd_get(const unsigned short* name, const Method_def** out) const {
  return lookup(mtds, name, out);
}

bool Class_def::query_get(const unsigned short* name, const Query_def** out) const {
  return lookup(qrys, name, out);
}

Class_def_set::~Class_def_set() { delete_values(classes); }

Class_def* Class_def_set::open(Database* db, const unsigned short* name) {
  if (const auto it = classes.find(key_of(name)); it != classes.end()) return it->second;

  auto def = std::make_unique<Class_def>(name);
  t_itcpstream& in = db->in;
  // Sends the class name under `code` and reads the reply's head; false when
  // the class has no definitions of this kind.
  const auto request = [&](const char* code) {
    def->name.put(db->out, db);
    db->send_msg(code);
    db->err.get(in);
    if (db->err.is_error()) torqa::detail::raise(db->err);
    if (d_status(in).get_code() == 0) return true;
    in.skip_rest();
    return false;
  };
  if (request("B2")) {
    while (!in.at_end()) keep_first(def->props, read_prop(in));
  }
  if (request("B3")) {
    while (!in.at_end()) keep_first(def->mtds, read_method(in));
  }
  if (request("B4")) {
    while (!in.at_end()) keep_first(def->qrys, read_query(in));
  }

  Class_def* result = def.get();
  classes.emplace(result->name, result);
  def.release();
  return result;
}
