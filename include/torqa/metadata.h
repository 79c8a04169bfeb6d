// Class metadata: the properties, methods and queries of a server class,
// fetched once per session and class ("B2", "B3", "B4") and kept for the
// session's life. Names are looked up without regard to case (db_name::cmp:
// shorter names first, then character by character after lower-casing).
// The set owns its definitions; a definition owns its records.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A session's
// class definitions are its own.
#pragma once

#include <torqa/export.h>
#include <torqa/text16.h>
#include <torqa/types.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

class Database;

/// A name searched for: 16-bit text and its length in units.
struct name_key {
  const unsigned short* text;
  std::size_t length;
};

/// Orders names as db_name::cmp does; maps keyed by db_name are searched
/// with a name_key, without copying the text into a name.
struct TORQA_API db_name_less {
  using is_transparent = void;
  bool operator()(const db_name& a, const db_name& b) const {
    return db_name::cmp(a.c_str(), a.length(), b.c_str(), b.length()) < 0;
  }
  bool operator()(const db_name& a, name_key b) const {
    return db_name::cmp(a.c_str(), a.length(), b.text, b.length) < 0;
  }
  bool operator()(name_key a, const db_name& b) const {
    return db_name::cmp(a.text, a.length, b.c_str(), b.length()) < 0;
  }
};

class TORQA_API Prop_def {
 public:
  db_name aux_name;
  d_int aux_code;
  bool is_data_type = true;  ///< false: the value is an object reference
  db_name name;
  int slot = 0;  ///< -1 calculated (read-only), -2 never cached
  int pos = 0;   ///< 0 whole slot; n >= 1 element n of the list in the slot
  int aux_int = 0;
  db_name aux_name2;
};

class TORQA_API Arg_def {
 public:
  db_name aux_name;
  d_int aux_code;
  bool aux_flag = false;
  bool is_output = false;  ///< passed by reference; read back after the call
  db_name name;
  bool aux_flag2 = false;
  std::string aux_text;
};

class TORQA_API Method_def {
 public:
  Method_def() = default;
  Method_def(const Method_def&) = delete;
  Method_def& operator=(const Method_def&) = delete;
  ~Method_def();

  bool is_class_method = false;
  db_name aux_name;
  d_int ret_type;  ///< -1: returns nothing
  bool ret_is_data_type = true;
  bool aux_flag = false;
  db_name name;
  std::vector<Arg_def*> args;  ///< owned, in declaration order
  mutable int arg_cursor = 0;  ///< used while arguments are marshalled
};

class TORQA_API Query_def {
 public:
  db_name name;
  db_name sql_name;  ///< stored procedure that runs the query
  int par_cnt = 0;
};

using prop_map = std::map<db_name, Prop_def*, db_name_less>;
using method_map = std::map<db_name, Method_def*, db_name_less>;
using query_map = std::map<db_name, Query_def*, db_name_less>;

class TORQA_API Class_def {
 public:
  explicit Class_def(const unsigned short* name);
  Class_def(const Class_def&) = delete;
  Class_def& operator=(const Class_def&) = delete;
  ~Class_def();

  bool prop_get(const unsigned short* name, const Prop_def** out) const;
  bool mtd_get(const unsigned short* name, const Method_def** out) const;
  bool query_get(const unsigned short* name, const Query_def** out) const;

  const db_name& get_name() const { return name; }
  const prop_map& properties() const { return props; }
  const method_map& methods() const { return mtds; }
  const query_map& queries() const { return qrys; }

 private:
  friend class Class_def_set;
  db_name name;
  prop_map props;
  method_map mtds;
  query_map qrys;
};

class TORQA_API Class_def_set {
 public:
  Class_def_set() = default;
  Class_def_set(const Class_def_set&) = delete;
  Class_def_set& operator=(const Class_def_set&) = delete;
  ~Class_def_set();

  /// The definition of class `name`, fetched through `db` the first time.
  /// Server errors propagate and leave the set unchanged.
  Class_def* open(Database* db, const unsigned short* name);
  /// The same with the name as UTF-8 or UTF-16 text (`open(&db, "Sample.Person")`).
  Class_def* open(Database* db, const torqa::text16& name) { return open(db, name.c_str()); }
  std::size_t size() const { return classes.size(); }

 private:
  std::map<db_name, Class_def*, db_name_less> classes;
};
