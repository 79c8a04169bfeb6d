// A namespace of the sample schema filled with rows of people, made through
// the binding and filled straight through SQLite (fast, and no part of what
// the benchmarks measure).
#pragma once

#include <torqa/connection.h>
#include <torqa/session.h>

#include <sqlite3.h>

#include <stdexcept>
#include <string>

namespace torqa::bench {

/// Creates the namespace at `path` (sample schema, fast password hashing)
/// and inserts `rows` people: a name, an age and a height each.
inline void make_people(const std::string& path, int rows) {
  {
    const std::string cs = "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA "]:" + path;
    Handle<Conn_t> c = tcp_conn::connect(d_string(cs.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
    if (!c->is_active()) throw std::runtime_error("cannot create the namespace " + path);
    Database db(c, false);
  }
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2((path + "/objects.db").c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(raw);
    throw std::runtime_error("cannot open " + path + "/objects.db");
  }
  sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(raw, "INSERT INTO Sample_Person(Name, Age, Height) VALUES(?, ?, ?)", -1, &ins, nullptr);
  for (int i = 0; i < rows; ++i) {
    const std::string name = "Person number " + std::to_string(i) + " of the benchmark";
    sqlite3_bind_text(ins, 1, name.substr(0, 30).c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(ins, 2, i % 100);
    sqlite3_bind_double(ins, 3, 1.5 + i % 7);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  const int rc = sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot fill " + path);
}

}  // namespace torqa::bench
