// A seed's CSV file as a typed table: strict reading (a malformed file is refused with its file
// and line, so nothing is written from it) and the column types inferred from the values.
//
//   SeedTable table = read_seed(text, "seeds/countries.csv", column_types);
//   for (const SeedColumn& c : table.columns) ...  // c.type is a DuckDB type
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/value.h"

namespace brek::seeds {

// A CSV file that cannot be read: "<file>:<line>: <what is wrong>".
class SeedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SeedColumn {
  std::string name;
  std::string type;  // a DuckDB type: BIGINT, DECIMAL(p,s), BOOLEAN, DATE, TIMESTAMP, VARCHAR
};

// One cell: nullopt for an empty unquoted field, the text otherwise ("" for a quoted empty one).
using SeedCell = std::optional<std::string>;

struct SeedTable {
  std::vector<SeedColumn> columns;
  std::vector<std::vector<SeedCell>> rows;
};

// Reads `text` (RFC 4180: comma separated, fields in double quotes with "" for a quote, LF or
// CRLF line ends; the first row names the columns). `column_types` maps column names to the
// types that replace the inferred ones. Throws SeedError, naming `shown` and the line, for
// invalid UTF-8, an unterminated quoted field, a quote inside an unquoted field, text after a
// closing quote, a row whose field count differs from the header's, an empty or duplicate
// column name, and a column_types entry naming no column.
SeedTable read_seed(std::string_view text, const std::string& shown,
                    const zyl::Value& column_types = zyl::Value::object());

// The narrowest type that holds every non-null value: BIGINT, DECIMAL(p,s), BOOLEAN, DATE,
// TIMESTAMP, else VARCHAR (also for a column with no value).
std::string infer_type(const std::vector<const SeedCell*>& values);

}  // namespace brek::seeds
