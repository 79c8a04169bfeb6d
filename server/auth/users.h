// User management by client SQL: the procedures
//   { call %Torqa.AddUser(?, ?) }      name, password: a new user
//   { call %Torqa.SetPassword(?, ?) }  name, password: a user's new password
//   { call %Torqa.RemoveUser(?) }      name: removes a user
// are allowed to the administrative user (the namespace's initial user,
// who cannot be removed) and refused to others with err_denied. A call
// that succeeded answers one row: the user's name.
#pragma once

#include "server/core/namespace.h"

#include <string>
#include <string_view>
#include <vector>

namespace torqa::server {

/// The parameter count of a user management procedure; -1 for another name.
int user_procedure_params(std::string_view name);

/// Runs user management procedure `name` for connection `c` with its
/// parameters as text. Throws server_error.
void manage_user(connection& c, std::string_view name, const std::vector<std::string>& args);

}  // namespace torqa::server
