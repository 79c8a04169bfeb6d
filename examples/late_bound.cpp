// Late-bound access: a class's definition fetched at run time, and objects
// used through it by the names of their properties and methods, with no
// class-specific code. Names are UTF-8 text; values are the binding's value
// classes or plain C++ values; failures are thrown as Db_err.
#include "example.h"

using example::check;

int main(int argc, char** argv) {
  Handle<Conn_t> conn = example::connect(argc, argv);
  Database db(conn, false);
  return example::run([&] {
    // What the server says the class has.
    const Class_def* cls = db.get_classes().open(&db, "Sample.Person");
    std::cout << "Sample.Person has " << cls->properties().size() << " properties, " << cls->methods().size()
              << " methods and " << cls->queries().size() << " queries. Its methods:\n";
    for (const auto& [name, m] : cls->methods()) {
      std::cout << "  " << (m->is_class_method ? "class method " : "method ") << d_string(name.c_str()) << '(';
      for (std::size_t i = 0; i < m->args.size(); ++i)
        std::cout << (i ? ", " : "") << (m->args[i]->is_output ? "output " : "") << d_string(m->args[i]->name.c_str());
      std::cout << ")\n";
    }

    // Properties by name, set from plain values and read back as them.
    d_ref<Dyn_obj> grace = Dyn_obj::create(db, "Sample.Person");
    grace->set("Name", "Grace");
    grace->set("Age", 85);
    grace->set("Height", 1.68);
    check(grace->call<d_status>("%Save").get_code() == 0, "saved");
    const std::string id = grace->call<std::string>("%Id");
    std::cout << "Created Sample.Person " << id << '\n';
    std::cout << "Greeting: " << grace->get<std::string>("Greeting") << '\n';

    // An instance method with an output argument, marked with out(): it
    // holds its new value when the call returns.
    d_int length;
    const std::string text = grace->call<std::string>("Describe", "Admiral ", torqa::out(length));
    std::cout << "Describe: \"" << text << "\" (" << length.value() << " characters)\n";
    check(text == "Admiral Grace (85)" && length.value() == 18, "Describe");

    // A class method: no object, two output arguments.
    d_int quotient, remainder;
    const bool ok =
        Dyn_obj::call_class<bool>(db, "Sample.Person", "Divide", 17, 5, torqa::out(quotient), torqa::out(remainder));
    std::cout << "17 / 5 = " << quotient.value() << " remainder " << remainder.value() << '\n';
    check(ok && quotient.value() == 3 && remainder.value() == 2, "Divide");

    // Errors: the server's code and message, or the binding's for a name the
    // class does not have.
    try {
      Dyn_obj::call_class(db, "Sample.Person", "Divide", 17, 0, torqa::out(quotient), torqa::out(remainder));
      check(false, "division by zero accepted");
    } catch (const Db_err& e) {
      std::cout << "Divide by zero: " << e << '\n';
    }
    try {
      grace->get<std::string>("Shoe");
      check(false, "an unknown property read");
    } catch (const Db_err& e) {
      std::cout << "Unknown property: " << e << '\n';
    }

    // The same object opened by its id shares the proxy already open.
    d_ref<Dyn_obj> again = Dyn_obj::open(db, "Sample.Person", id);
    check(again.get_proxy() == grace.get_proxy(), "one proxy per object");
  });
}
