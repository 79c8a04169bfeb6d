// The driver's 25 entry points as one table, and how the binding obtains it.
//
// The binding loads the driver library on first use: the path in the
// environment variable TORQA_DRIVER, otherwise libTorqaODBC.so beside the
// binding itself. A driver that cannot be loaded, or that lacks an entry
// point, raises Db_err -1000 naming the path and the missing symbol.
// SQLGetDiagRec is optional: a driver without it loads, and failures then
// come without the driver's diagnostic.
// Tests may install an in-process table instead (install_driver).
// The library is loaded once, whichever thread uses it first; a failed load
// is not remembered, so the next use tries again.
#pragma once

#include <torqa/errors.h>

#include <torqa/driver_abi.h>
#include <torqa/export.h>

#include <sql.h>
#include <sqlext.h>

namespace torqa::detail {

struct driver_table {
  // Standard ODBC functions.
  decltype(&::SQLAllocEnv) SQLAllocEnv;
  decltype(&::SQLAllocConnect) SQLAllocConnect;
  decltype(&::SQLFreeConnect) SQLFreeConnect;
  decltype(&::SQLFreeEnv) SQLFreeEnv;
  decltype(&::SQLAllocStmt) SQLAllocStmt;
  decltype(&::SQLPrepare) SQLPrepare;
  decltype(&::SQLFreeStmt) SQLFreeStmt;
  decltype(&::SQLExecute) SQLExecute;
  decltype(&::SQLFetch) SQLFetch;
  decltype(&::SQLNumResultCols) SQLNumResultCols;
  decltype(&::SQLDescribeCol) SQLDescribeCol;
  decltype(&::SQLNumParams) SQLNumParams;
  decltype(&::SQLDescribeParam) SQLDescribeParam;
  decltype(&::SQLBindParameter) SQLBindParameter;
  decltype(&::SQLGetData) SQLGetData;
  // Private entry points.
  decltype(&::DrvConnect) DrvConnect;
  decltype(&::DrvOpenChannel) DrvOpenChannel;
  decltype(&::DrvCloseChannel) DrvCloseChannel;
  decltype(&::DrvBeginMessage) DrvBeginMessage;
  decltype(&::DrvSendMessage) DrvSendMessage;
  decltype(&::DrvNextChunk) DrvNextChunk;
  decltype(&::DrvReadChunk) DrvReadChunk;
  decltype(&::DrvSrvToMb) DrvSrvToMb;
  decltype(&::DrvUniToMb) DrvUniToMb;
  decltype(&::DrvMbToUni) DrvMbToUni;
  // Optional: null when the driver does not export it.
  decltype(&::SQLGetDiagRec) SQLGetDiagRec;
};

/// The driver's table, loading the driver library on first use.
/// Throws Db_err -1000 when the driver or one of its entry points is missing.
TORQA_API const driver_table& driver();  // exported for the loader's tests

/// The driver's first diagnostic record on handle `h` of `type`
/// (SQL_HANDLE_DBC, SQL_HANDLE_STMT); an empty state when the driver has
/// none or cannot tell (no SQLGetDiagRec).
TORQA_API Db_diag diagnostic(SQLSMALLINT type, SQLHANDLE h);  // exported for the loader's tests

/// Test seam: makes `table` the driver for every later call (nullptr goes
/// back to the loaded library). The table must outlive its use.
TORQA_API void install_driver(const driver_table* table);

/// Test seam: forgets the loaded library and its failure, so that the next
/// driver() call loads again (after TORQA_DRIVER has changed).
TORQA_API void reset_driver_for_tests();

}  // namespace torqa::detail
