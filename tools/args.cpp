// Command lines: options and words, and the words of a shell line.
#include "cli.h"

namespace torqa::cli {

namespace {

struct option_def {
  const char* name;
  bool takes_value;
  char short_name;
};

constexpr option_def known_options[] = {
    {"connect", true, 0}, {"user", true, 0},     {"password", true, 0}, {"format", true, 0},
    {"help", false, 'h'}, {"version", false, 0}, {"id", true, 0},       {"output", true, 'o'},
    {"append", false, 0}, {"no-save", false, 0}, {"password-file", true, 0}, {"all", false, 0},
};

const option_def* find_option(std::string_view name) {
  for (const auto& o : known_options)
    if (name == o.name) return &o;
  return nullptr;
}

const option_def* find_short(char c) {
  for (const auto& o : known_options)
    if (o.short_name == c) return &o;
  return nullptr;
}

bool is_number(std::string_view s) {
  return s.size() > 1 && s[0] == '-' && ((s[1] >= '0' && s[1] <= '9') || s[1] == '.');
}

}  // namespace

invocation parse_command_line(const std::vector<std::string>& args) {
  invocation inv;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      inv.words.insert(inv.words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (a.size() < 2 || a[0] != '-' || is_number(a)) {
      inv.words.push_back(a);
      continue;
    }
    const option_def* def = nullptr;
    std::string value;
    bool has_value = false;
    if (a[1] == '-') {
      const std::size_t eq = a.find('=');
      def = find_option(std::string_view(a).substr(2, eq == std::string::npos ? std::string::npos : eq - 2));
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        has_value = true;
      }
    } else if (a.size() == 2) {
      def = find_short(a[1]);
    }
    if (def == nullptr) throw usage_error("unknown option " + a.substr(0, a.find('=')));
    if (def->takes_value && !has_value) {
      if (i + 1 >= args.size()) throw usage_error(std::string("option --") + def->name + " needs a value");
      value = args[++i];
    } else if (!def->takes_value && has_value) {
      throw usage_error(std::string("option --") + def->name + " takes no value");
    }
    inv.options[def->name] = value;
  }
  return inv;
}

std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (++i >= line.size()) throw usage_error("a backslash ends the line");
      word += line[i];
    } else if (c == '\'') {
      const std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) throw usage_error("a quote (') is not closed");
      word += line.substr(i + 1, close - i - 1);
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) throw usage_error("a quote (\") is not closed");
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) ++i;
        word += line[i];
      }
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace torqa::cli
