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

      d_ref<Dyn_obj> ann = Dyn_obj::create(db, U(u"Sample.Person"));
      d_string name("Ann");
      d_int age(40);
      ann->set(U(u"Name"), name);
      ann->set(U(u"Age"), age);
      std::cout << "Changes waiting in the cache: " << cache->pending_changes() << '\n';
      const d_status saved(ann->run_method_by_name(m_Save, nullptr, 0));  // carries the changes
      check(saved.get_code() == 0, "saved");
      std::cout << "After %Save: " << cache->pending_changes() << " waiting, " << cache->cached_objects()
                << " object cached\n";
      check(cache->pending_changes() == 0, "changes sent");
      id = d_string(ann->run_method_by_name(U(u"%Id"), nullptr, 0)).mb_str();

      d_int read_back;
      ann->get(U(u"Age"), read_back);
      check(read_back.value() == 40, "Age from the cache");
      std::cout << "Cached read:   " << time_reads(ann, 2000) << " ns per property\n";
    }
    // The same reads in a session without the cache: one exchange each.
    Database db(conn, false);
    d_string id_text(id.c_str());
    id_text.to_uni();
    const std::u16string id16(reinterpret_cast<const char16_t*>(id_text.data()), id_text.size() / 2);
    d_ref<Dyn_obj> ann = Dyn_obj::open(db, U(u"Sample.Person"), U(id16.c_str()));
    std::cout << "Uncached read: " << time_reads(ann, 2000) << " ns per property\n";
  });
}
