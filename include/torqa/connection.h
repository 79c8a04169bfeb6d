// Connections: the binding's hold on one server connection opened through the
// driver, shared through a reference-counting Handle<Conn_t>.
//
// tcp_conn::connect never throws for a refused connection: it returns an
// inactive connection and fills the caller's Db_err. The last Handle copy
// disconnects and frees the driver handles. A connection carries a busy flag
// that keeps a second Database off it; it is not a lock.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A connection
// and the copies of its Handle belong to one thread at a time (the handle's
// count is a plain integer); connect may run on several threads at once.
#pragma once

#include <torqa/export.h>

class d_string;
class Db_err;

/// Reference-counting handle: copies share one object and one heap counter;
/// the last copy deletes the object.
template <class T>
class Handle {
 public:
  explicit Handle(T* p = nullptr) : ptr(p), count(new int(1)) {}
  Handle(const Handle& other) : ptr(other.ptr), count(other.count) { ++*count; }
  Handle& operator=(const Handle& other) {
    if (count != other.count) {
      Handle copy(other);
      swap(copy);
    }
    return *this;
  }
  ~Handle() {
    if (--*count == 0) {
      delete ptr;
      delete count;
    }
  }

  T* operator->() const { return ptr; }
  T& operator*() const { return *ptr; }
  T* get() const { return ptr; }
  /// Whether the handle holds an object.
  explicit operator bool() const { return ptr != nullptr; }
  /// Number of handles sharing the object.
  int use_count() const { return *count; }

 private:
  void swap(Handle& other) {
    T* p = ptr;
    ptr = other.ptr;
    other.ptr = p;
    int* c = count;
    count = other.count;
    other.count = c;
  }
  T* ptr;
  int* count;
};

/// What a session sees of a connection.
class TORQA_API Conn_t {
 protected:
  /// Clears active; derived classes free their driver handles first.
  virtual void disconnect();

 public:
  virtual ~Conn_t();
  /// Opens the message channel; returns the driver's result (0 = success).
  virtual int open_channel(void** channel) = 0;
  /// Closes a channel opened by open_channel; returns the driver's result.
  virtual int close_channel(void* channel) = 0;

  /// Claims the connection for one session. Throws Db_err -1000
  /// "Connection is not active" or "Connection is busy".
  void acquire();
  /// Gives the connection back.
  void release() { busy = false; }

  bool is_active() const { return active; }
  bool is_busy() const { return busy; }

 protected:
  Conn_t(bool active, bool busy) : active(active), busy(busy) {}
  Conn_t(const Conn_t&) = delete;
  Conn_t& operator=(const Conn_t&) = delete;

  bool active;
  bool busy;
};

/// A connection through the driver: environment, connection and the
/// query-information statement prepared at connect time.
class TORQA_API tcp_conn : public Conn_t {
 protected:
  void disconnect() override;

 public:
  ~tcp_conn() override;
  int open_channel(void** channel) override;
  int close_channel(void* channel) override;

  /// Connects with a connection string "X[Y]:Z" (host X, port Y, namespace
  /// Z; the one character after ']' is a separator), a user and a password.
  /// Never throws for a refusal: the handle then holds an inactive
  /// connection and `err`, when given, says why; when the driver refused,
  /// err->diag carries the driver's own reason (an extension).
  static Handle<Conn_t> connect(const d_string& connection_string, const d_string& user,
                                const d_string& password, Db_err* err);

  /// Driver connection handle and query-information statement.
  void* get_hdbc() const { return hdbc; }
  void* get_hstmt() const { return hstmt; }

 private:
  tcp_conn();
  tcp_conn(void* henv, void* hdbc);

  void* henv = nullptr;
  void* hdbc = nullptr;
  void* hstmt = nullptr;
};
