#include "transport/driver.h"

#include <torqa/errors.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>

namespace torqa::detail {
namespace {

constexpr const char* driver_file = "libTorqaODBC.so";

// The first thread to need the driver loads it under load_mutex and then
// publishes the table through `loaded`; later uses read `loaded` alone.
std::mutex load_mutex;
void* loaded_library = nullptr;  // guarded by load_mutex
driver_table loaded_table{};     // written under load_mutex before it is published
std::atomic<const driver_table*> loaded{nullptr};
std::atomic<const driver_table*> installed_table{nullptr};

// A function of this library, whose address tells where the library lies.
void locate_self() {}

// The driver file in the directory of this library; empty when unknown.
std::string driver_beside_self() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&locate_self), &info) == 0 || info.dli_fname == nullptr) return {};
  const std::string self = info.dli_fname;
  const auto slash = self.rfind('/');
  if (slash == std::string::npos) return {};
  return self.substr(0, slash + 1) + driver_file;
}

std::string last_dl_error() {
  const char* text = dlerror();
  return text ? text : "unknown error";
}

Db_err cannot_load(const std::string& path, const std::string& reason) {
  return Db_err(-1000, "cannot load driver '" + path + "': " + reason);
}

// Opens the driver library and sets `path` to the path it was opened by:
// TORQA_DRIVER when set, otherwise the file beside this library, then the
// loader's search by bare name.
void* open_library(std::string& path) {
  const char* from_env = std::getenv("TORQA_DRIVER");
  if (from_env != nullptr && *from_env != '\0') {
    path = from_env;
    if (void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
    throw cannot_load(path, last_dl_error());
  }
  path = driver_beside_self();
  std::string first_failure;
  if (!path.empty()) {
    if (void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
    first_failure = last_dl_error();
  }
  if (void* lib = dlopen(driver_file, RTLD_NOW | RTLD_LOCAL)) {
    path = driver_file;
    return lib;
  }
  // Report the failure at the expected place, which tells the user most.
  if (first_failure.empty()) {
    path = driver_file;
    first_failure = last_dl_error();
  }
  throw cannot_load(path, first_failure);
}

// Looks up every entry point; returns the first missing name, or nullptr.
// An optional entry point that is missing stays null.
const char* resolve(void* lib, driver_table& table) {
  const char* missing = nullptr;
  const auto bind = [&](const char* name, auto& slot, bool required = true) {
    if (missing != nullptr) return;
    void* symbol = dlsym(lib, name);
    if (symbol == nullptr) {
      if (required) missing = name;
      return;
    }
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
  };
#define TORQA_BIND(name) bind(#name, table.name)
  TORQA_BIND(SQLAllocEnv);
  TORQA_BIND(SQLAllocConnect);
  TORQA_BIND(SQLFreeConnect);
  TORQA_BIND(SQLFreeEnv);
  TORQA_BIND(SQLAllocStmt);
  TORQA_BIND(SQLPrepare);
  TORQA_BIND(SQLFreeStmt);
  TORQA_BIND(SQLExecute);
  TORQA_BIND(SQLFetch);
  TORQA_BIND(SQLNumResultCols);
  TORQA_BIND(SQLDescribeCol);
  TORQA_BIND(SQLNumParams);
  TORQA_BIND(SQLDescribeParam);
  TORQA_BIND(SQLBindParameter);
  TORQA_BIND(SQLGetData);
  TORQA_BIND(DrvConnect);
  TORQA_BIND(DrvOpenChannel);
  TORQA_BIND(DrvCloseChannel);
  TORQA_BIND(DrvBeginMessage);
  TORQA_BIND(DrvSendMessage);
  TORQA_BIND(DrvNextChunk);
  TORQA_BIND(DrvReadChunk);
  TORQA_BIND(DrvSrvToMb);
  TORQA_BIND(DrvUniToMb);
  TORQA_BIND(DrvMbToUni);
  bind("SQLGetDiagRec", table.SQLGetDiagRec, false);
#undef TORQA_BIND
  return missing;
}

// Loads the driver into loaded_library/loaded_table, or throws and leaves
// nothing loaded, so that the next use tries again. Called under load_mutex.
void load() {
  std::string path;
  void* lib = open_library(path);
  driver_table table{};
  if (const char* missing = resolve(lib, table)) {
    dlclose(lib);
    throw Db_err(-1000, "driver '" + path + "' lacks entry point " + missing);
  }
  loaded_library = lib;
  loaded_table = table;
}

}  // namespace

const driver_table& driver() {
  if (const driver_table* t = installed_table.load(std::memory_order_acquire)) return *t;
  if (const driver_table* t = loaded.load(std::memory_order_acquire)) return *t;
  const std::lock_guard<std::mutex> guard(load_mutex);
  if (loaded.load(std::memory_order_relaxed) == nullptr) {
    load();
    loaded.store(&loaded_table, std::memory_order_release);
  }
  return loaded_table;
}

Db_diag diagnostic(SQLSMALLINT type, SQLHANDLE h) {
  Db_diag d;
  const auto get = driver().SQLGetDiagRec;
  if (get == nullptr || h == nullptr) return d;
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  std::string text(512, '\0');
  SQLSMALLINT length = 0;
  const auto read = [&] {
    return get(type, h, 1, state, &native, reinterpret_cast<SQLCHAR*>(text.data()),
               static_cast<SQLSMALLINT>(text.size()), &length);
  };
  SQLRETURN rc = read();
  // A message longer than the buffer: once more with room for all of it.
  if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
    text.assign(static_cast<std::size_t>(length) + 1, '\0');
    rc = read();
  }
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return d;
  // Whatever the driver claims, nothing is read past either buffer.
  d.state.assign(reinterpret_cast<const char*>(state), strnlen(reinterpret_cast<const char*>(state), 5));
  d.native = native;
  const std::size_t reported = length >= 0 ? static_cast<std::size_t>(length) : text.size();
  text.resize(strnlen(text.data(), std::min(reported, text.size() - 1)));
  d.text = std::move(text);
  return d;
}

void install_driver(const driver_table* table) { installed_table.store(table, std::memory_order_release); }

void reset_driver_for_tests() {
  const std::lock_guard<std::mutex> guard(load_mutex);
  if (loaded_library != nullptr) dlclose(loaded_library);
  loaded_library = nullptr;
  loaded.store(nullptr, std::memory_order_release);
  loaded_table = driver_table{};
}

}  // namespace torqa::detail
