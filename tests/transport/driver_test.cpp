// Loading the driver library and binding its entry points.
#include "support/driver_env.h"

#include <torqa/errors.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

// TORQA_DRIVER_FILE: the stand-in driver as built beside libtorqa.so.
// TORQA_LACKING_DRIVER: a library that exports every entry point but DrvReadChunk.
// TORQA_NODIAG_DRIVER: one that exports every entry point but SQLGetDiagRec.

namespace {

using torqa::detail::driver;
using torqa::detail::driver_table;
using torqa::detail::install_driver;
using torqa::test::driver_env;

Db_err load_failure() {
  try {
    driver();
  } catch (const Db_err& e) {
    return e;
  }
  ADD_FAILURE() << "the driver loaded";
  return {};
}

TEST(driver_loading, default_finds_the_driver_beside_the_binding_and_binds_every_entry_point) {
  driver_env env("");  // empty counts as unset
  const driver_table& table = driver();
  void* lib = dlopen(TORQA_DRIVER_FILE, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr) << TORQA_DRIVER_FILE " is not the library loaded";
  // The table's slots in declaration order, each checked against its symbol.
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
    EXPECT_EQ(slots[i], dlsym(lib, names[i])) << names[i];
  }
  dlclose(lib);
  EXPECT_EQ(&driver(), &table);  // loaded once
}

TEST(driver_loading, missing_file_is_refused_with_its_path_and_not_remembered) {
  driver_env env("/nonexistent/dir/libTorqaODBC.so");
  const Db_err e = load_failure();
  EXPECT_EQ(e.code, -1000);
  EXPECT_THAT(e.msg, ::testing::MatchesRegex("cannot load driver '/nonexistent/dir/libTorqaODBC.so': .+"));
  unsetenv("TORQA_DRIVER");
  EXPECT_NE(driver().DrvMbToUni, nullptr);  // the next call tries again
}

TEST(driver_loading, missing_entry_point_is_named_and_the_library_released) {
  driver_env env(TORQA_LACKING_DRIVER);
  const Db_err e = load_failure();
  EXPECT_EQ(e.code, -1000);
  EXPECT_EQ(e.msg, "driver '" TORQA_LACKING_DRIVER "' lacks entry point DrvReadChunk");
  void* lib = dlopen(TORQA_LACKING_DRIVER, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(lib, nullptr) << "the library is still loaded";
  if (lib) dlclose(lib);
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
  driver_env env("");
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

  install_driver(nullptr);
  EXPECT_EQ(load_failure().code, -1000);  // back to loading the library
  unsetenv("TORQA_DRIVER");
  EXPECT_NE(&driver(), &fake);
  EXPECT_EQ(driver().DrvMbToUni(nullptr, 0, nullptr, 0), 0);
}

}  // namespace
