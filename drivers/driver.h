// One interface for every database the system talks to: the host's adapters, the Sling client,
// the retract task's target connections and the watermark query all go through `Connection`.
//
// Rows travel in batches of typed cells, so no driver holds a whole table in memory:
//
//   auto conn = zyl::drivers::open_connection(output_config, project_dir);
//   auto result = conn->query("SELECT * FROM crm.customers");
//   zyl::drivers::RowBatch batch;
//   while (result->next(batch)) { ... batch.at(row, col) ... }
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/value.h"

namespace zyl::drivers {

// Logical column types, the common language between engines. Each driver maps its native types
// to and from these in one table of its own.
enum class TypeId {
  Boolean,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  HugeInt,   // 128-bit integer; cells hold its decimal text
  UHugeInt,  // unsigned 128-bit integer; cells hold its decimal text
  Float32,
  Float64,
  Decimal,      // precision/scale in ColumnType (precision 0: unbounded); cells hold canonical
                // decimal text ("-12.30")
  String,       // length > 0 for varchar(n)/char(n)
  Blob,         // cells hold the raw bytes
  Date,         // cells hold days since 1970-01-01
  Time,         // cells hold microseconds since midnight
  Timestamp,    // cells hold microseconds since the epoch, no time zone
  TimestampTz,  // cells hold microseconds since the epoch in UTC
  Interval,     // cells hold "1 year 2 months -3 days 04:05:06.5" (temporal::format_interval):
                // months, days and microseconds kept apart
  Uuid,         // cells hold the canonical lower-case text
  Json,         // cells hold the JSON text
  List,         // element type in ColumnType::element; cells hold a JSON array ("[1,null,3]")
};

std::string_view type_name(TypeId id);

struct ColumnType {
  TypeId id = TypeId::String;
  int precision = 0;  // Decimal
  int scale = 0;      // Decimal
  int length = 0;     // String: declared length, 0 when unbounded
  bool fixed_length = false;  // String: char(n)
  std::string native;         // the engine's own type name, for messages
  std::vector<ColumnType> element;  // List: exactly one entry, the type of the elements
  // DuckDB's own spelling of the column's type ("STRUCT(a INTEGER)", "TIMESTAMP_NS"), set only
  // on results that keep DuckDB's values as they are (duckdb::query_native); a DuckDB table made
  // for such a column takes this type.
  std::string duckdb;

  bool operator==(const ColumnType& o) const {
    return id == o.id && precision == o.precision && scale == o.scale && length == o.length &&
           fixed_length == o.fixed_length && element == o.element;
  }
};

struct Column {
  std::string name;
  ColumnType type;
};

// One cell. std::monostate is SQL NULL. Which alternative a non-null cell holds follows its
// column's TypeId: Boolean -> bool; integers of up to 64 bits, Date, Time, Timestamp,
// TimestampTz -> int64_t (UInt64 -> uint64_t); Float32/Float64 -> double; every other type ->
// std::string (text, or raw bytes for Blob).
using Cell = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string>;

// A batch of rows, row-major.
struct RowBatch {
  size_t column_count = 0;
  std::vector<Cell> cells;

  size_t rows() const { return column_count == 0 ? 0 : cells.size() / column_count; }
  const Cell& at(size_t row, size_t column) const { return cells[row * column_count + column]; }
  void clear() { cells.clear(); }
};

// The rows of one query, read batch by batch. Not thread-safe. While a result is being read, run
// no other statement on the connection it came from (DuckDB and SQLite end the stream then);
// use a second connection instead.
class QueryResult {
 public:
  virtual ~QueryResult() = default;
  virtual const std::vector<Column>& columns() const = 0;
  // Replaces the contents of `batch` with the next rows (at most about `max_rows`); returns false
  // once no rows are left. Throws DriverError.
  virtual bool next(RowBatch& batch, size_t max_rows = 2048) = 0;
};

// Writes rows into an existing table in bulk (appender, COPY, multi-row INSERT). finish() must be
// called for the rows to be complete; destroying an unfinished writer abandons what it can.
class BulkWriter {
 public:
  virtual ~BulkWriter() = default;
  virtual void write(const RowBatch& batch) = 0;
  virtual void finish() = 0;
  // The rows the engine reports it took, once finish() has returned: COPY's count, the sum of
  // the INSERT statements' row counts. -1 when the engine reports none.
  virtual std::int64_t rows_written() const { return -1; }
};

// A schema-qualified table name. An empty schema means the connection's default.
struct TableRef {
  std::string schema;
  std::string name;

  // "a.b" -> {a, b}; "b" -> {"", b}. Quotes around a part are removed.
  static TableRef parse(std::string_view text);
  bool operator==(const TableRef&) const = default;
};

// An error reported by a database or a driver. The message never holds a password.
class DriverError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A live connection to one database. Owned by its creator; not thread-safe; closing happens in
// the destructor or in close(), which never throws.
class Connection {
 public:
  virtual ~Connection() { refuse_interrupts(); }

  // The adapter type this connection serves ("duckdb", "sqlite", "postgres", ...).
  virtual std::string engine() const = 0;
  // How the connection reaches its engine, for log lines: "" for a native driver, "ODBC driver
  // 'PostgreSQL Unicode'" for one through ODBC.
  virtual std::string route() const { return ""; }
  // Whether DDL takes part in transactions (false where CREATE or DROP commits on its own, as
  // on MySQL), which decides how a load is made atomic.
  virtual bool transactional_ddl() const { return true; }

  // Runs one or more statements that return no rows. Throws DriverError.
  virtual void execute(const std::string& sql) = 0;
  // Runs a query and streams its rows. Throws DriverError.
  virtual std::unique_ptr<QueryResult> query(const std::string& sql) = 0;
  // Runs one statement that changes rows (INSERT, UPDATE, DELETE) and returns the number of
  // rows the engine reports for it (UPDATE: the rows it matched); -1 when the engine reports
  // none. Throws DriverError.
  virtual std::int64_t execute_counted(const std::string& sql) {
    execute(sql);
    return -1;
  }

  // Statements run in autocommit mode unless begin() opened a transaction. commit() without an
  // open transaction does nothing (so "execute, then commit" works everywhere); rollback()
  // without one does nothing either, and never throws.
  virtual void begin() = 0;
  virtual void commit() = 0;
  virtual void rollback() = 0;

  // The identifier quoted for this engine ("x" or `x`).
  virtual std::string quote_identifier(std::string_view name) const = 0;
  // `schema.name` quoted for this engine (the schema part left out when empty). Engines without
  // schemas may leave out a schema they do not know (SQLite: one that names no attached file).
  virtual std::string quote_table(const TableRef& table) const;
  // The engine's column type for a logical type (used by CREATE TABLE).
  virtual std::string type_sql(const ColumnType& type) const = 0;
  // The CREATE TABLE statement of a table with `columns`, whose rows are identified by `keys`
  // (column names among `columns`; may be empty). Engines that sort a table by a key
  // (ClickHouse's MergeTree) use them; the others leave them out.
  virtual std::string create_table_sql(const TableRef& table, const std::vector<Column>& columns,
                                       const std::vector<std::string>& keys) const;

  virtual bool table_exists(const TableRef& table) = 0;
  // Columns of an existing table, in order; empty when it does not exist.
  virtual std::vector<Column> table_columns(const TableRef& table) = 0;
  // The names of the tables (not views) in `schema`, or in the connection's default schema
  // when it is empty. Throws DriverError.
  virtual std::vector<std::string> table_names(const std::string& schema) = 0;
  // Makes sure the schema exists (no-op for engines without schemas).
  virtual void ensure_schema(const std::string& schema) = 0;
  // A writer appending rows with `columns` (in this order) to the existing `table`.
  virtual std::unique_ptr<BulkWriter> bulk_writer(const TableRef& table,
                                                  const std::vector<Column>& columns) = 0;

  virtual void close() = 0;

  // Asks the statement running on this connection now to stop; called from another thread (the
  // one that handles Ctrl-C) through interrupt_all(). The statement then fails with DriverError;
  // a statement started later runs as usual. Never throws.
  virtual void interrupt() noexcept {}

 protected:
  Connection() = default;
  // Lets interrupt_all() reach this connection. Called by a driver once the connection is
  // fully built (at the end of the constructor of its final class).
  void accept_interrupts();
  // Takes the connection out of interrupt_all()'s reach, waiting for an interrupt in progress.
  // Drivers call it first in close(), before their native handle goes. Idempotent.
  void refuse_interrupts() noexcept;

 private:
  bool interruptible_ = false;
};

// Calls interrupt() on every open connection of the process that accepts interrupts. Returns
// how many it asked. Thread-safe; not async-signal-safe (call it from a normal thread).
size_t interrupt_all() noexcept;

// Opens a connection for an output config (its "type" picks the driver). Relative file paths in
// the config are taken relative to `base_dir`. Throws DriverError, also for a type this build has
// no driver for (the message names the type and lists the supported ones).
std::unique_ptr<Connection> open_connection(const Value& output_config,
                                            const std::filesystem::path& base_dir = ".");

// The adapter types this build can connect to, sorted.
std::vector<std::string> supported_engines();

// How open_connection reaches an output: "native" (the engine's own client library or an
// embedded engine), "HTTP" (ClickHouse's HTTP interface), or "none" for a type this build has
// no driver for.
std::string connection_route(const Value& output_config);

// The first of `keys` that `config` holds, as the text a client library takes ("5432" for a port
// written 5432 or 5432.0); `fallback` when none is set to a non-null value.
std::string connection_setting(const Value& config, std::initializer_list<std::string_view> keys,
                               std::string_view fallback);

// `text` as a SQL string literal: in single quotes, quotes inside doubled.
std::string sql_string_literal(std::string_view text);

// `sql` without the semicolons and blanks at its end, ready to be wrapped in a subquery (put a
// line break before the closing parenthesis: the statement may end in a -- comment).
std::string strip_statement_end(std::string sql);

// A non-null cell as a Value (numbers as numbers, everything else as its text), NULL as null.
Value cell_to_value(const Cell& cell, const ColumnType& type);

}  // namespace zyl::drivers
