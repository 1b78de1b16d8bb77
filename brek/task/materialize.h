// Materialisations on the default target: view, table, incremental, ephemeral.
//
// Everything goes through brek::Adapter::execute, with SQL written for the adapter's engine.
// A table is built under a temporary name and swapped in; on engines with transactional DDL
// (DuckDB, PostgreSQL, SQLite) the build and the swap are one transaction, so a failed model
// leaves the previous table in place. MySQL / MariaDB swap with one atomic RENAME TABLE.
//
//   Relation relation{"analytics", "orders"};
//   Materialized m = materialize(adapter, relation, "table", compiled_sql, options);
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "brek/adapter.h"

namespace brek::materialize {

struct Relation {
  std::string schema;      // empty: the connection's default
  std::string identifier;
  // DuckDB only: the catalog (a file's catalog is its stem); empty: the current one. Needed
  // where a schema has the same name as a catalog.
  std::string database;
};

enum class RelationKind { None, Table, View };

struct IncrementalOptions {
  bool full_refresh = false;
  std::string strategy;                 // "append", "merge", "delete+insert"; empty: default
  std::vector<std::string> unique_key;  // empty: none
};

struct Materialized {
  std::string message;            // "SELECT 5", "CREATE VIEW", "EPHEMERAL"
  long long rows_affected = -1;   // -1 when the engine does not say (views)
};

// Quoting and names of one engine.
std::string quote(const std::string& adapter_type, const std::string& identifier);
std::string quote_relation(const std::string& adapter_type, const Relation& relation);

// What exists under the relation's name on the target. Throws on a database error.
RelationKind relation_kind(Adapter& adapter, const Relation& relation);

// Builds `relation` from `sql` with `materialization` ("view", "table", "incremental",
// "ephemeral"). Throws std::invalid_argument for an unknown materialisation or strategy, or a
// strategy that needs a unique key without one; std::runtime_error (or the driver's error) when
// the database fails, after rolling back and removing the temporary table where it can.
// Thread-safe as far as the adapter is (one relation per caller).
Materialized materialize(Adapter& adapter, const Relation& relation,
                         const std::string& materialization, const std::string& sql,
                         const IncrementalOptions& options);

}  // namespace brek::materialize
