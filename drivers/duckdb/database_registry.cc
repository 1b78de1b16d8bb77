#include "drivers/duckdb/database_registry.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "drivers/driver.h"

namespace zyl::drivers::duckdb {
namespace {

struct Entry {
  duckdb_database database = nullptr;  // the shared instance, or the file's own
  std::string catalog;                 // its name in the shared instance; empty: own instance
  std::size_t users = 0;
  bool read_only = false;
};

// Opening, attaching, detaching and closing happen under the mutex, so a file is never open
// twice, not even for the moment between the last share letting go and the next one arriving.
struct Registry {
  std::mutex mutex;
  std::map<std::string, Entry> entries;
  // The instance the files share, and the connection that attaches and detaches them. Open
  // while it holds a file.
  duckdb_database shared = nullptr;
  duckdb_connection admin = nullptr;
  std::size_t shared_files = 0;
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

bool lock_conflict(const std::string& message) {
  return message.find("Could not set lock") != std::string::npos ||
         message.find("Conflicting lock") != std::string::npos;
}

[[noreturn]] void fail_to_open(const std::string& path, const std::string& message) {
  if (lock_conflict(message)) {
    throw DriverError("DuckDB file '" + path + "' is in use by another process: " + message);
  }
  throw DriverError("cannot open DuckDB file '" + path + "': " + message);
}

// An instance of `path` ("" for in-memory). `temp_directory`, when given, is where it spills.
duckdb_database open_database(const std::string& path, bool read_only,
                              const std::string& temp_directory = "") {
  duckdb_config config = nullptr;
  if (duckdb_create_config(&config) == DuckDBError) {
    throw DriverError("cannot create a DuckDB configuration");
  }
  if (read_only) set_option(config, "access_mode", "READ_ONLY");
  std::string limit = memory_limit();
  if (!limit.empty()) set_option(config, "memory_limit", limit);
  if (!temp_directory.empty()) set_option(config, "temp_directory", temp_directory);
  duckdb_database database = nullptr;
  char* error = nullptr;
  duckdb_state state =
      duckdb_open_ext(path.empty() ? nullptr : path.c_str(), &database, config, &error);
  duckdb_destroy_config(&config);
  if (state == DuckDBError) {
    std::string message = error ? error : "unknown error";
    if (error) duckdb_free(error);
    fail_to_open(path, message);
  }
  return database;
}

// Runs `sql` on the registry's own connection; the error message, or nullopt on success. With
// `answer`, the first cell of the result goes there.
std::optional<std::string> run(duckdb_connection admin, const std::string& sql,
                               std::string* answer = nullptr) {
  duckdb_result result;
  if (duckdb_query(admin, sql.c_str(), &result) == DuckDBError) {
    std::string message = duckdb_result_error(&result);
    duckdb_destroy_result(&result);
    return message;
  }
  if (answer && duckdb_row_count(&result) > 0) {
    char* text = duckdb_value_varchar(&result, 0, 0);
    if (text) *answer = text;
    duckdb_free(text);
  }
  duckdb_destroy_result(&result);
  return std::nullopt;
}

std::string quote_name(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

void close_shared_when_empty(Registry& r) {
  if (r.shared_files > 0 || !r.shared) return;
  duckdb_disconnect(&r.admin);
  duckdb_close(&r.shared);
  r.admin = nullptr;
  r.shared = nullptr;
}

enum class Attach { Done, NameTaken, StillHeld };

// Attaches the file `key` to the shared instance, opening that first when needed; its catalog
// goes to `catalog`. NameTaken: the instance already has a catalog of that name (the file then
// needs an instance of its own). StillHeld: DuckDB still holds the file for a detached catalog
// that an open transaction of another connection had touched (reading information_schema
// touches every catalog); it lets go when that transaction ends. Throws DriverError when DuckDB
// cannot open the file.
Attach attach(Registry& r, const std::string& key, bool read_only, std::string& catalog) {
  if (!r.shared) {
    r.shared = open_database("", false, key + ".tmp");
    if (duckdb_connect(r.shared, &r.admin) == DuckDBError) {
      duckdb_close(&r.shared);
      r.shared = nullptr;
      throw DriverError("cannot connect to DuckDB");
    }
  }
  std::string literal = sql_string_literal(key);
  std::optional<std::string> error =
      run(r.admin, "ATTACH " + literal + (read_only ? " (READ_ONLY)" : ""));
  if (!error) {
    error = run(r.admin, "SELECT database_name FROM duckdb_databases() WHERE path = " + literal,
                &catalog);
    if (!error && catalog.empty()) error = "the attached file has no catalog";
  }
  if (!error) {
    ++r.shared_files;
    return Attach::Done;
  }
  close_shared_when_empty(r);
  if (error->find("Unique file handle conflict") != std::string::npos) return Attach::StillHeld;
  if (error->find("already exists") != std::string::npos) return Attach::NameTaken;
  fail_to_open(key, *error);
}

// Lets go of the file; false when DuckDB kept it attached (it then stays in the registry, so
// it is never opened a second time).
bool detach(Registry& r, const std::string& catalog) {
  if (run(r.admin, "DETACH " + quote_name(catalog))) return false;
  --r.shared_files;
  close_shared_when_empty(r);
  return true;
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

// The share of `key`, or nullopt when DuckDB still holds the file for a detached catalog.
std::optional<DatabaseShare> DatabaseShare::try_acquire(const std::string& key, bool read_only) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.entries.find(key);
  if (it != r.entries.end()) {
    if (it->second.read_only && !read_only) {
      throw DriverError("DuckDB file '" + key +
                        "' is already open read-only in this process; it cannot be written");
    }
    ++it->second.users;
    return DatabaseShare(key, it->second.database, it->second.catalog);
  }
  std::string catalog;
  switch (attach(r, key, read_only, catalog)) {
    case Attach::Done:
      r.entries.emplace(key, Entry{r.shared, catalog, 1, read_only});
      return DatabaseShare(key, r.shared, catalog);
    case Attach::NameTaken: {
      duckdb_database own = open_database(key, read_only);
      r.entries.emplace(key, Entry{own, "", 1, read_only});
      return DatabaseShare(key, own, "");
    }
    case Attach::StillHeld:
      break;
  }
  return std::nullopt;
}

DatabaseShare DatabaseShare::acquire(const std::filesystem::path& path, bool read_only) {
  if (in_memory(path)) return DatabaseShare("", open_database("", false), "");
  std::string key = canonical_key(path);
  // A file let go a moment ago may still be held for a transaction that touched it; it is
  // asked for again until that transaction has ended, with the registry free meanwhile.
  constexpr auto kStep = std::chrono::milliseconds(10);
  constexpr auto kPatience = std::chrono::seconds(120);
  for (auto waited = std::chrono::milliseconds(0);; waited += kStep) {
    if (std::optional<DatabaseShare> share = try_acquire(key, read_only)) return std::move(*share);
    if (waited >= kPatience) {
      throw DriverError("DuckDB file '" + key +
                        "' is still held for a transaction of this process that read it; it "
                        "could not be opened again");
    }
    std::this_thread::sleep_for(kStep);
  }
}

DatabaseShare::DatabaseShare(DatabaseShare&& other) noexcept
    : key_(std::move(other.key_)),
      database_(std::exchange(other.database_, nullptr)),
      catalog_(std::move(other.catalog_)) {}

DatabaseShare& DatabaseShare::operator=(DatabaseShare&& other) noexcept {
  if (this != &other) {
    release();
    key_ = std::move(other.key_);
    database_ = std::exchange(other.database_, nullptr);
    catalog_ = std::move(other.catalog_);
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
    Entry& entry = it->second;
    if (entry.catalog.empty()) {
      duckdb_close(&entry.database);
      r.entries.erase(it);
    } else if (detach(r, entry.catalog)) {
      r.entries.erase(it);
    }
  }
  database_ = nullptr;
  key_.clear();
  catalog_.clear();
}

std::size_t share_count(const std::filesystem::path& path) {
  if (in_memory(path)) return 0;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.entries.find(canonical_key(path));
  return it == r.entries.end() ? 0 : it->second.users;
}

}  // namespace zyl::drivers::duckdb
