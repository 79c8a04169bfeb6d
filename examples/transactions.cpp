// Transactions: work inside a torqa::transaction is durable when it commits
// (at the outermost level), and undone when it goes out of scope without
// committing, by an exception as well. A rollback undoes every open level.
// Outside a transaction each %Save is durable on return.
#include "example.h"

using example::check;

namespace {

/// Creates and saves a person; answers its id.
std::string add_person(Database& db, const char* name) {
  d_ref<Dyn_obj> p = Dyn_obj::create(db, "Sample.Person");
  p->set("Name", name);
  check(p->call<d_status>("%Save").get_code() == 0, "saved");
  return p->call<std::string>("%Id");
}

bool exists(Database& db, const std::string& id) {
  return Dyn_obj::call_class<bool>(db, "Sample.Person", "%ExistsId", id);
}

}  // namespace

int main(int argc, char** argv) {
  Handle<Conn_t> conn = example::connect(argc, argv);
  Database db(conn, false);
  return example::run([&] {
    std::string ann;
    {
      torqa::transaction t(db);
      ann = add_person(db, "Ann");
      t.commit();
    }
    std::cout << "Committed: Ann (" << ann << ") exists: " << exists(db, ann) << '\n';
    check(exists(db, ann), "Ann kept");

    std::string bob;
    try {
      torqa::transaction t(db);
      bob = add_person(db, "Bob");
      check(exists(db, bob), "Bob visible inside the transaction");
      throw std::runtime_error("something went wrong");  // leaves the scope uncommitted
    } catch (const std::runtime_error& e) {
      std::cout << "Rolled back by \"" << e.what() << "\": Bob (" << bob << ") exists: " << exists(db, bob) << '\n';
    }
    check(!exists(db, bob), "Bob undone");

    // Nested: the inner commit only closes its level; the outer rollback
    // undoes it.
    std::string cy;
    {
      torqa::transaction outer(db);
      torqa::transaction inner(db);
      cy = add_person(db, "Cy");
      inner.commit();
      outer.rollback();
    }
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
