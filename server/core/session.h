// A session: the objects one message channel has open, and the requests
// "B0" to "BJ" answered over them.
//
// Object ids: the session numbers the objects it hands out from 1 up; an
// object handed out again while open keeps its id, and "B6" closes it (and
// releases its locks). References travel as "<id>@<class>". A persistent
// object's persistent id is the bytes "<class>||<row id>".
#pragma once

#include "server/errors.h"
#include "server/core/namespace.h"
#include "server/storage/stream_data.h"
#include "server/wire/values.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace torqa::server {

struct object;
using object_ptr = std::shared_ptr<object>;

/// A value of a property, argument, result or collection element: a datum,
/// or for references the object (when in memory) or its row id in `d`.
struct item {
  datum d;
  object_ptr obj;
  bool is_null() const { return obj == nullptr && server::is_null(d); }
};

/// An object in memory: a persistent object, a collection or a stream.
struct object {
  const class_def* cls = nullptr;
  std::int64_t row = 0;  ///< persistent row id; 0 before the first save
  int oid = 0;           ///< id handed to the client; 0 when not open
  int lock = 0;          ///< lock held: 0 none, 1 shared, 2 exclusive
  bool dirty = false;    ///< changed since loaded or saved
  /// Per property: set since loaded or saved, so that a save writes only
  /// these columns and keeps what others changed in the rest.
  std::vector<bool> changed;
  std::uint64_t seen_epoch = 0;  ///< the namespace's row epoch when last checked
  std::uint64_t version = 0;     ///< the row's version when its values were loaded
  std::vector<item> values;  ///< persistent: one per property (collections and streams lazily)
  std::vector<item> list;    ///< list collection elements
  std::map<std::string, item> array;  ///< array collection elements by key
  stream_data stream;        ///< stream content (UTF-8 for character streams)
  std::int64_t pos = 0;      ///< stream read position (bytes)
  std::weak_ptr<object> owner;  ///< collection or stream bound to a property of this object
  const property* prop = nullptr;  ///< ... that property
};

class lua_engine;

class session {
 public:
  explicit session(connection& c);
  session(const session&) = delete;
  session& operator=(const session&) = delete;
  ~session();

  /// Answers one request: the reply bytes as the client reads them. Never
  /// throws for bad bytes; a malformed request gets an error reply.
  std::string request(std::string_view code, std::string_view payload);

  // ---- The object model, for built-in and Lua methods ----
  connection& conn() { return conn_; }
  const schema& get_schema() const { return conn_.get_schema(); }
  bool unicode() const { return conn_.ns().unicode(); }

  object_ptr create(const class_def& c);
  /// A new object as "%New" makes it: created, then initialised by the
  /// class's OnNew(init) method when it has one (its error fails the call).
  object_ptr make_new(const class_def& c, const item& init);
  /// The object of class c stored under `row`, loaded or shared with the
  /// copy already in memory; null when there is none. `concurrency`: 0 no
  /// lock, 1 shared, 2 or more exclusive; a lock held by another session is
  /// waited for up to `timeout` seconds, then the conflict throws err_open.
  object_ptr open(const class_def& c, std::int64_t row, int concurrency, std::int64_t timeout = 0);
  /// The in-memory object a reference item designates (loading it); null
  /// for a null or dangling reference.
  object_ptr resolve(const item& ref, const std::string& cls);
  /// The client-visible id of `o`, handing it out when it has none.
  int hand_out(const object_ptr& o);
  /// The open object with this id; throws err_unknown_object.
  object_ptr by_oid(int oid) const;
  /// Closes an object for the client; false when it is not open.
  bool close(int oid);

  item get_property(const object_ptr& o, const property& p);
  void set_property(const object_ptr& o, const property& p, item v);
  /// Saves `o` and the new or changed objects it references; the status
  /// bytes (empty on success).
  std::string save(const object_ptr& o);
  /// Calls a method; `args` has one entry per declared argument and holds
  /// the output arguments' new values on return. `self` is null for class
  /// methods.
  item invoke(const object_ptr& self, const class_def& c, const method& m, std::vector<item>& args);

  /// "<class>||<row>" and back.
  static std::string persistent_id(const object& o);
  /// Text the server sends for references: "<oid>@<class>".
  std::string reference_text(const object_ptr& o);
  /// Server output gathered by the current request (Lua's print).
  std::string& output() { return output_; }

  /// An error status: element header, two bytes, then code and message.
  static std::string status_bytes(int code, const std::string& msg);
  /// The type of a collection's elements: its property's, else string
  /// (or any object for the collections of objects).
  static value_type element_type(const object& coll);
  /// Decodes status bytes into code and message.
  static void decode_status(std::string_view bytes, std::int64_t& code, std::string& msg);

 private:
  friend class request_handler;

  void release_lock(object& o);
  /// Records `o` as the object of its row; now and then drops the records
  /// of objects that are gone, so they cost nothing once released.
  void remember(const object_ptr& o);
  /// Lets go of what a closed object without unsaved changes holds.
  void unlink(object& o);
  /// Reloads the stored values of a persistent object without unsaved
  /// changes when its row changed since they were loaded.
  void refresh(object& o);
  void touch(const object_ptr& o);
  /// Writes one object's row, collections and changed streams; the
  /// streams written are added to `streams`, to be marked saved once the
  /// whole save holds.
  void save_one(object& o, std::vector<std::pair<object_ptr, stored_stream>>& streams);
  void collect_unsaved(const object_ptr& o, std::vector<object_ptr>& out);
  item builtin(const object_ptr& self, const class_def& c, const method& m, std::vector<item>& args);
  item collection_method(const object_ptr& self, const method& m, std::vector<item>& args);
  item stream_method(const object_ptr& self, const method& m, std::vector<item>& args);
  void mark_owner_dirty(const object& o);
  /// Loads a collection or stream property's content into its object.
  object_ptr bound_object(const object_ptr& o, std::size_t index);

  connection& conn_;
  std::map<int, object_ptr> open_;
  std::map<std::pair<const class_def*, std::int64_t>, std::weak_ptr<object>> rows_;
  std::size_t sweep_at_ = 1024;  // rows_ size at which gone objects are dropped
  int next_oid_ = 1;
  bool cached_ = false;
  std::vector<object_ptr> touched_;
  std::string output_;
  std::unique_ptr<lua_engine> lua_;
};

}  // namespace torqa::server
