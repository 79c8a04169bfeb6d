// SQL on the embedded server: the sources are thin forwarders to
// server::sql_statement and the connection's database.
#include "source.h"

#include <sqlite3.h>

namespace torqa::driver {

namespace {

class local_statement final : public statement_source {
 public:
  explicit local_statement(std::unique_ptr<server::sql_statement> sql)
      : statement_source(sql->kind(), sql->unicode(), sql->columns(), sql->params()), sql_(std::move(sql)) {}

  void close() override { sql_->close(); }
  void bind(int i, const server::sql_value& v) override { sql_->bind(i, v); }
  void execute() override { sql_->execute(); }
  bool fetch() override { return sql_->fetch(); }
  bool on_row() const override { return sql_->on_row(); }
  server::sql_value value(int i) const override { return sql_->value(i); }
  std::int64_t changes() const override { return sql_->changes(); }
  std::string query_info(std::string_view cls, std::string_view query_name) override {
    return sql_->query_info(cls, query_name);
  }

 private:
  std::unique_ptr<server::sql_statement> sql_;
};

class local_connection final : public sql_source {
 public:
  explicit local_connection(server::connection& c) : conn_(c) {}

  std::unique_ptr<statement_source> prepare(std::string_view utf8) override {
    return std::make_unique<local_statement>(std::make_unique<server::sql_statement>(conn_, utf8));
  }
  transaction_state transaction() override {
    if (sqlite3_get_autocommit(conn_.store().db()) != 0) return transaction_state::none;
    return conn_.tx_level > 0 ? transaction_state::objects : transaction_state::sql;
  }
  void begin() override { conn_.store().exec("BEGIN"); }
  void end(bool commit) override { conn_.store().exec(commit ? "COMMIT" : "ROLLBACK"); }
  std::vector<catalog_table> catalog(bool with_columns) override {
    std::vector<catalog_table> out;
    for (std::string& name : server::client_tables(conn_.get_schema())) {
      auto columns = with_columns ? server::table_columns(conn_, name) : std::vector<server::table_column>{};
      out.push_back({std::move(name), std::move(columns)});
    }
    return out;
  }
  bool unicode() override { return conn_.ns().unicode(); }
  std::string server_name() const override { return "local"; }
  std::string database_name() const override { return conn_.ns().dir(); }
  std::string user() const override { return conn_.user(); }

 private:
  server::connection& conn_;
};

}  // namespace

std::unique_ptr<sql_source> local_sql(server::connection& c) { return std::make_unique<local_connection>(c); }

}  // namespace torqa::driver
