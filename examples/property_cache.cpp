// The property cache: a session started with use_cache receives, with each
// reply, the current values of the objects the request touched, and answers
// later property reads without a round trip. Property writes wait in the
// cache and travel at the head of the next request that goes to the server.
#include "example.h"

#include <chrono>

using example::check;
using example::U;

namespace {

/// Reads Name and Age `n` times; answers the time per read.
double time_reads(d_ref<Dyn_obj>& p, int n) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    d_string name;
    d_int age;
    p->get(U(u"Name"), name);
    p->get(U(u"Age"), age);
  }
  const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / (2.0 * n);
}

}  // namespace

int main(int argc, char** argv) {
  Handle<Conn_t> conn = example::connect(argc, argv);
  return example::run([&] {
    std::string id;
    {
      Database db(conn, true);
      auto* cache = dynamic_cast<Cache_ant*>(db.get_cache());
      check(cache != nullptr, "a cached session has a cache");

      d_ref<Dyn_obj> ann = Dyn_obj::create(db, "Sample.Person");
      ann->set("Name", "Ann");
      ann->set("Age", 40);
      std::cout << "Changes waiting in the cache: " << cache->pending_changes() << '\n';
      check(ann->call<d_status>("%Save").get_code() == 0, "saved");  // carries the changes
      std::cout << "After %Save: " << cache->pending_changes() << " waiting, " << cache->cached_objects()
                << " object cached\n";
      check(cache->pending_changes() == 0, "changes sent");
      id = ann->call<std::string>("%Id");
      check(ann->get<int>("Age") == 40, "Age from the cache");
      std::cout << "Cached read:   " << time_reads(ann, 2000) << " ns per property\n";
    }
    // The same reads in a session without the cache: one exchange each.
    Database db(conn, false);
    d_ref<Dyn_obj> ann = Dyn_obj::open(db, "Sample.Person", id);
    std::cout << "Uncached read: " << time_reads(ann, 2000) << " ns per property\n";
  });
}
