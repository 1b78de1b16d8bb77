// Data tests: the generic tests declared under a model's or seed's `columns:` (`data_tests:`, or
// `tests:` as the older spelling) and the SQL each one runs. A test's SQL returns the failing
// rows; the test passes when there is none.
//
//   - name: customer_id
//     data_tests:
//       - not_null
//       - relationships: {to: "ref('stg_customers')", field: id, config: {severity: warn}}
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/value.h"

namespace brek::parser {

// One generic test of one column, as declared.
struct GenericTest {
  std::string kind;  // not_null, unique, accepted_values, relationships
  std::string column;
  std::vector<std::string> values;   // accepted_values
  std::string to;                    // relationships: the model or seed named in ref('...')
  std::string field;                 // relationships: the column of `to`
  std::string severity = "error";    // error or warn
  std::optional<std::string> where;  // a condition on the tested rows
};

// The tests declared under the column entry `column` (a map with "name"). Throws
// brek_common::CompilationError, naming `where`, for an unknown test or a malformed one.
std::vector<GenericTest> column_tests(const zyl::Value& column, const std::string& where);

// "not_null_orders_id", "accepted_values_orders_status__a__b",
// "relationships_orders_customer_id__id__ref_customers_": letters, digits and underscores.
std::string test_name(const GenericTest& test, const std::string& model);

// The failing rows of `test` on `relation` (quoted, on `engine`); `to_relation` is the relation
// of a relationships test's `to` on the same engine.
std::string generic_test_sql(const GenericTest& test, const std::string& engine,
                             const std::string& relation, const std::string& to_relation = "");

// The test's metadata as the manifest keeps it: {"name", "kwargs": {...}}.
zyl::Value test_metadata(const GenericTest& test, const std::string& model_id,
                         const std::string& to_id = "");
// The test read back from its metadata and config (severity, where).
GenericTest generic_test_of(const zyl::Value& metadata, const zyl::Value& config);

}  // namespace brek::parser
