// Lua 5.4 bodies of schema methods and calculated properties (the API is
// described in server/SCHEMA.md). One Lua state per session; bodies are
// compiled on first use.
#pragma once

#include "server/core/session.h"

#include <map>

struct lua_State;

namespace torqa::server {

class lua_engine {
 public:
  explicit lua_engine(session& s);
  lua_engine(const lua_engine&) = delete;
  lua_engine& operator=(const lua_engine&) = delete;
  ~lua_engine();

  /// Runs method `m` of class `c`; `args` has one entry per declared
  /// argument and receives the output arguments' new values. A Lua error
  /// throws server_error (err_method, or the code given to torqa.error).
  item call(const class_def& c, const method& m, const object_ptr& self, std::vector<item>& args);
  /// The value of calculated property `p` of `self`.
  item calculate(const class_def& c, const property& p, const object_ptr& self);

  session& owner() { return s_; }

 private:
  /// Pushes the compiled function for a body (compiling it once).
  void push_function(const void* key, const std::string& params, const std::string& body, int line);
  /// Runs the function on the stack with `nargs` arguments under pcall,
  /// leaving `nresults` results; throws server_error on a Lua error.
  void run(int nargs, int nresults);

  session& s_;
  lua_State* L_;
  std::map<const void*, int> compiled_;
};

}  // namespace torqa::server
