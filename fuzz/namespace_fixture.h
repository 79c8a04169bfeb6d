// A namespace made from the sample schema in a fresh temporary directory,
// kept for the whole fuzzing run, and connections to it through the
// driver's own entry points.
#pragma once

#include <torqa/driver_abi.h>

#include <sql.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fuzz {

inline std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

inline torqa_drv_str drv_str(const std::u16string& s) {
  return {reinterpret_cast<const unsigned short*>(s.data()), static_cast<unsigned>(s.size())};
}

/// DrvConnect on `hdbc` as torqa/torqa; `options` and `path` as given.
inline short connect(SQLHDBC hdbc, const std::u16string& host, const std::u16string& options,
                     const std::u16string& path) {
  const std::u16string user = u"torqa", password = u"torqa";
  const torqa_drv_str h = drv_str(host), o = drv_str(options), p = drv_str(path), u = drv_str(user),
                      w = drv_str(password);
  return DrvConnect(hdbc, &h, &o, &p, &u, &w);
}

/// The directory of the run's namespace, created on first use with cheap
/// password hashing and removed when the process exits normally.
class sample_namespace {
 public:
  static const sample_namespace& get() {
    static const sample_namespace ns;
    return ns;
  }

  std::u16string path() const { return widen(dir_ + "/ns"); }
  std::u16string options(const std::string& extra = "") const {
    return widen("fasthash=1;schema=" TORQA_SAMPLE_SCHEMA + extra);
  }

  /// A new connection to the namespace; null when the connect fails.
  SQLHDBC open(SQLHENV env, const std::string& extra_options = "") const {
    SQLHDBC dbc = nullptr;
    if (SQLAllocConnect(env, &dbc) != SQL_SUCCESS) return nullptr;
    if (connect(dbc, u"local", options(extra_options), path()) != 0) {
      SQLFreeConnect(dbc);
      return nullptr;
    }
    return dbc;
  }

 private:
  sample_namespace() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torqa-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    // Static objects are gone by the time exit handlers run; this copy is not.
    static const std::string* removed_at_exit = new std::string(dir_);
    std::atexit([] { std::filesystem::remove_all(*removed_at_exit); });
  }
  std::string dir_;
};

/// The process's ODBC environment.
inline SQLHENV environment() {
  static SQLHENV env = [] {
    SQLHENV e = nullptr;
    if (SQLAllocEnv(&e) != SQL_SUCCESS) std::abort();
    return e;
  }();
  return env;
}

}  // namespace fuzz
