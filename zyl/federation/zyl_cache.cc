#include "zyl/federation/zyl_cache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>

#include "drivers/driver.h"
#include "drivers/duckdb/database_registry.h"
#include "drivers/duckdb/duckdb_driver.h"

namespace zyl::federation::zyl_cache {
namespace {

namespace fs = std::filesystem;

static_assert(sizeof(off_t) == 8, "the cache file outgrows 2 GiB: _FILE_OFFSET_BITS=64 on 32-bit");

// One mutex per lock file and process, so threads of this process queue here before they queue
// on the advisory lock with other processes.
std::mutex& process_mutex(const std::string& lock_path) {
  static std::mutex guard;
  static std::map<std::string, std::mutex>* mutexes = new std::map<std::string, std::mutex>();
  std::lock_guard lock(guard);
  return (*mutexes)[lock_path];
}

// The cache's lock: the in-process mutex, then flock(2) on `<cache file>.lock`.
class CacheFileLock final : public FileLock {
 public:
  CacheFileLock(const fs::path& cache_path, std::function<void()> on_release)
      : lock_path_(drivers::duckdb::canonical_key(cache_path) + ".lock"),
        mutex_(process_mutex(lock_path_)),
        on_release_(std::move(on_release)) {}
  ~CacheFileLock() override {
    if (fd_ >= 0) release();
  }

  void acquire() override {
    mutex_.lock();
    std::error_code ec;
    fs::create_directories(fs::path(lock_path_).parent_path(), ec);
    int fd = ::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      int err = errno;
      mutex_.unlock();
      throw std::runtime_error("cannot open the cache lock file '" + lock_path_ +
                               "': " + std::strerror(err));
    }
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      int err = errno;
      ::close(fd);
      mutex_.unlock();
      throw std::runtime_error("cannot lock '" + lock_path_ + "': " + std::strerror(err));
    }
    fd_ = fd;
  }

  void release() override {
    if (fd_ < 0) return;
    // The next holder may be another process: it needs the DuckDB file as well as the lock.
    on_release_();
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    mutex_.unlock();
  }

 private:
  std::string lock_path_;
  std::mutex& mutex_;
  std::function<void()> on_release_;
  int fd_ = -1;
};

bool simple_part(const std::string& s) {
  if (s.empty() || !(s[0] >= 'a' && s[0] <= 'z')) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum) continue;
    if (c != '_' || i + 1 == s.size() || s[i + 1] == '_') return false;
  }
  return true;
}

std::string readable(const std::string& s) {
  std::string out;
  for (char c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += c;
    } else if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c - 'A' + 'a');
    } else {
      out += '_';
    }
  }
  return out;
}

std::uint64_t fnv1a(std::string_view s, std::uint64_t h = 1469598103934665603ULL) {
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

}  // namespace

CacheLocation CacheLocation::for_project(const fs::path& project_dir) {
  return CacheLocation{project_dir / ".zyl" / "cache.duckdb"};
}

CacheLocation CacheLocation::at(const fs::path& cache_path) { return CacheLocation{cache_path}; }

struct ZylCache::Impl {
  fs::path path;
  CacheFileLock lock;
  std::unique_ptr<drivers::Connection> conn;

  explicit Impl(const fs::path& p) : path(p), lock(p, [this] { conn.reset(); }) {}

  void open() {
    if (conn) return;
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    conn = drivers::duckdb::open_file(path);
  }
  // The connection, opened on first use.
  drivers::Connection& live() {
    open();
    return *conn;
  }
  std::int64_t count(const std::string& table) {
    auto result = live().query("SELECT count(*) FROM " + live().quote_identifier(table));
    drivers::RowBatch batch;
    if (!result->next(batch)) return 0;
    return std::get<std::int64_t>(batch.at(0, 0));
  }
};

ZylCache::ZylCache(const CacheLocation& location)
    : impl_(std::make_unique<Impl>(location.cache_path)) {
  if (impl_->path.has_parent_path()) fs::create_directories(impl_->path.parent_path());
}

ZylCache::~ZylCache() = default;

FileLock& ZylCache::_file_lock() { return impl_->lock; }

void ZylCache::ensure_created() {
  impl_->open();
  impl_->live().execute("SELECT 1");
}

std::string ZylCache::db_path() const { return impl_->path.string(); }

void ZylCache::close_and_release() { impl_->conn.reset(); }

void ZylCache::reopen() {
  impl_->conn.reset();
  impl_->open();
}

namespace {

// Plain pairs ("crm", "customers") give "crm__customers": lower-case letters, digits and single
// underscores, starting with a letter, cannot hold "__", so the split is unambiguous. Any other
// pair gives a readable form plus "___" and a 64-bit hash of both names; plain names never hold
// "___", so the two kinds never meet.

std::string pair_table_name(const std::string& first, const std::string& second) {
  if (simple_part(first) && simple_part(second)) return first + "__" + second;
  std::string base = readable(first) + "__" + readable(second);
  if (!(base[0] >= 'a' && base[0] <= 'z')) base = "t" + base;
  std::uint64_t hash = fnv1a(second, fnv1a(std::string_view("\x1f", 1), fnv1a(first)));
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(hash));
  return base + "___" + suffix;
}

}  // namespace

std::string ZylCache::source_table_name(const std::string& src_name,
                                        const std::string& tbl_name) const {
  return pair_table_name(src_name, tbl_name);
}

std::string upstream_table_name(const std::string& package_name, const std::string& model_name) {
  return "__ref__" + pair_table_name(package_name, model_name);
}

std::string ZylCache::model_table_name(const std::string& model_name) const {
  return "__model__" + model_name;
}

bool ZylCache::has_model_result(const std::string& model_name) {
  return impl_->live().table_exists({"main", model_table_name(model_name)});
}

namespace {

// The pending result of a model, until its target has the rows. Model tables begin
// "__model__" and source tables with a letter, so this prefix meets neither.
std::string pending_table_name(const std::string& model_name) {
  return "__pending__" + model_name;
}

}  // namespace

std::optional<std::int64_t> ZylCache::save_model_result(const std::string& model_name,
                                                        const std::string& sql, bool append) {
  drivers::Connection& conn = impl_->live();
  std::string pending = pending_table_name(model_name);
  conn.execute("CREATE OR REPLACE TABLE " + conn.quote_identifier(pending) + " AS " + sql);
  return impl_->count(pending);
}

std::string ZylCache::model_result_query(const std::string& model_name, bool append) {
  drivers::Connection& conn = impl_->live();
  std::string pending = "SELECT * FROM " + conn.quote_identifier(pending_table_name(model_name));
  std::string stored = model_table_name(model_name);
  if (!append || !conn.table_exists({"main", stored})) return pending;
  return "SELECT * FROM " + conn.quote_identifier(stored) + " UNION ALL BY NAME " + pending;
}

void ZylCache::commit_model_result(const std::string& model_name, bool append) {
  drivers::Connection& conn = impl_->live();
  std::string pending = conn.quote_identifier(pending_table_name(model_name));
  std::string stored_name = model_table_name(model_name);
  std::string stored = conn.quote_identifier(stored_name);
  conn.begin();
  try {
    if (append && conn.table_exists({"main", stored_name})) {
      conn.execute("INSERT INTO " + stored + " BY NAME SELECT * FROM " + pending);
      conn.execute("DROP TABLE " + pending);
    } else {
      conn.execute("DROP TABLE IF EXISTS " + stored);
      conn.execute("ALTER TABLE " + pending + " RENAME TO " + stored);
    }
    conn.commit();
  } catch (...) {
    conn.rollback();
    throw;
  }
}

std::vector<std::string> ZylCache::list_tables() {
  auto result = impl_->live().query(
      "SELECT table_name FROM information_schema.tables WHERE table_catalog = "
      "current_database() AND table_schema = 'main' ORDER BY table_name");
  std::vector<std::string> names;
  drivers::RowBatch batch;
  while (result->next(batch)) {
    for (size_t r = 0; r < batch.rows(); ++r) names.push_back(std::get<std::string>(batch.at(r, 0)));
  }
  return names;
}

void ZylCache::drop_table(const std::string& name) {
  drivers::Connection& conn = impl_->live();
  conn.execute("DROP TABLE IF EXISTS " + conn.quote_identifier(name));
}

void ZylCache::note_subset(const std::string& table, const std::string& query) {
  drivers::Connection& conn = impl_->live();
  conn.execute("COMMENT ON TABLE " + conn.quote_identifier(table) + " IS " +
               drivers::sql_string_literal("subset of its source, read by: " + query));
}

}  // namespace zyl::federation::zyl_cache
