#include "sql_service.h"

#include "server/errors.h"
#include "server/net/sql_frames.h"
#include "server/storage/storage.h"

#include <sqlite3.h>

#include <algorithm>

namespace torqa::daemon {

using net::frame_type;

sql_service::~sql_service() {
  statements_.clear();
  if (!transaction_open() || conn_.tx_level > 0) return;
  try {
    conn_.store().exec("ROLLBACK");
  } catch (const server::server_error&) {  // closing the connection rolls it back all the same
  }
}

bool sql_service::serves(std::uint8_t type) {
  switch (type) {
    case frame_type::prepare:
    case frame_type::execute:
    case frame_type::fetch:
    case frame_type::close_sql:
    case frame_type::free_sql:
    case frame_type::query_info:
    case frame_type::transaction:
    case frame_type::catalog:
    case frame_type::sql_info:
      return true;
    default:
      return false;
  }
}

bool sql_service::transaction_open() const { return sqlite3_get_autocommit(conn_.store().db()) == 0; }

void sql_service::close(statement& s) {
  s.sql->close();
  s.open = false;
}

void sql_service::fill(statement& s, std::string& out) {
  net::batch_writer batch(out);
  const auto columns = static_cast<int>(s.sql->columns().size());
  const std::size_t rows = s.rows;
  // Batches grow: a caller that reads a few rows waits for a few, one that
  // reads them all makes fewer round trips.
  s.rows = std::min(2 * s.rows, net::batch_rows);
  try {
    while (batch.rows() < rows && batch.size() < net::batch_bytes) {
      if (!s.sql->fetch()) {
        s.open = false;
        return batch.finish(net::batch_end::done);
      }
      const std::size_t at = out.size();
      for (int i = 0; i < columns; ++i) net::put_value(out, s.sql->value(i));
      if (out.size() - at > net::max_row_bytes) {
        const std::size_t length = out.size() - at;
        out.resize(at);
        close(s);
        return batch.finish(net::batch_end::failed, server::err_too_long,
                            "a row of " + std::to_string(length) + " bytes is longer than a batch can carry");
      }
      batch.row_done();
    }
    batch.finish(net::batch_end::more);
  } catch (const server::server_error& e) {
    s.open = false;
    batch.finish(net::batch_end::failed, e.code, e.msg);
  }
}

bool sql_service::answer(const net::frame& f, std::uint8_t& type, std::string& body) {
  body.clear();
  const auto fail = [&](int code, std::string_view msg) {
    type = frame_type::failure;
    body.clear();
    net::put_u32(body, static_cast<std::uint32_t>(code));
    net::put_str(body, msg);
    return true;
  };
  net::body_reader r(f.body);
  std::uint32_t id = 0;
  statement* s = nullptr;
  // Requests naming a statement start with its id.
  if (f.type != frame_type::prepare && f.type != frame_type::transaction && f.type != frame_type::catalog &&
      f.type != frame_type::sql_info) {
    if (!r.u32(id)) return false;
    const auto it = statements_.find(id);
    if (it == statements_.end()) return fail(server::err_malformed, "no statement " + std::to_string(id));
    s = &it->second;
  }
  try {
    switch (f.type) {
      case frame_type::prepare: {
        std::string_view text;
        if (!r.str(text) || !r.at_end()) return false;
        if (statements_.size() >= net::max_statements)
          return fail(server::err_storage,
                      "too many statements: a connection holds at most " + std::to_string(net::max_statements));
        auto sql = std::make_unique<server::sql_statement>(conn_, text);
        while (id == 0 || statements_.count(id) != 0) id = next_id_++;
        type = frame_type::described;
        body = net::description_body({id, sql->kind(), sql->unicode(), sql->columns(), sql->params()});
        statements_[id].sql = std::move(sql);
        return true;
      }
      case frame_type::execute: {
        std::vector<server::sql_value> params;
        if (!net::read_execute(f.body, id, params)) return false;
        close(*s);
        try {
          for (std::size_t i = 0; i < params.size(); ++i) s->sql->bind(static_cast<int>(i + 1), params[i]);
          s->sql->execute();
        } catch (const server::server_error&) {
          close(*s);
          throw;
        }
        type = frame_type::executed;
        net::put_u64(body, static_cast<std::uint64_t>(s->sql->changes()));
        if (s->sql->columns().empty()) {
          net::batch_writer(body).finish(net::batch_end::done);
        } else {
          s->open = true;
          s->rows = net::batch_first_rows;
          fill(*s, body);
        }
        return true;
      }
      case frame_type::fetch:
        if (!r.at_end()) return false;
        type = frame_type::rows;
        if (s->open)
          fill(*s, body);
        else
          net::batch_writer(body).finish(net::batch_end::done);
        return true;
      case frame_type::close_sql:
      case frame_type::free_sql:
        if (!r.at_end()) return false;
        if (f.type == frame_type::close_sql)
          close(*s);
        else
          statements_.erase(id);
        type = frame_type::done;
        return true;
      case frame_type::query_info: {
        std::string_view cls, query;
        if (!r.str(cls) || !r.str(query) || !r.at_end()) return false;
        body = s->sql->query_info(cls, query);
        type = frame_type::info_reply;
        return true;
      }
      case frame_type::transaction: {
        std::uint8_t op = 0;
        if (!r.u8(op) || !r.at_end() || op > static_cast<std::uint8_t>(net::transaction_op::rollback)) return false;
        const auto what = static_cast<net::transaction_op>(op);
        if (what == net::transaction_op::begin) {
          conn_.store().exec("BEGIN");
        } else if (what != net::transaction_op::state && transaction_open() && conn_.tx_level == 0) {
          // Open results end with the transaction.
          for (auto& [n, st] : statements_) close(st);
          conn_.store().exec(what == net::transaction_op::commit ? "COMMIT" : "ROLLBACK");
        }
        const auto state = !transaction_open()  ? net::transaction_answer::none
                           : conn_.tx_level > 0 ? net::transaction_answer::objects
                                                : net::transaction_answer::sql;
        type = frame_type::transaction_state;
        body = std::string(1, static_cast<char>(state));
        return true;
      }
      case frame_type::catalog: {
        std::uint8_t with_columns = 0;
        if (!r.u8(with_columns) || !r.at_end() || with_columns > 1) return false;
        std::vector<net::sql_table> tables;
        for (std::string& name : server::client_tables(conn_.get_schema())) {
          auto columns = with_columns ? server::table_columns(conn_, name) : std::vector<server::table_column>{};
          tables.push_back({std::move(name), std::move(columns)});
        }
        type = frame_type::tables;
        body = net::tables_body(tables);
        return true;
      }
      case frame_type::sql_info:
        if (!r.at_end()) return false;
        type = frame_type::sql_facts;
        body = std::string(1, conn_.ns().unicode() ? 1 : 0);
        return true;
      default:
        return false;
    }
  } catch (const server::server_error& e) {
    return fail(e.code, e.msg);
  }
}

}  // namespace torqa::daemon
