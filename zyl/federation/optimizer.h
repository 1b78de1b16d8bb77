// Extraction optimisation: which columns, predicates and limit a model needs from each source,
// so the extraction query reads less.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/ordered_map.h"

namespace zyl::federation::optimizer {

// Adapter type -> SQL dialect name; "duckdb" is used for a type that is missing.
extern const std::map<std::string, std::string> ADAPTER_TO_SQLGLOT_DIALECT;

struct Optimization {
  std::vector<std::string> columns;     // empty: every column
  std::vector<std::string> predicates;  // SQL conditions joined by AND
  std::optional<long long> limit;

  // The query reading `src_identifier` (in `src_schema` when non-empty) with the columns,
  // predicates and limit applied, written for `source_dialect`.
  std::string build_query(const std::string& src_schema, const std::string& src_identifier,
                          const std::string& source_dialect) const;
};

// Cache table -> optimisation (or nullopt). A missing key means no optimisation.
using Optimizations = std::map<std::string, std::optional<Optimization>>;

// Optimisations for the sources of `rewritten_sql`; `source_table_map` maps each cache table to
// itself. Currently no source is optimised: every table is read whole.
Optimizations optimize_extractions(const std::string& rewritten_sql,
                                   const OrderedMap<std::string, std::string>& source_table_map);

}  // namespace zyl::federation::optimizer
