// The DuckDB driver: `Connection` on the DuckDB C API.
//
// Every file-backed connection goes through the process-wide registry of
// drivers/duckdb/database_registry.h, so the cache, the Sling client, the host's DuckDB adapter
// and the retract task share one instance per file. Reads stream chunk by chunk; writes go
// through DuckDB's appender.
//
// Type mapping. DuckDB to DuckDB (a DuckDB source into the cache, the cache into a DuckDB
// target) keeps every type as it is: rows move as whole chunks (query_native, append_all) into
// tables made with DuckDB's own spelling of each type. Between DuckDB and the other engines the
// logical types of drivers/driver.h are the common language:
//
//   | DuckDB                         | TypeId            | a DuckDB table made from it      |
//   |--------------------------------|-------------------|----------------------------------|
//   | BOOLEAN                        | Boolean           | BOOLEAN                          |
//   | TINYINT .. UBIGINT             | Int8 .. UInt64    | the same                         |
//   | HUGEINT, UHUGEINT              | HugeInt, UHugeInt | HUGEINT, UHUGEINT                |
//   | FLOAT, DOUBLE                  | Float32, Float64  | FLOAT, DOUBLE                    |
//   | DECIMAL(p,s)                   | Decimal           | DECIMAL(p,s)                     |
//   | (no precision, or p > 38)      | Decimal           | DECIMAL(38,s), see below         |
//   | VARCHAR, ENUM                  | String            | VARCHAR                          |
//   | JSON (VARCHAR alias)           | Json              | JSON                             |
//   | BLOB                           | Blob              | BLOB                             |
//   | DATE, TIME                     | Date, Time        | DATE, TIME                       |
//   | TIMESTAMP, TIMESTAMP_S, _MS    | Timestamp         | TIMESTAMP                        |
//   | TIMESTAMP_NS                   | Timestamp         | TIMESTAMP; nanoseconds fail      |
//   | TIMESTAMPTZ                    | TimestampTz       | TIMESTAMPTZ (the instant)        |
//   | INTERVAL                       | Interval          | INTERVAL (months, days, micros)  |
//   | UUID                           | Uuid              | UUID                             |
//   | LIST, ARRAY                    | List (JSON cells) | element type + "[]"              |
//   | STRUCT, MAP                    | Json (JSON cells) | JSON                             |
//   | UNION, BIT, TIMETZ, BIGNUM ... | String (its text) | VARCHAR                          |
//
// A decimal without a precision (PostgreSQL's numeric, SQLite's NUMERIC) or wider than 38 digits
// (MySQL's decimal(65,30)) becomes DECIMAL(38,s), s picked from the values and widened while
// writing; when no DECIMAL(38,s) holds every value the column keeps their exact text (VARCHAR)
// and a warning names it. A list of such decimals is VARCHAR[] (exact text). A TIMESTAMP_NS
// value with a nanosecond part is refused in cells (naming column and value) rather than cut.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "drivers/driver.h"

namespace zyl::drivers::duckdb {

// A connection on the DuckDB file `path` (":memory:" for a private in-memory database), through
// the registry. Throws DriverError when the file cannot be opened (also when another process
// holds it). The connection is not thread-safe; several connections on one file may be used from
// different threads.
std::unique_ptr<Connection> open_file(const std::filesystem::path& path, bool read_only = false);

// The rows of `sql` with DuckDB's values as they are, for moving into a DuckDB table with
// append_all; each column's type carries DuckDB's spelling (ColumnType::duckdb), so a table made
// from the columns has the same types. next() refuses columns of types without a cell form
// (nested, TIME WITH TIME ZONE, ...). On a connection of another engine: its query(). Throws
// DriverError.
std::unique_ptr<QueryResult> query_native(Connection& connection, const std::string& sql);

// The file a DuckDB output config names ("path", else "database"; relative paths against
// `base_dir`), or nullopt for an in-memory database.
std::optional<std::filesystem::path> file_of(const Value& config,
                                             const std::filesystem::path& base_dir);

// The DuckDB instance `connection` works in (shared by the files of the process's shared
// instance), as an identity only; nullptr for a connection of another engine.
const void* instance_of(Connection& connection);

// Whether `a` and `b` are DuckDB connections of one instance (see database_registry.h: two files
// of the process's shared instance, or one file), so that one can read the other's tables.
bool share_instance(Connection& a, Connection& b);

// Creates `table` in the catalog of `into` from the rows of `sql`, a query written for `from`,
// inside DuckDB (CREATE TABLE AS, on every core, every type as it is), in `into`'s transaction.
// Returns the changed-row count DuckDB reports, or nullopt (having done nothing) unless the two
// share an instance. Throws DriverError; `into`'s transaction is then rolled back.
std::optional<std::int64_t> create_table_from(Connection& into, Connection& from,
                                              const std::string& sql, const TableRef& table);

// Inserts the rows of `sql`, a query written for `from`, into `columns` (in the query's order) of
// the existing `table` of `into`, inside DuckDB, in `into`'s transaction. Returns the number of
// rows, or nullopt (having done nothing) unless the two share an instance. Throws DriverError;
// `into`'s transaction is then rolled back.
std::optional<std::int64_t> insert_from(Connection& into, Connection& from, const std::string& sql,
                                        const TableRef& table,
                                        const std::vector<std::string>& columns);

// Moves every remaining row of `rows` into `writer` whole chunks at a time, without turning
// values into cells, when both come from DuckDB connections and no row of `rows` has been read
// yet; `progress` hears the running row count after each chunk. Returns the number of rows
// written, or nullopt (having touched nothing) when the two are not such a pair. Throws
// DriverError.
std::optional<std::int64_t> append_all(QueryResult& rows, BulkWriter& writer,
                                       const std::function<void(std::int64_t)>& progress = nullptr);

}  // namespace zyl::drivers::duckdb
