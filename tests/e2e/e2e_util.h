// The end-to-end tests' setting: a namespace in a fresh temporary directory
// with the sample schema, and connections to it through the binding.
#pragma once

#include <torqa/collections.h>
#include <torqa/connection.h>
#include <torqa/datetime.h>
#include <torqa/dynamic.h>
#include <torqa/errors.h>
#include <torqa/list.h>
#include <torqa/session.h>

#include "support/thrown.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace torqa::e2e {

using torqa::test::described;
using torqa::test::thrown;

/// 16-bit text literals for the binding's names.
inline const unsigned short* U(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

/// A value read from a reply.
template <class T>
T result(t_istream& is, Database* db) {
  T v;
  v.get(is, db);
  return v;
}

/// How a namespace and its sessions are set up.
struct config {
  bool unicode = false;    ///< the namespace uses 16-bit text
  bool cached = false;     ///< sessions use the property cache
  unsigned chunk = 32768;  ///< largest reply chunk
};

inline std::string name_of(const config& c) {
  return std::string(c.unicode ? "unicode" : "narrow") + (c.cached ? "_cached" : "_uncached") +
         (c.chunk < 32768 ? "_chunk" + std::to_string(c.chunk) : "");
}

/// A namespace directory under TMPDIR (or /tmp), removed afterwards.
class namespace_dir {
 public:
  namespace_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torqa-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern + "/ns";
  }
  namespace_dir(const namespace_dir&) = delete;
  namespace_dir& operator=(const namespace_dir&) = delete;
  ~namespace_dir() {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path_).parent_path(), ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// Connects to the namespace in `dir` (made with the sample schema).
inline Handle<Conn_t> connect(const std::string& dir, const config& c, const char* user = "torqa",
                              const char* password = "torqa", Db_err* err = nullptr) {
  const std::string text = "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA ";chunk=" + std::to_string(c.chunk) +
                           ";unicode=" + (c.unicode ? "1" : "0") + "]:" + dir;
  return tcp_conn::connect(d_string(text.c_str()), d_string(user), d_string(password), err);
}

/// A namespace and one session on it, for tests run in every setting.
class e2e_test : public ::testing::TestWithParam<config> {
 protected:
  void SetUp() override { open(); }
  void TearDown() override { close(); }

  /// Connects and starts a session (again, after close()).
  void open() {
    Db_err err;
    conn = std::make_unique<Handle<Conn_t>>(connect(dir.path(), GetParam(), "torqa", "torqa", &err));
    ASSERT_TRUE((*conn)->is_active()) << err.code << " " << err.msg;
    db = std::make_unique<Database>(*conn, GetParam().cached);
  }
  /// Ends the session and disconnects: the namespace is released.
  void close() {
    db.reset();
    conn.reset();
  }

  d_ref<Dyn_obj> person(const char* name) {
    d_ref<Dyn_obj> p = Dyn_obj::create(*db, U(u"Sample.Person"));
    d_string n(name);
    p->set(U(u"Name"), n);
    return p;
  }

  /// "%Save": the status code.
  static int save(d_ref<Dyn_obj>& o) { return d_status(o->run_method_by_name(m_Save, nullptr, 0)).get_code(); }
  /// "%Id": empty when the object is not stored.
  static std::string id_of(d_ref<Dyn_obj>& o) {
    return d_string(o->run_method_by_name(U(u"%Id"), nullptr, 0)).mb_str();
  }

  template <class T>
  T read(d_ref<Dyn_obj>& o, const char16_t* prop) {
    T v;
    o->get(U(prop), v);
    return v;
  }

  namespace_dir dir;
  std::unique_ptr<Handle<Conn_t>> conn;
  std::unique_ptr<Database> db;
};

/// Every setting: 8-bit and 16-bit namespaces, with and without the cache,
/// with whole and with tiny reply chunks.
inline auto all_configs() {
  return ::testing::Values(config{false, false, 32768}, config{false, true, 32768}, config{true, false, 32768},
                           config{true, true, 32768}, config{false, false, 7}, config{true, true, 3});
}

}  // namespace torqa::e2e
