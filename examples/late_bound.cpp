// Late-bound access: a class's definition fetched at run time, and objects
// used through it by the names of their properties and methods, with no
// class-specific code.
#include "example.h"

using example::check;
using example::U;

int main(int argc, char** argv) {
  Handle<Conn_t> conn = example::connect(argc, argv);
  Database db(conn, false);
  return example::run([&] {
    // What the server says the class has.
    const Class_def* cls = db.get_classes().open(&db, U(u"Sample.Person"));
    std::cout << "Sample.Person has " << cls->properties().size() << " properties, " << cls->methods().size()
              << " methods and " << cls->queries().size() << " queries. Its methods:\n";
    for (const auto& [name, m] : cls->methods()) {
      std::cout << "  " << (m->is_class_method ? "class method " : "method ") << d_string(name.c_str()) << '(';
      for (std::size_t i = 0; i < m->args.size(); ++i)
        std::cout << (i ? ", " : "") << (m->args[i]->is_output ? "output " : "") << d_string(m->args[i]->name.c_str());
      std::cout << ")\n";
    }

    // Properties by name; the values are the binding's value classes.
    d_ref<Dyn_obj> grace = Dyn_obj::create(db, U(u"Sample.Person"));
    d_string name("Grace");
    d_int age(85);
    d_double height(1.68);
    grace->set(U(u"Name"), name);
    grace->set(U(u"Age"), age);
    grace->set(U(u"Height"), height);
    const d_status saved(grace->run_method_by_name(m_Save, nullptr, 0));
    check(saved.get_code() == 0, "saved");
    const d_string id(grace->run_method_by_name(U(u"%Id"), nullptr, 0));
    std::cout << "Created Sample.Person " << id.mb_str() << '\n';

    d_string greeting;
    grace->get(U(u"Greeting"), greeting);
    std::cout << "Greeting: " << greeting.mb_str() << '\n';

    // An instance method with an output argument: output arguments hold
    // their new values when the call returns; the stream reads the result.
    d_string prefix("Admiral ");
    d_int length;
    D_type* args[] = {&prefix, &length};
    const d_string text(grace->run_method_by_name(U(u"Describe"), args, 2));
    std::cout << "Describe: \"" << text.mb_str() << "\" (" << length.value() << " characters)\n";
    check(text.mb_str() == "Admiral Grace (85)" && length.value() == 18, "Describe");

    // A class method: no object, two output arguments.
    d_int a(17), b(5), quotient, remainder;
    D_type* division[] = {&a, &b, &quotient, &remainder};
    d_int ok;
    ok.get(run_class_method(db, U(u"Sample.Person"), U(u"Divide"), division, 4), &db);
    std::cout << "17 / 5 = " << quotient.value() << " remainder " << remainder.value() << '\n';
    check(ok.value() == 1 && quotient.value() == 3 && remainder.value() == 2, "Divide");

    // Errors: the server's code and message, or the binding's for a name the
    // class does not have.
    d_int zero(0);
    D_type* by_zero[] = {&a, &zero};
    try {
      run_class_method(db, U(u"Sample.Person"), U(u"Divide"), by_zero, 2);
      check(false, "division by zero accepted");
    } catch (const Db_err& e) {
      std::cout << "Divide by zero: " << e << '\n';
    }
    try {
      d_string shoe;
      grace->get(U(u"Shoe"), shoe);
      check(false, "an unknown property read");
    } catch (const Db_err& e) {
      std::cout << "Unknown property: " << e << '\n';
    }

    // The same object opened by its id shares the proxy already open.
    d_string units = id;
    units.to_uni();
    const std::u16string id16(reinterpret_cast<const char16_t*>(units.data()), units.size() / 2);
    d_ref<Dyn_obj> again = Dyn_obj::open(db, U(u"Sample.Person"), U(id16.c_str()));
    check(again.get_proxy() == grace.get_proxy(), "one proxy per object");
  });
}
