#include "transport/driver.h"

#include <torqa/errors.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <type_traits>

namespace torqa::detail {
namespace {

constexpr const char* driver_file = "libTorqaODBC.so";

void* loaded_library = nullptr;
driver_table loaded_table{};
const driver_table* installed_table = nullptr;

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
const char* resolve(void* lib, driver_table& table) {
  const char* missing = nullptr;
  const auto bind = [&](const char* name, auto& slot) {
    if (missing != nullptr) return;
    void* symbol = dlsym(lib, name);
    if (symbol == nullptr) {
      missing = name;
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
#undef TORQA_BIND
  return missing;
}

// Loads the driver into loaded_library/loaded_table, or throws and leaves
// nothing loaded, so that the next use tries again.
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
  if (installed_table != nullptr) return *installed_table;
  if (loaded_library == nullptr) load();
  return loaded_table;
}

void install_driver(const driver_table* table) { installed_table = table; }

void reset_driver_for_tests() {
  if (loaded_library != nullptr) dlclose(loaded_library);
  loaded_library = nullptr;
  loaded_table = driver_table{};
}

}  // namespace torqa::detail
