// The generate command: one C++ header per server class, written from the
// class metadata the server answers. Each header declares a proxy class
// derived from torqa::proxy (see <torqa/proxy.h>) with a typed accessor per
// property and a member function per method, the property's slot, position
// and index written in, so the proxy needs no metadata at run time.
//
// Member names: the built-in methods without their '%' (Save, Id, ...), the
// property readers P, the setters set_P and the class's own methods, given
// in that order. A name that is a C++ keyword, a name the proxy or the
// generated code itself uses (create, open, close, call, db, d_int, ...), the
// class's own name, or a name already given gets a trailing '_', as many as
// it takes: a property Save is read by Save_(), a method set_Age beside a
// property Age is set_Age_(), a property class is class_(). Arguments follow
// the same rule among themselves.
#include "cli.h"
#include "text.h"
#include "values.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace torqa::cli {

namespace {

bool is_identifier(std::string_view s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  return std::all_of(s.begin(), s.end(), [](char ch) {
    return ch == '_' || std::isalnum(static_cast<unsigned char>(ch)) != 0;
  });
}

const std::set<std::string>& cxx_keywords() {
  static const std::set<std::string> words = {
      "alignas", "alignof", "and", "and_eq", "asm", "auto", "bitand", "bitor", "bool", "break", "case", "catch",
      "char", "char8_t", "char16_t", "char32_t", "class", "compl", "concept", "const", "consteval", "constexpr",
      "constinit", "const_cast", "continue", "co_await", "co_return", "co_yield", "decltype", "default", "delete",
      "do", "double", "dynamic_cast", "else", "enum", "explicit", "export", "extern", "false", "float", "for",
      "friend", "goto", "if", "inline", "int", "long", "mutable", "namespace", "new", "noexcept", "not", "not_eq",
      "nullptr", "operator", "or", "or_eq", "private", "protected", "public", "register", "reinterpret_cast",
      "requires", "return", "short", "signed", "sizeof", "static", "static_assert", "static_cast", "struct",
      "switch", "template", "this", "thread_local", "throw", "true", "try", "typedef", "typeid", "typename",
      "union", "unsigned", "using", "virtual", "void", "volatile", "wchar_t", "while", "xor", "xor_eq"};
  return words;
}

// Names an argument must not take: those the generated code uses in a
// member function.
const std::set<std::string>& code_names() {
  static const std::set<std::string> names = {
      "db", "call", "call_class", "torqa", "std", "T", "Database", "Dyn_obj", "d_ref", "d_string", "d_int",
      "d_double", "d_binary", "d_list", "d_date", "d_time", "d_timestamp", "d_status", "d_collection",
      "d_stream", "ret_data", "ret_ref", "ret_none"};
  return names;
}

// Names a member must not take: those and the proxy's own members.
const std::set<std::string>& proxy_names() {
  static const std::set<std::string> names = [] {
    std::set<std::string> n = code_names();
    n.insert({"get_db", "get_oid", "is_closed", "init_openref", "close", "oid", "closed", "refs", "make_proxy",
              "create", "open", "name", "get_property", "set_property", "first_ref", "class_name", "proxy", "D_type",
              "Obj_t", "db_ret_type"});
    return n;
  }();
  return names;
}

// Names the server sends become C++ identifiers; anything else (the other
// side is not trusted to send only identifiers) stops the generation rather
// than writing it into source code.
std::string identifier(const std::string& name, const std::string& what) {
  if (!is_identifier(name)) throw failure(what + " '" + name + "' is not a C++ identifier");
  return cxx_keywords().count(name) ? name + "_" : name;
}

/// Hands out the names of one scope by the rule at the top of this file:
/// the members of a class (`self` its name) or the arguments of a method.
class scope_names {
 public:
  explicit scope_names(const std::set<std::string>& reserved, std::string self = "")
      : reserved_(reserved), given_{std::move(self)} {}
  std::string give(const std::string& raw, const std::string& what) {
    std::string n = identifier(raw, what);
    while (reserved_.count(n) || cxx_keywords().count(n) || given_.count(n)) n += '_';
    given_.insert(n);
    return n;
  }

 private:
  const std::set<std::string>& reserved_;
  std::set<std::string> given_;
};

/// A class name split into its package levels and the class itself.
std::vector<std::string> name_parts(const std::string& cls) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t dot = cls.find('.', from);
    parts.push_back(identifier(cls.substr(from, dot - from), "class name part"));
    if (dot == std::string::npos) return parts;
    from = dot + 1;
  }
}

std::string qualified(const std::string& cls) {
  std::string q;
  for (const std::string& p : name_parts(cls)) q += "::" + p;
  return q;
}

std::string header_path(const std::string& cls) {
  std::string path;
  for (const std::string& p : name_parts(cls)) path += (path.empty() ? "" : "/") + p;
  return path + ".h";
}

/// The value class of a declared type; "" for an object of unknown class.
std::string value_class(const vtype& t) {
  switch (t.code) {
    case tc_string: return "d_string";
    case tc_integer:
    case tc_boolean: return "d_int";
    case tc_double: return "d_double";
    case tc_binary: return "d_binary";
    case tc_list: return "d_list";
    case tc_date: return "d_date";
    case tc_time: return "d_time";
    case tc_timestamp: return "d_timestamp";
    case tc_status: return "d_status";
    case tc_object: return "";
  }
  throw failure("type code " + std::to_string(t.code) + " of '" + t.name + "' is unknown");
}

/// A property's C++ type and whether it is read as a reference.
std::string property_type(const Prop_def& p, std::set<std::string>& refs) {
  switch (kind_of(p)) {
    case prop_kind::collection: return "d_ref<d_collection>";
    case prop_kind::char_stream:
    case prop_kind::binary_stream: return "d_ref<d_stream>";
    case prop_kind::reference: {
      const std::string cls = utf8(p.aux_name);
      refs.insert(cls);
      return "d_ref<" + qualified(cls) + ">";
    }
    case prop_kind::stored:
    case prop_kind::calculated: break;
  }
  const std::string v = value_class(vtype::of(p));
  if (v.empty()) throw failure("property " + utf8(p.name) + " has no value class");
  return v;
}

std::string u16_literal(const db_name& n) { return "u\"" + utf8(n) + "\""; }

/// A property and the names of its reader and setter.
struct property_names {
  const Prop_def* p;
  std::string reader;
  std::string setter;  // "" when the property cannot be set
};

void write_property(std::ostream& os, const property_names& names, std::set<std::string>& refs) {
  const Prop_def& p = *names.p;
  const std::string type = property_type(p, refs);
  const std::string rt = p.is_data_type ? "ret_data" : "ret_ref";
  const std::string where = std::to_string(p.slot) + ", " + std::to_string(p.pos);
  os << "  /// " << utf8(p.name) << ": " << utf8(p.aux_name) << " (" << kind_name(kind_of(p)) << ")\n"
     << "  " << type << ' ' << names.reader << "() { return get_property<" << type << ">(" << where << ", " << rt
     << ", " << u16_literal(p.name) << "); }\n";
  if (names.setter.empty()) return;
  // Plain C++ values (text, integers, doubles, std::optional) convert to
  // the value class; a boolean also takes any truth value.
  os << "  void " << names.setter << "(const " << type << "& v) { set_property(" << where << ", " << p.aux_int
     << ", " << rt << ", " << u16_literal(p.name) << ", v); }\n";
  if (kind_of(p) == prop_kind::stored && vtype::of(p).code == tc_boolean)
    os << "  void " << names.setter << "(bool v) { " << names.setter << "(d_int(v ? 1 : 0)); }\n";
}

void write_method(std::ostream& os, const Method_def& m, const std::string& name) {
  const vtype result = vtype::result_of(m);
  const bool none = m.ret_type.value() == -1;
  // The metadata does not name the class of an object result: the caller
  // names the proxy class, or reads it late-bound.
  const bool object = !none && result.code == tc_object;
  const std::string type = none ? "void" : object ? "d_ref<T>" : value_class(result);
  const std::string rt = none ? "ret_none" : m.ret_is_data_type ? "ret_data" : "ret_ref";
  std::string params = m.is_class_method ? "Database& db" : "";
  std::string args;
  std::string doc;
  scope_names arg_names(code_names());
  for (const Arg_def* a : m.args) {
    const std::string an = arg_names.give(utf8(a->name), "argument name");
    const std::string at = value_class(vtype::of(*a));
    if (at.empty()) throw failure("argument " + utf8(a->name) + " of " + utf8(m.name) + " is an object");
    params += std::string(params.empty() ? "" : ", ") + (a->is_output ? at + "& " : "const " + at + "& ") + an;
    args += ", " + (a->is_output ? "torqa::out(" + an + ")" : an);
    doc += std::string(doc.empty() ? "" : ", ") + (a->is_output ? "output " : "") + utf8(a->name);
  }
  os << "  /// " << (m.is_class_method ? "Class method " : "Method ") << utf8(m.name) << '(' << doc << ')'
     << (none ? "" : ": " + result.name) << '\n';
  if (object)
    os << "  /// The metadata does not name the result's class: " << name << "<Package::Class>(...) reads it\n"
       << "  /// through that proxy (an object of another class throws Db_err -1000), " << name
       << "(...) late-bound.\n"
       << "  template <class T = Dyn_obj>\n";
  os << "  " << (m.is_class_method ? "static " : "") << type << ' ' << name << '(' << params << ") {\n"
     << "    return " << (m.is_class_method ? "call_class<" + type + ">(db, " : "call<" + type + ">(")
     << u16_literal(m.name) << ", " << rt << args << ");\n"
     << "  }\n";
}

}  // namespace

std::string proxy_header(const Class_def& cls) {
  const std::string full = utf8(cls.get_name());
  std::vector<std::string> parts = name_parts(full);
  const std::string self = parts.back();
  parts.pop_back();

  std::vector<const Prop_def*> props;
  for (const auto& [n, p] : cls.properties()) props.push_back(p);
  std::sort(props.begin(), props.end(), [](const Prop_def* a, const Prop_def* b) { return a->aux_int < b->aux_int; });
  // Built-in methods first, then the class's own, each by name. %New and
  // %OpenId are create() and open().
  std::vector<std::pair<std::string, const Method_def*>> methods;
  for (const auto& [n, m] : cls.methods()) {
    const std::string raw = utf8(n);
    if (raw != "%New" && raw != "%OpenId") methods.emplace_back(raw, m);
  }
  std::sort(methods.begin(), methods.end(), [](const auto& a, const auto& b) {
    return std::make_pair(a.first[0] != '%', a.first) < std::make_pair(b.first[0] != '%', b.first);
  });

  // Names are given in the order of the rule at the top of this file.
  scope_names names(proxy_names(), self);
  std::vector<std::string> method_names;
  for (const auto& [raw, m] : methods)
    if (raw[0] == '%') method_names.push_back(names.give(raw.substr(1), "method name"));
  std::vector<property_names> prop_names;
  for (const Prop_def* p : props) prop_names.push_back({p, names.give(utf8(p->name), "property name"), ""});
  for (property_names& pn : prop_names) {
    const prop_kind k = kind_of(*pn.p);
    if (k == prop_kind::stored || k == prop_kind::reference)
      pn.setter = names.give("set_" + utf8(pn.p->name), "property name");
  }
  for (const auto& [raw, m] : methods)
    if (raw[0] != '%') method_names.push_back(names.give(raw, "method name"));

  std::set<std::string> refs;
  std::ostringstream body;
  for (const property_names& pn : prop_names) write_property(body, pn, refs);
  for (std::size_t i = 0; i < methods.size(); ++i) {
    body << '\n';
    write_method(body, *methods[i].second, method_names[i]);
  }

  std::ostringstream os;
  os << "// Generated by torqa generate from the class " << full << "; do not edit.\n"
     << "// Members, named in this order: the built-in methods without '%' (Save, Id, ...), a reader P\n"
     << "// per property, a setter set_P per property that can be set, a function per method. A name\n"
     << "// that is a C++ keyword, one the proxy uses (create, open, close, call, db, d_int, ...), the\n"
     << "// class's own, or one named before gets a trailing '_' (as many as it takes).\n"
     << "#pragma once\n\n#include <torqa/proxy.h>\n\n";
  const std::string depth_up = [&] {
    std::string up;
    for (std::size_t i = 0; i < parts.size(); ++i) up += "../";
    return up;
  }();
  // Referenced classes are declared first and their headers included after
  // this class, so classes that refer to each other compile in any order.
  refs.erase(full);
  for (const std::string& r : refs) {
    std::vector<std::string> rp = name_parts(r);
    const std::string last = rp.back();
    rp.pop_back();
    std::string outer;
    for (const std::string& p : rp) outer += (outer.empty() ? "" : "::") + p;
    if (outer.empty()) os << "class " << last << ";\n";
    else os << "namespace " << outer << " { class " << last << "; }\n";
  }
  std::string ns;
  for (const std::string& p : parts) ns += (ns.empty() ? "" : "::") + p;
  if (!ns.empty()) os << "\nnamespace " << ns << " {\n";
  os << "\nclass " << self << " : public torqa::proxy<" << self << "> {\n"
     << " public:\n"
     << "  static constexpr char16_t class_name[] = u\"" << full << "\";\n\n"
     << body.str() << "};\n";
  if (!ns.empty()) os << "\n}  // namespace " << ns << '\n';
  for (const std::string& r : refs) os << "\n#include \"" << depth_up << header_path(r) << "\"";
  if (!refs.empty()) os << '\n';
  return os.str();
}

int cmd_generate(context& c, const invocation& inv) {
  std::vector<std::string> classes(inv.words.begin() + 1, inv.words.end());
  if (inv.has("all")) {
    if (!classes.empty()) throw usage_error("generate: --all takes no class names");
    classes = c.s.schema_classes();
  } else if (classes.empty()) {
    throw usage_error("generate: name the classes, or --all");
  }
  const std::filesystem::path dir = inv.has("output") ? inv.get("output") : ".";
  for (const std::string& name : classes) {
    const std::string text = proxy_header(c.s.cls(name));
    const std::filesystem::path path = dir / header_path(name);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    if (!f.flush()) throw failure("cannot write " + path.string());
    if (c.fmt == format::table) c.out << path.string() << '\n';
  }
  return exit_ok;
}

}  // namespace torqa::cli
