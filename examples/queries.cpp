// SQL with typed parameters and typed columns, and class queries. Each class
// is also an SQL table (Sample.Person is Sample_Person, with the row id in
// the column ID), so objects saved through the object interface are rows.
#include "example.h"

using example::check;

namespace {

void add_person(Database& db, const char* name, int age, d_date birthday) {
  d_ref<Dyn_obj> p = Dyn_obj::create(db, "Sample.Person");
  p->set("Name", name);
  p->set("Age", age);
  p->set("Birthday", birthday);
  check(p->call<d_status>("%Save").get_code() == 0, "saved");
}

/// Prints the rows of a query whose columns are ID, Name, Age, Birthday;
/// answers the number of rows.
int print_people(torqa::query& q) {
  int rows = 0;
  for (auto& row : q.rows()) {
    // Columns by number or by name, as the type asked for.
    std::cout << "  " << row.get<int>(1) << ' ' << row.get<std::string>("Name") << ", " << row.get<int>("Age")
              << ", born " << row.get<d_date>(4) << '\n';
    ++rows;
  }
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

    // Prepared once, run with different parameter values, bound in one call.
    torqa::query q(db, "SELECT ID, Name, Age, Birthday FROM Sample_Person WHERE Age > ? AND Birthday < ? ORDER BY Age");
    std::cout << "The statement has " << q.param_count() << " parameters and " << q.column_count() << " columns\n";
    q.execute(30, d_date(2000, 1, 1));
    std::cout << "Older than 30, born before 2000:\n";
    check(print_people(q) == 2, "two rows");

    q.execute(20, d_date(1970, 1, 1));
    std::cout << "Older than 20, born before 1970:\n";
    check(print_people(q) == 1, "one row");

    // Text parameters and a null value, read as std::optional.
    torqa::query names(db, "SELECT Name, Height FROM Sample_Person WHERE Name = ?");
    int found = 0;
    for (auto& row : names.execute("Bob").rows()) {
      const std::optional<double> height = row.get<std::optional<double>>("Height");
      std::cout << row.get<std::string>(1) << "'s height is " << (height ? "known" : "unknown") << '\n';
      check(!height, "no height");
      ++found;
    }
    check(found == 1, "Bob found");

    // A class query: the server names its stored procedure.
    torqa::query older(db, "Sample.Person", "Older");
    older.execute(30);
    std::cout << "Sample.Person query Older(30):\n";
    check(print_people(older) == 2, "two rows");

    // The same query through a late-bound object of the class, run with
    // d_seq_query's own calls (which torqa::query has too).
    d_ref<Dyn_obj> someone = Dyn_obj::open(db, "Sample.Person", "1");
    d_seq_query by_name(db);
    someone->get_query("ByName", by_name);
    by_name.set_par(1, d_string("Cy"));
    by_name.execute();
    check(by_name.fetch(), "Cy found");
    d_int id, age;
    d_string name;
    by_name.get_data(&id);  // columns are read in order
    by_name.get_data(&name, str_auto);
    by_name.get_data(&age);
    by_name.close();
    std::cout << "ByName(Cy): id " << id.value() << ", age " << age.value() << '\n';
    check(age.value() == 61, "Cy is 61");
  });
}
