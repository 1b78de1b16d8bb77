// The process-wide registry of open DuckDB files.
//
// DuckDB allows one read-write instance per file, and two instances of one file inside one
// process neither see each other's writes nor notice each other, which can corrupt the file. So
// every DuckDB file is opened at most once per process, keyed by its canonical path, and closed
// when the last share of it is let go. In-memory databases are never shared: each share of
// ":memory:" is its own database.
//
// The files themselves live side by side in one DuckDB instance of the process (an in-memory
// database each file is ATTACHed to under the name DuckDB gives it when it opens the file, its
// name up to the first dot), so one query can read one file and write another: a DuckDB source
// copied into the cache, or the cache's result into a DuckDB target, runs inside DuckDB on every
// core. A connection of a share starts in the file's catalog (USE), so it sees what a connection
// to the file alone would. A file whose name is taken in that instance (two warehouse.duckdb in
// different folders, or one called memory.duckdb) gets an instance of its own instead, under its
// usual name, as it would alone.
//
//   auto share = zyl::drivers::duckdb::DatabaseShare::acquire("/proj/.zyl/cache.duckdb");
//   duckdb_connection c;  duckdb_connect(share.get(), &c);  // then USE share.catalog()
#pragma once

#include <duckdb.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace zyl::drivers::duckdb {

// One user's share of an open DuckDB database. Move-only; letting go happens in the destructor
// or in release(). Thread-safe (shares of one file may live on different threads).
class DatabaseShare {
 public:
  // Opens `path` (created when missing, its directory must exist) or joins the instance this
  // process already holds for it. ":memory:" or "" opens a private in-memory database.
  // Throws DriverError, with a message naming the file, when DuckDB cannot open it; a file held
  // by another process gives "DuckDB file '<path>' is in use by another process: ...".
  static DatabaseShare acquire(const std::filesystem::path& path, bool read_only = false);

  DatabaseShare() = default;
  DatabaseShare(DatabaseShare&& other) noexcept;
  DatabaseShare& operator=(DatabaseShare&& other) noexcept;
  DatabaseShare(const DatabaseShare&) = delete;
  DatabaseShare& operator=(const DatabaseShare&) = delete;
  ~DatabaseShare();

  duckdb_database get() const { return database_; }
  // The catalog of the file inside get(), which a new connection must USE; empty when the
  // instance is the file's own (its default catalog).
  const std::string& catalog() const { return catalog_; }
  // The canonical path this share is keyed by; empty for an in-memory database.
  const std::string& key() const { return key_; }
  // Lets go of the share; the database closes when it was the last one. Never throws.
  void release() noexcept;

 private:
  static std::optional<DatabaseShare> try_acquire(const std::string& key, bool read_only);
  DatabaseShare(std::string key, duckdb_database database, std::string catalog)
      : key_(std::move(key)), database_(database), catalog_(std::move(catalog)) {}
  std::string key_;
  duckdb_database database_ = nullptr;
  std::string catalog_;
};

// The memory_limit an instance opens with (the shared one when its first file opens, or a file's
// own): $ZYL_DUCKDB_MEMORY_LIMIT when set (any size DuckDB reads, "" for DuckDB's default), else
// 1 GiB in a 32-bit process (DuckDB's default of 80 % of the machine's memory does not fit its
// address space) and DuckDB's default elsewhere. A SET memory_limit in SQL still changes it
// afterwards. An invalid value makes acquire() throw.
std::string memory_limit();

// The key the registry uses for `path`: its absolute, normalised form with symbolic links
// resolved as far as the path exists.
std::string canonical_key(const std::filesystem::path& path);

// Number of shares currently held on the file at `path` (0 when the process does not hold it
// open). Thread-safe.
std::size_t share_count(const std::filesystem::path& path);

}  // namespace zyl::drivers::duckdb
