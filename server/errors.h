// The server's error codes and the exception that carries one through a
// request to its error reply. The codes are listed in server/README.md.
#pragma once

#include <string>
#include <utility>

namespace torqa::server {

enum error_code : int {
  err_close = -7,             ///< closing an object failed (info: object id, 0)
  err_open = -9,              ///< opening an object failed (info: detail code)
  err_malformed = -1001,      ///< the request's bytes do not decode as the request
  err_unknown_request = -1002,
  err_unknown_class = -1003,
  err_unknown_property = -1004,
  err_unknown_method = -1005,
  err_unknown_object = -1006,  ///< an object id not open in the session
  err_argument = -1007,        ///< an argument or value of the wrong type or count
  err_transaction = -1008,
  err_method = -1009,          ///< a method body raised an error
  err_storage = -1010,         ///< the database failed
  err_too_long = -1011,        ///< a result or value too long for its element
  err_read_only = -1012,       ///< a calculated property cannot be set
  err_version = -1013,         ///< the client version is not supported
  err_login = -1014,           ///< unknown user or wrong password
  err_options = -1015,         ///< a bad connection string
  err_denied = -1016,          ///< not allowed to this user
};

/// Detail codes of open failures.
enum open_detail : int { open_exclusive_conflict = 5803, open_shared_conflict = 5804, open_not_found = 5809 };

/// A failed request: the code, the message and the detail record (a list,
/// possibly empty) of its error reply.
struct server_error {
  int code;
  std::string msg;
  std::string info;
  server_error(int c, std::string m, std::string i = {}) : code(c), msg(std::move(m)), info(std::move(i)) {}
};

}  // namespace torqa::server
