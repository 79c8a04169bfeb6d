// SQL on a daemon: each statement is prepared there and named by the id
// the daemon gives it; parameters are kept here and travel with execute;
// rows come in batches, the next one asked for when the last row of the
// current one has been fetched. Every answer is checked before it is used.
#include "source.h"

#include "server/net/remote.h"
#include "server/net/sql_frames.h"

namespace torqa::driver {

namespace {

using net::frame_type;
using server::sql_value;

/// An exchange with the daemon; its failures as server errors.
std::string call(net::remote_connection& c, std::uint8_t type, std::string_view body, std::uint8_t expected) {
  if (body.size() >= net::max_frame_length)
    throw server::server_error(server::err_too_long, "the request is longer than a frame can carry (16 MiB)");
  try {
    return c.call(type, body, expected);
  } catch (const net::remote_error& e) {
    if (c.failed()) throw link_failure(e.code, e.msg);
    throw server::server_error(e.code, e.msg);
  }
}

[[noreturn]] void malformed(const char* what) {
  throw server::server_error(server::err_malformed, std::string("malformed ") + what + " from the daemon");
}

std::string id_body(std::uint32_t id) {
  std::string body;
  net::put_u32(body, id);
  return body;
}

class remote_statement final : public statement_source {
 public:
  remote_statement(net::remote_connection& c, net::sql_description d)
      : statement_source(d.form, d.unicode, std::move(d.columns), std::move(d.params)), conn_(c), id_(d.statement) {}
  ~remote_statement() override {
    try {
      call(conn_, frame_type::free_sql, id_body(id_), frame_type::done);
    } catch (const server::server_error&) {  // a failed connection freed it with everything else
    }
  }

  void close() override {
    params_.clear();
    on_row_ = false;
    const bool held = open_ && rows_.end == net::batch_end::more;
    open_ = false;
    if (!held) return;
    try {
      call(conn_, frame_type::close_sql, id_body(id_), frame_type::done);
    } catch (const server::server_error&) {  // a failed connection took the run with it; the next call says so
    }
  }
  void bind(int i, const sql_value& v) override {
    if (i < 1 || static_cast<std::size_t>(i) > params().size())
      throw server::server_error(server::err_storage, "column index out of range");
    if (params_.size() < static_cast<std::size_t>(i)) params_.resize(static_cast<std::size_t>(i));
    params_[i - 1] = {v, std::string(v.bytes)};
  }
  void execute() override {
    // The daemon ends the last run itself.
    open_ = on_row_ = false;
    std::vector<sql_value> values;
    for (const auto& [v, bytes] : params_) {
      values.push_back(v);
      values.back().bytes = bytes;
    }
    batch_ = call(conn_, frame_type::execute, net::execute_body(id_, values), frame_type::executed);
    params_.clear();
    net::body_reader r(batch_);
    std::uint64_t changes = 0;
    if (!r.u64(changes) || !rows_.start(r.rest(), columns().size())) malformed("execute answer");
    changes_ = static_cast<std::int64_t>(changes);
    open_ = true;
  }
  bool fetch() override {
    on_row_ = false;
    while (open_) {
      switch (rows_.next(row_)) {
        case net::batch_reader::step::row:
          on_row_ = true;
          return true;
        case net::batch_reader::step::malformed:
          open_ = false;
          malformed("rows");
        case net::batch_reader::step::end:
          if (rows_.end == net::batch_end::failed) {
            open_ = false;
            throw server::server_error(rows_.code, std::string(rows_.message));
          }
          if (rows_.end == net::batch_end::done) {
            open_ = false;
            break;
          }
          batch_ = call(conn_, frame_type::fetch, id_body(id_), frame_type::rows);
          if (!rows_.start(batch_, columns().size())) malformed("rows");
          break;
      }
    }
    return false;
  }
  bool on_row() const override { return on_row_; }
  sql_value value(int i) const override {
    return on_row_ && i >= 0 && static_cast<std::size_t>(i) < row_.size() ? row_[i] : sql_value{};
  }
  std::int64_t changes() const override { return changes_; }
  std::string query_info(std::string_view cls, std::string_view query_name) override {
    std::string body = id_body(id_);
    net::put_str(body, cls);
    net::put_str(body, query_name);
    return call(conn_, frame_type::query_info, body, frame_type::info_reply);
  }

 private:
  net::remote_connection& conn_;
  const std::uint32_t id_;                                 // the daemon's
  std::vector<std::pair<sql_value, std::string>> params_;  // values and the bytes they view
  std::string batch_;                                      // the batch being read: row_ views it
  net::batch_reader rows_;
  std::vector<sql_value> row_;
  std::int64_t changes_ = 0;
  bool open_ = false;  // executed, and the rows not all fetched
  bool on_row_ = false;
};

class remote_connection final : public sql_source {
 public:
  remote_connection(net::remote_connection& c, std::string host, std::string name, std::string user)
      : conn_(c), host_(std::move(host)), name_(std::move(name)), user_(std::move(user)) {}

  std::unique_ptr<statement_source> prepare(std::string_view utf8) override {
    std::string body;
    net::put_str(body, utf8);
    net::sql_description d;
    if (!net::read_description(call(conn_, frame_type::prepare, body, frame_type::described), d))
      malformed("description");
    return std::make_unique<remote_statement>(conn_, std::move(d));
  }
  transaction_state transaction() override { return transact(net::transaction_op::state); }
  void begin() override { transact(net::transaction_op::begin); }
  void end(bool commit) override { transact(commit ? net::transaction_op::commit : net::transaction_op::rollback); }
  std::vector<catalog_table> catalog(bool with_columns) override {
    std::vector<net::sql_table> tables;
    if (!net::read_tables(call(conn_, frame_type::catalog, std::string(1, with_columns ? 1 : 0), frame_type::tables),
                          tables))
      malformed("catalog");
    std::vector<catalog_table> out;
    for (net::sql_table& t : tables) out.push_back({std::move(t.name), std::move(t.columns)});
    return out;
  }
  bool unicode() override {
    if (!unicode_) {
      const std::string facts = call(conn_, frame_type::sql_info, {}, frame_type::sql_facts);
      if (facts.size() != 1 || static_cast<unsigned char>(facts[0]) > 1) malformed("namespace facts");
      unicode_ = facts[0] == 1;
    }
    return *unicode_;
  }
  std::string server_name() const override { return host_; }
  std::string database_name() const override { return name_; }
  std::string user() const override { return user_; }

 private:
  transaction_state transact(net::transaction_op op) {
    const std::string state =
        call(conn_, frame_type::transaction, std::string(1, static_cast<char>(op)), frame_type::transaction_state);
    if (state.size() != 1 ||
        static_cast<unsigned char>(state[0]) > static_cast<unsigned char>(transaction_state::objects))
      malformed("transaction state");
    return static_cast<transaction_state>(state[0]);
  }

  net::remote_connection& conn_;
  std::string host_, name_, user_;
  std::optional<bool> unicode_;
};

}  // namespace

std::unique_ptr<sql_source> remote_sql(net::remote_connection& c, std::string host, std::string name,
                                       std::string user) {
  return std::make_unique<remote_connection>(c, std::move(host), std::move(name), std::move(user));
}

}  // namespace torqa::driver
