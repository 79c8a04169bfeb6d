// What the examples share: the connection named on the command line, 16-bit
// name literals, and a check that stops an example whose result is not the
// expected one.
//
// Each example takes a connection string as its first argument (default:
// local[]:./torqa-data, the namespace the torqa tool creates from the sample
// schema) and logs in as torqa with the password in TORQA_PASSWORD (default
// torqa, the password of a new namespace).
#pragma once

#include <torqa/torqa.h>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

namespace example {

/// A 16-bit name literal (u"Sample.Person") as the binding takes names.
inline const unsigned short* U(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

/// Connects; a refused connection is reported and ends the program.
inline Handle<Conn_t> connect(int argc, char** argv) {
  const char* where = argc > 1 ? argv[1] : "local[]:./torqa-data";
  const char* password = std::getenv("TORQA_PASSWORD");
  Db_err err;
  Handle<Conn_t> conn = tcp_conn::connect(d_string(where), d_string("torqa"), d_string(password ? password : "torqa"),
                                          &err);
  if (!conn->is_active()) {
    std::cerr << "cannot connect to " << where << ": " << err << '\n';
    std::exit(1);
  }
  return conn;
}

/// Throws when `ok` is false.
inline void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("unexpected result: " + what);
}

/// Runs an example's body; server errors and failed checks end it with
/// status 1.
template <class F>
int run(F&& body) {
  try {
    body();
    return 0;
  } catch (const Db_err& e) {
    std::cerr << e << '\n';
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
  } catch (const char* e) {
    std::cerr << e << '\n';
  }
  return 1;
}

}  // namespace example
