// A namespace's schema: its classes with their properties, methods and
// queries, read from the text format described in server/SCHEMA.md, plus
// the built-in collection and stream classes every namespace has.
//
// Each persistent class is an SQL table named after the class with '.'
// replaced by '_' ("Sample.Person" -> "Sample_Person"), with the row id
// column "ID" and one column per stored property (named like the
// property). A collection property is a table of its own,
// "<table>_<property>" (owner, key, element). Class queries are stored
// procedures named "<table>_<query>".
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torqa::server {

/// The data types a value can have, and `object` for references.
enum class data_type {
  none,  ///< no value (a method without result)
  string,
  integer,
  double_,
  boolean,
  binary,
  list,
  date,       ///< day number (day 1 = 1841-01-01); SQL text "YYYY-MM-DD"
  time,       ///< seconds since midnight; SQL text "HH:MM:SS"
  timestamp,  ///< text "YYYY-MM-DD HH:MM:SS"
  status,     ///< a status value (method results only)
  object,     ///< a reference to an object of class `cls`
};

/// The type of a property's value, an argument or a method result.
struct value_type {
  data_type type = data_type::none;
  std::string cls;  ///< class name when type is object
  bool is_data() const { return type != data_type::object && type != data_type::none; }
  bool operator==(const value_type&) const = default;
};

/// Type code sent in class metadata (aux_code of properties and arguments,
/// ret_type of methods): the data_type's ordinal; -1 for no result.
int type_code(const value_type& t);
/// The type's name as the schema writes it ("string", a class name...).
std::string type_name(const value_type& t);
/// The SQL type name of a data type's column (VARCHAR, INTEGER, DOUBLE,
/// BOOLEAN, VARBINARY, DATE, TIME, TIMESTAMP; INTEGER for references).
const char* sql_type(const value_type& t);

enum class prop_kind {
  data,        ///< a data-type value, one column
  reference,   ///< an object reference, one column holding the row id
  collection,  ///< a list or array of data values or references, a table
  stream,      ///< character or binary stream, one LONGVARCHAR/LONGVARBINARY column
  calculated,  ///< computed by a Lua expression, not stored
};

struct property {
  std::string name;
  prop_kind kind = prop_kind::data;
  value_type type;          ///< value type; for collections the element type
  bool is_array = false;    ///< collection: array (text keys) rather than list
  bool is_binary = false;   ///< stream: binary rather than character
  std::string body;         ///< calculated: the Lua body
  int body_line = 0;        ///< calculated: first line of the body in the schema
  int slot = 0;             ///< cache slot: >= 0 stored data/reference, -1 calculated, -2 collection/stream
  std::string column;       ///< SQL column (data, reference, stream); empty otherwise
  std::string table;        ///< SQL table of a collection
  /// Class of the collection or stream object this property holds.
  std::string object_class() const;
  bool stored_in_row() const { return kind == prop_kind::data || kind == prop_kind::reference; }
};

struct argument {
  std::string name;
  value_type type;
  bool output = false;
};

/// How a built-in method is carried out.
enum class builtin_method {
  none,  ///< a Lua method of the schema
  new_, save, id, oid, delete_id, delete_oid, open_id, exists_id,
  get_at, set_at, insert_at, remove_at, get_next, get_previous, insert, remove, count, clear,
  read, read_line, write, rewind, move_to_end, copy_from, size_get,
};

struct method {
  std::string name;
  bool class_method = false;
  value_type result;  ///< type none: no result
  std::vector<argument> args;
  std::string body;   ///< Lua body (schema methods)
  int body_line = 0;
  builtin_method builtin = builtin_method::none;
};

struct query {
  std::string name;
  std::string sql_name;  ///< stored procedure name "<table>_<query>"
  std::vector<argument> params;
  std::string sql;       ///< the statement, '?' for each parameter in order
};

enum class class_kind { persistent, list_collection, array_collection, char_stream, binary_stream };

struct class_def {
  std::string name;
  class_kind kind = class_kind::persistent;
  bool of_objects = false;  ///< collections: elements are references
  std::string table;        ///< persistent classes: the SQL table
  std::vector<property> props;
  std::vector<method> methods;
  std::vector<query> queries;

  bool is_persistent() const { return kind == class_kind::persistent; }
  bool is_collection() const { return kind == class_kind::list_collection || kind == class_kind::array_collection; }
  bool is_stream() const { return kind == class_kind::char_stream || kind == class_kind::binary_stream; }
  // Lookups ignore ASCII letter case; null when absent.
  const property* find_property(std::string_view name) const;
  const method* find_method(std::string_view name) const;
  const query* find_query(std::string_view name) const;
  /// The stored (cacheable) property with this slot, null when none.
  const property* by_slot(int slot) const;
};

/// Names of the built-in classes.
inline constexpr const char* list_of_data_types = "%ListOfDataTypes";
inline constexpr const char* list_of_objects = "%ListOfObjects";
inline constexpr const char* array_of_data_types = "%ArrayOfDataTypes";
inline constexpr const char* array_of_objects = "%ArrayOfObjects";
inline constexpr const char* char_stream_class = "%Library.GlobalCharacterStream";
inline constexpr const char* binary_stream_class = "%Library.GlobalBinaryStream";

/// A parse failure: the line (1-based, 0 when not tied to a line) and why.
struct schema_error {
  int line = 0;
  std::string message;
  std::string what() const;
};

class schema {
 public:
  /// Parses schema text; the built-in classes are added. On failure
  /// answers null and fills `err`.
  static std::shared_ptr<const schema> parse(std::string_view text, schema_error& err);

  /// A class by name (ASCII case ignored), built-in classes included.
  const class_def* find_class(std::string_view name) const;
  /// A class query by its stored procedure name (ASCII case ignored).
  const query* find_procedure(std::string_view sql_name, const class_def** owner = nullptr) const;
  /// Every class in schema order, then the built-in classes.
  const std::vector<std::unique_ptr<class_def>>& classes() const { return classes_; }

 private:
  std::vector<std::unique_ptr<class_def>> classes_;
  std::map<std::string, const class_def*> by_name_;  // lower-cased names
};

/// ASCII lower case, for case-insensitive names.
std::string lower(std::string_view s);
/// Whether two names are equal ignoring ASCII case.
bool same_name(std::string_view a, std::string_view b);

}  // namespace torqa::server
