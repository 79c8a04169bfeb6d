#include "csv.h"

namespace torqa::cli {

namespace {
constexpr std::size_t piece = 64 * 1024;
}

csv_reader::csv_reader(std::istream& in, std::size_t max_record) : in_(in), max_record_(max_record) {
  if (have(2) && buf_.compare(0, 3, "\xEF\xBB\xBF") == 0) at_ = 3;
}

// Appends the next piece of the input to the buffer; false at its end.
bool csv_reader::more() {
  if (!in_) return false;
  const std::size_t kept = buf_.size();
  buf_.resize(kept + piece);
  in_.read(buf_.data() + kept, static_cast<std::streamsize>(piece));
  buf_.resize(kept + static_cast<std::size_t>(in_.gcount()));
  return buf_.size() > kept;
}

// Whether the line at at_ holds nothing but blanks.
bool csv_reader::blank_line() {
  for (std::size_t i = at_; have(i) && buf_[i] != '\n'; ++i)
    if (buf_[i] != ' ' && buf_[i] != '\t' && buf_[i] != '\r') return false;
  return true;
}

void csv_reader::skip_line(std::size_t from) {
  while (true) {
    const std::size_t nl = buf_.find('\n', from);
    if (nl != std::string::npos) {
      at_ = nl + 1;
      return;
    }
    dropped_ += buf_.size();
    buf_.clear();
    at_ = from = 0;
    if (!more()) return;
  }
}

bool csv_reader::next(csv_record& rec) {
  // What was consumed goes, so that the buffer holds one record at a time.
  if (at_ >= piece) {
    buf_.erase(0, at_);
    dropped_ += at_;
    at_ = 0;
  }
  while (have(at_) && blank_line()) {
    skip_line(at_);
    ++line_;
  }
  if (!have(at_)) return false;

  rec.fields.clear();
  rec.error.clear();
  rec.line = line_;
  const std::size_t start = at_;
  int lines = 0;  // line breaks inside quoted fields
  std::size_t i = at_;
  const auto at_line_end = [&](std::size_t k) {
    return !have(k) || buf_[k] == '\n' || (buf_[k] == '\r' && have(k + 1) && buf_[k + 1] == '\n');
  };
  const auto fail = [&](const char* why) {
    rec.error = why;
    skip_line(start);
    ++line_;
    return true;
  };

  while (true) {
    std::string field;
    if (have(i) && buf_[i] == '"') {
      ++i;
      while (true) {
        if (!have(i)) return fail("quoted field not closed");
        if (i - start > max_record_) return fail("record too long (a quote not closed?)");
        if (buf_[i] == '"') {
          if (have(i + 1) && buf_[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        if (buf_[i] == '\n') ++lines;
        field += buf_[i++];
      }
      if (!at_line_end(i) && buf_[i] != ',') return fail("text after a closing quote");
    } else {
      while (!at_line_end(i) && buf_[i] != ',') {
        if (buf_[i] == '"') return fail("quote inside an unquoted field");
        if (i - start > max_record_) return fail("record too long");
        field += buf_[i++];
      }
    }
    rec.fields.push_back(std::move(field));
    if (have(i) && buf_[i] == ',') {
      ++i;
      continue;
    }
    if (have(i)) skip_line(i);
    else at_ = i;
    line_ += lines + 1;
    return true;
  }
}

}  // namespace torqa::cli
