#include "transport/driver.h"

#include <torqa/errors.h>

#include "transport/driver_library.h"

#include <string>
#include <type_traits>

namespace torqa::detail {
namespace {

namespace dl = driver_library;

void* loaded_library = nullptr;
driver_table loaded_table{};
const driver_table* installed_table = nullptr;

Db_err cannot_load(const std::string& path, const std::string& reason) {
  return Db_err(-1000, "cannot load driver '" + path + "': " + reason);
}

// Opens the driver library and sets `path` to the path it was opened by:
// TORQA_DRIVER when set, otherwise the file beside this library, then the
// loader's search by bare name.
void* open_library(std::string& path) {
  std::string error;
  path = dl::environment("TORQA_DRIVER");
  if (!path.empty()) {
    if (void* lib = dl::open(path, error)) return lib;
    throw cannot_load(path, error);
  }
  path = dl::beside_self(dl::file_name);
  std::string first_failure;
  if (!path.empty()) {
    if (void* lib = dl::open(path, first_failure)) return lib;
  }
  if (void* lib = dl::open(dl::file_name, error)) {
    path = dl::file_name;
    return lib;
  }
  // Report the failure at the expected place, which tells the user most.
  if (first_failure.empty()) {
    path = dl::file_name;
    first_failure = error;
  }
  throw cannot_load(path, first_failure);
}

// Looks up every entry point; returns the first missing name, or nullptr.
const char* resolve(void* lib, driver_table& table) {
  const char* missing = nullptr;
  const auto bind = [&](const char* name, auto& slot) {
    if (missing != nullptr) return;
    void* symbol = dl::entry_point(lib, name);
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
    dl::close(lib);
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
  if (loaded_library != nullptr) dl::close(loaded_library);
  loaded_library = nullptr;
  loaded_table = driver_table{};
}

}  // namespace torqa::detail
