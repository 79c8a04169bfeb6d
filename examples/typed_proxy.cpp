// Typed proxies for Sample.Person and Sample.Address, generated from the
// schema while this example builds (torqa_generate_proxies in
// examples/CMakeLists.txt runs `torqa generate`): a class derived from
// Obj_t per server class, with one typed accessor per property and one
// function per method, and d_ref<T> as the typed reference that
// applications copy. The generated code knows each property's cache slot
// and index, so no class metadata is fetched.
#include "example.h"

#include <Sample/Address.h>
#include <Sample/Person.h>

using example::check;
using Sample::Address;
using Sample::Person;

int main(int argc, char** argv) {
  Handle<Conn_t> conn = example::connect(argc, argv);
  Database db(conn, false);
  return example::run([&] {
    d_ref<Address> home = Address::create(db);
    home->set_Street("1 Main St");
    home->set_City("Springfield");

    d_ref<Person> ann = Person::create(db);
    ann->set_Name("Ann");
    ann->set_Age(40);
    ann->set_Birthday(d_date(1984, 1, 2));
    ann->set_Home(home);
    check(ann->Save().get_code() == 0, "Ann saved");  // saves the new address too
    const std::string id = ann->Id().as<std::string>();
    std::cout << "Saved Sample.Person " << id << ", living at Sample.Address " << home->Id() << '\n';

    d_int length;
    const d_string text = ann->Describe("Dr ", length);
    std::cout << "Describe: \"" << text << "\", " << length.value() << " characters\n";
    check(text.mb_str() == "Dr Ann (40)" && length.value() == 11, "Describe");

    ann->Grow(2);
    check(ann->Age().value() == 42, "Grow");
    std::cout << ann->Greeting() << ", age " << ann->Age().value() << ", born " << ann->Birthday() << ", home "
              << ann->Home()->Line() << '\n';
    ann->Save();

    // Class methods: output arguments, and an object result. The server does
    // not say the class of an object a method answers: Make<Person> reads it
    // through the Person proxy (Make() alone would give a d_ref<Dyn_obj>).
    d_int quotient, remainder;
    check(Person::Divide(db, 17, 5, quotient, remainder).as<bool>(), "Divide");
    check(quotient.value() == 3 && remainder.value() == 2, "Divide's outputs");
    d_ref<Person> kid = Person::Make<Person>(db, "Kid", 3);
    const std::optional<int> kid_age = kid->Age().as<std::optional<int>>();
    std::cout << "Made " << kid->Name() << ", age " << kid_age.value_or(0) << '\n';

    // Opening an object again shares the proxy that is already open.
    d_ref<Person> again = Person::open(db, id);
    check(again.get_proxy() == ann.get_proxy(), "one proxy per object");
    // The reference read from Home shares the address's proxy too.
    check(ann->Home().get_proxy() == home.get_proxy(), "the Home reference shares the proxy");

    try {
      Person::open(db, "9999");
    } catch (const Db_err& e) {
      std::cout << "Opening a missing object: " << e << '\n';
      check(e.code == -9, "error -9");
    }
  });
}
