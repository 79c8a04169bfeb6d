// Processes sharing a namespace: locked read-modify-write increments from
// several processes at once all count. Embedded, the namespace is served by
// one process at a time and the others are refused at once, naming it;
// through the daemon, all are served at once.
#include "e2e_util.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace torqa::e2e {
namespace {

// A child's ways to end (its exit status; not 1, a test program's failure).
enum outcome { counted = 0, lost = 11, refused = 12, never_served = 13 };

/// Connects, waiting (at most a minute) while another process serves the
/// namespace; such a refusal must name it.
outcome connect_when_free(const test_namespace& ns, Handle<Conn_t>& conn) {
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);;) {
    Db_err err;
    conn = ns.connect("torqa", "torqa", &err);
    if (conn->is_active()) return counted;
    if (err.diag.text.find(" is served by process ") == std::string::npos) return refused;
    if (std::chrono::steady_clock::now() > until) return never_served;
    // Nothing signals the owner's exit to this process: try again shortly.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

/// `n` increments of person 1's Age, each under an exclusive open.
outcome increment(const test_namespace& ns, int n) {
  try {
    Handle<Conn_t> conn;
    if (const outcome o = connect_when_free(ns, conn); o != counted) return o;
    Database db(conn, false);
    for (int i = 0; i < n; ++i) {
      d_ref<Dyn_obj> p = Dyn_obj::open(db, "Sample.Person", "1", 2, 30);
      p->set("Age", p->get<d_int>("Age").value() + 1);
      if (p->call<d_status>("%Save").get_code() != 0) return lost;
    }
    return counted;
  } catch (const Db_err&) {
    return lost;
  }
}

class e2e_processes : public ::testing::TestWithParam<bool> {};

TEST_P(e2e_processes, locked_increments_from_four_processes_all_count) {
  const test_namespace ns(config{false, false, 32768, GetParam()});
  const auto age = [&] {
    Handle<Conn_t> conn = ns.connect();
    Database db(conn, false);
    return Dyn_obj::open(db, "Sample.Person", "1")->get<d_int>("Age").value();
  };
  {
    Handle<Conn_t> conn = ns.connect();  // starts the daemon before the children
    Database db(conn, false);
    d_ref<Dyn_obj> p = Dyn_obj::create(db, "Sample.Person");
    p->set("Age", 0);
    ASSERT_EQ(p->call<d_status>("%Save").get_code(), 0);
  }
  constexpr int processes = 4, increments = 1000;
  std::vector<pid_t> children;
  for (int i = 0; i < processes; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(increment(ns, increments));
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), counted) << "process " << child;
  }
  EXPECT_EQ(age(), processes * increments);
}

INSTANTIATE_TEST_SUITE_P(transports, e2e_processes, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "daemon" : "embedded"; });

}  // namespace
}  // namespace torqa::e2e
