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

  // A transaction on the calling thread's connection, opened the way its driver opens one (an
  // ODBC driver by leaving autocommit mode), not by SQL text. Statements run in autocommit mode
  // unless begin() opened one; commit() without one does nothing. Throw std::runtime_error.
  virtual void begin() = 0;
  virtual void commit() = 0;
  // Ends the calling thread's open transaction, if any, dropping its changes. Never throws.
  virtual void rollback() noexcept = 0;
  // Whether DDL takes part in transactions on the target (false where CREATE or DROP commits on
  // its own, as on MySQL), which decides how a table is put in place atomically.
  virtual bool transactional_ddl() const = 0;
};

}  // namespace brek
