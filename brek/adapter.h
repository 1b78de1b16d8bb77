// The adapter of a target: what runners use to talk to the target database.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/value.h"

namespace brek {

struct AdapterResponse {
  std::string message;     // "OK", "SELECT 5", ...
  long long rows_affected = -1;
};

// Rows of a fetched result: one vector of cells per row (numbers, strings, booleans, null).
struct Table {
  std::vector<std::string> column_names;
  std::vector<std::vector<zyl::Value>> rows;
  bool empty() const { return rows.empty(); }
};

class Adapter {
 public:
  virtual ~Adapter() = default;
  // The adapter type ("duckdb", "postgres", ...).
  virtual std::string type() const = 0;
  // Runs `sql`; with `fetch` the rows come back in the table. Throws std::runtime_error on a
  // database error. Thread-safe implementations serialise their own use of a connection.
  virtual std::pair<AdapterResponse, Table> execute(const std::string& sql, bool fetch = false) = 0;
};

}  // namespace brek
