// The registry of live handles.
#include "handles.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace torqa::driver {

namespace {

// Never destroyed: handles may outlive static destruction.
std::mutex& registry_mutex = *new std::mutex;
std::unordered_map<const void*, handle_kind>& registry = *new std::unordered_map<const void*, handle_kind>;

// Bumped whenever a handle goes: a thread's last successful lookup stays
// good while it is unchanged, so that the calls made per row (SQLFetch,
// SQLGetData) skip the locked registry.
std::atomic<std::uint64_t> removals{0};

struct last_lookup {
  const void* h = nullptr;
  handle_kind k = handle_kind::env;
  std::uint64_t removals = 0;
};
// Initial-exec: a few bytes of the static TLS reserve, read without a call.
[[gnu::tls_model("initial-exec")]] thread_local last_lookup last;

template <class T>
T* live(void* h, handle_kind k) {
  return is_live(h, k) ? static_cast<T*>(h) : nullptr;
}

}  // namespace

live_handle::live_handle(const void* h, handle_kind k) : h_(h) {
  std::lock_guard<std::mutex> guard(registry_mutex);
  registry[h] = k;
}

live_handle::~live_handle() {
  std::lock_guard<std::mutex> guard(registry_mutex);
  registry.erase(h_);
  removals.fetch_add(1, std::memory_order_release);
}

bool is_live(const void* h, handle_kind k) {
  if (h == nullptr) return false;
  const std::uint64_t seen = removals.load(std::memory_order_acquire);
  if (h == last.h && k == last.k && seen == last.removals) return true;
  std::lock_guard<std::mutex> guard(registry_mutex);
  const auto it = registry.find(h);
  if (it == registry.end() || it->second != k) return false;
  last = {h, k, seen};
  return true;
}

env* as_env(void* h) { return live<env>(h, handle_kind::env); }
dbc* as_dbc(void* h) { return live<dbc>(h, handle_kind::dbc); }
stmt* as_stmt(void* h) { return live<stmt>(h, handle_kind::stmt); }
channel* as_channel(void* h) { return live<channel>(h, handle_kind::channel); }

dbc::~dbc() {
  for (channel* c : channels) delete c;
  for (stmt* s : statements) delete s;
}

}  // namespace torqa::driver
