// PostgreSQL's types and the logical column types, both ways, in one table; plus the codecs the
// driver uses on the wire: binary field values (COPY ... TO STDOUT WITH (FORMAT binary) and
// binary results) into cells, and cells into COPY text fields and SQL literals.
//
// Types the table does not name are read through a cast done by the server (see `Read`):
// arrays become JSON arrays, enums, domains and every other type their text form, so no column is
// dropped or turned into a number it was not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "drivers/driver.h"

namespace zyl::drivers::postgres {

using Oid = std::uint32_t;

// How the driver fetches a column.
enum class Read {
  Binary,    // decoded from the binary wire form by decode_binary
  AsText,    // selected as `col::text`, held as String
  AsJson,    // selected as `to_jsonb(col)::text`, held as Json (arrays)
};

struct ColumnPlan {
  ColumnType type;
  Read read = Read::Binary;
  Oid oid = 0;  // the type decode_binary sees (25 = text after a cast)
};

// What a server type becomes. `typtype` and `typcategory` come from pg_type (needed only for
// OIDs the table does not know; pass 0 otherwise), `typmod` from the column description.
ColumnPlan plan_column(Oid oid, int typmod, char typtype, char typcategory,
                       std::string_view typname);

// Whether the table knows `oid` (so no catalog look-up is needed).
bool known_oid(Oid oid);

// The PostgreSQL type for a logical type, used by CREATE TABLE. `redshift` picks the Redshift
// spelling where the two differ.
std::string type_sql(const ColumnType& type, bool redshift);

// One binary field of type `oid` as a cell. Throws DriverError on a malformed value.
Cell decode_binary(Oid oid, const char* data, size_t size);

// The canonical text of a binary numeric ("-12.30", "NaN", "Infinity").
std::string numeric_to_text(const char* data, size_t size);

// Appends a non-null cell as a field of COPY's text format (escaped, no delimiter).
void append_copy_text(std::string& out, const Cell& cell, const ColumnType& type);
// Appends a cell as an SQL literal ("NULL", "TRUE", "'it''s'", "'2024-01-31'").
void append_literal(std::string& out, const Cell& cell, const ColumnType& type);

}  // namespace zyl::drivers::postgres
