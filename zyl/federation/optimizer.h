// Extraction optimisation: which columns, rows and how many of them a model needs from each
// source, so the extraction query reads less.
//
// The model's rewritten SQL is planned by DuckDB in a scratch in-memory database where every
// cache table exists, empty, with its source's columns. The table scans of the optimised plan
// tell which columns are read, which filters DuckDB pushed into the scan and whether a bare
// LIMIT (or ORDER BY ... LIMIT) sits right over the scan. Those become an `Optimization`;
// `build_query` writes it in a source's dialect, leaving out every condition that the dialect
// would not evaluate exactly as DuckDB does. What reaches the source is only ever a narrowing:
// the model's SQL runs unchanged on the cache table and applies every condition again.
//
//   SourceColumns columns = {{"crm__orders", probe_columns(*conn, "crm", "orders")}};
//   Optimizations found = optimize_extractions(sql, source_table_map, columns);
//   if (found["crm__orders"]) query = found["crm__orders"]->build_query("crm", "orders",
//   "postgres");
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/ordered_map.h"
#include "drivers/driver.h"

namespace zyl::federation::optimizer {

// Adapter type -> SQL dialect name; "duckdb" is used for a type that is missing.
extern const std::map<std::string, std::string> ADAPTER_TO_SQLGLOT_DIALECT;

// What a column holds, as far as comparing it with a constant on the source goes. `Other`
// columns are only ever tested for NULL.
enum class ValueClass { Integer, Decimal, Boolean, Text, Date, Timestamp, Other };

// A constant of a predicate, in canonical text: "-12", "3.50", "true", raw string text,
// "2024-01-31", "2024-01-31 13:45:00[.ffffff]".
struct Literal {
  ValueClass kind = ValueClass::Other;
  std::string text;
  bool operator==(const Literal&) const = default;
};

// One condition on one column of the source, or an AND / OR of conditions.
struct Predicate {
  enum class Op { Eq, Ne, Lt, Le, Gt, Ge, In, NotIn, IsNull, IsNotNull, And, Or };
  Op op = Op::And;
  std::string column;  // the source's own spelling
  ValueClass column_class = ValueClass::Other;
  std::vector<Literal> values;      // one for comparisons, the list for IN / NOT IN
  std::vector<Predicate> children;  // And / Or
  bool operator==(const Predicate&) const = default;
};

// One key of an ORDER BY that goes with a pushed-down limit.
struct OrderKey {
  std::string column;
  ValueClass column_class = ValueClass::Other;
  bool descending = false;
  bool nulls_first = false;
  bool operator==(const OrderKey&) const = default;
};

struct Optimization {
  std::vector<std::string> columns;   // empty: every column
  std::vector<Predicate> predicates;  // joined by AND
  std::optional<long long> limit;
  std::vector<OrderKey> order_by;  // only with `limit`
  // Conditions written by the caller in the source's dialect (the incremental watermark
  // filter); added to the WHERE clause as they are, before any limit.
  std::vector<std::string> raw_conditions;

  // Whether the query reads anything less than the whole table.
  bool restricts() const { return !columns.empty() || !predicates.empty() || limit.has_value(); }

  // The query reading `src_identifier` (in `src_schema` when non-empty) with the columns,
  // predicates and limit applied, written for `source_dialect`. A predicate the dialect cannot
  // evaluate exactly like DuckDB is left out (it only narrows); a limit whose ORDER BY cannot be
  // written is left out too. Column names are quoted in the dialect's way.
  std::string build_query(const std::string& src_schema, const std::string& src_identifier,
                          const std::string& source_dialect) const;
};

// Cache table -> optimisation (or nullopt). A missing key means no optimisation.
using Optimizations = std::map<std::string, std::optional<Optimization>>;

// Cache table -> the columns of its source, in the source's order, as a zero-row query on the
// source reports them.
using SourceColumns = std::map<std::string, std::vector<drivers::Column>>;

// Optimisations for the sources of `rewritten_sql`; `source_table_map` maps each cache table to
// itself, `columns` gives the source columns of the tables that can be analysed. Never throws:
// when the SQL cannot be planned, no table is optimised and a debug line says why. A table
// whose scan reads everything is left out. Thread-safe (every call plans in its own database).
Optimizations optimize_extractions(const std::string& rewritten_sql,
                                   const OrderedMap<std::string, std::string>& source_table_map,
                                   const SourceColumns& columns);

// The columns of `identifier` (in `schema` when non-empty) on `source`, from a query that reads
// no row. Throws what the driver throws.
std::vector<drivers::Column> probe_columns(drivers::Connection& source, const std::string& schema,
                                           const std::string& identifier);

}  // namespace zyl::federation::optimizer
