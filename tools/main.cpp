// torqa: the command-line client of the torqa object database.
#include "cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

namespace {

// Output that did not arrive (a full disk, say) is a failure the user must
// see; the last write's error says why.
int written(int status) {
  errno = 0;
  std::cout.flush();
  std::fflush(stdout);
  if (std::cout && std::ferror(stdout) == 0) return status;
  std::cerr << "torqa: cannot write the output: " << (errno != 0 ? std::strerror(errno) : "write error") << '\n';
  return torqa::cli::exit_failed;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace torqa::cli;
  invocation inv;
  try {
    inv = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const usage_error& e) {
    std::cerr << "torqa: " << e.what() << "\nTry 'torqa --help'.\n";
    return exit_usage;
  }
  if (inv.has("version")) {
    print_version(std::cout);
    return written(exit_ok);
  }
  if (inv.words.empty()) {
    print_help(inv.has("help") ? std::cout : std::cerr, nullptr);
    return written(inv.has("help") ? exit_ok : exit_usage);
  }

  const auto setting = [&](const char* option, const char* env, const char* fallback) {
    if (inv.has(option)) return inv.get(option);
    const char* v = std::getenv(env);
    return std::string(v != nullptr && *v ? v : fallback);
  };
  connection_settings settings;
  settings.connect = setting("connect", "TORQA_CONNECT", "");
  settings.user = setting("user", "TORQA_USER", "torqa");
  if (inv.has("password")) settings.password = inv.get("password");
  if (inv.has("password-file")) {
    std::ifstream file(inv.get("password-file"));
    std::string line;
    if (!file || !std::getline(file, line)) {
      std::cerr << "torqa: cannot read a password from " << inv.get("password-file") << '\n';
      return exit_failed;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    settings.password = line;
  }

  int status = exit_failed;
  {
    session s(settings);
    context c{s, format::table, std::cout, std::cerr, std::cin, isatty(STDOUT_FILENO) != 0};
    status = run_guarded(c, inv);
  }
  return written(status);
}
