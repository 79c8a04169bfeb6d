// Importing a CSV file into a class: one object per row, each saved on its
// own, so that a refused row costs that row only.
#include "cli.h"
#include "csv.h"
#include "text.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace torqa::cli {

namespace {

/// A one-line progress bar redrawn in place; cleared before other output.
class progress {
 public:
  progress(std::ostream& os, bool shown, std::size_t total) : os_(os), shown_(shown), total_(total) {}
  ~progress() { clear(); }

  void update(std::size_t done, int rows) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    constexpr std::size_t width = 30;
    const std::size_t filled = total_ == 0 ? width : width * done / total_;
    os_ << "\r[" << std::string(filled, '#') << std::string(width - filled, '.') << "] "
        << (total_ == 0 ? 100 : 100 * done / total_) << "%  " << rows << " rows" << std::flush;
    drawn_ = true;
  }
  void clear() {
    if (!drawn_) return;
    os_ << "\r\033[K" << std::flush;
    drawn_ = false;
  }

 private:
  std::ostream& os_;
  bool shown_;
  std::size_t total_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_;
};

std::string read_all(context& c, const std::string& path) {
  if (path == "-") return std::string((std::istreambuf_iterator<char>(c.in)), std::istreambuf_iterator<char>());
  std::ifstream in(path, std::ios::binary);
  if (!in) throw failure("cannot read " + path + ": " + std::strerror(errno));
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int cmd_import(context& c, const invocation& inv) {
  const std::string& cls_name = inv.words[1];
  const std::string& path = inv.words[2];
  const Class_def& cls = c.s.cls(cls_name);
  const std::string text = read_all(c, path);
  csv_reader reader(text);

  // The header: each column a property that can be set, named once.
  csv_record header;
  if (!reader.next(header)) throw failure(path + " is empty: the first line names the properties");
  if (!header.error.empty()) throw failure(path + ":" + std::to_string(header.line) + ": " + header.error);
  std::vector<const Prop_def*> columns;
  std::set<std::string> seen;
  for (const std::string& field : header.fields) {
    const Prop_def* p = nullptr;
    if (!cls.prop_get(name16(field).c_str(), &p)) throw failure(cls_name + " has no property " + field);
    const prop_kind k = kind_of(*p);
    if (k != prop_kind::stored && k != prop_kind::reference)
      throw failure(field + " is a " + kind_name(k) + " property and cannot be imported");
    if (!seen.insert(utf8(p->name)).second) throw failure(field + " is named twice in the header");
    columns.push_back(p);
  }

  Database& db = c.s.db();
  progress bar(c.out, c.terminal_out, text.size());
  int saved = 0;
  int rejected = 0;
  const auto reject = [&](int line, const std::string& why) {
    bar.clear();
    c.err << path << ':' << line << ": " << why << '\n';
    ++rejected;
  };

  csv_record rec;
  while (reader.next(rec)) {
    bar.update(reader.consumed(), saved + rejected);
    if (!rec.error.empty()) {
      reject(rec.line, rec.error);
      continue;
    }
    if (rec.fields.size() != columns.size()) {
      reject(rec.line, "expected " + std::to_string(columns.size()) + " fields, found " +
                           std::to_string(rec.fields.size()));
      continue;
    }
    try {
      std::vector<value> values;
      for (std::size_t i = 0; i < columns.size(); ++i) {
        values.emplace_back(vtype::of(*columns[i]), db);
        try {
          values.back().parse(rec.fields[i]);
        } catch (const bad_value& e) {
          throw failure(header.fields[i] + ": " + e.what());
        }
      }
      d_ref<Dyn_obj> obj = Dyn_obj::create(db, name16(cls_name).c_str());
      for (std::size_t i = 0; i < columns.size(); ++i)
        if (!values[i].data().is_null()) obj->set(columns[i]->name.c_str(), values[i].data());
      const d_status st(obj->run_method_by_name(m_Save, nullptr, 0));
      if (st.get_code() != 0)
        throw failure(error_text(st.get_code(), st.get_msg().mb_str()));
      ++saved;
    } catch (const failure& e) {
      reject(rec.line, e.what());
    } catch (const Db_err& e) {
      reject(rec.line, error_text(e.code, e.msg));
    }
  }
  bar.clear();
  c.out << saved << (saved == 1 ? " row" : " rows") << " saved, " << rejected << " rejected\n";
  return rejected == 0 ? exit_ok : exit_failed;
}

}  // namespace torqa::cli
