// The process-wide registry of open DuckDB files.
//
// DuckDB allows one read-write instance per file, and two instances of one file inside one
// process neither see each other's writes nor notice each other, which can corrupt the file. So
// every DuckDB file is opened at most once per process: the registry, keyed by the file's
// canonical path, hands out shares of one `duckdb_database` and closes it when the last share is
// let go. In-memory databases are never shared: each share of ":memory:" is its own database.
//
//   auto share = zyl::drivers::duckdb::DatabaseShare::acquire("/proj/.zyl/cache.duckdb");
//   duckdb_connection c;  duckdb_connect(share.get(), &c);
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
  // The canonical path this share is keyed by; empty for an in-memory database.
  const std::string& key() const { return key_; }
  // Lets go of the share; the database closes when it was the last one. Never throws.
  void release() noexcept;

 private:
  DatabaseShare(std::string key, duckdb_database database) : key_(std::move(key)), database_(database) {}
  std::string key_;
  duckdb_database database_ = nullptr;
};

// While a reservation lives, the file is open inside another database of this process (ATTACHed
// to it), so the registry opens no instance of its own: acquire() of the file waits until the
// reservation ends. Move-only; ends in the destructor. Thread-safe.
class AttachReservation {
 public:
  // A reservation of `path`, or nullopt when this process holds the file open already or has
  // reserved it (the file must then be read through that instance).
  static std::optional<AttachReservation> reserve(const std::filesystem::path& path);

  AttachReservation(AttachReservation&& other) noexcept : key_(std::move(other.key_)) {
    other.key_.clear();
  }
  AttachReservation& operator=(AttachReservation&&) = delete;
  AttachReservation(const AttachReservation&) = delete;
  ~AttachReservation();

  const std::string& key() const { return key_; }

 private:
  explicit AttachReservation(std::string key) : key_(std::move(key)) {}
  std::string key_;
};

// The memory_limit every database opens with: $ZYL_DUCKDB_MEMORY_LIMIT when set (any size DuckDB
// reads, "" for DuckDB's default), else 1 GiB in a 32-bit process (DuckDB's default of 80 % of
// the machine's memory does not fit its address space) and DuckDB's default elsewhere. A SET
// memory_limit in SQL still changes it afterwards. An invalid value makes acquire() throw.
std::string memory_limit();

// The key the registry uses for `path`: its absolute, normalised form with symbolic links
// resolved as far as the path exists.
std::string canonical_key(const std::filesystem::path& path);

// Number of shares currently held on the file at `path` (0 when the process does not hold it
// open). Thread-safe.
std::size_t share_count(const std::filesystem::path& path);

}  // namespace zyl::drivers::duckdb
