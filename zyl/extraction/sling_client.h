// Moves rows between a database and the DuckDB cache file, with the meaning of Sling's modes.
//
// Both operations are called while the cache is closed (the client opens the file itself), take
// output configs as read from profiles.yml, and throw std::runtime_error on failure. Error texts
// never hold a password.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/value.h"

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

}  // namespace zyl::extraction::sling_client
