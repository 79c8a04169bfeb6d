#include "output.h"

#include "text.h"

#include <algorithm>
#include <cstdio>

namespace torqa::cli {

namespace {

// The cell as a table shows it: control characters escaped, null empty.
std::string shown(const cell& c) {
  std::string out;
  for (char ch : c.text) {
    const auto u = static_cast<unsigned char>(ch);
    if (ch == '\n') out += "\\n";
    else if (ch == '\r') out += "\\r";
    else if (ch == '\t') out += "\\t";
    else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string json_value(const cell& c) {
  switch (c.k) {
    case cell::kind::null: return "null";
    case cell::kind::number: case cell::kind::boolean: return c.text;
    case cell::kind::text: break;
  }
  return json_quote(c.text);
}

void pad(std::ostream& os, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) os << ' ';
}

}  // namespace

std::string csv_field(const std::string& s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const bool quote =
      s.find_first_of(",\"\r\n") != std::string::npos || (!s.empty() && (blank(s.front()) || blank(s.back())));
  if (!quote) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string csv_line(const std::vector<std::string>& fields) {
  // One empty field is written "", not as an empty line, which readers
  // (our import among them) skip as no record at all.
  if (fields.size() == 1 && fields[0].empty()) return "\"\"";
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + csv_field(fields[i]);
  return line;
}

void print_rows(std::ostream& os, const table& t, format f) {
  if (f == format::csv) {
    os << csv_line(t.columns) << '\n';
    for (const auto& row : t.rows) {
      std::vector<std::string> fields;
      for (const cell& c : row) fields.push_back(c.text);
      os << csv_line(fields) << '\n';
    }
    return;
  }
  if (f == format::json) {
    os << '[';
    for (std::size_t r = 0; r < t.rows.size(); ++r) {
      os << (r ? ",\n  {" : "\n  {");
      for (std::size_t i = 0; i < t.columns.size(); ++i)
        os << (i ? ", " : "") << json_quote(t.columns[i]) << ": " << json_value(t.rows[r][i]);
      os << '}';
    }
    os << (t.rows.empty() ? "]\n" : "\n]\n");
    return;
  }

  const std::size_t n = t.columns.size();
  std::vector<std::vector<std::string>> text(t.rows.size());
  std::vector<std::size_t> width(n);
  std::vector<bool> numeric(n, true);
  for (std::size_t i = 0; i < n; ++i) width[i] = utf8_length(t.columns[i]);
  for (std::size_t r = 0; r < t.rows.size(); ++r) {
    for (std::size_t i = 0; i < n; ++i) {
      const cell& c = t.rows[r][i];
      text[r].push_back(shown(c));
      width[i] = std::max(width[i], utf8_length(text[r][i]));
      if (c.k != cell::kind::null && c.k != cell::kind::number) numeric[i] = false;
    }
  }
  // Columns are two spaces apart; a line never ends in blanks.
  std::string out;
  const auto line = [&](const std::vector<std::string>& cells) {
    out.clear();
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t gap = width[i] - utf8_length(cells[i]);
      if (i) out += "  ";
      if (numeric[i]) out.append(gap, ' ');
      out += cells[i];
      if (!numeric[i]) out.append(gap, ' ');
    }
    out.erase(out.find_last_not_of(' ') + 1);
    os << out << '\n';
  };
  line(t.columns);
  std::vector<std::string> rules;
  for (std::size_t w : width) rules.emplace_back(w, '-');
  line(rules);
  for (const auto& row : text) line(row);
  os << '(' << t.rows.size() << (t.rows.size() == 1 ? " row)\n" : " rows)\n");
}

void print_record(std::ostream& os, const table& t, format f) {
  if (f != format::table) {
    if (f == format::csv) return print_rows(os, t, f);
    os << '{';
    for (std::size_t i = 0; i < t.columns.size(); ++i)
      os << (i ? ",\n  " : "\n  ") << json_quote(t.columns[i]) << ": " << json_value(t.rows[0][i]);
    os << (t.columns.empty() ? "}\n" : "\n}\n");
    return;
  }
  std::size_t width = 0;
  for (const auto& c : t.columns) width = std::max(width, utf8_length(c));
  for (std::size_t i = 0; i < t.columns.size(); ++i) {
    const std::string v = shown(t.rows[0][i]);
    os << t.columns[i];
    if (!v.empty()) {
      pad(os, width - utf8_length(t.columns[i]) + 2);
      os << v;
    }
    os << '\n';
  }
}

}  // namespace torqa::cli
