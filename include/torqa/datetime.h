// Calendar values: d_date, d_time and d_timestamp, each a D_type holding a
// std::tm record (members the value does not carry are -1).
//
// On the wire a date is a server day number (day 1 = 1 January 1841), a time
// a count of seconds since midnight, a timestamp the text
// "YYYY-MM-DD HH:MM:SS". Printing and put use the conversion scratch of the
// calling thread.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A value is
// used by one thread at a time.
#pragma once

#include <torqa/export.h>
#include <torqa/types.h>

#include <ctime>
#include <iosfwd>

/// A date: year, month, day (and weekday, day of the year from day numbers).
class TORQA_API d_date : public D_type {
 public:
  /// A null date with every member -1.
  d_date();
  /// A non-null date; month 1-12.
  d_date(int year, int month, int day);

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;
  /// Initialises from ODBC date text YYYY-MM-DD (10 characters).
  void odbc_init(const unsigned short* text);

  const std::tm* get_tm() const { return &tm_; }
  /// Writable record, for code that fills it from other sources.
  std::tm* get_tm() { return &tm_; }

 private:
  void init_low(int day_number);
  std::tm tm_;
};

/// A time of day: hours, minutes, seconds.
class TORQA_API d_time : public D_type {
 public:
  d_time();
  d_time(int hours, int minutes, int seconds);

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;
  /// Initialises from ODBC time text HH:MM:SS (8 characters).
  void odbc_init(const unsigned short* text);

  const std::tm* get_tm() const { return &tm_; }
  std::tm* get_tm() { return &tm_; }

 private:
  void init_low(int seconds);
  std::tm tm_;
};

/// A date and a time of day.
class TORQA_API d_timestamp : public D_type {
 public:
  d_timestamp();
  d_timestamp(int year, int month, int day, int hours, int minutes, int seconds);

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  const std::tm* get_tm() const { return &tm_; }
  std::tm* get_tm() { return &tm_; }

 private:
  void init_low(const char* text);
  void init_low(const unsigned short* text);
  std::tm tm_;
};

/// "MM/DD/YYYY", or "NULL".
TORQA_API std::ostream& operator<<(std::ostream& os, const d_date& d);
/// "HH:MM:SS", or "NULL".
TORQA_API std::ostream& operator<<(std::ostream& os, const d_time& t);
/// "HH:MM:SS MM/DD/YYYY", or "NULL".
TORQA_API std::ostream& operator<<(std::ostream& os, const d_timestamp& t);
