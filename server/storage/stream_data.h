// The content of a stream object in memory, in bounded memory whatever its
// size.
//
// Content read from the database stays there: reads fetch the chunk they
// need (one chunk is kept). Written content is local: a buffer of up to one
// chunk, then a temporary file without a name. Writing to stored content first
// copies it to local content; saving writes local content to the database,
// after which a chunked stream reads from there again.
#pragma once

#include "server/storage/storage.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace torqa::server {

class stream_data {
 public:
  /// Bytes of content.
  std::int64_t size() const { return size_; }
  /// Characters of content read as UTF-8 (bytes that start a character).
  std::int64_t length() const { return length_; }
  /// Whether the content differs from what was loaded or last saved.
  bool changed() const { return changed_; }

  /// Up to `n` bytes from byte `pos` (fewer at the end).
  std::string read(storage& st, std::int64_t pos, std::size_t n);
  /// Appends bytes; throws err_storage when they cannot be kept.
  void append(storage& st, std::string_view bytes);
  void clear();
  /// Makes this content a copy of `src`'s (which may be this).
  void copy_from(storage& st, stream_data& src);

  /// Replaces the content with what a row's stream property holds.
  void load(storage& st, const class_def& c, const property& p, std::int64_t row);
  /// Writes changed content into the row (inside the caller's
  /// transaction); `saved` is applied once that transaction part holds.
  stored_stream save(storage& st, const class_def& c, const property& p, std::int64_t row);
  /// The content is now what save wrote.
  void saved(const stored_stream& s);

 private:
  struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  void reset();
  void write_local(std::string_view bytes, std::size_t in_memory);

  stored_stream stored_;  // id != 0: the content is these chunks
  std::string buffer_;    // local content while it fits one chunk
  std::unique_ptr<std::FILE, file_closer> file_;  // local content past that
  std::int64_t size_ = 0;
  std::int64_t length_ = 0;
  bool changed_ = false;
  std::int64_t cached_n_ = -1;  // the stored chunk kept, and its bytes
  std::string cached_;
};

}  // namespace torqa::server
