// Transactions: work between start_transaction and commit is durable at the
// outermost commit; rollback undoes every open level. Outside a transaction
// each %Save is durable on return.
#include "example.h"

using example::check;
using example::U;

namespace {

/// Creates and saves a person; answers its id.
d_string add_person(Database& db, const char* name) {
  d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
  d_string n(name);
  p->set(U(u"Name"), n);
  check(d_status(p->run_method_by_name(m_Save, nullptr, 0)).get_code() == 0, "saved");
  return d_string(p->run_method_by_name(U(u"%Id"), nullptr, 0));
}

bool exists(Database& db, d_string id) {
  D_type* args[] = {&id};
  d_int found;
  found.get(run_class_method(db, U(u"Sample.Person"), U(u"%ExistsId"), args, 1), &db);
  return found.value() != 0;
}

}  // namespace

int main(int argc, char** argv) {
  Handle<Conn_t> conn = example::connect(argc, argv);
  Database db(conn, false);
  return example::run([&] {
    db.start_transaction();
    const d_string ann = add_person(db, "Ann");
    db.commit();
    std::cout << "Committed: Ann (" << ann.mb_str() << ") exists: " << exists(db, ann) << '\n';
    check(exists(db, ann), "Ann kept");

    db.start_transaction();
    const d_string bob = add_person(db, "Bob");
    check(exists(db, bob), "Bob visible inside the transaction");
    db.rollback();
    std::cout << "Rolled back: Bob (" << bob.mb_str() << ") exists: " << exists(db, bob) << '\n';
    check(!exists(db, bob), "Bob undone");

    // Nested: the inner commit only closes its level; the outer rollback
    // undoes it.
    db.start_transaction();
    db.start_transaction();
    const d_string cy = add_person(db, "Cy");
    db.commit();
    db.rollback();
    std::cout << "Inner commit, outer rollback: Cy exists: " << exists(db, cy) << '\n';
    check(!exists(db, cy), "Cy undone");

    try {
      db.commit();
      check(false, "a commit without a transaction");
    } catch (const Db_err& e) {
      std::cout << "Commit without a transaction: " << e << '\n';
    }
  });
}
