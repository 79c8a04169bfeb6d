// The error record of the library: a code (0 = none), an 8-bit message and
// the server's detail. Thrown as an exception, or written into a caller's
// Db_err* by the functions that take one. Err_open_obj (server code -9) and
// Err_close_obj (code -7) decode the detail; both are caught as Db_err.
//
// Db_err::get reuses one static buffer: one thread at a time.
#pragma once

#include <torqa/export.h>

#include <iosfwd>
#include <string>

class t_istream;

class TORQA_API Db_err {
 public:
  Db_err() = default;
  Db_err(int code, const std::string& msg);

  /// Code 0 and an empty message; info is kept.
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
