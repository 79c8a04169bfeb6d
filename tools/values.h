// Values of the command-line client: the text a user types turned into the
// binding's value classes by the declared type of a property, argument or
// parameter, and values read from the server turned into printable cells.
#pragma once

#include <torqa/collections.h>
#include <torqa/datetime.h>
#include <torqa/dynamic.h>
#include <torqa/list.h>
#include <torqa/metadata.h>
#include <torqa/session.h>
#include <torqa/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace torqa::cli {

/// Type codes of class metadata (properties, arguments, method results).
enum type_code : int {
  tc_none = -1,
  tc_string = 1,
  tc_integer,
  tc_double,
  tc_boolean,
  tc_binary,
  tc_list,
  tc_date,
  tc_time,
  tc_timestamp,
  tc_status,
  tc_object,
};

/// A declared type: its code and its name as the server writes it (the
/// class name for objects, collections and streams).
struct vtype {
  int code = tc_string;
  std::string name;

  static vtype of(const Prop_def& p);
  static vtype of(const Arg_def& a);
  static vtype result_of(const Method_def& m);
  /// The type a schema names: a data type's name, or a class for objects.
  static vtype named(const std::string& name);
};

/// What a property holds, from its definition.
enum class prop_kind { stored, reference, calculated, collection, char_stream, binary_stream };
prop_kind kind_of(const Prop_def& p);
const char* kind_name(prop_kind k);

/// A printable value: null, text, a number or a boolean (JSON keeps the
/// difference; tables and CSV print the text).
struct cell {
  enum class kind { null, text, number, boolean };
  kind k = kind::null;
  std::string text;

  static cell null() { return {}; }
  static cell str(std::string s) { return {kind::text, std::move(s)}; }
  static cell num(std::string s) { return {kind::number, std::move(s)}; }
  static cell boolean(bool b) { return {kind::boolean, b ? "true" : "false"}; }
};

/// Text that does not spell a value of the wanted type; what() says why.
struct bad_value : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// A 64-bit integer value: the server's integers are 64-bit, d_int holds 32.
class wide_int : public D_type {
 public:
  wide_int() { null_ = true; }
  explicit wide_int(std::int64_t v) : v_(v) {}
  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;
  std::int64_t value() const { return v_; }

 private:
  std::int64_t v_ = 0;
};

/// One value of a declared type, bound to a session (object references are
/// opened and shown through it).
class value {
 public:
  value(const vtype& t, Database& db);

  /// The value as the binding takes it.
  D_type& data();
  /// Sets the value from user text; empty text is null. Throws bad_value.
  /// An object reference is the id of an object of the declared class,
  /// opened without a lock; a failed open is a bad_value with the server's
  /// code and message.
  void parse(std::string_view text);
  /// Reads the value from a reply.
  void read(t_istream& is) { data().get(is, db_); }
  /// The value for printing. An object shows its id ("" before its first
  /// save); a status "OK" or its code and message.
  cell show();

  const vtype& type() const { return t_; }
  /// The object of an object-typed value (null reference otherwise).
  d_ref<Dyn_obj> object() const;

 private:
  vtype t_;
  Database* db_;
  std::variant<d_string, wide_int, d_double, d_binary, d_list, d_date, d_time, d_timestamp, d_status,
               d_ref<Dyn_obj>>
      v_;
};

/// The id text of an object ("" before its first save).
std::string object_id(Dyn_obj& obj);
/// An object id for printing: a number when it is one (JSON keeps it a
/// number), null when the object has none yet.
cell id_cell(const std::string& id);

// Text forms, independent of any session and of the process locale.

/// Decimal integer, optional sign, nothing else.
std::int64_t parse_int(std::string_view s);
/// Decimal or exponent notation ("1.5", "-2e3").
double parse_double(std::string_view s);
/// true/false, 1/0, yes/no (any case).
bool parse_bool(std::string_view s);
/// Hex digits, two per byte, optionally after "0x".
std::string parse_hex(std::string_view s);
/// "YYYY-MM-DD", a real calendar day.
void parse_date(std::string_view s, int& year, int& month, int& day);
/// "HH:MM:SS" or "HH:MM".
void parse_time(std::string_view s, int& hours, int& minutes, int& seconds);
/// "YYYY-MM-DD HH:MM:SS" (or with 'T' between the parts).
void parse_timestamp(std::string_view s, int (&parts)[6]);

/// The shortest text that reads back as the same double.
std::string format_double(double v);
std::string to_hex(std::string_view bytes);
/// ISO forms; "INVALID" when the record is not a valid value.
std::string format_date(const std::tm& t);
std::string format_time(const std::tm& t);
std::string format_timestamp(const std::tm& t);

/// An element of a list value.
struct list_item {
  enum class kind { integer, decimal, text } k = kind::text;
  std::int64_t i = 0;
  double d = 0;
  std::string s;
  bool operator==(const list_item&) const = default;
};
/// A list literal: "[1, 2.5, \"text\"]" (JSON numbers and strings).
std::vector<list_item> parse_list(std::string_view s);
std::string format_list(const std::vector<list_item>& items);
/// The elements of a list value, each by the type of its element.
std::vector<list_item> list_items(const d_list& l);

/// Text as a JSON string literal, quotes included.
std::string json_quote(std::string_view s);

}  // namespace torqa::cli
