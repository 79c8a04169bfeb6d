#include "namespace.h"

#include "errors.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace torqa::server {

namespace fs = std::filesystem;

namespace {

std::mutex registry_mutex;
std::map<std::string, std::weak_ptr<name_space>>& registry() {
  static std::map<std::string, std::weak_ptr<name_space>> r;
  return r;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw server_error(err_storage, "cannot read " + p.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The short name of this program, as the owner file records it.
std::string program_name() {
  std::ifstream in("/proc/self/comm");
  std::string name;
  std::getline(in, name);
  return name.empty() ? "unknown" : name;
}

bool flag(std::string_view v, bool& out) {
  if (v != "0" && v != "1") return false;
  out = v == "1";
  return true;
}

}  // namespace

bool parse_options(std::string_view text, connect_options& out, std::string& why) {
  while (!text.empty()) {
    const std::size_t semi = text.find(';');
    const std::string_view pair = text.substr(0, semi);
    text = semi == std::string_view::npos ? std::string_view{} : text.substr(semi + 1);
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    const std::string_view key = pair.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
    bool ok = eq != std::string_view::npos;
    if (!ok) {
    } else if (key == "chunk") {
      std::size_t n = 0;
      const auto r = std::from_chars(value.data(), value.data() + value.size(), n);
      ok = r.ec == std::errc{} && r.ptr == value.data() + value.size() && n >= 1 && n <= 32768;
      if (ok) out.chunk = n;
    } else if (key == "unicode") {
      ok = flag(value, out.unicode);
    } else if (key == "fasthash") {
      ok = flag(value, out.fasthash);
    } else if (key == "schema") {
      out.schema_file = std::string(value);
      ok = !value.empty();
    } else {
      ok = false;
    }
    if (!ok) {
      why = "bad connection option '" + std::string(pair) + "'";
      return false;
    }
  }
  return true;
}

bool lock_table::conflicts(const key& k, const void* holder, bool exclusive) const {
  const auto it = locks_.find(k);
  if (it == locks_.end()) return false;
  const entry& e = it->second;
  if (e.exclusive != nullptr && e.exclusive != holder) return true;
  if (!exclusive) return false;
  return std::any_of(e.shared.begin(), e.shared.end(), [&](const void* h) { return h != holder; });
}

int lock_table::acquire(const key& k, const void* holder, bool exclusive, std::int64_t timeout) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (conflicts(k, holder, exclusive)) {
    const bool granted =
        timeout > 0 &&
        released_.wait_for(guard, std::chrono::seconds(std::min(timeout, max_timeout)),
                           [&] { return !conflicts(k, holder, exclusive); });
    if (!granted) return exclusive ? open_exclusive_conflict : open_shared_conflict;
  }
  entry& e = locks_[k];
  if (exclusive)
    e.exclusive = holder;
  else
    e.shared.insert(holder);
  return 0;
}

void lock_table::release(const key& k, const void* holder) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto it = locks_.find(k);
    if (it == locks_.end()) return;
    entry& e = it->second;
    if (e.exclusive == holder) e.exclusive = nullptr;
    e.shared.erase(holder);
    if (e.exclusive == nullptr && e.shared.empty()) locks_.erase(it);
  }
  released_.notify_all();
}

std::shared_ptr<name_space> name_space::open(const std::string& dir, const connect_options& options) {
  if (dir.empty()) throw server_error(err_options, "no namespace directory given");
  std::error_code ec;
  fs::create_directories(dir, ec);
  const fs::path path = fs::weakly_canonical(fs::absolute(dir), ec);
  if (ec || !fs::is_directory(path)) throw server_error(err_storage, "cannot use the directory " + dir);

  std::lock_guard<std::mutex> guard(registry_mutex);
  std::erase_if(registry(), [](const auto& entry) { return entry.second.expired(); });
  auto& slot = registry()[path.string()];
  if (auto ns = slot.lock()) return ns;

  auto ns = std::make_shared<name_space>(path.string());
  ns->take_ownership();
  const fs::path schema_path = path / "schema.tq";
  if (!fs::exists(schema_path)) {
    if (!options.schema_file.empty()) {
      if (!fs::copy_file(options.schema_file, schema_path, ec))
        throw server_error(err_storage, "cannot copy the schema " + options.schema_file);
    } else {
      std::ofstream(schema_path) << "# The classes of this namespace.\n";
    }
  }
  schema_error err;
  ns->schema_ = schema::parse(read_file(schema_path), err);
  if (!ns->schema_) throw server_error(err_storage, schema_path.string() + ": " + err.what());

  storage store(ns->db_path());
  store.exec("BEGIN IMMEDIATE");
  try {
    store.ensure_tables(*ns->schema_);
    if (!store.setting("created")) {
      store.set_setting("unicode", options.unicode ? "1" : "0");
      store.set_user(initial_user, initial_password, options.fasthash);
      store.set_setting("created", "1");
    }
    ns->unicode_ = store.setting("unicode").value_or("0") == "1";
    store.exec("COMMIT");
  } catch (...) {
    store.exec("ROLLBACK");
    throw;
  }
  slot = ns;
  return ns;
}

void name_space::take_ownership() {
  const std::string file = dir_ + "/owner";
  owner_fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (owner_fd_ < 0) throw server_error(err_storage, "cannot open " + file);
  const std::string me = std::to_string(::getpid());
  // This process may still be letting go of an earlier open of the same
  // directory (its last user is in the destructor): wait for that briefly.
  for (int tries = 0; ::flock(owner_fd_, LOCK_EX | LOCK_NB) != 0; ++tries) {
    char text[256] = {};
    const ssize_t n = ::pread(owner_fd_, text, sizeof text - 1, 0);
    std::string owner(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!owner.empty() && owner.back() == '\n') owner.pop_back();
    const std::size_t blank = owner.find(' ');
    const std::string pid = owner.substr(0, blank);
    // An empty file: its owner has the lock but has not written its name yet.
    if ((pid == me || pid.empty()) && tries < 1000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    const std::string name = blank == std::string::npos ? "unknown" : owner.substr(blank + 1);
    throw server_error(err_storage, "namespace " + dir_ + " is served by process " +
                                        (pid.empty() ? "unknown" : pid) + " (" + name + ")");
  }
  const std::string text = me + " " + program_name() + "\n";
  if (::ftruncate(owner_fd_, 0) != 0 || ::pwrite(owner_fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    throw server_error(err_storage, "cannot write " + file);
}

name_space::~name_space() {
  if (owner_fd_ >= 0) ::close(owner_fd_);  // releases the owner lock
}

connection::connection(const std::string& dir, const connect_options& options, const std::string& user,
                       const std::string& password)
    : connection(dir, options, user, checked_login{}) {
  if (!store_.check_user(user, password)) throw server_error(err_login, "unknown user or wrong password");
}

connection::connection(const std::string& dir, const connect_options& options, const std::string& user,
                       checked_login)
    : ns_(name_space::open(dir, options)), store_(ns_->db_path()), chunk_(options.chunk), user_(user) {
  store_.track(ns_->versions());
}

}  // namespace torqa::server
