#include "server/storage/stream_data.h"

#include "server/errors.h"
#include "server/wire/wire.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace torqa::server {

namespace {

[[noreturn]] void lost(const char* what) {
  throw server_error(err_storage, std::string("cannot keep stream data (") + what + "): " + std::strerror(errno));
}

// A new file under TMPDIR (or /tmp), mode 0600, already removed: it goes
// when closed.
std::FILE* unnamed_file() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/torqa-stream-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return nullptr;
  unlink(path.c_str());
  std::FILE* f = fdopen(fd, "w+b");
  if (f == nullptr) close(fd);
  return f;
}

}  // namespace

void stream_data::reset() {
  stored_ = {};
  buffer_ = {};
  file_.reset();
  size_ = 0;
  length_ = 0;
  cached_n_ = -1;
  cached_ = {};
}

void stream_data::clear() {
  reset();
  changed_ = true;
}

std::string stream_data::read(storage& st, std::int64_t pos, std::size_t n) {
  if (pos < 0 || pos >= size_) return {};
  n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), size_ - pos));
  std::string out;
  if (stored_.id != 0) {
    while (out.size() < n) {
      const std::int64_t at = pos + static_cast<std::int64_t>(out.size());
      const std::int64_t k = at / stored_.chunk;
      if (k != cached_n_) {
        cached_ = st.stream_chunk(stored_.id, k);
        cached_n_ = k;
      }
      const auto offset = static_cast<std::size_t>(at - k * stored_.chunk);
      if (offset >= cached_.size()) break;  // chunks gone (a rolled back save): the content ends here
      out.append(cached_, offset, std::min(n - out.size(), cached_.size() - offset));
    }
    return out;
  }
  if (!file_) return buffer_.substr(static_cast<std::size_t>(pos), n);
  out.resize(n);
  if (std::fflush(file_.get()) != 0 || fseeko(file_.get(), pos, SEEK_SET) != 0 ||
      std::fread(out.data(), 1, n, file_.get()) != n)
    lost("read");
  return out;
}

void stream_data::write_local(std::string_view bytes, std::size_t in_memory) {
  if (!file_ && buffer_.size() + bytes.size() <= in_memory) {
    buffer_ += bytes;
  } else {
    if (!file_) {
      file_.reset(unnamed_file());
      if (!file_ || std::fwrite(buffer_.data(), 1, buffer_.size(), file_.get()) != buffer_.size()) {
        file_.reset();
        lost("write");
      }
      buffer_ = {};
    }
    // At the known end: a failed write leaves bytes past it, never counted.
    if (fseeko(file_.get(), size_, SEEK_SET) != 0 || std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size())
      lost("write");
  }
  size_ += static_cast<std::int64_t>(bytes.size());
  length_ += static_cast<std::int64_t>(utf8_length(bytes));
}

void stream_data::append(storage& st, std::string_view bytes) {
  if (stored_.id != 0) copy_from(st, *this);  // stored content becomes local first
  write_local(bytes, st.stream_chunk());
  changed_ = true;
}

void stream_data::copy_from(storage& st, stream_data& src) {
  stream_data copy;
  const std::size_t step = st.stream_chunk();
  for (std::int64_t pos = 0; pos < src.size_;) {
    const std::string piece = src.read(st, pos, step);
    if (piece.empty()) break;
    copy.write_local(piece, step);
    pos += static_cast<std::int64_t>(piece.size());
  }
  copy.changed_ = true;
  *this = std::move(copy);
}

void stream_data::load(storage& st, const class_def& c, const property& p, std::int64_t row) {
  stream_data fresh;
  const std::size_t step = st.stream_chunk();
  fresh.stored_ = st.load_stream(c, p, row, [&](std::string_view piece) { fresh.write_local(piece, step); });
  if (fresh.stored_.id != 0) {
    fresh.size_ = fresh.stored_.size;
    fresh.length_ = fresh.stored_.length;
  }
  *this = std::move(fresh);
}

stored_stream stream_data::save(storage& st, const class_def& c, const property& p, std::int64_t row) {
  return st.save_stream(c, p, row, size_, p.is_binary ? size_ : length_,
                        [&](std::int64_t pos, std::size_t n) { return read(st, pos, n); });
}

void stream_data::saved(const stored_stream& s) {
  if (s.id != 0) {
    const std::int64_t size = size_, length = length_;
    reset();
    stored_ = s;
    size_ = size;
    length_ = length;
  }
  changed_ = false;
}

}  // namespace torqa::server
