// Helpers of the server's unit tests: hex literals, a temporary directory,
// and readers of replies.
#pragma once

#include "server/wire/wire.h"

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

}  // namespace torqa::server::test
