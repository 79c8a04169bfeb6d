// A transaction as an object: started on construction, committed by
// commit(), rolled back by the destructor when it was not committed (an
// exception leaving the scope undoes the work).
//
// Transactions nest on the server: commit closes the innermost level, and
// rollback undoes every open level, the enclosing ones included.
#pragma once

#include <torqa/session.h>

namespace torqa {

class transaction {
 public:
  /// Starts a transaction on `db`; server errors are thrown.
  explicit transaction(Database& db) : db_(db) { db_.start_transaction(); }
  transaction(const transaction&) = delete;
  transaction& operator=(const transaction&) = delete;
  /// Rolls back unless commit() or rollback() ran; a failed rollback is
  /// dropped (a destructor cannot throw; the server ends the work with the
  /// session anyway).
  ~transaction() {
    if (open_) {
      try {
        db_.rollback();
      } catch (...) {
      }
    }
  }

  /// Commits; server errors are thrown and leave the transaction to be
  /// rolled back.
  void commit() {
    if (!open_) throw Db_err(-1000, "the transaction has ended");
    db_.commit();
    open_ = false;
  }
  /// Rolls back now; server errors are thrown.
  void rollback() {
    if (!open_) throw Db_err(-1000, "the transaction has ended");
    open_ = false;
    db_.rollback();
  }

 private:
  Database& db_;
  bool open_ = true;
};

}  // namespace torqa
