// The command-line client's pieces: the session it opens, command lines as
// parsed, the command table and the shell. Everything goes through the
// binding's public headers.
#pragma once

#include "output.h"

#include <torqa/torqa.h>

#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace torqa::cli {

/// Exit statuses.
enum exit_status : int { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

/// A command line that cannot be run as typed (exit status 2).
struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
/// A command that could not do its work (exit status 1); what() says why.
struct failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// The namespace used when no connection string is given.
inline constexpr const char* default_namespace = "./torqa-data";

struct connection_settings {
  std::string connect;                  ///< empty: the default namespace
  std::string user = "torqa";
  std::optional<std::string> password;  ///< unset: asked on a terminal, else empty
};

/// The connection and session of one run, opened at first use.
class session {
 public:
  explicit session(connection_settings s) : s_(std::move(s)) {}
  session(const session&) = delete;
  session& operator=(const session&) = delete;
  ~session();

  Database& db();
  bool connected() const { return db_ != nullptr; }
  /// A class definition; failure when the server does not know the class.
  const Class_def& cls(const std::string& name);
  /// The connection string as the user knows it (the default without the
  /// path of the sample schema).
  std::string display_name() const;
  /// The classes the namespace's schema declares (the server has no
  /// request that lists classes).
  std::vector<std::string> schema_classes();
  /// The namespace's schema text, as the server's schema call answers it
  /// (read once per session).
  std::string schema_text();

 private:
  std::string connection_string() const;

  connection_settings s_;
  std::unique_ptr<Handle<Conn_t>> conn_;
  std::unique_ptr<Database> db_;
  std::optional<std::string> schema_;  // the schema text, once read
};

/// Reads a password typed on the terminal without showing it, after `prompt`.
std::string ask_password(const std::string& prompt);

/// Where the sample schema is for this binary; empty when it is missing.
std::string sample_schema_path();
/// The class names a schema text declares, in order.
std::vector<std::string> schema_class_names(std::string_view schema);
/// The declared type of property `prop` of class `cls` in a schema text
/// ("list of string"); empty when the schema does not declare it.
std::string schema_property_type(std::string_view schema, std::string_view cls, std::string_view prop);

/// A command line split into its words and options.
struct invocation {
  std::vector<std::string> words;              ///< the command, then its arguments
  std::map<std::string, std::string> options;  ///< by long name; "" for flags
  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::string get(const std::string& name) const {
    const auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
  }
};

/// Separates options ("--name value", "--name=value", "-h", "-o FILE",
/// "--" ends them) from words; numbers such as "-5" are words.
invocation parse_command_line(const std::vector<std::string>& args);
/// Splits a shell line into words: blanks separate, '...' and "..." quote,
/// a backslash escapes the next character (inside "..." only \" and \\).
std::vector<std::string> split_words(std::string_view line);

/// What a command works with.
struct context {
  session& s;
  format fmt = format::table;
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  bool terminal_out = false;  ///< standard output is a terminal (progress bars)
  bool in_shell = false;
  bool in_transaction = false;  ///< the shell has a transaction open
};

struct command {
  const char* name;
  const char* synopsis;  ///< the arguments, as usage shows them
  const char* summary;
  const char* details;
  int min_args;
  int max_args;  ///< -1: any number
  std::vector<std::string> options;  ///< command options it takes (besides the global ones)
  bool shell_only;
  int (*run)(context& c, const invocation& inv);
};

const std::vector<command>& commands();
/// The import command (import.cpp).
int cmd_import(context& c, const invocation& inv);
/// The user command (user.cpp).
int cmd_user(context& c, const invocation& inv);
/// The generate command (generate.cpp) and the header it writes for a class.
int cmd_generate(context& c, const invocation& inv);
std::string proxy_header(const Class_def& cls);
const command* find_command(std::string_view name);

/// Checks the options and the argument count of `inv` for its command and
/// runs it; throws usage_error for a command line that does not fit.
int dispatch(context& c, const invocation& inv);
/// Runs `inv` and turns every error into a message on c.err and an exit
/// status; nothing escapes.
int run_guarded(context& c, const invocation& inv);

/// General help (cmd null) or the help of one command; inside the shell the
/// general help lists the shell's own commands too.
void print_help(std::ostream& os, const command* cmd, bool in_shell = false);
void print_version(std::ostream& os);

/// The interactive shell: commands on one session until "quit" or the end
/// of the input; history and completion on a terminal.
int run_shell(context& c);

/// Names the shell offers to complete, by what the user has typed.
class catalog {
 public:
  enum class kind { settable, property, stream, method, query };
  virtual ~catalog() = default;
  virtual std::vector<std::string> classes() = 0;
  virtual std::vector<std::string> members(const std::string& cls, kind k) = 0;
};
/// Completions of `word` after the words `before` on a shell line (only
/// whole words; none when the position takes no name).
std::vector<std::string> shell_completions(const std::vector<std::string>& before, std::string_view word,
                                           catalog& names);

}  // namespace torqa::cli
