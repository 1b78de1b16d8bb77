#include "zyl/extraction/sling_client.h"

#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>

#include "core/fault_point.h"
#include "core/log.h"
#include "core/text.h"
#include "drivers/dialect.h"
#include "drivers/driver.h"
#include "drivers/duckdb/duckdb_driver.h"
#include "drivers/read_ahead.h"

namespace zyl::extraction::sling_client {
namespace {

using drivers::Column;
using drivers::Connection;
using drivers::QueryResult;
using drivers::RowBatch;
using drivers::TableRef;

spdlog::logger& logger() {
  static spdlog::logger& l = log::get("zyl.extraction.sling_client");
  return l;
}

constexpr size_t kBatchRows = 2048;

constexpr std::string_view kStageMark = "_zyl_stage_";
constexpr std::string_view kOldMark = "_zyl_old_";

// A name beside `base` for a table a load keeps while it runs: `mark` is kStageMark for the
// rows on their way in, kOldMark for those on their way out of a swap. Unique within this
// process and among the processes of this machine.
std::string staging_name(const std::string& base, std::string_view mark = kStageMark) {
  static std::atomic<unsigned> counter{0};
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, "%x_%x", static_cast<unsigned>(getpid()),
                counter.fetch_add(1));
  std::string suffix = std::string(mark) + numbers;
  // Keep within PostgreSQL's 63-byte identifiers.
  return text::prefix(base, 63 - suffix.size()) + suffix;
}

// Whether `name` is a table that a load of `base` made and a process that is gone left behind
// (killed during its load, say).
bool is_stale_staging(const std::string& name, const std::string& base) {
  for (std::string_view mark : {kStageMark, kOldMark}) {
    size_t at = name.rfind(mark);
    if (at == std::string::npos || at == 0) continue;
    std::string suffix = name.substr(at);
    if (name.substr(0, at) != text::prefix(base, 63 - suffix.size())) continue;
    std::string numbers = suffix.substr(mark.size());
    size_t split = numbers.find('_');
    if (split == std::string::npos || split == 0) continue;
    char* end = nullptr;
    unsigned long pid = std::strtoul(numbers.c_str(), &end, 16);
    if (end != numbers.c_str() + split || pid == 0) continue;
    bool alive = ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    if (!alive) return true;
  }
  return false;
}

// Drops what killed loads of `table` left behind on the target.
void remove_stale_staging(Connection& conn, const TableRef& table) {
  for (const std::string& name : conn.table_names(table.schema)) {
    if (!is_stale_staging(name, table.name)) continue;
    TableRef stale{table.schema, name};
    conn.execute(drivers::drop_if_exists_sql(conn.engine(), "TABLE", conn.quote_table(stale)));
    logger().info("sling: removed {}, left behind by an interrupted load", name);
  }
}

std::string column_list(const Connection& conn, const std::vector<std::string>& names,
                        const std::string& qualifier = "") {
  std::vector<std::string> quoted;
  for (const std::string& n : names) quoted.push_back(qualifier + conn.quote_identifier(n));
  return text::join(quoted, ", ");
}

// Fails unless the engine took exactly the rows the result has.
void verify_rows(std::int64_t reported, std::int64_t expected, const std::string& what) {
  if (reported < 0 || reported == expected) return;
  throw std::runtime_error("row count mismatch: the result has " + std::to_string(expected) +
                           " rows, but " + what + " reported " + std::to_string(reported));
}

// Streams every row of `rows` into `table` (which has `columns`), visiting the fault point
// `point` after each batch. Returns the row count, checked against what the engine reports.
std::int64_t copy_rows(QueryResult& rows, Connection& conn, const TableRef& table,
                       const std::vector<Column>& columns,
                       const NativeSlingClient::Progress& progress, const std::string& label,
                       const char* point) {
  auto writer = conn.bulk_writer(table, columns);
  // DuckDB to DuckDB (a DuckDB source into the cache, the cache into a DuckDB target) moves
  // whole chunks; everything else goes batch by batch through cells.
  std::optional<std::int64_t> moved =
      drivers::duckdb::append_all(rows, *writer, [&](std::int64_t total) {
        if (progress) progress(total, label);
        fault_point(point);
      });
  std::int64_t total = moved.value_or(0);
  if (!moved) {
    // The source's rows are read and parsed on a second thread while these are written.
    drivers::ReadAhead ahead(rows, kBatchRows);
    RowBatch batch;
    while (ahead.next(batch)) {
      writer->write(batch);
      total += static_cast<std::int64_t>(batch.rows());
      if (progress) progress(total, label);
      fault_point(point);
    }
  }
  writer->finish();
  verify_rows(writer->rows_written(), total, "the bulk write into " + table.name);
  return total;
}

// Rolls back, and removes the staging table if there is one, when the work did not reach its end.
class StagingGuard {
 public:
  StagingGuard(Connection& conn, std::optional<TableRef> staging)
      : conn_(conn), staging_(std::move(staging)) {}
  ~StagingGuard() {
    if (done_) return;
    conn_.rollback();
    if (!staging_) return;
    // Engines that commit DDL on their own keep the staging table after a rollback.
    try {
      conn_.execute(
          drivers::drop_if_exists_sql(conn_.engine(), "TABLE", conn_.quote_table(*staging_)));
    } catch (const std::exception& e) {
      logger().debug("could not remove staging table {}: {}", staging_->name, e.what());
    }
  }
  StagingGuard(const StagingGuard&) = delete;
  StagingGuard& operator=(const StagingGuard&) = delete;
  void done() { done_ = true; }

 private:
  Connection& conn_;
  std::optional<TableRef> staging_;
  bool done_ = false;
};

// One setting of a DuckDB instance changed for as long as an object lives, then put back.
// Extractions running side by side share the instance's settings: the first holder of a setting
// saves and changes it, the last one puts it back.
class InstanceSetting {
 public:
  InstanceSetting(Connection& conn, const char* name, const char* value)
      : conn_(conn), key_{drivers::duckdb::instance_of(conn), name} {
    std::lock_guard lock(mutex());
    Holders& holders = all()[key_];
    if (holders.count++ > 0) return;
    holders.previous = current();
    conn_.execute(std::string("SET ") + name + " = '" + value + "'");
  }
  ~InstanceSetting() {
    std::lock_guard lock(mutex());
    Holders& holders = all()[key_];
    if (--holders.count > 0) return;
    std::string previous = holders.previous;
    all().erase(key_);
    const std::string& name = key_.second;
    try {
      conn_.execute(previous.empty()
                        ? "RESET " + name
                        : "SET " + name + " = " + drivers::sql_string_literal(previous));
    } catch (const std::exception& e) {
      logger().debug("could not restore the cache's {}: {}", name, e.what());
    }
  }
  InstanceSetting(const InstanceSetting&) = delete;
  InstanceSetting& operator=(const InstanceSetting&) = delete;

 private:
  using Key = std::pair<const void*, std::string>;
  struct Holders {
    int count = 0;
    std::string previous;  // the value before the first holder changed it
  };
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::map<Key, Holders>& all() {
    static std::map<Key, Holders> holders;
    return holders;
  }
  // The setting's value as text; "" when it cannot be read (then it is reset afterwards).
  std::string current() {
    auto rows = conn_.query("SELECT current_setting('" + key_.second + "')::VARCHAR");
    RowBatch batch;
    if (rows->next(batch) && batch.rows() == 1) {
      if (const auto* text = std::get_if<std::string>(&batch.at(0, 0))) return *text;
    }
    return "";
  }

  Connection& conn_;
  Key key_;
};

// While the mover writes, the cache's DuckDB keeps at most 64 MB of buffers: without a cap it
// keeps every block just written until 80% of the machine's memory is in use, so the resident
// memory of an extraction would grow with its row count. Model queries run with the setting as
// it was.
class WriteMemoryCap : public InstanceSetting {
 public:
  explicit WriteMemoryCap(Connection& cache) : InstanceSetting(cache, "memory_limit", "64MB") {}
};

// A DuckDB source copied inside DuckDB under that cap is a third slower while insertion order
// is kept: the threads wait on each other's buffers. Without it each thread writes its row
// groups as they fill; only the order of the rows of a query without ORDER BY, which SQL leaves
// open, can change. Copies cell by cell keep the setting: letting it go made them slower.
class UnorderedCopy : public InstanceSetting {
 public:
  explicit UnorderedCopy(Connection& cache)
      : InstanceSetting(cache, "preserve_insertion_order", "false") {}
};

std::vector<Column> checked_columns(const std::vector<Column>& columns) {
  if (columns.empty()) throw std::runtime_error("the query returns no columns");
  std::vector<std::string> seen;
  for (const Column& c : columns) {
    std::string lower = text::to_lower(c.name);
    for (const std::string& s : seen) {
      if (s == lower) throw std::runtime_error("the query returns column '" + c.name + "' twice");
    }
    seen.push_back(lower);
  }
  return columns;
}

// The target's column matching `name`: the same spelling first, else the same name in another
// case; nullptr when the target has none.
const Column* match_column(const std::vector<Column>& target, const std::string& name) {
  for (const Column& c : target) {
    if (c.name == name) return &c;
  }
  std::string lower = text::to_lower(name);
  for (const Column& c : target) {
    if (text::to_lower(c.name) == lower) return &c;
  }
  return nullptr;
}

// Makes `table` ready to take `columns`: creates it when it does not exist, else adds the columns
// it lacks. Returns the table's spelling of each column name, in the order of `columns`.
std::vector<std::string> prepare_table(Connection& conn, const TableRef& table,
                                       const std::vector<Column>& columns, bool exists) {
  if (!exists) {
    conn.execute(conn.create_table_sql(table, columns, {}));
    std::vector<std::string> names;
    for (const Column& c : columns) names.push_back(c.name);
    return names;
  }
  std::vector<Column> existing = conn.table_columns(table);
  std::vector<std::string> names;
  for (const Column& c : columns) {
    const Column* match = match_column(existing, c.name);
    if (!match) {
      conn.execute("ALTER TABLE " + conn.quote_table(table) + " ADD COLUMN " +
                   conn.quote_identifier(c.name) + " " + conn.type_sql(c.type));
    }
    names.push_back(match ? match->name : c.name);
  }
  return names;
}

// Whether rows with `columns` can be written into `table` by its bulk writer as they are: the
// table is missing (it will be made from `columns`), or each column it shares with them has the
// same logical type. Otherwise an INSERT ... SELECT from a staging table converts them, as the
// engine converts values on assignment (a numeric into an integer column, say).
bool takes_rows_as_they_are(Connection& conn, const TableRef& table,
                            const std::vector<Column>& columns) {
  std::vector<Column> existing = conn.table_columns(table);
  for (const Column& c : columns) {
    const Column* match = match_column(existing, c.name);
    if (match && match->type.id != c.type.id) return false;
  }
  return true;
}

// The rows of `sql` on `from`, in the form `to` takes them: DuckDB to DuckDB keeps DuckDB's own
// values and types (nested, nanosecond, unsigned 128-bit, ...), moved as whole chunks.
std::unique_ptr<QueryResult> read_for(Connection& from, const Connection& to,
                                      const std::string& sql) {
  if (from.engine() == "duckdb" && to.engine() == "duckdb") {
    return drivers::duckdb::query_native(from, sql);
  }
  return from.query(sql);
}

// " through ODBC driver 'X'" for a connection that is not native, else "".
std::string through(const Connection& conn) {
  std::string route = conn.route();
  return route.empty() ? route : " through " + route;
}

std::string with_context(const std::string& what, const std::exception& e) {
  return what + ": " + e.what();
}

// The first row of `sql` on `conn` as text forms, or nullopt when it has none.
std::optional<std::vector<std::string>> first_row(Connection& conn, const std::string& sql) {
  auto result = conn.query(sql);
  RowBatch batch;
  if (!result->next(batch, 1) || batch.rows() == 0) return std::nullopt;
  std::vector<std::string> row;
  for (size_t c = 0; c < batch.column_count; ++c) {
    row.push_back(text_form(drivers::cell_to_value(batch.at(0, c), result->columns()[c].type)));
  }
  return row;
}

// The result's spelling of each key column; throws for one the result lacks.
std::vector<std::string> merge_keys(Connection& cache, const std::string& source_query,
                                    const std::vector<std::string>& primary_key) {
  auto probe = cache.query("SELECT * FROM (\n" + source_query + "\n) AS zyl_q LIMIT 0");
  std::vector<Column> columns = probe->columns();
  probe.reset();
  std::vector<std::string> keys;
  for (const std::string& k : primary_key) {
    const Column* column = match_column(columns, k);
    if (!column) throw std::runtime_error("primary key column '" + k + "' is not in the result");
    keys.push_back(column->name);
  }
  return keys;
}

// Fails, before anything is written, when the new rows of a merge hold a NULL in a key column
// or one key twice: a merge takes at most one new row per key.
void check_merge_keys(Connection& cache, const std::string& source_query,
                      const std::vector<std::string>& keys) {
  std::string from = " FROM (\n" + source_query + "\n) AS zyl_q";
  std::vector<std::string> quoted, is_null;
  for (const std::string& k : keys) {
    quoted.push_back(cache.quote_identifier(k));
    is_null.push_back(quoted.back() + " IS NULL");
  }
  std::string names = text::join(quoted, ", ");
  std::string key_text = "(" + text::join(keys, ", ") + ")";
  if (first_row(cache, "SELECT " + names + from + " WHERE " + text::join(is_null, " OR ") +
                           " LIMIT 1")) {
    throw std::runtime_error("the new rows hold a NULL in merge key " + key_text);
  }
  auto repeated = first_row(cache, "SELECT " + names + ", count(*)" + from + " GROUP BY " +
                                       names + " HAVING count(*) > 1 LIMIT 1");
  if (repeated) {
    std::string count = repeated->back();
    repeated->pop_back();
    throw std::runtime_error("the new rows hold merge key " + key_text + " = (" +
                             text::join(*repeated, ", ") + ") " + count +
                             " times; a merge takes at most one row per key");
  }
}

// One load of rows from the cache into a target table, as a sequence of steps. Engines whose
// DDL is transactional (PostgreSQL, DuckDB, SQLite) do all of it in one transaction; on MySQL,
// where DDL commits on its own, the rows are staged first and then swapped in with one RENAME
// TABLE, or applied in a transaction of their own. Either way the table holds its old rows
// until the last step, and the whole new result after it.
class Load {
 public:
  Load(Connection& target, TableRef table, std::vector<Column> columns,
       std::vector<std::string> keys, std::string mode, const NativeSlingClient::Progress& progress,
       std::string label)
      : target_(target),
        table_(std::move(table)),
        columns_(std::move(columns)),
        keys_(std::move(keys)),
        mode_(std::move(mode)),
        progress_(progress),
        label_(std::move(label)),
        dialect_(drivers::dialect_of(target_.engine())) {}

  // Takes the rows from `sql` on `cache`, a DuckDB connection of the target's instance, by
  // INSERT ... SELECT inside DuckDB instead of from the result handed to run().
  void read_inside_duckdb(Connection& cache, std::string sql) {
    cache_ = &cache;
    cache_query_ = std::move(sql);
  }

  // Writes the rows; returns how many. Throws on any failure, with the table as it was.
  std::int64_t run(QueryResult& rows) {
    if (target_.engine() == "clickhouse") return run_with_rebuild(rows);
    if (!target_.transactional_ddl() || !dialect_.transactions) return run_with_swap(rows);
    if (mode_ == "truncate" && takes_rows_as_they_are(target_, table_, columns_)) {
      return run_direct(rows);
    }
    return run_in_transaction(rows);
  }

 private:
  // Truncate where DDL is transactional and the types match: the rows go straight into the
  // table; until the commit, readers see the old rows.
  std::int64_t run_direct(QueryResult& rows) {
    target_.begin();
    StagingGuard guard(target_, std::nullopt);
    bool exists = target_.table_exists(table_);
    std::vector<std::string> names = prepare_table(target_, table_, columns_, exists);
    if (exists) target_.execute("DELETE FROM " + target_.quote_table(table_));
    std::vector<Column> named = columns_;
    for (size_t i = 0; i < named.size(); ++i) named[i].name = names[i];
    std::int64_t copied = copy(rows, table_, named);
    finish(guard);
    return copied;
  }

  std::int64_t run_in_transaction(QueryResult& rows) {
    TableRef staging{table_.schema, staging_name(table_.name)};
    target_.begin();
    StagingGuard guard(target_, staging);
    std::int64_t copied = fill(rows, staging);
    bool exists = target_.table_exists(table_);
    if (mode_ == "full-refresh") {
      if (exists) target_.execute("DROP TABLE " + target_.quote_table(table_));
      target_.execute(rename(staging, table_.name));
    } else {
      std::vector<std::string> names = prepare_table(target_, table_, columns_, exists);
      apply(staging, names, copied);
      target_.execute("DROP TABLE " + target_.quote_table(staging));
    }
    finish(guard);
    return copied;
  }

  // MySQL (and any engine whose ODBC driver says DDL commits): DDL commits on its own, so no
  // transaction spans it. A new table, or a full refresh,
  // is swapped in with one RENAME TABLE; the other modes apply the staged rows in a
  // transaction that holds only DML. Engines without transactions (Databricks, BigQuery) swap
  // a truncate in too, and merge or append in one statement.
  std::int64_t run_with_swap(QueryResult& rows) {
    TableRef staging{table_.schema, staging_name(table_.name)};
    StagingGuard guard(target_, staging);
    // The CREATE commits on its own, ending any transaction it stands in; the rows go into the
    // staging table in one transaction after it.
    target_.execute(target_.create_table_sql(staging, columns_, {}));
    begin();
    std::int64_t copied = copy(rows, staging, columns_);
    target_.commit();
    bool exists = target_.table_exists(table_);
    bool swap = mode_ == "full-refresh" || (mode_ == "truncate" && !dialect_.transactions);
    if (swap || !exists) {
      swap_in(staging, exists);
      guard.done();
      return copied;
    }
    std::vector<std::string> names = prepare_table(target_, table_, columns_, exists);
    begin();
    apply(staging, names, copied);
    finish(guard);
    drop_quietly(staging);
    return copied;
  }

  // ClickHouse: no transactions and no UPDATE. The rows go into a staging table sorted by the
  // merge key. A new table, or a full refresh, is that table swapped in; every other mode
  // builds a second table of the target's own structure from the old rows it keeps (all of
  // them when appending, those without a new key when merging, none when truncating) and the
  // new rows, and swaps that in. Either way one RENAME TABLE changes what readers see.
  std::int64_t run_with_rebuild(QueryResult& rows) {
    TableRef staging{table_.schema, staging_name(table_.name)};
    StagingGuard guard(target_, staging);
    target_.execute(target_.create_table_sql(staging, columns_, keys_));
    std::int64_t copied = copy(rows, staging, columns_);
    verify_rows(count_rows(staging), copied, "the staging table");
    bool exists = target_.table_exists(table_);
    if (mode_ == "full-refresh" || !exists) {
      swap_in(staging, exists);
      guard.done();
      return copied;
    }
    TableRef rebuilt{table_.schema, staging_name(table_.name)};
    StagingGuard rebuilt_guard(target_, rebuilt);
    std::string quoted = target_.quote_table(table_);
    target_.execute("CREATE TABLE " + target_.quote_table(rebuilt) + " AS " + quoted);
    if (mode_ != "truncate") {
      target_.execute("INSERT INTO " + target_.quote_table(rebuilt) + " SELECT * FROM " + quoted +
                      kept_rows_filter(staging));
    }
    std::vector<std::string> names = prepare_table(target_, rebuilt, columns_, true);
    std::vector<std::string> source_names;
    for (const Column& c : columns_) source_names.push_back(c.name);
    target_.execute("INSERT INTO " + target_.quote_table(rebuilt) + " (" +
                    column_list(target_, names) + ") SELECT " +
                    column_list(target_, source_names) + " FROM " +
                    target_.quote_table(staging));
    swap_in(rebuilt, true);
    rebuilt_guard.done();
    guard.done();
    drop_quietly(staging);
    return copied;
  }

  // The WHERE clause that keeps the old rows a merge keeps: those whose key is not among the
  // new rows' (a NULL in a key matches nothing). Empty when every old row stays.
  std::string kept_rows_filter(const TableRef& staging) {
    if (keys_.empty()) return "";
    std::vector<Column> existing = target_.table_columns(table_);
    std::vector<std::string> old_keys, new_keys, nulls;
    for (const std::string& k : keys_) {
      const Column* match = match_column(existing, k);
      if (!match) return "";  // the key column is new: every old row has a NULL key
      old_keys.push_back(target_.quote_identifier(match->name));
      // 18.16 compares tuples only of the same types.
      new_keys.push_back("CAST(" + target_.quote_identifier(k) + " AS " + match->type.native + ")");
      nulls.push_back("isNull(" + old_keys.back() + ")");
    }
    return " WHERE " + text::join(nulls, " OR ") + " OR (" + text::join(old_keys, ", ") +
           ") NOT IN (SELECT " + text::join(new_keys, ", ") + " FROM " +
           target_.quote_table(staging) + ")";
  }

  std::int64_t count_rows(const TableRef& table) {
    auto row = first_row(target_, "SELECT count(*) FROM " + target_.quote_table(table));
    return row ? std::stoll(row->front()) : -1;
  }

  // Puts the staging table in the place of the table in one statement where the engine has
  // one. The old table, renamed aside, is dropped after; if that fails, the next load of the
  // table removes it.
  void swap_in(const TableRef& staging, bool exists) {
    fault_point("load.before_commit");
    if (!exists) {
      target_.execute(rename(staging, table_.name));
      return;
    }
    std::string quoted = target_.quote_table(table_);
    TableRef old{table_.schema, staging_name(table_.name, kOldMark)};
    if (dialect_.swap_with) {
      // One statement that trades the two tables' contents; the staging name then holds the old.
      target_.execute("ALTER TABLE " + target_.quote_table(staging) + " SWAP WITH " + quoted);
      drop_quietly(staging);
      return;
    }
    if (dialect_.rename == drivers::RenameForm::RenameTable) {
      // MySQL, MariaDB and ClickHouse rename several tables in one RENAME TABLE statement.
      target_.execute("RENAME TABLE " + quoted + " TO " + target_.quote_table(old) + ", " +
                      target_.quote_table(staging) + " TO " + quoted);
      drop_quietly(old);
      return;
    }
    // No single-statement swap known for this engine: two renames, with a moment between them
    // in which the table is missing (never one with partial rows).
    target_.execute(rename(table_, old.name));
    target_.execute(rename(staging, table_.name));
    drop_quietly(old);
  }

  // The statement that gives `table` the name `name` in its schema.
  std::string rename(const TableRef& table, const std::string& name) const {
    return drivers::rename_sql(target_.engine(), "", table.schema, table.name, name);
  }

  // Opens a transaction where the engine has them.
  void begin() {
    if (dialect_.transactions) target_.begin();
  }

  void drop_quietly(const TableRef& table) {
    try {
      target_.execute(
          drivers::drop_if_exists_sql(target_.engine(), "TABLE", target_.quote_table(table)));
    } catch (const std::exception& e) {
      logger().warn("sling: could not drop {}: {}", table.name, e.what());
    }
  }

  // A staging table with the result's columns, filled with its rows.
  std::int64_t fill(QueryResult& rows, const TableRef& staging) {
    target_.execute(target_.create_table_sql(staging, columns_, {}));
    return copy(rows, staging, columns_);
  }

  // The rows into `table`, whose columns `columns` name in the result's order.
  std::int64_t copy(QueryResult& rows, const TableRef& table, const std::vector<Column>& columns) {
    if (!cache_) return copy_rows(rows, target_, table, columns, progress_, label_, "load.batch");
    std::vector<std::string> names;
    for (const Column& c : columns) names.push_back(c.name);
    std::int64_t copied =
        drivers::duckdb::insert_from(target_, *cache_, cache_query_, table, names).value();
    if (progress_) progress_(copied, label_);
    fault_point("load.batch");
    return copied;
  }

  // The staged rows into the table by the mode's statements, each row count checked.
  void apply(const TableRef& staging, const std::vector<std::string>& target_names,
             std::int64_t copied) {
    std::string quoted_table = target_.quote_table(table_);
    std::vector<std::string> source_names;
    for (const Column& c : columns_) source_names.push_back(c.name);
    std::string insert = "INSERT INTO " + quoted_table + " (" + column_list(target_, target_names) +
                         ") SELECT " + column_list(target_, source_names, "zyl_s.") + " FROM " +
                         target_.quote_table(staging) +
                         drivers::table_alias(target_.engine(), "zyl_s");
    if (mode_ == "truncate") {
      target_.execute("DELETE FROM " + quoted_table);
      verify_rows(target_.execute_counted(insert), copied, "the INSERT");
    } else if (keys_.empty()) {
      verify_rows(target_.execute_counted(insert), copied, "the INSERT");
    } else {
      merge(staging, target_names, source_names, copied);
    }
  }

  void merge(const TableRef& staging, const std::vector<std::string>& target_names,
             const std::vector<std::string>& source_names, std::int64_t copied) {
    drivers::MergeSpec spec;
    spec.target = target_.quote_table(table_);
    spec.source = target_.quote_table(staging);
    spec.target_columns = target_names;
    spec.source_columns = source_names;
    for (const std::string& k : keys_) {
      spec.keys.push_back(static_cast<size_t>(match_column(columns_, k) - columns_.data()));
    }
    drivers::MergeStatements statements = drivers::merge_statements(
        target_.engine(), spec,
        [this](std::string_view name) { return target_.quote_identifier(name); });
    if (!statements.merge.empty()) {
      // One MERGE: each new row updates its one old row or is inserted.
      std::int64_t merged = target_.execute_counted(statements.merge);
      if (merged >= 0 && merged != copied) {
        throw std::runtime_error("row count mismatch: the result has " + std::to_string(copied) +
                                 " rows, but the merge changed " + std::to_string(merged) +
                                 (merged > copied ? " (the table holds some merge key more "
                                                    "than once)"
                                                  : ""));
      }
      return;
    }
    std::int64_t updated =
        statements.update.empty() ? -1 : target_.execute_counted(statements.update);
    std::int64_t inserted = target_.execute_counted(statements.insert);
    // Each new row either updates its one old row or is inserted. More updated rows mean the
    // table already holds a key more than once.
    if (updated >= 0 && inserted >= 0 && updated + inserted != copied) {
      throw std::runtime_error(
          "row count mismatch: the result has " + std::to_string(copied) +
          " rows, but the merge updated " + std::to_string(updated) + " and inserted " +
          std::to_string(inserted) +
          (updated + inserted > copied ? " (the table holds some merge key more than once)" : ""));
    }
  }

  void finish(StagingGuard& guard) {
    fault_point("load.before_commit");
    target_.commit();
    guard.done();
  }

  Connection& target_;
  TableRef table_;
  std::vector<Column> columns_;
  std::vector<std::string> keys_;
  std::string mode_;
  const NativeSlingClient::Progress& progress_;
  std::string label_;
  const drivers::Dialect& dialect_;
  Connection* cache_ = nullptr;
  std::string cache_query_;
};

}  // namespace

namespace internal {

std::int64_t load_rows(Connection& target, QueryResult& rows, const TableRef& table,
                       const std::vector<std::string>& keys, const std::string& mode) {
  static const NativeSlingClient::Progress no_progress;
  Load load(target, table, checked_columns(rows.columns()), keys, mode, no_progress, table.name);
  return load.run(rows);
}

}  // namespace internal

NativeSlingClient::NativeSlingClient(std::filesystem::path base_dir, Progress progress)
    : base_dir_(std::move(base_dir)), progress_(std::move(progress)) {}

void NativeSlingClient::extract_to_duckdb(const Value& source_config,
                                          const std::string& duckdb_path,
                                          const std::string& source_query,
                                          const std::string& duckdb_table) {
  std::string source_type = get_text(source_config, "type");
  try {
    auto cache = drivers::duckdb::open_file(duckdb_path);
    WriteMemoryCap memory_cap(*cache);
    TableRef target = TableRef::parse(duckdb_table);
    TableRef staging{target.schema, staging_name(target.name)};
    cache->begin();
    StagingGuard guard(*cache, staging);
    if (!target.schema.empty()) cache->ensure_schema(target.schema);
    std::int64_t copied = fill_staging(source_config, *cache, source_query, staging, duckdb_table);
    cache->execute("DROP TABLE IF EXISTS " + cache->quote_table(target));
    cache->execute("ALTER TABLE " + cache->quote_table(staging) + " RENAME TO " +
                   cache->quote_identifier(target.name));
    fault_point("extract.before_commit");
    cache->commit();
    guard.done();
    logger().info("sling: extracted {} rows from {} into {}", copied,
                  source_type.empty() ? "source" : source_type, duckdb_table);
  } catch (const std::exception& e) {
    throw std::runtime_error(with_context(
        "extraction from " + (source_type.empty() ? std::string("source") : source_type) +
            " into " + duckdb_table + " failed",
        e));
  }
}

std::int64_t NativeSlingClient::fill_staging(const Value& source_config, Connection& cache,
                                             const std::string& source_query,
                                             const TableRef& staging, const std::string& label) {
  auto source = drivers::open_connection(source_config, base_dir_);
  // A DuckDB file beside the cache in the process's DuckDB instance is copied inside DuckDB;
  // every other source streams its rows through its connection.
  if (drivers::duckdb::share_instance(cache, *source)) {
    UnorderedCopy unordered(cache);
    std::int64_t copied =
        drivers::duckdb::create_table_from(cache, *source, source_query, staging).value();
    if (progress_) progress_(copied, label);
    fault_point("extract.batch");
    return copied;
  }
  if (!source->route().empty()) {
    logger().info("sling: reading {} through {}", label, source->route());
  }
  auto rows = read_for(*source, cache, source_query);
  std::vector<Column> columns = checked_columns(rows->columns());
  cache.execute(cache.create_table_sql(staging, columns, {}));
  return copy_rows(*rows, cache, staging, columns, progress_, label, "extract.batch");
}

void NativeSlingClient::load_from_duckdb(const std::string& duckdb_path, const Value& target_config,
                                         const std::string& source_query,
                                         const std::string& target_table, const std::string& mode,
                                         const std::optional<std::vector<std::string>>& primary_key,
                                         const std::optional<std::vector<std::string>>& update_key) {
  if (mode != "truncate" && mode != "full-refresh" && mode != "incremental") {
    throw std::runtime_error("unsupported load mode '" + mode +
                             "'; supported: truncate, full-refresh, incremental");
  }
  if (update_key && !update_key->empty()) {
    // The rows handed over are already the new ones; an update key adds nothing here.
    logger().debug("sling: update key ignored for {}", target_table);
  }
  std::string target_type = get_text(target_config, "type");
  try {
    auto cache = drivers::duckdb::open_file(duckdb_path);
    std::vector<std::string> keys;
    if (mode == "incremental" && primary_key && !primary_key->empty()) {
      keys = merge_keys(*cache, source_query, *primary_key);
      check_merge_keys(*cache, source_query, keys);
    }
    auto target = drivers::open_connection(target_config, base_dir_);
    TableRef table = TableRef::parse(target_table);
    target->ensure_schema(table.schema);
    remove_stale_staging(*target, table);

    // A DuckDB target beside the cache in the process's DuckDB instance takes the rows inside
    // DuckDB; the result is only probed for its columns here.
    bool in_instance = drivers::duckdb::share_instance(*target, *cache);
    auto rows = in_instance ? drivers::duckdb::query_native(
                                  *cache, "SELECT * FROM (\n" + source_query + "\n) AS zyl_q LIMIT 0")
                            : read_for(*cache, *target, source_query);
    std::vector<Column> columns = checked_columns(rows->columns());
    Load load(*target, table, columns, keys, mode, progress_, target_table);
    if (in_instance) load.read_inside_duckdb(*cache, source_query);
    std::int64_t copied = load.run(*rows);
    logger().info("sling: loaded {} rows into {} on {}{} ({})", copied, target_table,
                  target_type.empty() ? "target" : target_type, through(*target), mode);
  } catch (const std::exception& e) {
    throw std::runtime_error(with_context(
        "load into " + target_table + " on " +
            (target_type.empty() ? std::string("target") : target_type) + " (" + mode +
            ") failed",
        e));
  }
}

}  // namespace zyl::extraction::sling_client
