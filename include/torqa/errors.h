// The error record of the library: a code (0 = none), an 8-bit message and
// the server's detail. Thrown as an exception, or written into a caller's
// Db_err* by the functions that take one. Err_open_obj (server code -9) and
// Err_close_obj (code -7) decode the detail; both are caught as Db_err.
//
// Beyond the record itself: Db_err is a std::exception whose what() is its
// printed form, and `diag` carries the driver's diagnostic behind a failure
// of its standard ODBC side (a refused connect, a failed SQL statement).
//
// Threads: a record is a plain value; Db_err::get reads through scratch of
// the calling thread, so records may be read on several threads at once.
#pragma once

#include <torqa/export.h>

#include <exception>
#include <iosfwd>
#include <string>

class t_istream;

/// A diagnostic record of the driver (SQLGetDiagRec): empty `state` when
/// the driver gave none.
struct Db_diag {
  std::string state;  ///< SQLSTATE, five characters
  int native = 0;     ///< the driver's native code (the server's error code)
  std::string text;   ///< the driver's message, 8-bit text
};

class TORQA_API Db_err : public std::exception {
 public:
  Db_err() = default;
  Db_err(int code, const std::string& msg);

  /// The printed form, "Error: code = <code>, msg = <msg>".
  const char* what() const noexcept override;

  /// Code 0, an empty message and no diagnostic; info is kept.
  void clear();
  bool is_error() const { return code != 0; }
  int get_code() const { return code; }
  const std::string& get_msg() const { return msg; }

  /// Reads an error record (one string element holding a nested list:
  /// code, message, optional detail) from a reply.
  void get(t_istream& is);

  int code = 0;
  std::string msg;
  std::string info;  ///< server detail, itself a list-form sequence
  /// The driver's diagnostic behind the failure, when it gave one: a refused
  /// connect keeps its message "couldn't connect" and says why here.
  Db_diag diag;

 private:
  mutable std::string printed;  // what() answers from here
};

/// A failed open (code -9); srv_code is the first integer of info (0 when
/// info holds none).
class TORQA_API Err_open_obj : public Db_err {
 public:
  explicit Err_open_obj(const Db_err& e);
  int srv_code = 0;
};

/// A failed close (code -7); the first two integers of info as they arrive
/// (0 for each that info does not hold).
class TORQA_API Err_close_obj : public Db_err {
 public:
  explicit Err_close_obj(const Db_err& e);
  int detail1 = 0;
  int detail2 = 0;
};

/// Writes "Error: code = <code>, msg = <msg>" with no line end.
TORQA_API std::ostream& operator<<(std::ostream& os, const Db_err& e);
