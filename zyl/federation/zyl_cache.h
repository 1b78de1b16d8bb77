// The persistent DuckDB cache `.zyl/cache.duckdb` under the project directory.
//
// Extracted sources and model results live here between runs. All extraction work on one cache
// is serialised by `_file_lock()`; the DuckDB file is open only between Sling calls.
//
//   auto cache = std::make_shared<ZylCache>(CacheLocation::for_project("/proj"));
//   std::lock_guard lock(cache->_file_lock());
//   cache->ensure_created();
//
// The file is opened through the process-wide DuckDB registry, so "close and release" lets go of
// this cache's share; other users in the process (a DuckDB target on the same file) keep theirs.
// The lock is an in-process mutex plus flock(2) on "<cache file>.lock", so two processes on one
// project take turns as well as two threads. It is not recursive.
//
// DuckDB lets one process at a time open the file, so the cache holds it only while in use: it
// is opened on first use (or by ensure_created / reopen) and let go by close_and_release and by
// every release of the lock. A process waiting for the lock therefore never holds the file, and
// the one that had the lock no longer does once it lets go.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zyl::federation::zyl_cache {

// A lock held across one model's whole extraction. Also BasicLockable (lock/unlock).
class FileLock {
 public:
  virtual ~FileLock() = default;
  // Waits until no other holder (thread or process) has the lock.
  virtual void acquire() = 0;
  virtual void release() = 0;
  void lock() { acquire(); }
  void unlock() { release(); }
};

// The cache as the pipeline and the retract task use it. Methods throw std::runtime_error on a
// database failure. Not thread-safe by itself: callers hold `_file_lock()`.
class Cache {
 public:
  virtual ~Cache() = default;

  virtual FileLock& _file_lock() = 0;
  // The cache file exists and the cache is open, also after an earlier run left it closed.
  virtual void ensure_created() = 0;
  // Path of the cache file.
  virtual std::string db_path() const = 0;
  // Closes the connection and releases the file for other users.
  virtual void close_and_release() = 0;
  // Opens the connection again on the same file.
  virtual void reopen() = 0;

  // A table name for a source table: stable, usable unquoted, distinct for distinct pairs.
  virtual std::string source_table_name(const std::string& src_name,
                                        const std::string& tbl_name) const = 0;
  // "__model__" + model name.
  virtual std::string model_table_name(const std::string& model_name) const = 0;
  // Whether the model has a stored result (a pending one does not count).
  virtual bool has_model_result(const std::string& model_name) = 0;
  // Runs `sql` in DuckDB and keeps its rows as the model's pending result, beside the stored
  // one, which stays as it was until commit_model_result. Returns the number of rows of the
  // pending result.
  virtual std::optional<std::int64_t> save_model_result(const std::string& model_name,
                                                        const std::string& sql, bool append) = 0;
  // The query that reads what the model's target is to hold after this run: the pending rows,
  // or with `append` the stored rows followed by the pending ones.
  virtual std::string model_result_query(const std::string& model_name, bool append) = 0;
  // Makes the pending result the stored one (appended to it when `append`), in one
  // transaction. Called once the target has the rows; without the call, the next run sees
  // the stored result as it was before this one.
  virtual void commit_model_result(const std::string& model_name, bool append) = 0;
  virtual std::vector<std::string> list_tables() = 0;
  virtual void drop_table(const std::string& name) = 0;
  // Marks `table`, just extracted, as holding only what `query` read from its source (as the
  // table's comment). A table extracted whole carries no mark: every extraction replaces the
  // table.
  virtual void note_subset(const std::string& table, const std::string& query) {}
};

// The cache table holding the copy of upstream model `model_name` of package `package_name`:
// "__ref__" followed by a source-table-style pair name, so models of two packages never share a
// table, and a name such as `order` or `my model` gives a name that needs no quoting.
std::string upstream_table_name(const std::string& package_name, const std::string& model_name);

// Where a cache lives: built from a project directory or from the cache file path.
struct CacheLocation {
  std::filesystem::path cache_path;
  static CacheLocation for_project(const std::filesystem::path& project_dir);  // <dir>/.zyl/cache.duckdb
  static CacheLocation at(const std::filesystem::path& cache_path);
};

// The real cache on DuckDB. Construction creates the directory; the file is created and opened
// on first use. Every operation opens the file again when it was closed.
class ZylCache final : public Cache {
 public:
  explicit ZylCache(const CacheLocation& location);
  ~ZylCache() override;
  ZylCache(const ZylCache&) = delete;
  ZylCache& operator=(const ZylCache&) = delete;

  FileLock& _file_lock() override;
  void ensure_created() override;
  std::string db_path() const override;
  void close_and_release() override;
  void reopen() override;
  std::string source_table_name(const std::string& src_name,
                                const std::string& tbl_name) const override;
  std::string model_table_name(const std::string& model_name) const override;
  bool has_model_result(const std::string& model_name) override;
  std::optional<std::int64_t> save_model_result(const std::string& model_name,
                                                const std::string& sql, bool append) override;
  std::string model_result_query(const std::string& model_name, bool append) override;
  void commit_model_result(const std::string& model_name, bool append) override;
  std::vector<std::string> list_tables() override;
  void drop_table(const std::string& name) override;
  void note_subset(const std::string& table, const std::string& query) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zyl::federation::zyl_cache
