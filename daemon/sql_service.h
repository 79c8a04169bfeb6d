// SQL over a client connection: the statements a client prepares on the
// connection's own SQLite connection, run and fetched in batches, its
// transactions, and the catalog (see server/PROTOCOL.md). A client holds
// at most net::max_statements statements; when it goes, its statements are
// freed and a transaction its SQL left open is rolled back.
#pragma once

#include "server/core/namespace.h"
#include "server/net/frame.h"
#include "server/sql/sql.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace torqa::daemon {

class sql_service {
 public:
  explicit sql_service(server::connection& c) : conn_(c) {}
  sql_service(const sql_service&) = delete;
  sql_service& operator=(const sql_service&) = delete;
  ~sql_service();

  /// Whether frames of `type` are this service's requests.
  static bool serves(std::uint8_t type);
  /// Answers request `f` with a frame type and body (a failure for a
  /// request refused); false when the body does not hold its fields.
  bool answer(const net::frame& f, std::uint8_t& type, std::string& body);

 private:
  struct statement {
    std::unique_ptr<server::sql_statement> sql;
    bool open = false;     ///< run and not fetched to its end
    std::size_t rows = 0;  ///< the rows the next batch may take
  };

  /// Appends the next batch of `s`'s rows to `out`.
  void fill(statement& s, std::string& out);
  void close(statement& s);
  bool transaction_open() const;

  server::connection& conn_;
  std::map<std::uint32_t, statement> statements_;
  std::uint32_t next_id_ = 1;
};

}  // namespace torqa::daemon
