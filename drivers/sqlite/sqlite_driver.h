// The SQLite driver: `Connection` on libsqlite3.
//
// Reads step through one prepared statement; bulk writes bind one prepared INSERT per row inside
// one transaction (a savepoint, so they nest inside a caller's transaction).
//
// SQLite stores values by storage class (INTEGER, REAL, TEXT, BLOB) and lets the declared type
// pick an affinity. Logical types are written with declared types whose affinity keeps the value
// exact, and read back from the declared type:
//
//   | TypeId                  | declared type        | stored as                             |
//   |-------------------------|----------------------|---------------------------------------|
//   | Boolean                 | BOOLEAN              | INTEGER 0 / 1                         |
//   | Int8 .. Int64, UInt8 .. UInt32 | TINYINT, SMALLINT, INTEGER, BIGINT | INTEGER      |
//   | UInt64, HugeInt, UHugeInt | DECIMAL_TEXT(20,0), (38,0), (39,0) | TEXT (beyond 64 bits) |
//   | Float32, Float64        | FLOAT, DOUBLE        | REAL (read back as Float64)           |
//   | Decimal(p,s)            | DECIMAL_TEXT(p,s)    | TEXT "-12.30" (TEXT affinity: exact)  |
//   | String                  | TEXT / VARCHAR(n)    | TEXT                                  |
//   | Blob                    | BLOB                 | BLOB                                  |
//   | Date, Time              | DATE, TIME           | TEXT "2024-01-31", "13:45:00[.ffffff]"|
//   | Timestamp               | TIMESTAMP            | TEXT "2024-01-31 13:45:00[.ffffff]"   |
//   | TimestampTz             | TIMESTAMPTZ          | TEXT in UTC "2024-01-31 11:45:00+00"  |
//   | Interval                | INTERVAL             | TEXT "1 year 2 months -3 days 04:05:06.5" |
//   | Uuid                    | UUID                 | TEXT                                  |
//   | Json                    | JSON_TEXT            | TEXT (TEXT affinity: "1" stays text)  |
//   | List                    | JSON_TEXT            | TEXT, the JSON array (read back as Json) |
//
// Reading a declared type: names with BOOL -> Boolean; TINYINT/SMALLINT/MEDIUMINT -> Int8/16/32,
// other names with INT -> Int64; DECIMAL/NUMERIC(p,s) -> Decimal; REAL/FLOA/DOUB -> Float64;
// DATE, TIME, DATETIME/TIMESTAMP, TIMESTAMPTZ/TIMESTAMP WITH TIME ZONE; BLOB; UUID; JSON;
// INTERVAL; CHAR/CLOB/TEXT -> String. A column without a declared type (an expression) or with a
// name none of these match takes the storage class of its first row (NULL -> String).
// Timestamps stored as integers are read as Unix seconds; text with an offset is converted to UTC.
//
// SQLite has no schemas: a table's schema part names an attached database; any other schema is
// left out and the table lives in the main database. The output key "schemas_and_paths" (a map
// of schema to file) attaches files when the connection opens.
#pragma once

#include <filesystem>
#include <memory>

#include "drivers/driver.h"

namespace zyl::drivers::sqlite {

// A connection on the SQLite file `path` (created when missing; ":memory:" for a private
// in-memory database). Throws DriverError. Not thread-safe.
std::unique_ptr<Connection> open_file(const std::filesystem::path& path);

}  // namespace zyl::drivers::sqlite
