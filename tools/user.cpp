// torqa user add|passwd|remove NAME: the namespace's users, managed by its
// administrator through the server's user calls. A new password is never
// taken from the command line: it is asked twice on a terminal, otherwise
// read from the first line of standard input.
#include "cli.h"
#include "text.h"

#include <unistd.h>

#include <iostream>

namespace torqa::cli {

namespace {

std::string new_password(context& c, const std::string& user) {
  std::string password;
  if (&c.in == &std::cin && isatty(STDIN_FILENO)) {
    password = ask_password("New password for " + user);
    if (ask_password("The same again") != password) throw failure("the two passwords differ");
  } else {
    std::getline(c.in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  if (password.empty()) throw failure("a password may not be empty");
  return password;
}

}  // namespace

int cmd_user(context& c, const invocation& inv) {
  const std::string& action = inv.words[1];
  const std::string& name = inv.words[2];
  const char* call = action == "add"      ? "{ call %Torqa.AddUser(?, ?) }"
                     : action == "passwd" ? "{ call %Torqa.SetPassword(?, ?) }"
                     : action == "remove" ? "{ call %Torqa.RemoveUser(?) }"
                                          : nullptr;
  if (call == nullptr) throw usage_error("user: the action is add, passwd or remove, not '" + action + "'");
  Database& db = c.s.db();  // connects first: a login password is asked before the new one
  const std::string password = action == "remove" ? std::string() : new_password(c, name);
  d_seq_query q(db);
  q.prepare(text16(call).c_str(), SQL_NTS);
  q.set_par(1, d_string(name));
  if (!password.empty()) q.set_par(2, d_string(password));
  q.execute();
  // A call the server carried out answers one row.
  const bool done = q.fetch();
  q.close();
  if (!done)
    throw failure("the server refused to " + (action == "passwd" ? "change the password of" : action) + " user " +
                  name + " (only the user torqa manages users; a user is added once, and torqa stays)");
  c.out << (action == "add" ? "added user " : action == "passwd" ? "changed the password of " : "removed user ") << name
        << '\n';
  return exit_ok;
}

}  // namespace torqa::cli
