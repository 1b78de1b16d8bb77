// The DuckDB driver: `Connection` on the DuckDB C API.
//
// Every file-backed connection goes through the process-wide registry of
// drivers/duckdb/database_registry.h, so the cache, the Sling client, the host's DuckDB adapter
// and the retract task share one instance per file. Reads stream chunk by chunk; writes go
// through DuckDB's appender.
//
// Type mapping (DuckDB -> logical -> DuckDB):
//
//   | DuckDB                              | TypeId      | written back as            |
//   |-------------------------------------|-------------|----------------------------|
//   | BOOLEAN                             | Boolean     | BOOLEAN                    |
//   | TINYINT .. BIGINT, UTINYINT .. UBIGINT | Int8 .. UInt64 | the same              |
//   | HUGEINT, UHUGEINT                   | HugeInt     | HUGEINT                    |
//   | FLOAT, DOUBLE                       | Float32/64  | FLOAT, DOUBLE              |
//   | DECIMAL(p,s)                        | Decimal     | DECIMAL(p,s); p 0 (unknown) -> DECIMAL(38,9); p > 38 -> VARCHAR |
//   | VARCHAR, ENUM                       | String      | VARCHAR                    |
//   | JSON (VARCHAR alias)                | Json        | JSON                       |
//   | BLOB                                | Blob        | BLOB                       |
//   | DATE, TIME                          | Date, Time  | DATE, TIME                 |
//   | TIMESTAMP, TIMESTAMP_S/_MS/_NS      | Timestamp   | TIMESTAMP (ns cut to us)   |
//   | TIMESTAMPTZ                         | TimestampTz | TIMESTAMPTZ (the instant)  |
//   | INTERVAL                            | Interval    | INTERVAL                   |
//   | UUID                                | Uuid        | UUID                       |
//   | LIST, STRUCT, MAP, ARRAY, UNION, BIT, TIME WITH TIME ZONE, BIGNUM, ... | String | VARCHAR (their text form) |
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "drivers/driver.h"

namespace zyl::drivers::duckdb {

// A connection on the DuckDB file `path` (":memory:" for a private in-memory database), through
// the registry. Throws DriverError when the file cannot be opened (also when another process
// holds it). The connection is not thread-safe; several connections on one file may be used from
// different threads.
std::unique_ptr<Connection> open_file(const std::filesystem::path& path, bool read_only = false);

// Moves every remaining row of `rows` into `writer` whole chunks at a time, without turning
// values into cells, when both come from DuckDB connections and no row of `rows` has been read
// yet; `progress` hears the running row count after each chunk. Returns the number of rows
// written, or nullopt (having touched nothing) when the two are not such a pair. Throws
// DriverError.
std::optional<std::int64_t> append_all(QueryResult& rows, BulkWriter& writer,
                                       const std::function<void(std::int64_t)>& progress = nullptr);

}  // namespace zyl::drivers::duckdb
