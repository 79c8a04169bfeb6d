// Typed proxies written by hand for Sample.Person and Sample.Address, in the
// shape generated proxy code has: a class derived from Obj_t per server class,
// with one typed accessor per property and one function per method, and
// d_ref<T> as the typed reference that applications copy.
//
// A generator knows from the schema what the late-bound Dyn_obj learns at
// run time: each property's cache slot (stored properties are numbered 0, 1,
// ... in schema order; calculated ones are -1), its index, and whether it
// holds data or a reference. The proxy passes them straight to the session,
// so no class metadata is fetched.
#include "example.h"

using example::check;
using example::U;

namespace {

/// What every generated proxy has in common: opening, creating, and typed
/// property and method access for the class named by Self::class_name.
template <class Self>
class generated_proxy : public Obj_t {
 public:
  /// Builds the proxy of an object the session has open under `oid`;
  /// d_ref<Self> calls it when it reads a reference.
  static Self* make_proxy(Database* db, int oid, const unsigned short*) {
    auto* p = new Self;
    p->init_openref(db, oid);
    return p;
  }

  /// A new object ("%New"); it is stored by its first Save().
  static d_ref<Self> create(Database& db) {
    Db_err err;
    t_istream& reply = db.make_obj(U(Self::class_name), nullptr, &err);
    return first_ref(db, reply, err);
  }

  /// A stored object by its id, with a shared lock.
  static d_ref<Self> open(Database& db, const std::string& id) {
    d_string text(id.c_str());
    text.to_uni();  // client 16-bit units
    const std::u16string units(reinterpret_cast<const char16_t*>(text.data()), text.size() / 2);
    Db_err err;
    t_istream& reply = db.openid_obj(U(Self::class_name), U(units.c_str()), 1, 0, &err);
    return first_ref(db, reply, err);
  }

  d_status Save() { return call<d_status>(u"%Save"); }
  std::string Id() { return call<d_string>(u"%Id").mb_str(); }

 protected:
  template <class T>
  T get(int slot, const char16_t* name, db_ret_type rt = ret_data) {
    T value;
    value.get(db->get_property(oid, slot, 0, rt, U(name)), db);
    return value;
  }

  void set(int slot, int index, const char16_t* name, D_type& value, db_ret_type rt = ret_data) {
    db->set_property(oid, slot, 0, index, rt, U(name), &value);
  }

  /// Calls an instance method without arguments and reads its result.
  template <class T>
  T call(const char16_t* method, db_ret_type rt = ret_data) {
    T result;
    result.get(db->run_method(oid, U(Self::class_name), U(method), nullptr, 0, nullptr, 0, rt), db);
    return result;
  }

 private:
  static d_ref<Self> first_ref(Database& db, t_istream& reply, const Db_err& err) {
    if (err.is_error()) throw err;
    d_ref<Self> ref;
    ref.get(reply, &db);
    return ref;
  }
};

class Address : public generated_proxy<Address> {
 public:
  static constexpr const char16_t* class_name = u"Sample.Address";

  d_string Street() { return get<d_string>(0, u"Street"); }
  void set_Street(d_string v) { set(0, 0, u"Street", v); }
  d_string City() { return get<d_string>(1, u"City"); }
  void set_City(d_string v) { set(1, 1, u"City", v); }

  d_string Line() { return call<d_string>(u"Line"); }
};

class Person : public generated_proxy<Person> {
 public:
  static constexpr const char16_t* class_name = u"Sample.Person";

  d_string Name() { return get<d_string>(0, u"Name"); }
  void set_Name(d_string v) { set(0, 0, u"Name", v); }
  d_int Age() { return get<d_int>(1, u"Age"); }
  void set_Age(d_int v) { set(1, 1, u"Age", v); }
  d_date Birthday() { return get<d_date>(6, u"Birthday"); }
  void set_Birthday(d_date v) { set(6, 6, u"Birthday", v); }
  /// A reference property: the value is the referenced object.
  d_ref<Address> Home() { return get<d_ref<Address>>(9, u"Home", ret_ref); }
  void set_Home(d_ref<Address> v) { set(9, 9, u"Home", v, ret_ref); }
  /// A calculated property: computed by the server, never cached.
  d_string Greeting() { return get<d_string>(-1, u"Greeting"); }

  /// Describe(prefix, output length): the result first, then the output
  /// arguments in the order they are declared.
  d_string Describe(d_string prefix, d_int& length) {
    D_type* args[] = {&prefix, &length};
    const int outputs[] = {2};
    t_istream& reply = db->run_method(oid, U(class_name), U(u"Describe"), args, 2, outputs, 1, ret_data);
    d_string result;
    result.get(reply, db);
    length.get(reply, db);
    return result;
  }

  /// Grow(years): no result.
  void Grow(int years) {
    d_int n(years);
    D_type* args[] = {&n};
    db->run_method(oid, U(class_name), U(u"Grow"), args, 1, nullptr, 0, ret_none);
  }

  /// The class method Make(name, age): object id -1, an object result.
  static d_ref<Person> Make(Database& db, d_string name, d_int age) {
    D_type* args[] = {&name, &age};
    d_ref<Person> made;
    made.get(db.run_method(-1, U(class_name), U(u"Make"), args, 2, nullptr, 0, ret_ref), &db);
    return made;
  }
};

}  // namespace

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
    const std::string id = ann->Id();
    std::cout << "Saved Sample.Person " << id << ", living at Sample.Address " << home->Id() << '\n';

    d_int length;
    const d_string text = ann->Describe("Dr ", length);
    std::cout << "Describe: \"" << text.mb_str() << "\", " << length.value() << " characters\n";
    check(text.mb_str() == "Dr Ann (40)" && length.value() == 11, "Describe");

    ann->Grow(2);
    check(ann->Age().value() == 42, "Grow");
    std::cout << ann->Greeting().mb_str() << ", age " << ann->Age().value() << ", born " << ann->Birthday()
              << ", home " << ann->Home()->Line().mb_str() << '\n';
    ann->Save();

    d_ref<Person> kid = Person::Make(db, "Kid", 3);
    check(kid->Save().get_code() == 0, "Kid saved");
    std::cout << "Made " << kid->Name().mb_str() << ", id " << kid->Id() << '\n';

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
