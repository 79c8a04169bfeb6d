// Scalar value types: what applications hand to the server and receive back.
//
// D_type is the base of every value: a null flag, get (read from a typed
// input stream) and put (write to a typed output stream). Values are plain
// objects owned by whoever constructs them; they own their bytes.
//
// Text kinds of d_string: 0 = 8-bit client text (UTF-8), 1 = 16-bit text in
// the server's form, 2 = client 16-bit text (UTF-16 units in memory order).
//
// The conversions to_mb()/to_uni() without arguments, comparisons, printing
// and db_name use the scratch of the calling thread (conversions.h).
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A value is
// used by one thread at a time.
#pragma once

#include <torqa/export.h>
#include <torqa/streams.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

class Database;
class Db_err;

/// Abstract base of every value.
class TORQA_API D_type {
 public:
  D_type() = default;
  D_type(const D_type&) = default;
  D_type& operator=(const D_type&) = default;
  virtual ~D_type();

  /// Marks the value null; each class also resets its content.
  virtual void set_null();
  /// Reads the value from `is`. `db` is used only by reference types.
  virtual void get(t_istream& is, Database* db) = 0;
  /// Writes the value to `os`. `db` is used only by reference types.
  virtual void put(t_ostream& os, Database* db) const = 0;

  bool is_null() const { return null_; }

 protected:
  bool null_ = false;
};

/// A byte string (may hold zero bytes). Never null after get.
class TORQA_API d_binary : public D_type {
 public:
  d_binary() = default;
  d_binary(const char* s);  // NOLINT: bytes up to the NUL
  d_binary(const char* p, std::size_t n);
  d_binary(const d_binary&) = default;
  d_binary& operator=(const d_binary&) = default;
  ~d_binary() override;

  void set_null() override;
  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  /// The bytes and their count.
  const char* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }
  /// Replaces the bytes; the value becomes non-null.
  void assign(const char* p, std::size_t n);

 protected:
  std::string bytes_;
};

/// Text held as 8-bit or 16-bit characters (see kind()).
class TORQA_API d_string : public d_binary {
 public:
  d_string() = default;
  d_string(const char* s);  // NOLINT: kind 0, bytes up to the NUL
  d_string(const char* p, std::size_t n);
  d_string(const unsigned short* s);  // NOLINT: kind 2, units up to the zero unit
  explicit d_string(t_istream& is);
  d_string(const d_string&) = default;
  d_string& operator=(const d_string&) = default;
  ~d_string() override;

  /// Stores `n` client 16-bit units (2 x n bytes); kind 2, non-null.
  d_string& assign(const unsigned short* s, unsigned short n);
  /// Stores `n` bytes of 8-bit text; kind 0, non-null.
  void assign(const char* p, std::size_t n);

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  /// Text kind: 0 8-bit, 1 server 16-bit, 2 client 16-bit.
  int kind() const { return kind_; }

  /// 8-bit text into `buf`, at most `cap` bytes; returns the count. No NUL.
  unsigned short to_mb(char* buf, unsigned short cap) const;
  /// 16-bit text into `buf`, at most `cap` units; returns the count. No zero.
  unsigned short to_uni(unsigned short* buf, unsigned short cap) const;
  /// Converts the content in place to kind 2 (client 16-bit).
  void to_uni();
  /// Converts the content in place to kind 0 (8-bit).
  void to_mb();
  /// The text as UTF-8, whatever the kind.
  std::string mb_str() const;

  /// Length first, then bytes; 8-bit against 16-bit compares as 16-bit.
  bool operator==(const d_string& other) const;
  bool operator<(const d_string& other) const;

 protected:
  int kind_ = 0;
};

TORQA_API std::ostream& operator<<(std::ostream& os, const d_string& s);

/// A 32-bit signed integer; default-constructed null with value 0.
class TORQA_API d_int : public D_type {
 public:
  d_int();
  d_int(int v);  // NOLINT: non-null
  ~d_int() override;

  void set_null() override;
  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  int value() const { return v_; }
  /// Sets the integer; the value becomes non-null.
  void set(int v) {
    v_ = v;
    null_ = false;
  }

 private:
  int v_ = 0;
};

/// A 64-bit IEEE double; set_null keeps the double.
class TORQA_API d_double : public D_type {
 public:
  d_double(double v = 0.0);  // NOLINT: non-null
  ~d_double() override;

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  double value() const { return v_; }
  void set(double v) {
    v_ = v;
    null_ = false;
  }

 private:
  double v_;
};

/// A server status value, kept as sent and decoded into code and msg.
class TORQA_API d_status : public d_binary {
 public:
  d_status();
  explicit d_status(t_istream& is);
  ~d_status() override;

  void get(t_istream& is, Database* db) override;

  /// Asks the server of session `db` to decode `text` ("BJ"); errors go
  /// to `err` when given.
  void get_from_srv(Database* db, const char* text, Db_err* err);

  /// The status code (0 = success) and its message.
  int get_code() const { return code.value(); }
  const d_string& get_msg() const { return msg; }

  d_int code;
  d_string msg;

 private:
  void init();
};

/// A class, property or method name, held as 16-bit text. Compared
/// case-insensitively, length first (cmp). Never null.
class TORQA_API db_name : public D_type {
 public:
  db_name();
  db_name(const unsigned short* s);  // NOLINT
  db_name(const db_name&) = default;
  db_name& operator=(const db_name&) = default;
  db_name& operator=(const unsigned short* s);
  ~db_name() override;

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  /// Zero-terminated 16-bit text and its length in units.
  const unsigned short* c_str() const { return units_.data(); }
  std::size_t length() const { return units_.size() - 1; }

  /// Length first, then unit by unit after towlower: -1, 0 or 1.
  static int cmp(const unsigned short* a, const unsigned short* b);
  /// cmp of names whose lengths (in units) are known.
  static int cmp(const unsigned short* a, std::size_t la, const unsigned short* b, std::size_t lb);

  /// Scratch name for one name at a time, one per thread.
  /// On Windows only the library itself can name it (a DLL cannot export
  /// a thread-local variable).
  static thread_local db_name cmn;

 private:
  void assign(const unsigned short* s, std::size_t n);
  std::vector<unsigned short> units_;  // always ends with a zero unit
};
