// PostgreSQL's types and the logical column types, both ways, in one table; plus the codecs the
// driver uses on the wire: binary field values (COPY ... TO STDOUT WITH (FORMAT binary) and
// binary results) into cells, and cells into COPY text fields and SQL literals.
//
// The mapping, stated once (server type -> logical type -> the type a table made by the driver
// gets): boolean, smallint, integer, bigint, real, double precision, date, time, timestamp,
// timestamptz, uuid, json/jsonb and bytea map to their logical types and back; numeric(p,s) is
// Decimal(p,s), numeric without a typmod Decimal without a precision (written back as numeric,
// like a Decimal of DuckDB's full 38 digits); char(n)/varchar(n)/text are String (back with their
// length); interval is Interval, decoded from its binary form with months, days and microseconds
// apart (the session runs with IntervalStyle "postgres", so intervals inside arrays and those
// written back read the same); an array is a List of its element type (read as JSON through
// to_jsonb, one dimension as far as DuckDB is concerned; written back as an array of the
// element type); unsigned integers go to the next wider type (UInt64 and 128-bit integers to
// numeric(20,0) / numeric(39,0)). Redshift has no arrays and no interval column type: lists go
// there as their JSON text (varchar(65535)), intervals as their text (varchar(64)).
//
// Types the table does not name are read through a cast done by the server (see `Read`): enums,
// domains, timetz, money, inet and every other type their text form, so no column is dropped or
// turned into a number it was not.
#pragma once

#include <cstdint>
#include <optional>
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
// `element` is pg_type's typelem (arrays only).
ColumnPlan plan_column(Oid oid, int typmod, char typtype, char typcategory,
                       std::string_view typname, Oid element = 0);

// Whether the table knows `oid` (so no catalog look-up is needed).
bool known_oid(Oid oid);

// The PostgreSQL type for a logical type, used by CREATE TABLE. `redshift` picks the Redshift
// spelling where the two differ.
std::string type_sql(const ColumnType& type, bool redshift);

// One binary field of type `oid` as a cell. Throws DriverError on a malformed value.
Cell decode_binary(Oid oid, const char* data, size_t size);

// The canonical text of a binary numeric ("-12.30", "NaN", "Infinity").
std::string numeric_to_text(const char* data, size_t size);

// A JSON array ("[1,null,[2]]") as a PostgreSQL array literal ({"1",NULL,{"2"}}), every element
// quoted so the element type reads its text. Text that is not a JSON array is returned as is.
std::string array_literal(std::string_view json);

// Appends a non-null cell as a field of COPY's text format (escaped, no delimiter).
void append_copy_text(std::string& out, const Cell& cell, const ColumnType& type);
// How a cell goes into a field of COPY's binary format. Only for server types whose binary
// input takes exactly the value their text input would take from the cell's text.
enum class BinaryField : std::uint8_t {
  Bool, Int2, Int4, Int8, Float4, Float8, Numeric, Text, Jsonb, Bytea, Date, Time, Timestamp,
  TimestampTz, Uuid,
};

// The binary field for cells of `type` written into a server column of type `oid`; nullopt
// when that pair goes through the text format (where the server converts the text).
std::optional<BinaryField> binary_field(const ColumnType& type, Oid oid);

// Appends a non-null cell as a field of COPY's binary format: its length, then its bytes.
// Throws DriverError, naming `column`, for a value the field cannot hold (an integer out of
// the column type's range, text that is no decimal or UUID).
void append_copy_binary(std::string& out, const Cell& cell, BinaryField field,
                        std::string_view column);

// Appends a cell as an SQL literal ("NULL", "TRUE", "'it''s'", "'2024-01-31'").
void append_literal(std::string& out, const Cell& cell, const ColumnType& type);

}  // namespace zyl::drivers::postgres
