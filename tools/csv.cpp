#include "csv.h"

namespace torqa::cli {

csv_reader::csv_reader(std::string_view text) : s_(text) {
  if (s_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
}

// Whether the line at at_ holds nothing but blanks.
bool csv_reader::blank_line() const {
  for (std::size_t i = at_; i < s_.size() && s_[i] != '\n'; ++i)
    if (s_[i] != ' ' && s_[i] != '\t' && s_[i] != '\r') return false;
  return true;
}

// Position just after the line that contains `from`.
std::size_t csv_reader::line_end(std::size_t from) const {
  const std::size_t nl = s_.find('\n', from);
  return nl == std::string_view::npos ? s_.size() : nl + 1;
}

bool csv_reader::next(csv_record& rec) {
  while (at_ < s_.size() && blank_line()) {
    at_ = line_end(at_);
    ++line_;
  }
  if (at_ >= s_.size()) return false;

  rec.fields.clear();
  rec.error.clear();
  rec.line = line_;
  const std::size_t start = at_;
  int lines = 0;  // line breaks inside quoted fields
  std::size_t i = at_;
  const auto at_line_end = [&](std::size_t k) {
    return k >= s_.size() || s_[k] == '\n' || (s_[k] == '\r' && k + 1 < s_.size() && s_[k + 1] == '\n');
  };
  const auto fail = [&](const char* why) {
    rec.error = why;
    at_ = line_end(start);
    ++line_;
    return true;
  };

  while (true) {
    std::string field;
    if (i < s_.size() && s_[i] == '"') {
      ++i;
      while (true) {
        if (i >= s_.size()) return fail("quoted field not closed");
        if (s_[i] == '"') {
          if (i + 1 < s_.size() && s_[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        if (s_[i] == '\n') ++lines;
        field += s_[i++];
      }
      if (!at_line_end(i) && s_[i] != ',') return fail("text after a closing quote");
    } else {
      while (!at_line_end(i) && s_[i] != ',') {
        if (s_[i] == '"') return fail("quote inside an unquoted field");
        field += s_[i++];
      }
    }
    rec.fields.push_back(std::move(field));
    if (i < s_.size() && s_[i] == ',') {
      ++i;
      continue;
    }
    at_ = i >= s_.size() ? i : line_end(i);
    line_ += lines + 1;
    return true;
  }
}

}  // namespace torqa::cli
