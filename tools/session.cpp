// Opening the connection and the session; the default namespace and the
// sample schema it starts from; class names of a namespace's schema.
#include "cli.h"
#include "text.h"

#include <torqa/rows.h>

#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace torqa::cli {

// Reads a password from the terminal on standard input without echoing it.
// Echo goes off before the prompt shows, and what was typed before the
// prompt is discarded.
std::string ask_password(const std::string& prompt) {
  termios saved{};
  const bool tty = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (tty) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::cerr << prompt << ": " << std::flush;
  std::string password;
  std::getline(std::cin, password);
  if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::cerr << '\n';
  return password;
}

namespace {

std::string trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

session::~session() {
  db_.reset();  // the closing exchange, before the connection goes
  conn_.reset();
}

std::string sample_schema_path() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  const std::filesystem::path p = (exe.parent_path() / TORQA_SAMPLE_SCHEMA_FROM_BIN).lexically_normal();
  return std::filesystem::is_regular_file(p, ec) ? p.string() : std::string();
}

std::string session::display_name() const {
  return s_.connect.empty() ? std::string("local[]:") + default_namespace : s_.connect;
}

std::string session::connection_string() const {
  if (!s_.connect.empty()) return s_.connect;
  const std::string schema = sample_schema_path();
  std::error_code ec;
  if (schema.empty() && !std::filesystem::exists(default_namespace, ec))
    throw failure("the sample schema for a new namespace in " + std::string(default_namespace) +
                  " is missing (it belongs in share/torqa/sample/ beside the bin directory of torqa); "
                  "give a connection with --connect");
  return "local[" + (schema.empty() ? std::string() : "schema=" + schema) + "]:" + default_namespace;
}

Database& session::db() {
  if (db_) return *db_;
  std::string password;
  if (s_.password) password = *s_.password;
  else if (const char* env = std::getenv("TORQA_PASSWORD")) password = env;
  else if (isatty(STDIN_FILENO)) password = ask_password("Password for " + s_.user);

  Db_err err;
  auto conn = std::make_unique<Handle<Conn_t>>(
      tcp_conn::connect(connection_string(), s_.user, password, &err));
  if (!(*conn)->is_active()) {
    std::string why = "cannot connect to " + display_name() + ": " + error_text(err.code, err.msg);
    if (!err.diag.text.empty()) why += ": " + err.diag.text;  // the driver's reason
    if (err.code == -1014)
      why += std::string(err.diag.text.empty() ? " (wrong user or password; " : " (") +
             "a new namespace has the user torqa with the password torqa)";
    throw failure(why);
  }
  db_ = std::make_unique<Database>(*conn, true);
  conn_ = std::move(conn);
  return *db_;
}

const Class_def& session::cls(const std::string& name) {
  Database& d = db();
  const Class_def* def = d.get_classes().open(&d, text16(name).c_str());
  // Every class the server knows has methods (%New, %Save...); an unknown
  // class comes back without any definition.
  if (def->methods().empty() && def->properties().empty() && def->queries().empty())
    throw failure("class " + name + " does not exist");
  return *def;
}

std::string session::schema_text() {
  if (!schema_) {
    torqa::query q(db(), "{ call %Torqa.Schema() }");
    q.execute();
    std::string text;
    for (auto& row : q.rows()) text = row.get<std::string>(1);
    schema_ = std::move(text);
  }
  return *schema_;
}

std::vector<std::string> session::schema_classes() { return schema_class_names(schema_text()); }

namespace {

// Calls `declaration` with each trimmed line of a schema that declares
// something (outside comments and the bodies of methods, calculated
// properties and queries).
template <class F>
void schema_declarations(std::string_view schema, F declaration) {
  bool in_body = false;  // a method, calculated property or query body runs to its "end" line
  while (!schema.empty()) {
    const std::size_t nl = schema.find('\n');
    const std::string line = trimmed(schema.substr(0, nl));
    schema.remove_prefix(nl == std::string_view::npos ? schema.size() : nl + 1);
    if (in_body) {
      in_body = line != "end method" && line != "end property" && line != "end query";
      continue;
    }
    if (line.rfind("class method ", 0) == 0 || line.rfind("method ", 0) == 0 || line.rfind("query ", 0) == 0)
      in_body = true;
    else if (line.rfind("property ", 0) == 0)
      in_body = line.size() > 11 && line.compare(line.size() - 11, 11, " calculated") == 0;
    if (!line.empty() && line[0] != '#') declaration(line);
  }
}

}  // namespace

std::vector<std::string> schema_class_names(std::string_view schema) {
  std::vector<std::string> names;
  schema_declarations(schema, [&](const std::string& line) {
    if (line.rfind("class ", 0) == 0 && line.rfind("class method ", 0) != 0) names.push_back(trimmed(line.substr(6)));
  });
  return names;
}

std::string schema_property_type(std::string_view schema, std::string_view cls, std::string_view prop) {
  std::string current, type;
  schema_declarations(schema, [&](const std::string& line) {
    if (line.rfind("class ", 0) == 0 && line.rfind("class method ", 0) != 0) current = trimmed(line.substr(6));
    if (line.rfind("property ", 0) != 0 || !same_name(current, cls)) return;
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && same_name(trimmed(std::string_view(line).substr(9, colon - 9)), prop))
      type = trimmed(std::string_view(line).substr(colon + 1));
  });
  return type;
}

}  // namespace torqa::cli
