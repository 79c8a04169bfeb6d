#include "server/schema/schema.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace torqa::server {

namespace {

struct data_type_name {
  const char* name;
  data_type type;
};

constexpr data_type_name data_type_names[] = {
    {"string", data_type::string}, {"integer", data_type::integer},   {"double", data_type::double_},
    {"boolean", data_type::boolean}, {"binary", data_type::binary},   {"list", data_type::list},
    {"date", data_type::date},     {"time", data_type::time},         {"timestamp", data_type::timestamp},
    {"status", data_type::status},
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool starts_with_word(std::string_view s, std::string_view word) {
  return s.size() >= word.size() && s.substr(0, word.size()) == word &&
         (s.size() == word.size() || std::isspace(static_cast<unsigned char>(s[word.size()])));
}

bool is_identifier(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// "Package.Class": two or more identifiers without '_' joined by '.'.
bool is_class_name(std::string_view s) {
  std::size_t parts = 0;
  while (true) {
    const std::size_t dot = s.find('.');
    const std::string_view part = s.substr(0, dot);
    if (!is_identifier(part) || part.find('_') != std::string_view::npos) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    s.remove_prefix(dot + 1);
  }
  return parts >= 2;
}

std::string table_name(std::string_view cls) {
  std::string t(cls);
  std::replace(t.begin(), t.end(), '.', '_');
  return t;
}

class parser {
 public:
  parser(std::string_view text, schema_error& err) : err_(err) {
    while (!text.empty()) {
      const std::size_t nl = text.find('\n');
      std::string_view line = text.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines_.push_back(line);
      if (nl == std::string_view::npos) break;
      text.remove_prefix(nl + 1);
    }
  }

  bool run(std::vector<std::unique_ptr<class_def>>& out) {
    while (at_ < lines_.size()) {
      const std::string_view l = trim(lines_[at_++]);
      if (l.empty() || l[0] == '#') continue;
      if (!starts_with_word(l, "class")) return fail("expected 'class <Package.Name>'");
      const std::string_view name = trim(l.substr(5));
      if (!is_class_name(name)) return fail("bad class name '" + std::string(name) + "'");
      auto cls = std::make_unique<class_def>();
      cls->name = std::string(name);
      cls->table = table_name(name);
      if (!class_body(*cls)) return false;
      out.push_back(std::move(cls));
    }
    return true;
  }

 private:
  bool fail(std::string message) {
    err_.line = static_cast<int>(at_);
    err_.message = std::move(message);
    return false;
  }

  bool class_body(class_def& cls) {
    while (at_ < lines_.size()) {
      const std::string_view l = trim(lines_[at_++]);
      if (l.empty() || l[0] == '#') continue;
      if (l == "end class") return true;
      bool ok;
      if (starts_with_word(l, "property")) {
        ok = property_line(cls, trim(l.substr(8)));
      } else if (starts_with_word(l, "method")) {
        ok = method_line(cls, trim(l.substr(6)), false);
      } else if (starts_with_word(l, "class") && starts_with_word(trim(l.substr(5)), "method")) {
        ok = method_line(cls, trim(trim(l.substr(5)).substr(6)), true);
      } else if (starts_with_word(l, "query")) {
        ok = query_line(cls, trim(l.substr(5)));
      } else {
        ok = fail("expected 'property', 'method', 'class method', 'query' or 'end class'");
      }
      if (!ok) return false;
    }
    return fail("class " + cls.name + " has no 'end class'");
  }

  // The lines up to `end <what>`, joined with '\n'.
  bool body(std::string_view what, std::string& text, int& first_line) {
    const std::string end = "end " + std::string(what);
    first_line = static_cast<int>(at_) + 1;
    while (at_ < lines_.size()) {
      const std::string_view l = lines_[at_++];
      if (trim(l) == end) return true;
      text.append(l);
      text += '\n';
    }
    return fail("missing '" + end + "'");
  }

  bool parse_type(std::string_view s, value_type& t, bool allow_status) {
    for (const auto& d : data_type_names) {
      if (s == d.name) {
        if (d.type == data_type::status && !allow_status) return fail("'status' is only a method result type");
        t = {d.type, {}};
        return true;
      }
    }
    if (is_class_name(s) || (!s.empty() && s[0] == '%')) {
      t = {data_type::object, std::string(s)};
      return true;
    }
    return fail("unknown type '" + std::string(s) + "'");
  }

  bool property_line(class_def& cls, std::string_view l) {
    const std::size_t colon = l.find(':');
    if (colon == std::string_view::npos) return fail("expected 'property <Name>: <type>'");
    property p;
    p.name = std::string(trim(l.substr(0, colon)));
    if (!is_identifier(p.name)) return fail("bad property name '" + p.name + "'");
    std::string_view type_text = trim(l.substr(colon + 1));
    if (type_text.size() > 11 && type_text.substr(type_text.size() - 11) == " calculated") {
      p.kind = prop_kind::calculated;
      if (!parse_type(trim(type_text.substr(0, type_text.size() - 11)), p.type, false)) return false;
      if (p.type.type == data_type::object) return fail("a calculated property has a data type");
      if (!body("property", p.body, p.body_line)) return false;
    } else if (type_text == "character stream" || type_text == "binary stream") {
      p.kind = prop_kind::stream;
      p.is_binary = type_text[0] == 'b';
    } else if (starts_with_word(type_text, "list") && starts_with_word(trim(type_text.substr(4)), "of")) {
      p.kind = prop_kind::collection;
      if (!parse_type(trim(trim(type_text.substr(4)).substr(2)), p.type, false)) return false;
    } else if (starts_with_word(type_text, "array") && starts_with_word(trim(type_text.substr(5)), "of")) {
      p.kind = prop_kind::collection;
      p.is_array = true;
      if (!parse_type(trim(trim(type_text.substr(5)).substr(2)), p.type, false)) return false;
    } else {
      if (!parse_type(type_text, p.type, false)) return false;
      p.kind = p.type.type == data_type::object ? prop_kind::reference : prop_kind::data;
    }
    cls.props.push_back(std::move(p));
    return true;
  }

  // "(a: t, output b: t)" at the start of s; the rest after ')' is left in s.
  bool arguments(std::string_view& s, std::vector<argument>& args) {
    if (s.empty() || s[0] != '(') return fail("expected '('");
    const std::size_t close = s.find(')');
    if (close == std::string_view::npos) return fail("expected ')'");
    std::string_view list = trim(s.substr(1, close - 1));
    s = trim(s.substr(close + 1));
    while (!list.empty()) {
      const std::size_t comma = list.find(',');
      std::string_view a = trim(list.substr(0, comma));
      list = comma == std::string_view::npos ? std::string_view{} : trim(list.substr(comma + 1));
      argument arg;
      if (starts_with_word(a, "output")) {
        arg.output = true;
        a = trim(a.substr(6));
      }
      const std::size_t colon = a.find(':');
      if (colon == std::string_view::npos) return fail("expected '<name>: <type>' in the argument list");
      arg.name = std::string(trim(a.substr(0, colon)));
      if (!is_identifier(arg.name) || arg.name == "self" || arg.name == "out")
        return fail("bad argument name '" + arg.name + "'");
      if (!parse_type(trim(a.substr(colon + 1)), arg.type, false)) return false;
      for (const auto& other : args)
        if (same_name(other.name, arg.name)) return fail("argument '" + arg.name + "' is declared twice");
      args.push_back(std::move(arg));
    }
    return true;
  }

  bool method_line(class_def& cls, std::string_view l, bool class_method) {
    method m;
    m.class_method = class_method;
    const std::size_t paren = l.find('(');
    m.name = std::string(trim(l.substr(0, paren)));
    if (!is_identifier(m.name)) return fail("bad method name '" + m.name + "'");
    std::string_view rest = paren == std::string_view::npos ? std::string_view{} : l.substr(paren);
    if (!arguments(rest, m.args)) return false;
    if (!rest.empty()) {
      if (rest[0] != ':') return fail("expected ': <result type>' after the arguments");
      if (!parse_type(trim(rest.substr(1)), m.result, true)) return false;
    }
    if (!body("method", m.body, m.body_line)) return false;
    cls.methods.push_back(std::move(m));
    return true;
  }

  bool query_line(class_def& cls, std::string_view l) {
    query q;
    const std::size_t paren = l.find('(');
    q.name = std::string(trim(l.substr(0, paren)));
    if (!is_identifier(q.name)) return fail("bad query name '" + q.name + "'");
    std::string_view rest = paren == std::string_view::npos ? std::string_view{} : l.substr(paren);
    if (!arguments(rest, q.params)) return false;
    if (!rest.empty()) return fail("unexpected text after the query's parameters");
    for (const auto& p : q.params)
      if (p.output || !p.type.is_data()) return fail("query parameters are input data values");
    int line = 0;
    if (!body("query", q.sql, line)) return false;
    const auto markers = std::count(q.sql.begin(), q.sql.end(), '?');
    if (markers != static_cast<long>(q.params.size()))
      return fail("query " + q.name + " declares " + std::to_string(q.params.size()) + " parameters but has " +
                  std::to_string(markers) + " markers");
    q.sql_name = cls.table + "_" + q.name;
    cls.queries.push_back(std::move(q));
    return true;
  }

  std::vector<std::string_view> lines_;
  std::size_t at_ = 0;
  schema_error& err_;
};

method builtin(std::string name, bool class_method, value_type result, std::vector<argument> args,
               builtin_method how) {
  method m;
  m.name = std::move(name);
  m.class_method = class_method;
  m.result = std::move(result);
  m.args = std::move(args);
  m.builtin = how;
  return m;
}

const value_type t_none{};
const value_type t_string{data_type::string, {}};
const value_type t_integer{data_type::integer, {}};
const value_type t_boolean{data_type::boolean, {}};
const value_type t_binary{data_type::binary, {}};
const value_type t_status{data_type::status, {}};
value_type t_obj(std::string cls) { return {data_type::object, std::move(cls)}; }

void add_persistent_builtins(class_def& c) {
  auto& m = c.methods;
  m.push_back(builtin("%New", true, t_obj(c.name), {{"init", t_string, false}}, builtin_method::new_));
  m.push_back(builtin("%Save", false, t_status, {}, builtin_method::save));
  m.push_back(builtin("%Id", false, t_string, {}, builtin_method::id));
  m.push_back(builtin("%Oid", false, t_binary, {}, builtin_method::oid));
  m.push_back(builtin("%DeleteId", true, t_status, {{"id", t_string, false}}, builtin_method::delete_id));
  m.push_back(builtin("%Delete", true, t_status, {{"oid", t_binary, false}}, builtin_method::delete_oid));
  m.push_back(builtin("%OpenId", true, t_obj(c.name), {{"id", t_string, false}, {"concurrency", t_integer, false}},
                      builtin_method::open_id));
  m.push_back(builtin("%ExistsId", true, t_boolean, {{"id", t_string, false}}, builtin_method::exists_id));
}

std::unique_ptr<class_def> collection_class(const char* name, bool array, bool of_objects) {
  auto c = std::make_unique<class_def>();
  c->name = name;
  c->kind = array ? class_kind::array_collection : class_kind::list_collection;
  c->of_objects = of_objects;
  const value_type elem = of_objects ? t_obj("%RegisteredObject") : t_string;
  const value_type key = array ? t_string : t_integer;
  auto& m = c->methods;
  m.push_back(builtin("%New", true, t_obj(name), {{"init", t_string, false}}, builtin_method::new_));
  m.push_back(builtin("GetAt", false, elem, {{"key", key, false}}, builtin_method::get_at));
  m.push_back(builtin("SetAt", false, t_status, {{"element", elem, false}, {"key", key, false}}, builtin_method::set_at));
  m.push_back(builtin("RemoveAt", false, elem, {{"key", key, false}}, builtin_method::remove_at));
  m.push_back(builtin("GetNext", false, elem, {{"key", key, true}}, builtin_method::get_next));
  m.push_back(builtin("GetPrevious", false, elem, {{"key", key, true}}, builtin_method::get_previous));
  m.push_back(builtin("Count", false, t_integer, {}, builtin_method::count));
  m.push_back(builtin("Clear", false, t_status, {}, builtin_method::clear));
  if (!array) {
    m.push_back(builtin("InsertAt", false, t_status, {{"element", elem, false}, {"key", key, false}},
                        builtin_method::insert_at));
    m.push_back(builtin("Insert", false, t_status, {{"element", elem, false}}, builtin_method::insert));
    m.push_back(builtin("Remove", false, t_status, {{"element", elem, false}}, builtin_method::remove));
  }
  return c;
}

std::unique_ptr<class_def> stream_class(const char* name, bool binary) {
  auto c = std::make_unique<class_def>();
  c->name = name;
  c->kind = binary ? class_kind::binary_stream : class_kind::char_stream;
  const value_type data = binary ? t_binary : t_string;
  auto& m = c->methods;
  m.push_back(builtin("%New", true, t_obj(name), {{"init", t_string, false}}, builtin_method::new_));
  m.push_back(builtin("Read", false, data, {{"len", t_integer, true}}, builtin_method::read));
  m.push_back(builtin("ReadLine", false, data, {{"len", t_integer, true}}, builtin_method::read_line));
  m.push_back(builtin("Write", false, t_status, {{"data", data, false}}, builtin_method::write));
  m.push_back(builtin("Rewind", false, t_status, {}, builtin_method::rewind));
  m.push_back(builtin("MoveToEnd", false, t_status, {}, builtin_method::move_to_end));
  m.push_back(builtin("Clear", false, t_status, {}, builtin_method::clear));
  m.push_back(builtin("CopyFrom", false, t_status, {{"source", t_obj("%Library.AbstractStream"), false}},
                      builtin_method::copy_from));
  m.push_back(builtin("SizeGet", false, t_integer, {}, builtin_method::size_get));
  return c;
}

template <class T>
const T* find_named(const std::vector<T>& v, std::string_view name) {
  for (const auto& x : v)
    if (same_name(x.name, name)) return &x;
  return nullptr;
}

// Checks names and types once every class is known, and numbers slots.
bool finish(std::vector<std::unique_ptr<class_def>>& classes, const std::map<std::string, const class_def*>& by_name,
            schema_error& err) {
  // Built-in methods also name the abstract classes of their arguments.
  const auto known = [&](const value_type& t) {
    return t.type != data_type::object || by_name.count(lower(t.cls)) || t.cls == "%RegisteredObject" ||
           t.cls == "%Library.AbstractStream";
  };
  for (auto& c : classes) {
    if (!c->is_persistent()) continue;
    const auto bad = [&](const std::string& what) {
      err = {0, "class " + c->name + ": " + what};
      return false;
    };
    std::set<std::string> names{"id"};
    int slot = 0;
    for (auto& p : c->props) {
      if (!names.insert(lower(p.name)).second) return bad("property '" + p.name + "' is declared twice or named ID");
      if (!known(p.type)) return bad("property " + p.name + ": unknown class " + p.type.cls);
      if (p.type.type == data_type::object) {
        const class_def* target = by_name.at(lower(p.type.cls));
        if (!target->is_persistent()) return bad("property " + p.name + ": " + p.type.cls + " is not a persistent class");
      }
      switch (p.kind) {
        case prop_kind::data:
        case prop_kind::reference:
          p.slot = slot++;
          p.column = p.name;
          break;
        case prop_kind::stream:
          p.slot = -2;
          p.column = p.name;
          break;
        case prop_kind::collection:
          p.slot = -2;
          p.table = c->table + "_" + p.name;
          break;
        case prop_kind::calculated:
          p.slot = -1;
          break;
      }
    }
    std::set<std::string> methods;
    for (const auto& m : c->methods) {
      if (!methods.insert(lower(m.name)).second) return bad("method '" + m.name + "' is declared twice");
      if (!known(m.result)) return bad("method " + m.name + ": unknown class " + m.result.cls);
      for (const auto& a : m.args)
        if (!known(a.type)) return bad("method " + m.name + ": unknown class " + a.type.cls);
      // %New calls OnNew with its init argument.
      if (same_name(m.name, "OnNew") &&
          (m.class_method || m.args.size() != 1 || m.args[0].output || m.args[0].type.type != data_type::string))
        return bad("method OnNew is an instance method with one string argument");
    }
    std::set<std::string> queries;
    for (const auto& q : c->queries)
      if (!queries.insert(lower(q.name)).second) return bad("query '" + q.name + "' is declared twice");
    add_persistent_builtins(*c);
  }
  return true;
}

}  // namespace

std::string lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

int type_code(const value_type& t) { return t.type == data_type::none ? -1 : static_cast<int>(t.type); }

std::string type_name(const value_type& t) {
  if (t.type == data_type::object) return t.cls;
  for (const auto& d : data_type_names)
    if (d.type == t.type) return d.name;
  return "";
}

const char* sql_type(const value_type& t) {
  switch (t.type) {
    case data_type::string:
      return "VARCHAR";
    case data_type::integer:
    case data_type::object:
      return "INTEGER";
    case data_type::double_:
      return "DOUBLE";
    case data_type::boolean:
      return "BOOLEAN";
    case data_type::binary:
    case data_type::list:
      return "VARBINARY";
    case data_type::date:
      return "DATE";
    case data_type::time:
      return "TIME";
    case data_type::timestamp:
      return "TIMESTAMP";
    default:
      return "VARCHAR";
  }
}

std::string property::object_class() const {
  if (kind == prop_kind::stream) return is_binary ? binary_stream_class : char_stream_class;
  if (kind != prop_kind::collection) return type.cls;
  const bool objects = type.type == data_type::object;
  if (is_array) return objects ? array_of_objects : array_of_data_types;
  return objects ? list_of_objects : list_of_data_types;
}

const property* class_def::find_property(std::string_view n) const { return find_named(props, n); }
const method* class_def::find_method(std::string_view n) const { return find_named(methods, n); }
const query* class_def::find_query(std::string_view n) const { return find_named(queries, n); }

const property* class_def::by_slot(int slot) const {
  if (slot < 0) return nullptr;
  for (const auto& p : props)
    if (p.slot == slot) return &p;
  return nullptr;
}

std::string schema_error::what() const {
  return line > 0 ? "schema line " + std::to_string(line) + ": " + message : "schema: " + message;
}

std::shared_ptr<const schema> schema::parse(std::string_view text, schema_error& err) {
  auto s = std::make_shared<schema>();
  if (!parser(text, err).run(s->classes_)) return nullptr;
  s->classes_.push_back(collection_class(list_of_data_types, false, false));
  s->classes_.push_back(collection_class(list_of_objects, false, true));
  s->classes_.push_back(collection_class(array_of_data_types, true, false));
  s->classes_.push_back(collection_class(array_of_objects, true, true));
  s->classes_.push_back(stream_class(char_stream_class, false));
  s->classes_.push_back(stream_class(binary_stream_class, true));
  for (const auto& c : s->classes_) {
    if (!s->by_name_.emplace(lower(c->name), c.get()).second) {
      err = {0, "class " + c->name + " is declared twice"};
      return nullptr;
    }
  }
  if (!finish(s->classes_, s->by_name_, err)) return nullptr;
  return s;
}

const class_def* schema::find_class(std::string_view name) const {
  const auto it = by_name_.find(lower(name));
  return it == by_name_.end() ? nullptr : it->second;
}

const query* schema::find_procedure(std::string_view sql_name, const class_def** owner) const {
  for (const auto& c : classes_) {
    for (const auto& q : c->queries) {
      if (same_name(q.sql_name, sql_name)) {
        if (owner != nullptr) *owner = c.get();
        return &q;
      }
    }
  }
  return nullptr;
}

}  // namespace torqa::server
