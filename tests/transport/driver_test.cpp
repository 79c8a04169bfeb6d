#include "transport/driver.h"

#include <torqa/errors.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

// TORQA_DRIVER_FILE: the stand-in driver as built beside libtorqa.so.
// TORQA_LACKING_DRIVER: a library that exports every entry point but DrvReadChunk.

namespace {

using torqa::detail::driver;
using torqa::detail::driver_table;
using torqa::detail::install_driver;
using torqa::detail::reset_driver_for_tests;
using ::testing::StartsWith;

// Each test starts with no driver loaded and TORQA_DRIVER unset, and leaves
// the environment and the loader as it found them.
class driver_loading : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* value = std::getenv("TORQA_DRIVER")) saved_ = value;
    unsetenv("TORQA_DRIVER");
    reset_driver_for_tests();
  }
  void TearDown() override {
    install_driver(nullptr);
    reset_driver_for_tests();
    if (saved_)
      setenv("TORQA_DRIVER", saved_->c_str(), 1);
    else
      unsetenv("TORQA_DRIVER");
  }

  static Db_err load_failure() {
    try {
      driver();
    } catch (const Db_err& e) {
      return e;
    }
    ADD_FAILURE() << "the driver loaded";
    return {};
  }

  // Whether the library at `path` is mapped in the process.
  static bool is_loaded(const char* path) {
    void* lib = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (lib) dlclose(lib);
    return lib != nullptr;
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(driver_loading, default_finds_the_driver_beside_the_binding_and_binds_every_entry_point) {
  setenv("TORQA_DRIVER", "", 1);  // empty counts as unset
  const driver_table& table = driver();
  void* lib = dlopen(TORQA_DRIVER_FILE, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr) << TORQA_DRIVER_FILE " is not the library loaded";
  // The table's slots in declaration order, each checked against its symbol.
  constexpr const char* names[] = {
      "SQLAllocEnv",     "SQLAllocConnect", "SQLFreeConnect",   "SQLFreeEnv",       "SQLAllocStmt",
      "SQLPrepare",      "SQLFreeStmt",     "SQLExecute",       "SQLFetch",         "SQLNumResultCols",
      "SQLDescribeCol",  "SQLNumParams",    "SQLDescribeParam", "SQLBindParameter", "SQLGetData",
      "DrvConnect",      "DrvOpenChannel",  "DrvCloseChannel",  "DrvBeginMessage",  "DrvSendMessage",
      "DrvNextChunk",    "DrvReadChunk",    "DrvSrvToMb",       "DrvUniToMb",       "DrvMbToUni"};
  void* slots[std::size(names)];
  static_assert(sizeof slots == sizeof(driver_table));
  std::memcpy(slots, &table, sizeof slots);
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_NE(slots[i], nullptr) << names[i];
    EXPECT_EQ(slots[i], dlsym(lib, names[i])) << names[i];
  }
  dlclose(lib);

  EXPECT_EQ(&driver(), &table);  // loaded once
  unsigned short out[2] = {};
  EXPECT_EQ(table.DrvMbToUni("\xC3\xA9", 2, out, 2), 1);
  EXPECT_EQ(out[0], 0x00E9);
}

TEST_F(driver_loading, missing_file_is_refused_with_its_path_and_not_remembered) {
  setenv("TORQA_DRIVER", "/nonexistent/dir/libTorqaODBC.so", 1);
  const Db_err e = load_failure();
  EXPECT_EQ(e.code, -1000);
  EXPECT_THAT(e.msg, StartsWith("cannot load driver '/nonexistent/dir/libTorqaODBC.so': "));
  EXPECT_GT(e.msg.size(), std::string("cannot load driver '/nonexistent/dir/libTorqaODBC.so': ").size());

  unsetenv("TORQA_DRIVER");
  EXPECT_NE(driver().DrvMbToUni, nullptr);  // the next call tries again
}

TEST_F(driver_loading, missing_entry_point_is_named_and_the_library_released) {
  setenv("TORQA_DRIVER", TORQA_LACKING_DRIVER, 1);
  const Db_err e = load_failure();
  EXPECT_EQ(e.code, -1000);
  EXPECT_EQ(e.msg, "driver '" TORQA_LACKING_DRIVER "' lacks entry point DrvReadChunk");
  EXPECT_FALSE(is_loaded(TORQA_LACKING_DRIVER));
}

TEST_F(driver_loading, installed_table_replaces_the_library_until_removed) {
  driver_table fake{};
  fake.DrvMbToUni = [](const char*, unsigned short, unsigned short*, unsigned short) -> unsigned short { return 7; };
  setenv("TORQA_DRIVER", "/nonexistent/dir/libTorqaODBC.so", 1);

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
