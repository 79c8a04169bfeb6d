// The client-side property cache of a session.
//
// With a cache the server sends, with each reply to an object request, the
// current property values of the objects involved; later reads are answered
// without a round trip. Property changes and object closes are collected and
// written at the head of the next request that flushes. The session owns its
// cache; destroying the cache discards unsent work.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A cache is
// its session's.
#pragma once

#include <torqa/export.h>
#include <torqa/streams.h>
#include <torqa/types.h>

#include <map>
#include <tuple>

class Database;

class TORQA_API Cache {
 public:
  explicit Cache(Database* db) : db(db) {}
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;
  virtual ~Cache();

  virtual bool is_active() = 0;
  /// Reads a reply's cache section.
  virtual void load(t_istream& is) = 0;
  /// Writes the pending changes and closes ahead of a request.
  virtual void flush(t_ostream& os) = 0;
  /// Forgets an object's cached values.
  virtual void drop(int oid) = 0;
  /// Answers a property read through `out` when the client can.
  virtual bool get_property(int oid, int slot, int pos, bool is_obj, bool uni_srv, t_istrstream* out) = 0;
  /// Takes a property change over; false: the session sends it now.
  virtual bool set_property(int oid, int slot, int pos, int aux, bool is_obj, const unsigned short* name,
                            D_type* value) = 0;
  /// Defers an object close to the next flush.
  virtual void close_obj(int oid) = 0;

 protected:
  Database* db;
};

class TORQA_API Cache_ant : public Cache {
 public:
  explicit Cache_ant(Database* db);
  ~Cache_ant() override;

  bool is_active() override;
  void load(t_istream& is) override;
  void flush(t_ostream& os) override;
  void drop(int oid) override;
  bool get_property(int oid, int slot, int pos, bool is_obj, bool uni_srv, t_istrstream* out) override;
  bool set_property(int oid, int slot, int pos, int aux, bool is_obj, const unsigned short* name,
                    D_type* value) override;
  void close_obj(int oid) override;

  /// Number of cached objects, pending changes and deferred closes.
  std::size_t cached_objects() const { return objects.size(); }
  std::size_t pending_changes() const { return pending.size() + pending_refs.size(); }
  int pending_closes() const { return close_count; }

 private:
  struct slot_val {
    bool valid = false;
    d_string value;
  };
  using Obj_vals = std::map<int, slot_val>;
  using Slot_key = std::tuple<int, int, int>;  // object id, slot, position
  struct pending_val {
    int aux = 0;
    t_ostrstream buf;
  };
  struct pending_ref {
    db_name name;
    t_ostrstream buf;
  };
  static void read_obj_vals(t_istream& is, Obj_vals& vals);
  /// Points `out` at the cached value of `slot` (position 0: the whole value
  /// in the string form; n >= 1: the list from inner element n on).
  static void place(Obj_vals& vals, int slot, int pos, t_istrstream* out);

  std::map<int, Obj_vals> objects;
  std::map<Slot_key, pending_val> pending;
  std::map<Slot_key, pending_ref> pending_refs;
  int close_count = 0;
  t_ostrstream closes;
  t_ostrstream encoded;  // a change's value, encoded before anything is recorded
};
