// Reads the table scans out of a DuckDB plan serialised as JSON (`json_serialize_plan` with
// `optimize := true`): which columns each scan reads, the filters DuckDB pushed into it, and a
// limit that sits right over it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/value.h"

namespace zyl::federation::optimizer::internal {

struct ScanOrder {
  std::size_t column = 0;  // index into the table's columns
  bool descending = false;
  bool nulls_first = false;
};

struct Scan {
  std::string table;                 // the scanned table's name as the plan gives it
  std::vector<std::size_t> columns;  // indexes into the table's columns; the row id left out
  // (table column, filter as serialised), every one implied by the query for this scan's rows
  std::vector<std::pair<std::size_t, Value>> filters;
  // A constant LIMIT (plus OFFSET) with only projections between it and a scan without filters;
  // `order` holds its ORDER BY keys when it came from ORDER BY ... LIMIT.
  std::optional<long long> limit;
  std::vector<ScanOrder> order;
};

// Every scan of a table in `plan`, in plan order. Throws std::runtime_error for a plan that
// reports an error (with its message) or that is not shaped as expected.
std::vector<Scan> read_scans(const Value& plan);

}  // namespace zyl::federation::optimizer::internal
