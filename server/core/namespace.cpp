#include "server/core/namespace.h"

#include "server/errors.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace torqa::server {

namespace fs = std::filesystem;

namespace {

// The calling thread's lock_wait_cancel check, if any.
thread_local const std::function<bool()>* wait_cancelled = nullptr;

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

// A namespace's files and folder are its owner's only, whatever the umask.
void write_private(const fs::path& p, std::string_view data) {
  const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0;
  for (std::size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (!ok) throw server_error(err_storage, "cannot write " + p.string() + ": " + std::strerror(errno));
}

void make_private(const fs::path& dir) {
  ::chmod(dir.c_str(), 0700);
  for (const char* f : {"schema.tq", "objects.db", "objects.db-wal", "objects.db-shm"})
    ::chmod((dir / f).c_str(), 0600);
}

std::int64_t setting_number(storage& store, const char* key, std::int64_t fallback) {
  const auto text = store.setting(key);
  std::int64_t n = 0;
  if (!text || std::from_chars(text->data(), text->data() + text->size(), n).ec != std::errc{} || n < 1)
    return fallback;
  return n;
}

// Makes a new namespace in `path`, all or nothing: it is built in a hidden
// folder inside `path` and exists once its objects.db is linked in place,
// last. A schema.tq already in `path` is its schema (else the options' file
// or an empty schema); a schema that does not parse leaves nothing behind.
void create_namespace(const fs::path& path, const connect_options& options) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  const bool made_dir = ::mkdir(path.c_str(), 0700) == 0;
  if (!fs::is_directory(path)) throw server_error(err_storage, "cannot use the directory " + path.string());
  std::string work = (path / ".new-XXXXXX").string();
  if (::mkdtemp(work.data()) == nullptr) throw server_error(err_storage, "cannot write in " + path.string());
  try {
    const fs::path schema_path = path / "schema.tq";
    const bool have_schema = fs::exists(schema_path);
    const std::string text = have_schema                  ? read_file(schema_path)
                             : !options.schema_file.empty() ? read_file(options.schema_file)
                                                           : "# The classes of this namespace.\n";
    schema_error err;
    const auto sch = schema::parse(text, err);
    if (!sch)
      throw server_error(err_storage, (have_schema ? schema_path.string() : options.schema_file) + ": " + err.what());
    const fs::path db = fs::path(work) / "objects.db";
    write_private(db, {});
    {
      storage store(db.string());
      store.exec("BEGIN");
      store.ensure_tables(*sch);
      store.set_setting("unicode", options.unicode ? "1" : "0");
      store.set_setting("fasthash", options.fasthash ? "1" : "0");
      store.set_setting("time_limit_ms", std::to_string(options.limits.time_ms));
      store.set_setting("memory_limit", std::to_string(options.limits.memory));
      store.set_user(initial_user, initial_password, options.fasthash);
      store.set_setting("created", "1");
      store.exec("COMMIT");
    }
    if (fs::exists(db.string() + "-wal")) throw server_error(err_storage, "cannot complete " + db.string());
    if (!have_schema) {
      write_private(fs::path(work) / "schema.tq", text);
      fs::rename(fs::path(work) / "schema.tq", schema_path);
    }
    // Another process creating the namespace at the same time may win.
    if (::link(db.c_str(), (path / "objects.db").c_str()) != 0 && errno != EEXIST)
      throw server_error(err_storage, "cannot create " + (path / "objects.db").string() + ": " + std::strerror(errno));
  } catch (...) {
    fs::remove_all(work, ec);
    if (made_dir) fs::remove(path, ec);
    throw;
  }
  fs::remove_all(work, ec);
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
    } else if (key == "timelimit" || key == "memlimit") {
      std::int64_t n = 0;
      const auto r = std::from_chars(value.data(), value.data() + value.size(), n);
      ok = r.ec == std::errc{} && r.ptr == value.data() + value.size() && n >= 1;
      if (ok) (key == "timelimit" ? out.limits.time_ms : out.limits.memory) = n;
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
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(std::clamp<std::int64_t>(timeout, 0, max_timeout));
  std::unique_lock<std::mutex> guard(mutex_);
  // The wait goes in slices so that the thread's cancel check is asked.
  while (conflicts(k, holder, exclusive)) {
    const auto now = clock::now();
    if (stopped_ || now >= deadline || (wait_cancelled != nullptr && (*wait_cancelled)()))
      return exclusive ? open_exclusive_conflict : open_shared_conflict;
    released_.wait_until(guard, std::min(deadline, now + std::chrono::milliseconds(250)));
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

void lock_table::stop_waiting() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopped_ = true;
  }
  released_.notify_all();
}

lock_wait_cancel::lock_wait_cancel(std::function<bool()> cancelled)
    : cancelled_(std::move(cancelled)), outer_(wait_cancelled) {
  wait_cancelled = &cancelled_;
}

lock_wait_cancel::~lock_wait_cancel() { wait_cancelled = outer_; }

std::shared_ptr<name_space> name_space::open(const std::string& dir, const connect_options& options) {
  if (dir.empty()) throw server_error(err_options, "no namespace directory given");
  std::error_code ec;
  const fs::path path = fs::weakly_canonical(fs::absolute(dir), ec);
  if (ec) throw server_error(err_storage, "cannot use the directory " + dir);

  std::lock_guard<std::mutex> guard(registry_mutex);
  std::erase_if(registry(), [](const auto& entry) { return entry.second.expired(); });
  auto& slot = registry()[path.string()];
  if (auto ns = slot.lock()) return ns;

  auto ns = std::make_shared<name_space>(path.string());
  if (!fs::exists(path / "objects.db")) create_namespace(path, options);
  make_private(path);
  ns->take_ownership();
  const fs::path schema_path = path / "schema.tq";
  schema_error err;
  ns->schema_ = schema::parse(read_file(schema_path), err);
  if (!ns->schema_) throw server_error(err_storage, schema_path.string() + ": " + err.what());

  // A deferred transaction: only a schema that grew writes, so a writer
  // busy in another process does not keep this one from connecting.
  storage store(ns->db_path());
  store.exec("BEGIN");
  try {
    store.ensure_tables(*ns->schema_);
    if (!store.setting("created")) throw server_error(err_storage, ns->db_path() + " is not a complete namespace");
    ns->unicode_ = store.setting("unicode").value_or("0") == "1";
    ns->limits_ = {setting_number(store, "time_limit_ms", run_limits{}.time_ms),
                   setting_number(store, "memory_limit", run_limits{}.memory)};
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
    throw owned_elsewhere(
        "namespace " + dir_ + " is served by process " + (pid.empty() ? "unknown" : pid) + " (" + name + ")", dir_);
  }
  // A socket here was left by an owner that is gone (a link is removed, not
  // followed; anything else is left for the daemon to report).
  const std::string socket = dir_ + "/" + socket_file;
  if (struct stat st{}; ::lstat(socket.c_str(), &st) == 0 && (S_ISSOCK(st.st_mode) || S_ISLNK(st.st_mode)))
    ::unlink(socket.c_str());
  const std::string text = me + " " + program_name() + "\n";
  if (::ftruncate(owner_fd_, 0) != 0 ||
      ::pwrite(owner_fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    throw server_error(err_storage, "cannot write " + file);
}

name_space::~name_space() {
  if (owner_fd_ >= 0) ::close(owner_fd_);  // releases the owner lock
}

login_throttle::clock::time_point login_throttle::not_before(const std::string& user) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = names_.find(user);
  return it == names_.end() ? clock::time_point{} : it->second.not_before;
}

void login_throttle::failed(const std::string& user, clock::time_point now) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (names_.size() >= max_names && names_.count(user) == 0) {
    // Names quiet for a while are forgotten first; then any.
    std::erase_if(names_, [&](const auto& e) { return e.second.not_before + max_delay < now; });
    if (names_.size() >= max_names) names_.erase(names_.begin());
  }
  entry& e = names_[user];
  e.failures = std::min(e.failures + 1, 16);
  e.not_before = now + std::min<clock::duration>(first_delay * (1 << (e.failures - 1)), max_delay);
}

void login_throttle::succeeded(const std::string& user) {
  std::lock_guard<std::mutex> guard(mutex_);
  names_.erase(user);
}

connection::connection(const std::string& dir, const connect_options& options, const std::string& user,
                       const std::string& password)
    : connection(dir, options, user, checked_login{}) {
  login_throttle& throttle = ns_->throttle();
  std::this_thread::sleep_until(throttle.not_before(user));
  if (!store_.check_user(user, password)) {
    throttle.failed(user, login_throttle::clock::now());
    throw server_error(err_login, "unknown user or wrong password");
  }
  throttle.succeeded(user);
  // A namespace made before the daemon's login keys were kept gets them for
  // this user now. Not making them (the database busy) fails no connect:
  // the next one tries again.
  if (!store_.setting(storage::scram_key(user))) {
    try {
      store_.set_login_keys(user, password);
    } catch (const server_error&) {
    }
  }
}

connection::connection(const std::string& dir, const connect_options& options, const std::string& user,
                       checked_login)
    : ns_(name_space::open(dir, options)), store_(ns_->db_path()), chunk_(options.chunk), user_(user) {
  store_.track(ns_->versions());
}

}  // namespace torqa::server
