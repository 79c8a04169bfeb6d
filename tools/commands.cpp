// The commands: classes and their members, objects, methods, SQL, class
// queries and streams. Each works late-bound from the class definitions the
// server sends, through the binding's public API.
#include "cli.h"
#include "text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

namespace torqa::cli {

namespace {

// ---- lookups and common steps ---------------------------------------------

const Prop_def& property_of(const Class_def& cls, const std::string& name) {
  const Prop_def* p = nullptr;
  if (!cls.prop_get(text16(name).c_str(), &p)) throw failure(utf8(cls.get_name()) + " has no property " + name);
  return *p;
}

const Method_def& method_of(const Class_def& cls, const std::string& name) {
  const Method_def* m = nullptr;
  if (!cls.mtd_get(text16(name).c_str(), &m)) throw failure(utf8(cls.get_name()) + " has no method " + name);
  return *m;
}

const Query_def& query_of(const Class_def& cls, const std::string& name) {
  const Query_def* q = nullptr;
  if (!cls.query_get(text16(name).c_str(), &q)) throw failure(utf8(cls.get_name()) + " has no query " + name);
  return *q;
}

/// Opens object `id` of class `cls`; a failed open names the object.
d_ref<Dyn_obj> open_object(session& s, const std::string& cls, const std::string& id) {
  s.cls(cls);
  try {
    return Dyn_obj::open(s.db(), cls, id);
  } catch (const Db_err& e) {
    throw failure("cannot open " + cls + " " + id + ": " + error_text(e.code, e.msg));
  }
}

void check_status(const d_status& st, const std::string& what) {
  if (st.get_code() != 0) throw failure(what + ": " + error_text(st.get_code(), st.get_msg().mb_str()));
}

/// The text the server's methods printed while answering the last request.
std::string server_output(Database& db) {
  std::istream& is = db.get_output().get_istream();
  return std::string(std::istreambuf_iterator<char>(is), std::istreambuf_iterator<char>());
}

void save(Dyn_obj& obj) { check_status(d_status(obj.run_method_by_name(m_Save, nullptr, 0)), "cannot save"); }

std::vector<const Prop_def*> properties_in_order(const Class_def& cls) {
  std::vector<const Prop_def*> props;
  for (const auto& [name, p] : cls.properties()) props.push_back(p);
  std::sort(props.begin(), props.end(), [](const Prop_def* a, const Prop_def* b) { return a->aux_int < b->aux_int; });
  return props;
}

bool builtin(const db_name& n) { return n.length() > 0 && n.c_str()[0] == '%'; }

/// PROP=VALUE arguments, checked and parsed before anything is sent.
struct assignment {
  const Prop_def* prop;
  value v;
};

std::vector<assignment> assignments(session& s, const Class_def& cls, const std::vector<std::string>& words,
                                    std::size_t from) {
  std::vector<assignment> out;
  for (std::size_t i = from; i < words.size(); ++i) {
    const std::size_t eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0) throw usage_error("expected PROPERTY=VALUE, got '" + words[i] + "'");
    const std::string name = words[i].substr(0, eq);
    const Prop_def& p = property_of(cls, name);
    const prop_kind k = kind_of(p);
    if (k != prop_kind::stored && k != prop_kind::reference)
      throw failure(name + " is a " + kind_name(k) + " property and cannot be set" +
                    (k == prop_kind::char_stream || k == prop_kind::binary_stream ? " (use torqa write)" : ""));
    value v(vtype::of(p), s.db());
    try {
      v.parse(std::string_view(words[i]).substr(eq + 1));
    } catch (const bad_value& e) {
      throw failure(name + ": " + e.what());
    }
    out.push_back({&p, std::move(v)});
  }
  return out;
}

void apply(Dyn_obj& obj, std::vector<assignment>& values) {
  for (auto& a : values) obj.set(a.prop->name.c_str(), a.v.data());
}

// ---- commands --------------------------------------------------------------

int cmd_classes(context& c, const invocation&) {
  table t{{"Class", "Properties", "Methods", "Queries"}, {}};
  for (const std::string& name : c.s.schema_classes()) {
    const Class_def& cls = c.s.cls(name);
    const auto own = std::count_if(cls.methods().begin(), cls.methods().end(),
                                   [](const auto& m) { return !builtin(m.first); });
    t.rows.push_back({cell::str(name), cell::num(std::to_string(cls.properties().size())),
                      cell::num(std::to_string(own)), cell::num(std::to_string(cls.queries().size()))});
  }
  print_rows(c.out, t, c.fmt);
  return exit_ok;
}

int cmd_describe(context& c, const invocation& inv) {
  const Class_def& cls = c.s.cls(inv.words[1]);
  table t{{"Member", "Name", "Type", "Details"}, {}};
  for (const Prop_def* p : properties_in_order(cls))
    t.rows.push_back({cell::str("property"), cell::str(utf8(p->name)), cell::str(utf8(p->aux_name)),
                      cell::str(kind_name(kind_of(*p)))});

  std::vector<const Method_def*> methods;
  for (const auto& [name, m] : cls.methods()) methods.push_back(m);
  // The class's own methods first, then the built-in ones, each by name.
  std::sort(methods.begin(), methods.end(), [](const Method_def* a, const Method_def* b) {
    if (builtin(a->name) != builtin(b->name)) return builtin(b->name);
    return utf8(a->name) < utf8(b->name);
  });
  for (const Method_def* m : methods) {
    std::string args = "(";
    for (std::size_t i = 0; i < m->args.size(); ++i) {
      const Arg_def& a = *m->args[i];
      args += (i ? ", " : "") + std::string(a.is_output ? "output " : "") + utf8(a.name) + ": " + utf8(a.aux_name);
    }
    t.rows.push_back({cell::str(m->is_class_method ? "class method" : "method"), cell::str(utf8(m->name)),
                      cell::str(vtype::result_of(*m).name), cell::str(args + ")")});
  }
  for (const auto& [name, q] : cls.queries())
    t.rows.push_back({cell::str("query"), cell::str(utf8(q->name)), cell::null(),
                      cell::str(utf8(q->sql_name) + ", " + std::to_string(q->par_cnt) +
                                (q->par_cnt == 1 ? " parameter" : " parameters"))});
  print_rows(c.out, t, c.fmt);
  return exit_ok;
}

int cmd_create(context& c, const invocation& inv) {
  const std::string& cls_name = inv.words[1];
  const Class_def& cls = c.s.cls(cls_name);
  std::vector<assignment> values = assignments(c.s, cls, inv.words, 2);
  d_ref<Dyn_obj> obj = Dyn_obj::create(c.s.db(), cls_name);
  apply(*obj, values);
  save(*obj);
  const std::string id = object_id(*obj);
  if (c.fmt == format::table) c.out << id << '\n';
  else print_record(c.out, table{{"ID"}, {{id_cell(id)}}}, c.fmt);
  return exit_ok;
}

int cmd_set(context& c, const invocation& inv) {
  const Class_def& cls = c.s.cls(inv.words[1]);
  std::vector<assignment> values = assignments(c.s, cls, inv.words, 3);
  d_ref<Dyn_obj> obj = open_object(c.s, inv.words[1], inv.words[2]);
  apply(*obj, values);
  save(*obj);
  return exit_ok;
}

/// A collection's element count or a stream's size, as `show` prints them.
cell summary(Dyn_obj& obj, const Prop_def& p) {
  if (kind_of(p) == prop_kind::collection) {
    d_ref<d_collection> coll = obj.get_ref<d_collection>(p.name.c_str());
    d_int n;
    n.get(coll->run_method_by_name(m_Count, nullptr, 0), obj.get_db());
    return cell::str(std::to_string(n.value()) + (n.value() == 1 ? " element" : " elements"));
  }
  d_ref<d_stream> st = obj.get_ref<d_stream>(p.name.c_str());
  d_int n;
  n.get(st->run_method_by_name(m_SizeGet, nullptr, 0), obj.get_db());
  return cell::str(std::to_string(n.value()) + (kind_of(p) == prop_kind::char_stream ? " characters" : " bytes"));
}

int cmd_show(context& c, const invocation& inv) {
  const Class_def& cls = c.s.cls(inv.words[1]);
  std::vector<const Prop_def*> props;
  for (std::size_t i = 3; i < inv.words.size(); ++i) props.push_back(&property_of(cls, inv.words[i]));
  if (props.empty()) props = properties_in_order(cls);
  d_ref<Dyn_obj> obj = open_object(c.s, inv.words[1], inv.words[2]);
  table t{{"ID"}, {{id_cell(object_id(*obj))}}};
  // A property the server cannot send (a calculated value longer than one
  // reply, say) shows as null and is named afterwards; the others show.
  std::vector<std::string> unreadable;
  for (const Prop_def* p : props) {
    t.columns.push_back(utf8(p->name));
    const prop_kind k = kind_of(*p);
    try {
      if (k == prop_kind::collection || k == prop_kind::char_stream || k == prop_kind::binary_stream) {
        t.rows[0].push_back(summary(*obj, *p));
        continue;
      }
      value v(vtype::of(*p), c.s.db());
      obj->get(p->name.c_str(), v.data());
      t.rows[0].push_back(v.show());
    } catch (const Db_err& e) {
      t.rows[0].push_back(cell::null());
      unreadable.push_back(t.columns.back() + " cannot be shown: " + error_text(e.code, e.msg));
    }
  }
  print_record(c.out, t, c.fmt);
  for (const std::string& why : unreadable) c.err << "torqa: " << why << '\n';
  return unreadable.empty() ? exit_ok : exit_failed;
}

int cmd_call(context& c, const invocation& inv) {
  const std::string& cls_name = inv.words[1];
  const Class_def& cls = c.s.cls(cls_name);
  const Method_def& m = method_of(cls, inv.words[2]);
  const std::string mname = utf8(m.name);
  if (!m.is_class_method && !inv.has("id"))
    throw usage_error(mname + " is an instance method: give the object with --id ID");
  if (m.is_class_method && inv.has("id")) throw usage_error(mname + " is a class method: --id does not apply");

  // Trailing output arguments may be left out; they start null.
  const std::size_t declared = m.args.size();
  std::size_t required = declared;
  while (required > 0 && m.args[required - 1]->is_output) --required;
  const std::size_t given = inv.words.size() - 3;
  if (given < required || given > declared) {
    std::string names;
    for (std::size_t i = 0; i < declared; ++i) names += (i ? ", " : "") + utf8(m.args[i]->name);
    const std::string count = required == declared ? std::to_string(declared)
                                                    : std::to_string(required) + " to " + std::to_string(declared);
    throw usage_error(mname + " takes " + count + (declared == 1 ? " argument" : " arguments") +
                      (names.empty() ? "" : " (" + names + ")") + ", " + std::to_string(given) + " given");
  }

  std::vector<value> args;
  for (std::size_t i = 0; i < declared; ++i) {
    args.emplace_back(vtype::of(*m.args[i]), c.s.db());
    if (i >= given) continue;
    try {
      args.back().parse(inv.words[3 + i]);
    } catch (const bad_value& e) {
      throw failure(utf8(m.args[i]->name) + ": " + e.what());
    }
  }
  std::vector<D_type*> ptrs;
  for (auto& a : args) ptrs.push_back(&a.data());

  d_ref<Dyn_obj> target;
  if (!m.is_class_method) target = open_object(c.s, cls_name, inv.get("id"));
  t_istream* reply = nullptr;
  try {
    reply = m.is_class_method ? &run_class_method(c.s.db(), cls.get_name().c_str(), m.name.c_str(), ptrs.data(),
                                                  static_cast<int>(ptrs.size()))
                              : &target->run_method_by_name(m.name.c_str(), ptrs.data(), static_cast<int>(ptrs.size()));
  } catch (const Db_err&) {
    c.out << server_output(c.s.db());  // what the method printed before it failed
    throw;
  }
  // What the method printed comes with this reply only: the next request
  // replaces it. A table shows it as printed, before the results; CSV and
  // JSON carry it as the field "output".
  const std::string printed = server_output(c.s.db());
  const bool printed_apart = c.fmt == format::table || printed.empty();

  table t;
  std::optional<value> result;
  if (m.ret_type.value() != tc_none) {
    result.emplace(vtype::result_of(m), c.s.db());
    result->read(*reply);  // before any other request reuses the reply
    if (result->type().code == tc_status && static_cast<d_status&>(result->data()).get_code() != 0) {
      c.out << printed;
      check_status(static_cast<d_status&>(result->data()), mname);
    }
  }
  if (printed_apart) c.out << printed;
  if (!inv.has("no-save")) {
    if (target.get_proxy() != nullptr) save(*target);
    d_ref<Dyn_obj> made = result ? result->object() : d_ref<Dyn_obj>();
    if (made.get_proxy() != nullptr && object_id(*made).empty()) save(*made);
  }
  if (result) {
    t.columns.push_back("result");
    t.rows.push_back({result->show()});
  } else {
    t.rows.emplace_back();
  }
  for (std::size_t i = 0; i < declared; ++i) {
    if (!m.args[i]->is_output) continue;
    t.columns.push_back(utf8(m.args[i]->name));
    t.rows[0].push_back(args[i].show());
  }
  if (!printed_apart) {
    t.columns.push_back("output");
    t.rows[0].push_back(cell::str(printed));
  }
  if (!t.columns.empty()) print_record(c.out, t, c.fmt);
  return exit_ok;
}

// ---- collection elements -------------------------------------------------------

/// A collection property of an object, with the types of its keys and
/// elements.
struct collection {
  d_ref<d_collection> coll;
  bool array;  // text keys; a list's keys are its positions 1, 2, ...
  vtype element;
};

collection open_collection(session& s, const std::string& cls_name, Dyn_obj& obj, const Prop_def& p) {
  const std::string name = utf8(p.name);
  if (kind_of(p) != prop_kind::collection)
    throw failure(name + " is a " + kind_name(kind_of(p)) + " property, not a collection");
  // The server describes a collection property by its collection class
  // only; the element type is in the namespace's schema.
  std::string declared = schema_property_type(s.schema_text(), cls_name, name);
  const bool array = declared.rfind("array of ", 0) == 0;
  if (!array && declared.rfind("list of ", 0) != 0)
    throw failure("the schema does not declare the element type of " + name);
  return {obj.get_ref<d_collection>(p.name.c_str()), array, vtype::named(declared.substr(array ? 9 : 8))};
}

void check_status(t_istream& reply, Database& db, const std::string& what) {
  d_status st;
  st.get(reply, &db);
  check_status(st, what);
}

/// KEY=VALUE sets an element (a list's position up to one past its end),
/// +=VALUE appends one to a list, KEY= removes one.
void change_element(session& s, collection& c, const std::string& word) {
  const std::size_t eq = word.find('=');
  if (eq == std::string::npos || eq == 0)
    throw usage_error("expected KEY=VALUE, +=VALUE or KEY=, got '" + word + "'");
  const std::string key_text = word.substr(0, eq);
  value elem(c.element, s.db());
  try {
    elem.parse(std::string_view(word).substr(eq + 1));
  } catch (const bad_value& e) {
    throw failure(key_text + ": " + e.what());
  }
  D_type* args[2] = {&elem.data(), nullptr};
  if (key_text == "+") {
    if (c.array) throw usage_error("an array's elements have keys: KEY=VALUE");
    if (elem.data().is_null()) throw usage_error("'+=' needs a value");
    return check_status(c.coll->run_method_by_name(m_Insert, args, 1), s.db(), "cannot append");
  }
  value key(c.array ? vtype{tc_string, "string"} : vtype{tc_integer, "integer"}, s.db());
  try {
    key.parse(key_text);
  } catch (const bad_value& e) {
    throw failure("key " + std::string(e.what()));
  }
  if (elem.data().is_null()) {
    value removed(c.element, s.db());
    D_type* k[1] = {&key.data()};
    removed.read(c.coll->run_method_by_name(m_RemoveAt, k, 1));
    if (removed.show().k == cell::kind::null) throw failure("no element " + key_text);
    return;
  }
  args[1] = &key.data();
  check_status(c.coll->run_method_by_name(m_SetAt, args, 2), s.db(), "element " + key_text);
}

int cmd_elements(context& c, const invocation& inv) {
  const Class_def& cls = c.s.cls(inv.words[1]);
  const Prop_def& p = property_of(cls, inv.words[3]);
  d_ref<Dyn_obj> obj = open_object(c.s, inv.words[1], inv.words[2]);
  collection coll = open_collection(c.s, inv.words[1], *obj, p);
  if (inv.words.size() > 4) {
    for (std::size_t i = 4; i < inv.words.size(); ++i) change_element(c.s, coll, inv.words[i]);
    save(*obj);
    return exit_ok;
  }
  // GetNext answers the element after KEY and moves KEY on; no key (a
  // null, or for an array the empty text no element has) is the end.
  table t{{"Key", "Element"}, {}};
  value key(coll.array ? vtype{tc_string, "string"} : vtype{tc_integer, "integer"}, c.s.db());
  while (true) {
    D_type* args[1] = {&key.data()};
    value elem(coll.element, c.s.db());
    elem.read(coll.coll->run_method_by_name(m_GetNext, args, 1));
    if (key.show().k == cell::kind::null) break;
    t.rows.push_back({key.show(), elem.show()});
  }
  print_rows(c.out, t, c.fmt);
  return exit_ok;
}

// ---- SQL and class queries ---------------------------------------------------

/// Sets parameter `i` from TYPE:VALUE, "null", or a bare value read by the
/// parameter's described type.
void set_param(d_seq_query& q, int i, const std::string& text) {
  static const char* const types[] = {"int", "double", "str", "date", "time", "timestamp", "bin"};
  std::string type;
  std::string_view v = text;
  const std::size_t colon = text.find(':');
  for (const char* t : types)
    if (colon != std::string::npos && text.compare(0, colon, t) == 0) type = t;
  if (!type.empty()) v.remove_prefix(colon + 1);
  else if (text == "null") type = "null";
  else {
    switch (q.param_info(i).sql_type) {
      case SQL_INTEGER: case SQL_SMALLINT: case SQL_TINYINT: case SQL_BIGINT: case SQL_BIT: type = "int"; break;
      case SQL_DOUBLE: case SQL_FLOAT: case SQL_REAL: case SQL_NUMERIC: case SQL_DECIMAL: type = "double"; break;
      case SQL_TYPE_DATE: case SQL_DATE: type = "date"; break;
      case SQL_TYPE_TIME: case SQL_TIME: type = "time"; break;
      case SQL_TYPE_TIMESTAMP: case SQL_TIMESTAMP: type = "timestamp"; break;
      case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY: type = "bin"; break;
      default: type = "str"; break;
    }
  }
  try {
    if (type == "null") {
      q.set_par(i);
    } else if (type == "int") {
      const std::int64_t n = parse_int(v);
      // Beyond 32 bits the number travels as text, which SQL reads as a number.
      if (n >= INT32_MIN && n <= INT32_MAX) q.set_par(i, static_cast<int>(n));
      else q.set_par(i, d_string(std::to_string(n).c_str()));
    } else if (type == "double") {
      q.set_par(i, parse_double(v));
    } else if (type == "date") {
      int y = 0, m = 0, d = 0;
      parse_date(v, y, m, d);
      q.set_par(i, d_date(y, m, d));
    } else if (type == "time") {
      int h = 0, m = 0, s = 0;
      parse_time(v, h, m, s);
      q.set_par(i, d_time(h, m, s));
    } else if (type == "timestamp") {
      int p[6];
      parse_timestamp(v, p);
      q.set_par(i, d_timestamp(p[0], p[1], p[2], p[3], p[4], p[5]));
    } else if (type == "bin") {
      const std::string bytes = parse_hex(v);
      q.set_par(i, d_binary(bytes.data(), bytes.size()));
    } else {
      q.set_par(i, d_string(v.data(), v.size()));
    }
  } catch (const bad_value& e) {
    throw failure("parameter " + std::to_string(i) + ": " + e.what());
  }
}

/// Column `i` of the current row, read by the column's SQL type.
cell read_column(const torqa::query::row& row, int i, SQLSMALLINT sql_type) {
  const auto when = [](const auto& v, auto text) { return v.is_null() ? cell::null() : cell::str(text(v)); };
  switch (sql_type) {
    case SQL_INTEGER: case SQL_SMALLINT: case SQL_TINYINT: case SQL_BIT: {
      const auto v = row.get<std::optional<int>>(i);
      return v ? cell::num(std::to_string(*v)) : cell::null();
    }
    case SQL_DOUBLE: case SQL_FLOAT: case SQL_REAL: case SQL_NUMERIC: case SQL_DECIMAL: {
      const auto v = row.get<std::optional<double>>(i);
      return v ? cell::num(format_double(*v)) : cell::null();
    }
    case SQL_TYPE_DATE: case SQL_DATE:
      return when(row.get<d_date>(i), [](const d_date& v) { return format_date(*v.get_tm()); });
    case SQL_TYPE_TIME: case SQL_TIME:
      return when(row.get<d_time>(i), [](const d_time& v) { return format_time(*v.get_tm()); });
    case SQL_TYPE_TIMESTAMP: case SQL_TIMESTAMP:
      return when(row.get<d_timestamp>(i), [](const d_timestamp& v) { return format_timestamp(*v.get_tm()); });
    case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY:
      return when(row.get<d_binary>(i), [](const d_binary& v) { return to_hex(v.bytes()); });
    default: {
      // Text, and 64-bit integers, which d_int would cut to 32 bits.
      const auto v = row.get<std::optional<std::string>>(i);
      if (!v) return cell::null();
      return sql_type == SQL_BIGINT ? cell::num(*v) : cell::str(*v);
    }
  }
}

/// Sets the parameters, runs the prepared query and prints its rows.
int run_query(context& c, torqa::query& q, const std::vector<std::string>& params, const std::string& what) {
  if (static_cast<int>(params.size()) != q.param_count())
    throw usage_error(what + " takes " + std::to_string(q.param_count()) +
                      (q.param_count() == 1 ? " parameter, " : " parameters, ") + std::to_string(params.size()) +
                      " given");
  for (std::size_t i = 0; i < params.size(); ++i) set_param(q, static_cast<int>(i) + 1, params[i]);
  q.execute();
  table t;
  std::vector<SQLSMALLINT> types;
  for (int i = 1; i <= q.column_count(); ++i) {
    const abs_d_query::column& col = q.column_info(i);
    d_string name;
    name.assign(col.name, static_cast<unsigned short>(std::clamp<int>(col.name_len, 0, 256)));
    t.columns.push_back(name.mb_str());
    types.push_back(col.sql_type);
  }
  // A failed run, or rows that end early, throw the driver's reason. A
  // statement without columns (INSERT, UPDATE, ...) has no rows.
  for (auto& row : q.rows()) {
    std::vector<cell> cells;
    for (std::size_t i = 0; i < types.size(); ++i) cells.push_back(read_column(row, static_cast<int>(i) + 1, types[i]));
    t.rows.push_back(std::move(cells));
  }
  if (types.empty()) q.close();  // walking rows closes a result; a statement without one is closed here
  if (!t.columns.empty()) print_rows(c.out, t, c.fmt);
  return exit_ok;
}

int cmd_sql(context& c, const invocation& inv) {
  torqa::query q(c.s.db(), inv.words[1]);
  return run_query(c, q, std::vector<std::string>(inv.words.begin() + 2, inv.words.end()), "the statement");
}

int cmd_query(context& c, const invocation& inv) {
  const Class_def& cls = c.s.cls(inv.words[1]);
  const Query_def& def = query_of(cls, inv.words[2]);
  torqa::query q(c.s.db(), utf8(cls.get_name()), utf8(def.name));
  return run_query(c, q, std::vector<std::string>(inv.words.begin() + 3, inv.words.end()), utf8(def.name));
}

// ---- streams -----------------------------------------------------------------

const Prop_def& stream_property(const Class_def& cls, const std::string& name) {
  const Prop_def& p = property_of(cls, name);
  const prop_kind k = kind_of(p);
  if (k != prop_kind::char_stream && k != prop_kind::binary_stream)
    throw failure(name + " is a " + kind_name(k) + " property, not a stream");
  return p;
}

int cmd_read(context& c, const invocation& inv) {
  const Class_def& cls = c.s.cls(inv.words[1]);
  const Prop_def& p = stream_property(cls, inv.words[3]);
  d_ref<Dyn_obj> obj = open_object(c.s, inv.words[1], inv.words[2]);
  d_ref<d_stream> st = obj->get_ref<d_stream>(p.name.c_str());
  st->run_method_by_name(m_Rewind, nullptr, 0);

  std::ofstream file;
  std::ostream* os = &c.out;
  if (inv.has("output")) {
    file.open(inv.get("output"), std::ios::binary);
    if (!file) throw failure("cannot write " + inv.get("output") + ": " + std::strerror(errno));
    os = &file;
  }
  const bool chars = kind_of(p) == prop_kind::char_stream;
  while (true) {
    d_int len(0);  // as much as one reply holds; -1 comes back at the end
    std::string piece;
    if (chars) {
      d_string data;
      st->read(len, data);
      piece = data.mb_str();
    } else {
      d_binary data;
      st->read(len, data);
      piece = data.bytes();
    }
    if (len.value() < 0 || (len.value() == 0 && piece.empty())) break;
    os->write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
  os->flush();
  if (!*os) throw failure("cannot write the stream's data");
  return exit_ok;
}

int cmd_write(context& c, const invocation& inv) {
  const Class_def& cls = c.s.cls(inv.words[1]);
  const Prop_def& p = stream_property(cls, inv.words[3]);
  std::ifstream file;
  std::istream* is = &c.in;
  if (inv.words.size() > 4 && inv.words[4] != "-") {
    file.open(inv.words[4], std::ios::binary);
    if (!file) throw failure("cannot read " + inv.words[4] + ": " + std::strerror(errno));
    is = &file;
  }
  d_ref<Dyn_obj> obj = open_object(c.s, inv.words[1], inv.words[2]);
  d_ref<d_stream> st = obj->get_ref<d_stream>(p.name.c_str());
  if (!inv.has("append")) st->run_method_by_name(m_Clear, nullptr, 0);

  // Pieces of at most 32000 bytes: one value holds 65535 bytes, and text
  // doubles in size on its way to a 16-bit namespace. Text is cut between
  // characters.
  constexpr std::size_t piece_size = 32000;
  const bool chars = kind_of(p) == prop_kind::char_stream;
  std::string buf;
  while (true) {
    const std::size_t kept = buf.size();
    buf.resize(piece_size);
    is->read(buf.data() + kept, static_cast<std::streamsize>(piece_size - kept));
    buf.resize(kept + static_cast<std::size_t>(is->gcount()));
    const bool end = !*is;
    const std::size_t n = chars && !end ? utf8_complete(buf) : buf.size();
    if (n > 0) {
      if (chars) st->write(d_string(buf.data(), n));
      else st->write(d_binary(buf.data(), n));
    }
    buf.erase(0, n);
    if (end) break;
  }
  if (is->bad()) throw failure("cannot read the input");
  save(*obj);
  return exit_ok;
}

// ---- session and help ----------------------------------------------------------

int cmd_begin(context& c, const invocation&) {
  c.s.db().start_transaction();
  return exit_ok;
}
int cmd_commit(context& c, const invocation&) {
  c.s.db().commit();
  return exit_ok;
}
int cmd_rollback(context& c, const invocation&) {
  c.s.db().rollback();
  return exit_ok;
}

int cmd_help(context& c, const invocation& inv) {
  if (inv.words.size() < 2) {
    print_help(c.out, nullptr, c.in_shell);
    return exit_ok;
  }
  const command* cmd = find_command(inv.words[1]);
  if (cmd == nullptr) throw usage_error("unknown command '" + inv.words[1] + "'");
  print_help(c.out, cmd);
  return exit_ok;
}

int cmd_shell(context& c, const invocation&) { return run_shell(c); }

}  // namespace

const std::vector<command>& commands() {
  static const std::vector<command> table = {
      {"classes", "", "list the classes of the namespace",
       "Lists the classes declared in the namespace's schema, with the number of their\n"
       "properties, methods (built-in ones not counted) and queries.",
       0, 0, {}, false, cmd_classes},
      {"describe", "CLASS", "show the properties, methods and queries of a class",
       "One line per member: properties with their type and kind (stored, reference, calculated,\n"
       "collection, character stream, binary stream), methods with their arguments and result type,\n"
       "and class queries with their stored procedure and parameter count.",
       1, 1, {}, false, cmd_describe},
      {"create", "CLASS [PROPERTY=VALUE]...", "create and save an object; prints its id",
       "Creates an object of CLASS, sets the properties given, saves it and prints its id.\n"
       "Values are typed by the property: integers, numbers (1.5), booleans (true, false),\n"
       "dates (YYYY-MM-DD), times (HH:MM:SS), timestamps (YYYY-MM-DD HH:MM:SS), binary as hex\n"
       "digits, lists as [1, 2.5, \"text\"], references as the id of the object referred to.\n"
       "An empty value is null.",
       1, -1, {}, false, cmd_create},
      {"show", "CLASS ID [PROPERTY]...", "show an object's properties",
       "Prints the properties of object ID of CLASS (all of them, or those named): values of data,\n"
       "reference and calculated properties, the element count of collections and the size of\n"
       "streams. A property the server cannot send shows empty and is named on standard error\n"
       "(exit status 1). 'elements' lists a collection's elements.",
       2, -1, {}, false, cmd_show},
      {"set", "CLASS ID PROPERTY=VALUE...", "set properties of an object and save it",
       "Sets the properties given on object ID of CLASS and saves it. Values are written as for\n"
       "'create'.",
       3, -1, {}, false, cmd_set},
      {"call", "[--id ID] CLASS METHOD [ARG]...", "call a class method, or an instance method with --id",
       "Calls METHOD of CLASS with the arguments given, typed by the method's declaration, and\n"
       "prints the result and the output arguments. An instance method needs the object: --id ID.\n"
       "Output arguments at the end of the list may be left out. After an instance method the object\n"
       "is saved, and an object the method returns is saved when it is new; --no-save saves nothing.\n"
       "A method that returns an error status fails with its code and message. What the method\n"
       "prints comes first; with --format csv or json it is the field 'output'.",
       2, -1, {"id", "no-save"}, false, cmd_call},
      {"elements", "CLASS ID PROPERTY [KEY=VALUE|+=VALUE|KEY=]...", "list or change the elements of a collection",
       "Without changes, lists the elements of the collection PROPERTY of object ID of CLASS with\n"
       "their keys: a list's positions 1, 2, ..., an array's text keys. Changes, applied in order,\n"
       "then the object saved: KEY=VALUE sets the element at KEY (a list's position up to one past\n"
       "its end), +=VALUE appends to a list, KEY= removes the element at KEY (a list closes the gap).\n"
       "Elements are written as values of the element type ('create'); objects by their id. The\n"
       "element type comes from the namespace's schema.",
       3, -1, {}, false, cmd_elements},
      {"sql", "STATEMENT [PARAMETER]...", "run an SQL statement with parameters",
       "Runs STATEMENT with a parameter for each '?' and prints the rows. A parameter is TYPE:VALUE\n"
       "(int, double, str, date, time, timestamp, bin), the word null, or a bare value read by the\n"
       "type the driver describes for it. Each class is the table Package_Class.",
       1, -1, {}, false, cmd_sql},
      {"query", "CLASS QUERY [PARAMETER]...", "run a class query and print its rows",
       "Runs the named query of CLASS (see 'describe') with its parameters, written as for 'sql',\n"
       "and prints the rows.",
       2, -1, {}, false, cmd_query},
      {"read", "CLASS ID PROPERTY", "write a stream property to standard output",
       "Reads the character or binary stream PROPERTY of object ID of CLASS from its start and\n"
       "writes it to standard output, or to FILE with --output FILE.",
       3, 3, {"output"}, false, cmd_read},
      {"write", "CLASS ID PROPERTY [FILE]", "fill a stream property from standard input or a file",
       "Replaces the content of the stream PROPERTY of object ID of CLASS with FILE (or standard\n"
       "input when FILE is missing or '-') and saves the object; --append adds to the end instead.",
       3, 4, {"append"}, false, cmd_write},
      {"import", "CLASS FILE", "create objects from the rows of a CSV file",
       "Reads FILE ('-' for standard input) as CSV: a header line of property names, then one object\n"
       "per line, values written as for 'create' (quote fields that hold commas, quotes or line\n"
       "breaks). The file is read as a stream; rows are saved in transactions of 500. Malformed rows\n"
       "and rows the server refuses are reported on standard error with their line number and\n"
       "skipped; the others are saved. After five failures in a row with the same error (a full\n"
       "disk) the import stops. Ends with the count of rows saved and rejected; the exit status is 1\n"
       "when any was rejected. A progress bar is shown while standard output is a terminal.",
       2, 2, {}, false, cmd_import},
      {"user", "add|passwd|remove NAME", "add a user, change a password or remove a user",
       "Adds user NAME, changes its password or removes it; only the user torqa may, and torqa\n"
       "cannot be removed. The new password is asked twice on a terminal, otherwise read from the\n"
       "first line of standard input.",
       2, 2, {}, false, cmd_user},
      {"generate", "[--output DIR] [--all] [CLASS]...", "write typed C++ proxy headers for classes",
       "Writes DIR/Package/Class.h (default DIR: the current directory) for each CLASS, or for every\n"
       "class of the schema with --all: a proxy class Package::Class with an accessor and a setter per\n"
       "property and a function per method, used through d_ref<Package::Class>. Prints the paths\n"
       "written.\n"
       "Names are given in this order: the built-in methods without '%' (Save, Id, ...), readers P,\n"
       "setters set_P, the class's methods. One that is a C++ keyword, a member of the proxy (create,\n"
       "open, close, call, db, d_int, ...), the class's own name or a name given before takes a\n"
       "trailing '_': a property Save is read by Save_(). A method answering an object gives a\n"
       "d_ref<Dyn_obj>, or through a proxy named with M<Package::Class>(...).",
       0, -1, {"output", "all"}, false, cmd_generate},
      {"shell", "", "run commands interactively on one session",
       "Reads commands, one per line, without the word 'torqa', on one session: objects stay open\n"
       "and 'begin', 'commit' and 'rollback' frame transactions. On a terminal the line can be edited,\n"
       "history is kept in ~/.torqa_history, and Tab completes commands and the names of classes,\n"
       "properties, methods and queries. 'quit' or end of input leaves. Read from a file or a pipe,\n"
       "lines starting with '#' are comments and the exit status is 1 when any command failed.",
       0, 0, {}, false, cmd_shell},
      {"begin", "", "start a transaction (shell)", "Starts a transaction; transactions nest.", 0, 0, {}, true,
       cmd_begin},
      {"commit", "", "commit the innermost transaction (shell)",
       "Commits the innermost transaction; the outermost commit makes the work durable.", 0, 0, {}, true,
       cmd_commit},
      {"rollback", "", "roll back every open transaction (shell)", "Rolls back every open transaction.", 0, 0, {},
       true, cmd_rollback},
      {"help", "[COMMAND]", "show help", "Shows the general help, or the help of COMMAND.", 0, 1, {}, false,
       cmd_help},
  };
  return table;
}

const command* find_command(std::string_view name) {
  for (const command& c : commands())
    if (name == c.name) return &c;
  return nullptr;
}

void print_version(std::ostream& os) { os << "torqa " << TORQA_VERSION << '\n'; }

void print_help(std::ostream& os, const command* cmd, bool in_shell) {
  static const char* const option_help[][2] = {
      {"id", "--id ID            the object whose instance method is called"},
      {"no-save", "--no-save          save neither the object nor a new result"},
      {"output", "-o, --output FILE  write to FILE instead of standard output"},
      {"append", "--append           add to the end of the stream"},
      {"all", "--all              every class of the schema"},
  };
  if (cmd != nullptr) {
    os << "Usage: torqa " << cmd->name << (*cmd->synopsis ? " " : "") << cmd->synopsis << "\n\n"
       << static_cast<char>(std::toupper(static_cast<unsigned char>(cmd->summary[0]))) << cmd->summary + 1
       << ".\n\n"
       << cmd->details << '\n';
    if (!cmd->options.empty()) {
      os << "\nOptions:\n";
      for (const auto& o : cmd->options)
        for (const auto& h : option_help)
          if (o == h[0]) os << "  " << h[1] << '\n';
    }
    os << "\nGlobal options (--connect, --user, --password, --format): see 'torqa --help'.\n";
    return;
  }
  const auto line = [&](std::string head, const char* summary, const char* name) {
    if (head.size() > 36) head = name;
    os << "  " << head << std::string(38 - head.size(), ' ') << summary << '\n';
  };
  if (in_shell) {
    os << "Commands, one per line, on the shell's session:\n";
    for (const command& c : commands())
      if (c.run != cmd_shell) line(std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis, c.summary, c.name);
    line("quit", "leave the shell (an open transaction is rolled back)", "quit");
    os << "\n'COMMAND --help' explains a command; --format applies to one line.\n";
    return;
  }
  os << "Usage: torqa [OPTIONS] COMMAND [ARGUMENTS]\n\n"
        "Works with the classes and objects of a torqa object database.\n\n"
        "Commands:\n";
  for (const command& c : commands())
    if (!c.shell_only) line(std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis, c.summary, c.name);
  os << "\nOptions:\n"
        "  --connect STRING   connection string (also TORQA_CONNECT); the default, local[]:./torqa-data,\n"
        "                     is an embedded namespace made from the sample schema on first use\n"
        "  --user NAME        user name (also TORQA_USER; default torqa)\n"
        "  --password TEXT    password (also TORQA_PASSWORD; asked for on a terminal otherwise)\n"
        "  --password-file FILE  the password is the first line of FILE\n"
        "  --format FORMAT    table (default), csv or json\n"
        "  -h, --help         this help; 'torqa COMMAND --help' explains a command\n"
        "  --version          the version\n\n"
        "A new namespace has the user torqa with the password torqa.\n"
        "Exit status: 0 success, 1 the command failed, 2 the command line is wrong.\n";
}

int dispatch(context& c, const invocation& inv) {
  const command* cmd = find_command(inv.words.at(0));
  if (cmd == nullptr) throw usage_error("unknown command '" + inv.words[0] + "'");
  if (inv.has("help")) {
    print_help(c.out, cmd);
    return exit_ok;
  }
  if (cmd->shell_only && !c.in_shell) throw usage_error(std::string(cmd->name) + " works inside the shell only");
  for (const auto& [name, v] : inv.options) {
    const bool connection = name == "connect" || name == "user" || name == "password" || name == "password-file";
    if (connection && c.in_shell) throw usage_error("--" + name + " cannot change inside the shell");
    if (connection || name == "format" || name == "version") continue;
    if (std::find(cmd->options.begin(), cmd->options.end(), name) == cmd->options.end())
      throw usage_error("option --" + name + " does not apply to " + cmd->name);
  }
  if (inv.has("format")) {
    const std::string f = inv.get("format");
    if (f == "table") c.fmt = format::table;
    else if (f == "csv") c.fmt = format::csv;
    else if (f == "json") c.fmt = format::json;
    else throw usage_error("unknown format '" + f + "' (table, csv or json)");
  }
  const int n = static_cast<int>(inv.words.size()) - 1;
  if (n < cmd->min_args || (cmd->max_args >= 0 && n > cmd->max_args))
    throw usage_error(std::string(cmd->name) + ": wrong number of arguments (" + std::to_string(n) + ")");
  if (c.in_shell && cmd->run == cmd_shell) throw usage_error("already in the shell");
  return cmd->run(c, inv);
}

int run_guarded(context& c, const invocation& inv) {
  try {
    return dispatch(c, inv);
  } catch (const usage_error& e) {
    c.err << "torqa: " << e.what() << '\n';
    const command* cmd = inv.words.empty() ? nullptr : find_command(inv.words[0]);
    if (cmd != nullptr) c.err << "Usage: torqa " << cmd->name << (*cmd->synopsis ? " " : "") << cmd->synopsis << '\n';
    else c.err << "Try 'torqa --help'.\n";
    return exit_usage;
  } catch (const failure& e) {
    c.err << "torqa: " << e.what() << '\n';
  } catch (const Db_err& e) {
    c.err << "torqa: " << error_text(e.code, e.msg) << '\n';
  } catch (const char* e) {
    c.err << "torqa: " << e << '\n';
  } catch (const std::exception& e) {
    c.err << "torqa: " << e.what() << '\n';
  }
  return exit_failed;
}

}  // namespace torqa::cli
