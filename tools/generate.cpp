// The generate command: one C++ header per server class, written from the
// class metadata the server answers. Each header declares a proxy class
// derived from torqa::proxy (see <torqa/proxy.h>) with a typed accessor per
// property and a member function per method, the property's slot, position
// and index written in, so the proxy needs no metadata at run time.
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

// Names the server sends become C++ identifiers; anything else (the other
// side is not trusted to send only identifiers) stops the generation rather
// than writing it into source code.
std::string identifier(const std::string& name, const std::string& what) {
  static const std::set<std::string> reserved = {
      "alignas", "alignof", "and", "asm", "auto", "bool", "break", "case", "catch", "char", "class", "const",
      "constexpr", "continue", "default", "delete", "do", "double", "else", "enum", "explicit", "export", "extern",
      "false", "float", "for", "friend", "goto", "if", "inline", "int", "long", "mutable", "namespace", "new",
      "noexcept", "not", "nullptr", "operator", "or", "private", "protected", "public", "register", "return",
      "short", "signed", "sizeof", "static", "struct", "switch", "template", "this", "throw", "true", "try",
      "typedef", "typename", "union", "unsigned", "using", "virtual", "void", "volatile", "while", "xor"};
  if (!is_identifier(name)) throw failure(what + " '" + name + "' is not a C++ identifier");
  return reserved.count(name) ? name + "_" : name;
}

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

/// Overloads of a setter that take plain C++ values, by value class.
std::vector<std::pair<std::string, std::string>> plain_setters(const vtype& t) {
  switch (t.code) {
    case tc_string: return {{"std::string_view v", "text(v)"}, {"const char* v", "text(v)"}};
    case tc_binary: return {{"std::string_view v", "bytes(v)"}, {"const char* v", "bytes(v)"}};
    case tc_integer: return {{"long long v", "integer(v)"}};
    case tc_boolean: return {{"bool v", "d_int(v ? 1 : 0)"}};
    case tc_double: return {{"double v", "d_double(v)"}};
    default: return {};
  }
}

std::string u16_literal(const db_name& n) { return "u\"" + utf8(n) + "\""; }

void write_property(std::ostream& os, const Prop_def& p, std::set<std::string>& refs) {
  const std::string name = identifier(utf8(p.name), "property name");
  const std::string type = property_type(p, refs);
  const std::string rt = p.is_data_type ? "ret_data" : "ret_ref";
  const std::string where = std::to_string(p.slot) + ", " + std::to_string(p.pos);
  const prop_kind k = kind_of(p);
  os << "  /// " << utf8(p.name) << ": " << utf8(p.aux_name) << " (" << kind_name(k) << ")\n"
     << "  " << type << ' ' << name << "() { return get_property<" << type << ">(" << where << ", " << rt << ", "
     << u16_literal(p.name) << "); }\n";
  if (k != prop_kind::stored && k != prop_kind::reference) return;
  os << "  void set_" << name << "(const " << type << "& v) { set_property(" << where << ", " << p.aux_int << ", "
     << rt << ", " << u16_literal(p.name) << ", v); }\n";
  if (k == prop_kind::stored)
    for (const auto& [param, conv] : plain_setters(vtype::of(p)))
      os << "  void set_" << name << '(' << param << ") { set_" << name << '(' << conv << "); }\n";
}

void write_method(std::ostream& os, const Method_def& m, const std::string& name) {
  const vtype result = vtype::result_of(m);
  const bool none = m.ret_type.value() == -1;
  // The metadata does not name the class of an object result: it is read
  // late-bound.
  const std::string type = none ? "void" : result.code == tc_object ? "d_ref<Dyn_obj>" : value_class(result);
  const std::string rt = none ? "ret_none" : m.ret_is_data_type ? "ret_data" : "ret_ref";
  std::string params = m.is_class_method ? "Database& db" : "";
  std::string args;
  std::string doc;
  for (const Arg_def* a : m.args) {
    const std::string an = identifier(utf8(a->name), "argument name");
    const std::string at = value_class(vtype::of(*a));
    if (at.empty()) throw failure("argument " + utf8(a->name) + " of " + utf8(m.name) + " is an object");
    params += std::string(params.empty() ? "" : ", ") + (a->is_output ? at + "& " : "const " + at + "& ") + an;
    args += ", " + (a->is_output ? "torqa::out(" + an + ")" : an);
    doc += std::string(doc.empty() ? "" : ", ") + (a->is_output ? "output " : "") + utf8(a->name);
  }
  os << "  /// " << (m.is_class_method ? "Class method " : "Method ") << utf8(m.name) << '(' << doc << ')'
     << (none ? "" : ": " + result.name) << '\n'
     << "  " << (m.is_class_method ? "static " : "") << type << ' ' << name << '(' << params << ") {\n"
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

  std::set<std::string> refs;
  std::ostringstream body;
  for (const Prop_def* p : props) write_property(body, *p, refs);

  // The class's own methods under their names; built-in ones without the
  // '%' unless that name is taken. %New and %OpenId are create() and open().
  std::set<std::string> own;
  for (const auto& [n, m] : cls.methods())
    if (utf8(n)[0] != '%') own.insert(identifier(utf8(n), "method name"));
  std::vector<std::pair<std::string, const Method_def*>> methods;
  for (const auto& [n, m] : cls.methods()) methods.emplace_back(utf8(n), m);
  std::sort(methods.begin(), methods.end(), [](const auto& a, const auto& b) {
    return std::make_pair(a.first[0] == '%', a.first) < std::make_pair(b.first[0] == '%', b.first);
  });
  for (const auto& [raw, m] : methods) {
    if (raw == "%New" || raw == "%OpenId") continue;
    std::string name = identifier(raw[0] == '%' ? raw.substr(1) : raw, "method name");
    if (raw[0] == '%' && own.count(name)) continue;
    body << '\n';
    write_method(body, *m, name);
  }

  std::ostringstream os;
  os << "// Generated by torqa generate from the class " << full << "; do not edit.\n"
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
