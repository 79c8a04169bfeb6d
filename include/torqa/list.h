// d_list: a server list value held exactly in the list element format, with
// a cursor (element index and byte offset) and in-place element edits.
//
// A list owns its bytes. Its is_uni_srv flag must equal the session's server
// flag before 16-bit text or d_string values are encoded into it. Every
// encoding goes through the stream d_list::out of the calling thread.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A list is a
// value: one thread at a time.
#pragma once

#include <torqa/export.h>
#include <torqa/streams.h>
#include <torqa/types.h>

#include <cstddef>
#include <cstdint>

class Database;

class TORQA_API d_list : public d_binary, public is_uni_srv_info {
 public:
  /// An empty list, cursor on element 0.
  d_list() = default;
  /// A list over a copy of the given encoded elements, cursor on element 0.
  d_list(const char* p, std::size_t n);
  explicit d_list(const d_binary& bytes);
  /// An empty list for values of session `db`: its text form is the
  /// session's (is_uni_srv).
  explicit d_list(const Database& db);
  ~d_list() override;

  /// Decode the element at p: a null element gives 0 (0.0); an element of
  /// an undecodable type leaves a number unchanged and gives a string no
  /// bytes. These trust p: its header and all the data the header announces
  /// must be readable, so p must point at an element inside a list, not at
  /// its end. The members below bound the read by the list's end.
  static void get_elem(const char* p, std::int64_t* v);
  static void get_elem(const char* p, double* v);
  static void get_elem(const char* p, d_string& s);
  static void get_elem(const char* p, d_binary& b);

  /// Decode the current element, reading nothing past the list's end even
  /// when its bytes are corrupt. At the end of the list nothing is read: a
  /// number stays unchanged, a string gets no bytes.
  void get_elem(std::int64_t* v) const;
  void get_elem(double* v) const;
  void get_elem(d_string& s) const;
  void get_elem(d_binary& b) const;

  /// Edits encode one value through `out` (16-bit text and d_string follow
  /// is_uni_srv). They throw Db_err -1000 "value too long for one element",
  /// leaving the list unchanged, when the encoding exceeds 65535 bytes. The
  /// cursor does not move; an edited list is not null.
  void set_elem(std::int64_t v);
  void set_elem(double v);
  void set_elem(const d_string& v);
  void set_elem(const d_binary& v);
  void set_elem(const char* text, unsigned short len);
  void set_elem(const unsigned short* text, unsigned short len);

  void ins_elem(std::int64_t v);
  void ins_elem(double v);
  void ins_elem(const d_string& v);
  void ins_elem(const d_binary& v);
  void ins_elem(const char* text, unsigned short len);
  void ins_elem(const unsigned short* text, unsigned short len);

  void append_elem(std::int64_t v);
  void append_elem(double v);
  void append_elem(const d_string& v);
  void append_elem(const d_binary& v);
  void append_elem(const char* text, unsigned short len);
  void append_elem(const unsigned short* text, unsigned short len);

  /// Makes element i current (i may be one past the last; a negative i
  /// gives element 0). Throws Db_err -1000 "d_list: no such element" when
  /// the list has fewer elements, leaving the cursor past the end. An
  /// element whose length runs past the end of the bytes ends the list.
  void move_to(int i) const;
  /// Address of the current element, for get_elem.
  const char* cur_elem() const { return bytes_.data() + offset_; }
  /// Steps to the following element; does nothing at the end of the list.
  void next_elem() const;
  bool at_list_end() const { return static_cast<std::size_t>(offset_) == bytes_.size(); }
  /// Index of the current element.
  int cur_index() const { return index_; }
  /// Number of elements.
  int count() const;

  /// Encoder of every list, one per thread.
  /// On Windows only the library itself can name it (a DLL cannot export
  /// a thread-local variable).
  static thread_local t_ostrstream out;

 private:
  mutable int index_ = 0;
  mutable int offset_ = 0;
};
