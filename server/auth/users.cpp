#include "server/auth/users.h"

#include "server/errors.h"

#include <sqlite3.h>

namespace torqa::server {

namespace {

constexpr std::string_view add_user = "%Torqa.AddUser";
constexpr std::string_view set_password = "%Torqa.SetPassword";
constexpr std::string_view remove_user = "%Torqa.RemoveUser";

bool user_exists(storage& store, const std::string& name) {
  statement st = store.prepare("SELECT 1 FROM torqa_users WHERE name = ?");
  sqlite3_bind_text(st.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
  return st.step();
}

}  // namespace

int user_procedure_params(std::string_view name) {
  if (same_name(name, add_user) || same_name(name, set_password)) return 2;
  if (same_name(name, remove_user)) return 1;
  return -1;
}

void manage_user(connection& c, std::string_view name, const std::vector<std::string>& args) {
  if (!c.admin()) throw server_error(err_denied, "only the user " + std::string(initial_user) + " manages users");
  if (args.empty() || args[0].empty()) throw server_error(err_argument, "a user name is needed");
  storage& store = c.store();
  const std::string& user = args[0];
  const bool exists = user_exists(store, user);
  if (same_name(name, remove_user)) {
    if (!exists) throw server_error(err_argument, "no user " + user);
    if (user == initial_user) throw server_error(err_argument, "the user " + user + " cannot be removed");
    statement st = store.prepare("DELETE FROM torqa_users WHERE name = ?");
    sqlite3_bind_text(st.get(), 1, user.c_str(), -1, SQLITE_TRANSIENT);
    st.step();
    statement keys = store.prepare("DELETE FROM torqa_settings WHERE key = ?");
    keys.bind_text(1, storage::scram_key(user));
    keys.step();
    return;
  }
  if (same_name(name, add_user) && exists) throw server_error(err_argument, "the user " + user + " exists");
  if (same_name(name, set_password) && !exists) throw server_error(err_argument, "no user " + user);
  if (args.size() < 2 || args[1].empty()) throw server_error(err_argument, "a password is needed");
  store.set_user(user, args[1], store.setting("fasthash").value_or("0") == "1");
}

}  // namespace torqa::server
