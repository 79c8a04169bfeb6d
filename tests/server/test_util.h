// Helpers of the server's unit tests: hex literals, a temporary directory,
// readers of replies and of one value a SQL statement answers.
#pragma once

#include "server/storage/storage.h"
#include "server/wire/wire.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace torqa::server::test {

/// Bytes from hex pairs separated by blanks: "03 04 05".
inline std::string hex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    i += 2;
  }
  return out;
}

/// A fresh directory under TMPDIR (or /tmp), removed with the object.
class temp_dir {
 public:
  temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torqa-server-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  ~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct bytes_holder {
  std::string bytes;
};

/// A reader that owns the bytes it reads.
class owned : private bytes_holder, public reader {
 public:
  explicit owned(std::string b) : bytes_holder{std::move(b)}, reader(bytes_holder::bytes) {}
  owned(const owned&) = delete;
  owned& operator=(const owned&) = delete;
};

/// The next element of `r`, failing the test when there is none.
inline element next(reader& r) {
  element e;
  EXPECT_TRUE(r.next(e)) << "no element left";
  return e;
}
inline std::int64_t next_int(reader& r) { return element_int(next(r)).value_or(INT64_MIN); }
inline std::string next_text(reader& r) { return element_text(next(r)).value_or("<not text>"); }

// A reply with a common head taken apart: the result, the error record
// (code, message, detail) and the bytes after the head (a cache section).
struct head {
  std::string result, msg, info, cache;
  std::int64_t code = 0;
};

inline head record(const element& e) {
  head h;
  if (e.data.empty()) return h;
  reader r(e.data);
  h.code = next_int(r);
  h.msg = next_text(r);
  if (element i; r.next(i)) h.info = std::string(i.data);
  return h;
}

inline head common(const std::string& reply) {
  reader r(reply);
  const std::string result(next(r).data);
  head h = record(next(r));
  h.result = result;
  EXPECT_TRUE(next(r).is_null());
  next(r);  // server output
  h.cache = std::string(r.rest());
  return h;
}

/// The first column of the first row `sql` answers in `db`, as bytes; "<no row>" or "<null>".
inline std::string scalar(storage& db, const std::string& sql) {
  statement st = db.prepare(sql);
  if (!st.step()) return "<no row>";
  const auto* t = sqlite3_column_blob(st.get(), 0);
  return t ? std::string(static_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 0)))
           : "<null>";
}

// The first value of a result, as text.
inline std::string value(std::string_view result) {
  reader r(result);
  return next_text(r);
}

}  // namespace torqa::server::test
