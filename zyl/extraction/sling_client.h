// Moves rows between a database and the DuckDB cache file, with the meaning of Sling's modes.
//
// Both operations are called while the cache is closed (the client opens the file itself), take
// output configs as read from profiles.yml, and throw std::runtime_error on failure. Error texts
// never hold a password.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/value.h"
#include "drivers/driver.h"

namespace zyl::extraction::sling_client {

class SlingClient {
 public:
  virtual ~SlingClient() = default;

  // Replaces table `duckdb_table` of the DuckDB file with exactly the rows of `source_query`
  // run on the source.
  virtual void extract_to_duckdb(const Value& source_config, const std::string& duckdb_path,
                                 const std::string& source_query,
                                 const std::string& duckdb_table) = 0;

  // Writes the rows of `source_query`, read from the DuckDB file, to `target_table` on the
  // target: "truncate" replaces the rows (keeping the table), "full-refresh" recreates the
  // table, "incremental" merges on `primary_key`.
  virtual void load_from_duckdb(const std::string& duckdb_path, const Value& target_config,
                                const std::string& source_query, const std::string& target_table,
                                const std::string& mode,
                                const std::optional<std::vector<std::string>>& primary_key,
                                const std::optional<std::vector<std::string>>& update_key) = 0;
};

// The Sling client implemented on the project's own drivers (drivers/driver.h): no Sling process,
// the same meaning of the modes.
//
// - Extraction streams the query's rows into a staging table of the DuckDB file and, in the same
//   transaction, puts it in place of `duckdb_table`: the table then holds exactly those rows (an
//   empty result gives an empty table with the result's columns), and a failure leaves the old
//   table as it was.
// - Loading streams the rows into a staging table on the target (in the target table's schema),
//   then, inside one transaction where the engine allows it (DuckDB, SQLite, PostgreSQL; MySQL
//   commits DDL on its own): "truncate" creates the target when missing and otherwise keeps it
//   (and its grants) and replaces its rows; "full-refresh" drops it and puts the staging table in
//   its place; "incremental" with a primary key updates the rows whose key matches and inserts
//   the others, and without one appends. Columns the result has and the target lacks are added
//   (except with "full-refresh", which recreates the table). Result columns match target columns
//   by name, case-insensitively. The staging table is removed on every path.
// - Column types go through the logical types of drivers/driver.h: each driver documents in one
//   table how it stores each type (see drivers/duckdb/duckdb_driver.h and
//   drivers/sqlite/sqlite_driver.h), so decimals keep precision and scale, timestamps with time
//   zone keep their instant, NULL stays apart from '', and binary stays binary.
// - Rows move in batches; neither side holds a whole table in memory. While the extraction
//   writes, the cache's DuckDB keeps at most 64 MB of buffers, so its memory stays flat in the
//   row count; the limit is put back for model queries.
// - DuckDB to DuckDB keeps every DuckDB type (nested, TIMESTAMP_NS, UHUGEINT, ...): rows move
//   as whole chunks into tables made with the source's own types. A DuckDB source file that no
//   instance of this process holds is attached to the cache's instance and copied inside DuckDB.
//
// Relative file paths in output configs are taken against `base_dir`. Not thread-safe; build one
// per extraction run.
class NativeSlingClient final : public SlingClient {
 public:
  // Called after every batch with the rows copied so far and the destination table.
  using Progress = std::function<void(std::int64_t rows, const std::string& table)>;

  explicit NativeSlingClient(std::filesystem::path base_dir = ".", Progress progress = nullptr);

  void extract_to_duckdb(const Value& source_config, const std::string& duckdb_path,
                         const std::string& source_query, const std::string& duckdb_table) override;

  void load_from_duckdb(const std::string& duckdb_path, const Value& target_config,
                        const std::string& source_query, const std::string& target_table,
                        const std::string& mode,
                        const std::optional<std::vector<std::string>>& primary_key,
                        const std::optional<std::vector<std::string>>& update_key) override;

 private:
  // Creates `staging` in the open cache with the rows of `source_query`; returns their count.
  std::int64_t fill_staging(const Value& source_config, drivers::Connection& cache,
                            const std::string& source_query, const drivers::TableRef& staging,
                            const std::string& label);

  std::filesystem::path base_dir_;
  Progress progress_;
};

namespace internal {

// The load step alone, as load_from_duckdb runs it: writes `rows` into `table` on `target` by
// `mode` ("truncate", "full-refresh", or any other to add the rows: merged by `keys` when there
// are some). Returns the number of rows written. Throws with the table as it was. For tests of
// the statements a load sends to engines that cannot run here.
std::int64_t load_rows(drivers::Connection& target, drivers::QueryResult& rows,
                       const drivers::TableRef& table, const std::vector<std::string>& keys,
                       const std::string& mode);

}  // namespace internal
}  // namespace zyl::extraction::sling_client
