#include "drivers/duckdb/database_registry.h"

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include "drivers/driver.h"

namespace zyl::drivers::duckdb {
namespace {

struct Entry {
  duckdb_database database = nullptr;
  std::size_t users = 0;
  bool read_only = false;
  bool attached = false;  // reserved: attached to another database, no instance of its own
};

// Opening and closing happen under the mutex, so a file is never open twice, not even for the
// moment between the last share letting go and the next one arriving.
struct Registry {
  std::mutex mutex;
  std::condition_variable reservation_ended;
  std::map<std::string, Entry> entries;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: shares may outlive static objects
  return *r;
}

bool in_memory(const std::filesystem::path& path) {
  return path.empty() || path == ":memory:";
}

void set_option(duckdb_config config, const char* name, const std::string& value) {
  if (duckdb_set_config(config, name, value.c_str()) == DuckDBError) {
    duckdb_destroy_config(&config);
    throw DriverError("invalid DuckDB setting " + std::string(name) + " '" + value + "'");
  }
}

duckdb_database open_database(const std::string& path, bool read_only) {
  duckdb_config config = nullptr;
  if (duckdb_create_config(&config) == DuckDBError) {
    throw DriverError("cannot create a DuckDB configuration");
  }
  if (read_only) set_option(config, "access_mode", "READ_ONLY");
  std::string limit = memory_limit();
  if (!limit.empty()) set_option(config, "memory_limit", limit);
  duckdb_database database = nullptr;
  char* error = nullptr;
  duckdb_state state =
      duckdb_open_ext(path.empty() ? nullptr : path.c_str(), &database, config, &error);
  duckdb_destroy_config(&config);
  if (state == DuckDBError) {
    std::string message = error ? error : "unknown error";
    if (error) duckdb_free(error);
    if (message.find("Could not set lock") != std::string::npos ||
        message.find("Conflicting lock") != std::string::npos) {
      throw DriverError("DuckDB file '" + path + "' is in use by another process: " + message);
    }
    throw DriverError("cannot open DuckDB file '" + path + "': " + message);
  }
  return database;
}

}  // namespace

std::string memory_limit() {
  if (const char* text = std::getenv("ZYL_DUCKDB_MEMORY_LIMIT")) return text;
  return sizeof(void*) == 4 ? "1GiB" : "";
}

std::string canonical_key(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return path.lexically_normal().string();
  std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, ec);
  if (ec) return absolute.lexically_normal().string();
  return canonical.string();
}

DatabaseShare DatabaseShare::acquire(const std::filesystem::path& path, bool read_only) {
  if (in_memory(path)) return DatabaseShare("", open_database("", false));
  std::string key = canonical_key(path);
  Registry& r = registry();
  std::unique_lock lock(r.mutex);
  r.reservation_ended.wait(lock, [&] {
    auto found = r.entries.find(key);
    return found == r.entries.end() || !found->second.attached;
  });
  auto it = r.entries.find(key);
  if (it != r.entries.end()) {
    if (it->second.read_only && !read_only) {
      throw DriverError("DuckDB file '" + key +
                        "' is already open read-only in this process; it cannot be written");
    }
    ++it->second.users;
    return DatabaseShare(key, it->second.database);
  }
  duckdb_database database = open_database(key, read_only);
  r.entries.emplace(key, Entry{database, 1, read_only});
  return DatabaseShare(key, database);
}

DatabaseShare::DatabaseShare(DatabaseShare&& other) noexcept
    : key_(std::move(other.key_)), database_(std::exchange(other.database_, nullptr)) {}

DatabaseShare& DatabaseShare::operator=(DatabaseShare&& other) noexcept {
  if (this != &other) {
    release();
    key_ = std::move(other.key_);
    database_ = std::exchange(other.database_, nullptr);
  }
  return *this;
}

DatabaseShare::~DatabaseShare() { release(); }

void DatabaseShare::release() noexcept {
  if (!database_) return;
  if (key_.empty()) {
    duckdb_close(&database_);
    database_ = nullptr;
    return;
  }
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.entries.find(key_);
  if (it != r.entries.end() && --it->second.users == 0) {
    duckdb_close(&it->second.database);
    r.entries.erase(it);
  }
  database_ = nullptr;
  key_.clear();
}

std::optional<AttachReservation> AttachReservation::reserve(const std::filesystem::path& path) {
  if (in_memory(path)) return std::nullopt;
  std::string key = canonical_key(path);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.entries.count(key)) return std::nullopt;
  Entry entry;
  entry.attached = true;
  r.entries.emplace(key, entry);
  return AttachReservation(std::move(key));
}

AttachReservation::~AttachReservation() {
  if (key_.empty()) return;
  Registry& r = registry();
  {
    std::lock_guard lock(r.mutex);
    r.entries.erase(key_);
  }
  r.reservation_ended.notify_all();
}

std::size_t share_count(const std::filesystem::path& path) {
  if (in_memory(path)) return 0;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.entries.find(canonical_key(path));
  return it == r.entries.end() ? 0 : it->second.users;
}

}  // namespace zyl::drivers::duckdb
