// Importing a CSV file into a class: one object per row. The file is read
// as a stream, one record at a time, and rows are saved in transactions of
// a batch of rows each; a row the server refuses costs that row only: the
// batch is rolled back and saved again without it.
//
// A row is inserted into the class's table by one prepared SQL statement,
// which makes it an object as %New and %Save would, for a fraction of their
// requests. A class with an OnNew method has its objects made by %New and
// %Save, so that the method runs; so has a row the statement did not insert,
// which then fails with the server's own reason or is saved after all.
#include "cli.h"
#include "csv.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
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
    os_ << '\r';
    if (total_ > 0) {
      const std::size_t filled = width * std::min(done, total_) / total_;
      os_ << '[' << std::string(filled, '#') << std::string(width - filled, '.') << "] "
          << 100 * std::min(done, total_) / total_ << "%  ";
    }
    os_ << rows << " rows" << std::flush;
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

/// A failure of the server's, kept apart from a row that is wrong on its own.
struct server_failure {
  std::string why;
};

class importer {
 public:
  /// Rows per transaction.
  static constexpr std::size_t batch_rows = 500;
  /// Consecutive server failures with the same message after which the
  /// import stops (a full disk fails every row alike).
  static constexpr int max_alike = 5;

  importer(context& c, const std::string& path, const Class_def& cls, std::vector<const Prop_def*> columns,
           std::vector<std::string> names, progress& bar)
      : c_(c), db_(c.s.db()), path_(path), cls_(cls.get_name().c_str()), columns_(std::move(columns)),
        names_(std::move(names)), bar_(bar), batches_(!c.in_transaction), insert_(db_) {
    const Method_def* on_new = nullptr;
    if (!cls.mtd_get(text16("OnNew").c_str(), &on_new)) prepare_insert();
  }

  ~importer() {
    if (batch_tx_) try_rollback();
  }

  /// Parses and saves one row; a row that fails is reported and skipped.
  void row(int line, std::vector<std::string> fields) {
    if (!stopped_) add(line, std::move(fields));
  }

  /// Reports a row that is rejected before it reaches the server.
  void reject(int line, const std::string& why, std::size_t rows = 1) {
    bar_.clear();
    c_.err << path_ << ':' << line << ": " << why << '\n';
    rejected_ += static_cast<int>(rows);
  }

  /// Commits the last batch.
  void finish() {
    if (batch_tx_) commit();
  }

  int saved() const { return saved_; }
  int rejected() const { return rejected_; }
  bool stopped() const { return stopped_; }

 private:
  struct kept_row {
    int line;
    std::vector<std::string> fields;
  };

  void add(int line, std::vector<std::string> fields) {
    std::vector<value> values;
    try {
      values = parse(fields);
    } catch (const failure& e) {
      reject(line, e.what());
      return;
    }
    try {
      if (batches_ && !batch_tx_) batch_tx_.emplace(db_);
      if (sql_) insert(values, fields);
      else create(values);
    } catch (const server_failure& e) {
      if (batches_) undo_batch_without(line, values, e.why);
      else retry_alone(line, values, e.why);
      return;
    }
    if (batches_) {
      batch_.push_back({line, std::move(fields)});
    } else {
      ++saved_;
      alike_ = 0;  // failures are alike only in a row
    }
    if (batch_.size() >= batch_rows) commit();
  }

  std::vector<value> parse(const std::vector<std::string>& fields) {
    std::vector<value> values;
    values.reserve(columns_.size());
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      values.emplace_back(vtype::of(*columns_[i]), db_);
      try {
        values.back().parse(fields[i]);
      } catch (const bad_value& e) {
        throw failure(names_[i] + ": " + e.what());
      }
    }
    return values;
  }

  void prepare_insert() {
    std::string table = utf8(cls_);  // the class Package.Class is the table Package_Class
    std::replace(table.begin(), table.end(), '.', '_');
    std::string sql = "INSERT INTO \"" + table + "\"(";
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      std::string column = utf8(columns_[i]->aux_name2);
      if (column.empty()) column = utf8(columns_[i]->name);
      sql += (i ? ", \"" : "\"") + column + '"';
    }
    sql += ") VALUES(";
    for (std::size_t i = 0; i < columns_.size(); ++i) sql += i ? ", ?" : "?";
    sql += ") RETURNING ID";
    insert_.prepare(text16(sql).c_str(), SQL_NTS);
    // A server that does not take the statement still makes objects.
    sql_ = insert_.column_count() == 1 && insert_.param_count() == static_cast<int>(columns_.size());
  }

  // Inserts the row; the statement answers the new row's id, and no answer
  // means no row.
  void insert(std::vector<value>& values, const std::vector<std::string>& fields) {
    try {
      for (std::size_t i = 0; i < values.size(); ++i) bind(static_cast<int>(i) + 1, values[i], fields[i]);
      insert_.execute();
      const bool inserted = insert_.fetch();
      insert_.close();
      if (!inserted) throw server_failure{};
    } catch (const Db_err& e) {
      throw server_failure{error_text(e.code, e.msg)};
    }
  }

  void bind(int i, value& v, const std::string& field) {
    D_type& d = v.data();
    if (d.is_null()) return insert_.set_par(i);
    const auto whole = [&](std::int64_t n) {
      // Beyond 32 bits the number travels as text, which SQL reads as a number.
      if (n >= INT32_MIN && n <= INT32_MAX) insert_.set_par(i, static_cast<int>(n));
      else insert_.set_par(i, d_string(std::to_string(n).c_str()));
    };
    switch (v.type().code) {
      case tc_integer: case tc_boolean: return whole(static_cast<wide_int&>(d).value());
      case tc_object: return whole(parse_int(field));  // the id, checked by opening the object
      case tc_double: return insert_.set_par(i, static_cast<d_double&>(d));
      case tc_binary: case tc_list: return insert_.set_par(i, static_cast<d_binary&>(d));
      case tc_date: return insert_.set_par(i, static_cast<d_date&>(d));
      case tc_time: return insert_.set_par(i, static_cast<d_time&>(d));
      case tc_timestamp: return insert_.set_par(i, static_cast<d_timestamp&>(d));
      default: return insert_.set_par(i, static_cast<d_string&>(d));
    }
  }

  void create(std::vector<value>& values) {
    try {
      d_ref<Dyn_obj> obj = Dyn_obj::create(db_, cls_.c_str());
      for (std::size_t i = 0; i < columns_.size(); ++i)
        if (!values[i].data().is_null()) obj->set(columns_[i]->name.c_str(), values[i].data());
      const d_status st(obj->run_method_by_name(m_Save, nullptr, 0));
      if (st.get_code() != 0) throw server_failure{error_text(st.get_code(), st.get_msg().mb_str())};
    } catch (const Db_err& e) {
      throw server_failure{error_text(e.code, e.msg)};
    }
  }

  // Rolls the batch back, deals with the row that failed, and saves the
  // rows before it again in a new transaction.
  void undo_batch_without(int line, std::vector<value>& values, const std::string& why) {
    std::vector<kept_row> redo = std::move(batch_);
    batch_.clear();
    try_rollback();
    retry_alone(line, values, why);
    for (kept_row& r : redo) add(r.line, std::move(r.fields));
  }

  // A row the statement did not insert is made as an object, which says why
  // when the server refuses it; a row that already has its reason fails.
  void retry_alone(int line, std::vector<value>& values, std::string why) {
    if (why.empty()) {
      try {
        create(values);
        ++saved_;
        alike_ = 0;
        return;
      } catch (const server_failure& e) {
        why = e.why;
      }
    }
    reject(line, why);
    server_failed(why);
  }

  void commit() {
    try {
      batch_tx_->commit();
      batch_tx_.reset();
      saved_ += static_cast<int>(batch_.size());
      if (!batch_.empty()) alike_ = 0;
    } catch (const Db_err& e) {
      // Nothing of the batch is kept: each of its rows is rejected. A failed
      // commit may have ended the transaction already.
      const std::string why = error_text(e.code, e.msg);
      try {
        batch_tx_->rollback();
      } catch (const Db_err&) {
      }
      batch_tx_.reset();
      if (!batch_.empty())
        reject(batch_.front().line,
               "this row and the next " + std::to_string(batch_.size() - 1) + " not saved: " + why, batch_.size());
      server_failed(why);
    }
    batch_.clear();
  }

  void try_rollback() {
    try {
      batch_tx_->rollback();
    } catch (const Db_err& e) {
      bar_.clear();
      c_.err << "torqa: " << error_text(e.code, e.msg) << '\n';
      stopped_ = true;
    }
    batch_tx_.reset();
  }

  void server_failed(const std::string& why) {
    alike_ = why == last_failure_ ? alike_ + 1 : 1;
    last_failure_ = why;
    if (alike_ >= max_alike && !stopped_) {
      bar_.clear();
      c_.err << "torqa: stopped after " << max_alike << " failures in a row with the same error (" << why
             << "); the rest of " << path_ << " is not imported\n";
      stopped_ = true;
    }
  }

  context& c_;
  Database& db_;
  const std::string& path_;
  db_name cls_;
  std::vector<const Prop_def*> columns_;
  std::vector<std::string> names_;
  progress& bar_;
  // Inside the shell's own transaction a rollback would undo the user's work
  // too: rows are then saved one by one in it.
  bool batches_;
  d_seq_query insert_;
  bool sql_ = false;  // rows go through insert_
  std::vector<kept_row> batch_;  // rows saved in the open transaction
  std::optional<torqa::transaction> batch_tx_;  // the batch's, while one is open
  bool stopped_ = false;
  int saved_ = 0;
  int rejected_ = 0;
  int alike_ = 0;
  std::string last_failure_;
};

}  // namespace

int cmd_import(context& c, const invocation& inv) {
  const std::string& cls_name = inv.words[1];
  const std::string& path = inv.words[2];
  const Class_def& cls = c.s.cls(cls_name);

  std::ifstream file;
  std::istream* in = &c.in;
  std::size_t total = 0;
  if (path != "-") {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw failure(path + " is a folder: give a CSV file");
    file.open(path, std::ios::binary);
    if (!file) throw failure("cannot read " + path + ": " + std::strerror(errno));
    total = static_cast<std::size_t>(std::filesystem::file_size(path, ec));
    if (ec) total = 0;
    in = &file;
  }
  csv_reader reader(*in);
  const auto read_failed = [&] { return failure("cannot read " + path + ": " + std::strerror(errno)); };

  // The header: each column a property that can be set, named once.
  csv_record header;
  if (!reader.next(header)) {
    if (reader.failed()) throw read_failed();
    throw failure(path + " is empty: the first line names the properties");
  }
  if (!header.error.empty()) throw failure(path + ":" + std::to_string(header.line) + ": " + header.error);
  std::vector<const Prop_def*> columns;
  std::set<std::string> seen;
  for (const std::string& field : header.fields) {
    const Prop_def* p = nullptr;
    if (!cls.prop_get(text16(field).c_str(), &p)) throw failure(cls_name + " has no property " + field);
    const prop_kind k = kind_of(*p);
    if (k != prop_kind::stored && k != prop_kind::reference)
      throw failure(field + " is a " + kind_name(k) + " property and cannot be imported");
    if (!seen.insert(utf8(p->name)).second) throw failure(field + " is named twice in the header");
    columns.push_back(p);
  }

  progress bar(c.out, c.terminal_out, total);
  importer imp(c, path, cls, columns, header.fields, bar);
  csv_record rec;
  while (!imp.stopped() && reader.next(rec)) {
    bar.update(reader.consumed(), imp.saved() + imp.rejected());
    if (!rec.error.empty())
      imp.reject(rec.line, rec.error);
    else if (rec.fields.size() != columns.size())
      imp.reject(rec.line, "expected " + std::to_string(columns.size()) + " fields, found " +
                               std::to_string(rec.fields.size()));
    else
      imp.row(rec.line, std::move(rec.fields));
  }
  imp.finish();
  bar.clear();
  const bool unread = reader.failed();
  if (unread) c.err << "torqa: cannot read " << path << ": " << std::strerror(errno) << '\n';
  c.out << imp.saved() << (imp.saved() == 1 ? " row" : " rows") << " saved, " << imp.rejected() << " rejected\n";
  return imp.rejected() == 0 && !imp.stopped() && !unread ? exit_ok : exit_failed;
}

}  // namespace torqa::cli
