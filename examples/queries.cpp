// SQL with typed parameters and typed columns, and class queries. Each class
// is also an SQL table (Sample.Person is Sample_Person, with the row id in
// the column ID), so objects saved through the object interface are rows.
#include "example.h"

using example::check;
using example::U;

namespace {

void add_person(Database& db, const char* name, int age, d_date birthday) {
  d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
  d_string n(name);
  d_int a(age);
  p->set(U(u"Name"), n);
  p->set(U(u"Age"), a);
  p->set(U(u"Birthday"), birthday);
  check(d_status(p->run_method_by_name(m_Save, nullptr, 0)).get_code() == 0, "saved");
}

/// Prints the rows of a query whose columns are ID, Name, Age, Birthday;
/// answers the number of rows.
int print_people(d_seq_query& q) {
  int rows = 0;
  while (q.fetch()) {
    d_int id, age;
    d_string name;
    d_date birthday;
    q.get_data(&id);  // columns are read in order
    q.get_data(&name, str_auto);
    q.get_data(&age);
    q.get_data(&birthday);
    std::cout << "  " << id.value() << ' ' << name.mb_str() << ", " << age.value() << ", born " << birthday << '\n';
    ++rows;
  }
  q.close();
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  Handle<Conn_t> conn = example::connect(argc, argv);
  Database db(conn, false);
  return example::run([&] {
    add_person(db, "Ann", 40, d_date(1984, 1, 2));
    add_person(db, "Bob", 25, d_date(1999, 7, 14));
    add_person(db, "Cy", 61, d_date(1963, 11, 30));

    // Prepared once, run with different parameter values.
    d_seq_query q(db);
    q.prepare(U(u"SELECT ID, Name, Age, Birthday FROM Sample_Person WHERE Age > ? AND Birthday < ? ORDER BY Age"),
              SQL_NTS);
    std::cout << "The statement has " << q.param_count() << " parameters and " << q.column_count() << " columns\n";
    q.set_par(1, 30);
    q.set_par(2, d_date(2000, 1, 1));
    q.execute();
    std::cout << "Older than 30, born before 2000:\n";
    check(print_people(q) == 2, "two rows");

    q.set_par(1, 20);
    q.set_par(2, d_date(1970, 1, 1));
    q.execute();
    std::cout << "Older than 20, born before 1970:\n";
    check(print_people(q) == 1, "one row");

    // Text parameters and a null value.
    d_seq_query names(db);
    names.prepare(U(u"SELECT Name, Height FROM Sample_Person WHERE Name = ?"), SQL_NTS);
    names.set_par(1, d_string("Bob"));
    names.execute();
    check(names.fetch(), "Bob found");
    d_string name;
    d_double height;
    names.get_data(&name, str_auto);
    names.get_data(&height);
    std::cout << name.mb_str() << "'s height is " << (height.is_null() ? "unknown" : "known") << '\n';
    check(height.is_null(), "no height");
    names.close();

    // A class query: the server names its stored procedure.
    d_seq_query older(db);
    older.prepare(U(u"Sample.Person"), U(u"Older"));
    older.set_par(1, 30);
    older.execute();
    std::cout << "Sample.Person query Older(30):\n";
    check(print_people(older) == 2, "two rows");

    // The same query through a late-bound object of the class.
    d_ref<Dyn_obj> someone = Dyn_obj::open(db, U(u"Sample.Person"), U(u"1"));
    d_seq_query by_name(db);
    someone->get_query(U(u"ByName"), by_name);
    by_name.set_par(1, d_string("Cy"));
    by_name.execute();
    check(by_name.fetch(), "Cy found");
    d_int id, age;
    by_name.get_data(&id);
    by_name.get_data(&name, str_auto);
    by_name.get_data(&age);
    std::cout << "ByName(Cy): id " << id.value() << ", age " << age.value() << '\n';
    check(age.value() == 61, "Cy is 61");
  });
}
