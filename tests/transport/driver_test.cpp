// Loading the driver library and binding its entry points.
#include "support/driver_env.h"

#include <torqa/errors.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <fstream>
#include <sstream>
#else
#include <dlfcn.h>
#endif

#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

// TORQA_WORKING_DRIVER: a library with every entry point: the stand-in driver
// as built beside libtorqa.so, or on Windows a stub that exports by ordinal only.
// TORQA_LACKING_DRIVER: a library that exports every entry point but DrvReadChunk.
// TORQA_NODIAG_DRIVER: one that exports every entry point but SQLGetDiagRec.

namespace {

using torqa::detail::driver;
using torqa::detail::driver_table;
using torqa::detail::install_driver;
using torqa::test::driver_env;

#ifdef _WIN32

bool is_loaded(const char* path) { return GetModuleHandleA(path) != nullptr; }

// Entry `name` of the loaded library `path`: by its ordinal in the driver's
// export list (TORQA_DRIVER_DEF, lines "name @ordinal"), by name when it has
// none there.
void* exported(const char* path, const char* name) {
  const HMODULE lib = GetModuleHandleA(path);
  std::ifstream def(TORQA_DRIVER_DEF);
  std::string line;
  while (std::getline(def, line)) {
    std::istringstream words(line);
    std::string word, ordinal;
    if (words >> word >> ordinal && word == name && ordinal.size() > 1 && ordinal[0] == '@')
      return reinterpret_cast<void*>(GetProcAddress(lib, MAKEINTRESOURCEA(std::stoi(ordinal.substr(1)))));
  }
  return reinterpret_cast<void*>(GetProcAddress(lib, name));
}

// Where the binding looks for the driver first: beside libtorqa.dll.
std::string driver_beside_binding() {
  HMODULE binding = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&driver), &binding);
  char path[MAX_PATH];
  std::string self(path, GetModuleFileNameA(binding, path, MAX_PATH));
  return self.substr(0, self.find_last_of("\\/") + 1) + "TorqaODBC.dll";
}

#else

bool is_loaded(const char* path) {
  void* lib = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (lib) dlclose(lib);
  return lib != nullptr;
}

void* exported(const char* path, const char* name) {
  void* lib = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  void* symbol = lib ? dlsym(lib, name) : nullptr;
  if (lib) dlclose(lib);
  return symbol;
}

#endif

Db_err load_failure() {
  try {
    driver();
  } catch (const Db_err& e) {
    return e;
  }
  ADD_FAILURE() << "the driver loaded";
  return {};
}

TEST(driver_loading, default_is_the_driver_beside_the_binding) {
  driver_env env("");  // empty counts as unset
#ifdef _WIN32
  // No stand-in driver is built for Windows: the failure names where it was sought.
  const Db_err e = load_failure();
  EXPECT_EQ(e.code, -1000);
  EXPECT_THAT(e.msg, ::testing::StartsWith("cannot load driver '" + driver_beside_binding() + "': "));
#else
  driver();
  EXPECT_TRUE(is_loaded(TORQA_WORKING_DRIVER)) << TORQA_WORKING_DRIVER " is not the library loaded";
#endif
}

TEST(driver_loading, binds_every_entry_point_once) {
  driver_env env(TORQA_WORKING_DRIVER);
  const driver_table& table = driver();
  // The table's slots in declaration order, each checked against its export.
  constexpr const char* names[] = {
      "SQLAllocEnv",     "SQLAllocConnect", "SQLFreeConnect",   "SQLFreeEnv",       "SQLAllocStmt",
      "SQLPrepare",      "SQLFreeStmt",     "SQLExecute",       "SQLFetch",         "SQLNumResultCols",
      "SQLDescribeCol",  "SQLNumParams",    "SQLDescribeParam", "SQLBindParameter", "SQLGetData",
      "DrvConnect",      "DrvOpenChannel",  "DrvCloseChannel",  "DrvBeginMessage",  "DrvSendMessage",
      "DrvNextChunk",    "DrvReadChunk",    "DrvSrvToMb",       "DrvUniToMb",       "DrvMbToUni",
      "SQLGetDiagRec"};
  void* slots[std::size(names)];
  static_assert(sizeof slots == sizeof(driver_table));
  std::memcpy(slots, &table, sizeof slots);
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_NE(slots[i], nullptr) << names[i];
    EXPECT_EQ(slots[i], exported(TORQA_WORKING_DRIVER, names[i])) << names[i];
  }
  EXPECT_EQ(&driver(), &table);  // loaded once
}

TEST(driver_loading, missing_entry_point_is_named_and_the_library_released) {
  driver_env env(TORQA_LACKING_DRIVER);
  const Db_err e = load_failure();
  EXPECT_EQ(e.code, -1000);
  EXPECT_EQ(e.msg, "driver '" TORQA_LACKING_DRIVER "' lacks entry point DrvReadChunk");
  EXPECT_FALSE(is_loaded(TORQA_LACKING_DRIVER)) << "the library is still loaded";
}

TEST(driver_loading, diagnostics_are_optional) {
  driver_env env(TORQA_NODIAG_DRIVER);
  const driver_table& table = driver();
  EXPECT_NE(table.DrvReadChunk, nullptr);
  EXPECT_EQ(table.SQLGetDiagRec, nullptr);
  // Failures then come without the driver's reason, and asking is harmless.
  int handle = 0;
  EXPECT_EQ(torqa::detail::diagnostic(SQL_HANDLE_STMT, &handle).state, "");
}

TEST(driver_loading_threads, first_use_on_many_threads_loads_once) {
  driver_env env(TORQA_WORKING_DRIVER);
  std::vector<const driver_table*> seen(8);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s] { s = &driver(); });
  for (auto& t : threads) t.join();
  for (const driver_table* s : seen) {
    EXPECT_EQ(s, seen[0]);
    EXPECT_NE(s->DrvMbToUni, nullptr);
  }
}

TEST(driver_loading, installed_table_replaces_the_library_until_removed) {
  driver_env env("/nonexistent/dir/libTorqaODBC.so");
  driver_table fake{};
  fake.DrvMbToUni = [](const char*, unsigned short, unsigned short*, unsigned short) -> unsigned short { return 7; };
  install_driver(&fake);
  EXPECT_EQ(&driver(), &fake);  // no load is attempted
  EXPECT_EQ(driver().DrvMbToUni(nullptr, 0, nullptr, 0), 7);

  install_driver(nullptr);  // back to loading the library, which is missing; a failure is not remembered
  const Db_err e = load_failure();
  EXPECT_EQ(e.code, -1000);
  EXPECT_THAT(e.msg, ::testing::MatchesRegex("cannot load driver '/nonexistent/dir/libTorqaODBC.so': .+"));
  driver_env::set(TORQA_WORKING_DRIVER);
  EXPECT_NE(&driver(), &fake);
  EXPECT_EQ(driver().DrvMbToUni, exported(TORQA_WORKING_DRIVER, "DrvMbToUni"));
}

}  // namespace
