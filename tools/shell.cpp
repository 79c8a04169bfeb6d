// The interactive shell: one session, commands read line by line. On a
// terminal, editline gives line editing, a history file and completion of
// commands and of class, property, method and query names.
#include "cli.h"
#include "text.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace torqa::cli {

namespace {

bool takes_value(const std::string& option) {
  return option == "--id" || option == "--output" || option == "--format" || option == "-o";
}

// Names from the session: classes from the namespace's schema, members from
// the class definitions (fetched once per class).
class session_catalog : public catalog {
 public:
  explicit session_catalog(session& s) : s_(s) {}

  std::vector<std::string> classes() override {
    if (!loaded_) {
      loaded_ = true;
      if (s_.connected()) names_ = s_.schema_classes();
    }
    return names_;
  }

  std::vector<std::string> members(const std::string& cls, kind k) override {
    std::vector<std::string> out;
    if (!s_.connected()) return out;
    const Class_def& def = s_.cls(cls);
    if (k == kind::method) {
      for (const auto& [name, m] : def.methods()) out.push_back(utf8(name));
    } else if (k == kind::query) {
      for (const auto& [name, q] : def.queries()) out.push_back(utf8(name));
    } else {
      for (const auto& [name, p] : def.properties()) {
        const prop_kind pk = kind_of(*p);
        const bool stream = pk == prop_kind::char_stream || pk == prop_kind::binary_stream;
        if (k == kind::property || (k == kind::stream && stream) ||
            (k == kind::settable && (pk == prop_kind::stored || pk == prop_kind::reference)))
          out.push_back(utf8(name) + (k == kind::settable ? "=" : ""));
      }
    }
    return out;
  }

 private:
  session& s_;
  bool loaded_ = false;
  std::vector<std::string> names_;
};

// Editline's completion callbacks reach the shell through these.
catalog* active_catalog = nullptr;
std::vector<std::string> pending;

char* next_match(const char*, int state) {
  static std::size_t at = 0;
  if (state == 0) at = 0;
  return at < pending.size() ? strdup(pending[at++].c_str()) : nullptr;
}

char** complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;
  pending.clear();
  try {
    std::vector<std::string> before;
    std::string word;
    for (int i = 0; i < start; ++i) {
      const char ch = rl_line_buffer[i];
      if (ch == ' ' || ch == '\t') {
        if (!word.empty()) before.push_back(word);
        word.clear();
      } else {
        word += ch;
      }
    }
    if (!word.empty()) before.push_back(word);
    pending = shell_completions(before, text, *active_catalog);
  } catch (...) {
    pending.clear();  // no names while the server cannot give them
  }
  // "PROPERTY=" goes on with the value: no space after it.
  rl_completion_append_character = pending.size() == 1 && pending[0].back() == '=' ? '\0' : ' ';
  return pending.empty() ? nullptr : rl_completion_matches(text, next_match);
}

std::string history_file() {
  const char* home = std::getenv("HOME");
  return home != nullptr && *home ? std::string(home) + "/.torqa_history" : std::string();
}

}  // namespace

std::vector<std::string> shell_completions(const std::vector<std::string>& before, std::string_view word,
                                           catalog& names) {
  std::vector<std::string> candidates;
  if (before.empty()) {
    for (const command& c : commands())
      if (std::string_view(c.name) != "shell") candidates.push_back(c.name);
    candidates.push_back("quit");
  } else if (const command* cmd = find_command(before[0])) {
    std::vector<std::string> args;  // the words that are not options or their values
    for (std::size_t i = 1; i < before.size(); ++i) {
      if (takes_value(before[i])) ++i;
      else if (before[i].rfind("-", 0) != 0) args.push_back(before[i]);
    }
    const std::string name = cmd->name;
    const std::size_t n = args.size();
    const auto members = [&](catalog::kind k) { candidates = names.members(args[0], k); };
    if (name == "help") {
      if (n == 0)
        for (const command& c : commands()) candidates.push_back(c.name);
    } else if (n == 0) {
      if (name != "classes" && name != "sql" && name != "shell" && !cmd->shell_only) candidates = names.classes();
    } else if (name == "create") {
      members(catalog::kind::settable);
    } else if (name == "set" && n >= 2) {
      members(catalog::kind::settable);
    } else if ((name == "show" && n >= 2) || (name == "elements" && n == 2)) {
      members(catalog::kind::property);
    } else if (name == "call" && n == 1) {
      members(catalog::kind::method);
    } else if (name == "query" && n == 1) {
      members(catalog::kind::query);
    } else if ((name == "read" || name == "write") && n == 2) {
      members(catalog::kind::stream);
    }
  }
  std::vector<std::string> out;
  for (auto& c : candidates)
    if (has_prefix(c, word)) out.push_back(std::move(c));
  return out;
}

int run_shell(context& c) {
  const bool interactive = isatty(STDIN_FILENO) != 0 && &c.in == &std::cin;
  session_catalog names(c.s);
  const std::string history = history_file();
  if (interactive) {
    c.s.db();  // connect now: a password is asked before the first command
    rl_readline_name = const_cast<char*>("torqa");
    rl_attempted_completion_function = complete;
    active_catalog = &names;
    using_history();
    stifle_history(1000);
    if (!history.empty()) read_history(history.c_str());
    c.out << "Connected to " << c.s.display_name() << ". Type 'help' for the commands, 'quit' to leave.\n";
  }

  int failures = 0;
  int open_transactions = 0;  // begun by this shell and not yet committed
  while (true) {
    std::string line;
    if (interactive) {
      char* raw = readline("torqa> ");
      if (raw == nullptr) {
        c.out << '\n';  // end the prompt's line
        break;
      }
      line = raw;
      std::free(raw);
    } else if (!std::getline(c.in, line)) {
      break;
    }
    std::vector<std::string> words;
    try {
      words = split_words(line);
    } catch (const usage_error& e) {
      c.err << "torqa: " << e.what() << '\n';
      ++failures;
      continue;
    }
    if (words.empty() || (!interactive && words[0].rfind('#', 0) == 0)) continue;
    if (interactive && line.find("--password") == std::string::npos) add_history(line.c_str());
    if (words[0] == "quit" || words[0] == "exit") break;

    context line_ctx = c;  // a --format on one line holds for that line
    line_ctx.in_shell = true;
    line_ctx.in_transaction = open_transactions > 0;
    invocation inv;
    int status = exit_ok;
    try {
      inv = parse_command_line(words);
    } catch (const usage_error& e) {
      c.err << "torqa: " << e.what() << '\n';
      status = exit_usage;
    }
    if (status == exit_ok && !inv.words.empty()) status = run_guarded(line_ctx, inv);
    else if (status == exit_ok && inv.has("help")) print_help(c.out, nullptr, true);
    c.out.flush();
    if (status != exit_ok) ++failures;
    if (status == exit_ok && !inv.words.empty() && !inv.has("help")) {
      if (inv.words[0] == "begin") ++open_transactions;
      else if (inv.words[0] == "commit" && open_transactions > 0) --open_transactions;
      else if (inv.words[0] == "rollback") open_transactions = 0;
    }
  }
  // Work left uncommitted is undone, and never silently: a script that
  // forgot its commit fails.
  if (open_transactions > 0) {
    c.err << "torqa: " << (interactive ? "leaving" : "the script ended") << " inside an open transaction; "
          << "its changes are rolled back\n";
    try {
      c.s.db().rollback();
    } catch (const Db_err& e) {
      c.err << "torqa: " << error_text(e.code, e.msg) << '\n';
    }
    ++failures;
  }
  if (interactive) {
    if (!history.empty()) write_history(history.c_str());
    active_catalog = nullptr;
  }
  return failures > 0 && !interactive ? exit_failed : exit_ok;
}

}  // namespace torqa::cli
