// Server output capture and the callout table.
//
// db_output holds the output text that came with the last reply of a session
// and reads it as 8-bit or 16-bit text. A capture is meant to be read once,
// through one of get_istream / get_wistream, before the next reply refills it
// (the conversion happens in place). The 16-bit stream supports unformatted
// reads (read, get, gcount).
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A capture is
// its session's.
//
// GetZFTable is the undecorated entry a host program calls to obtain the
// library's callout table.
#pragma once

#include <torqa/export.h>

#include <istream>
#include <streambuf>

/// Read-only stream buffer over caller-owned characters.
template <class T>
class db_istrbuf : public std::basic_streambuf<T> {
 public:
  db_istrbuf(T* p, std::streamsize n) { reset(p, n); }
  ~db_istrbuf() override = default;
  void reset(T* p, std::streamsize n) { this->setg(p, p, p + n); }
};

class t_istream;

class TORQA_API db_output {
 public:
  db_output();
  db_output(const db_output&) = delete;
  db_output& operator=(const db_output&) = delete;

  /// The captured text as 8-bit text.
  std::basic_istream<char>& get_istream();
  /// The captured text as 16-bit text.
  std::basic_istream<unsigned short>& get_wistream();

  /// Whether the capture is 16-bit server text, and its length in bytes.
  bool is_uni_text() const { return is_uni; }
  unsigned short length() const { return len; }

 private:
  friend TORQA_API t_istream& operator>>(t_istream& is, db_output& o);
  bool is_uni = false;
  alignas(8) char buffer[32768];
  unsigned short len = 0;
  db_istrbuf<char> nbuf;
  db_istrbuf<unsigned short> wbuf;
  std::basic_istream<char> nstream;
  std::basic_istream<unsigned short> wstream;
};

/// One row of the callout table; the table ends with an all-null row.
struct zf_row {
  const char* name;
  const char* arg_types;
  int (*fn)(void*, void*);
};

extern "C" TORQA_API const zf_row* GetZFTable(void* a, void* b);
