#include "zyl/extraction/sling_client.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "core/log.h"
#include "core/text.h"
#include "drivers/driver.h"
#include "drivers/duckdb/duckdb_driver.h"

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

// A staging name beside `base`, unique within this process and among processes.
std::string staging_name(const std::string& base) {
  static std::atomic<unsigned> counter{0};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "_zyl_stage_%x_%x", static_cast<unsigned>(getpid()),
                counter.fetch_add(1));
  // Keep within PostgreSQL's 63-byte identifiers.
  return text::prefix(base, 63 - std::string_view(suffix).size()) + suffix;
}

std::string column_list(const Connection& conn, const std::vector<std::string>& names,
                        const std::string& qualifier = "") {
  std::vector<std::string> quoted;
  for (const std::string& n : names) quoted.push_back(qualifier + conn.quote_identifier(n));
  return text::join(quoted, ", ");
}

std::string create_table_sql(const Connection& conn, const TableRef& table,
                             const std::vector<Column>& columns) {
  std::vector<std::string> defs;
  for (const Column& c : columns) {
    defs.push_back(conn.quote_identifier(c.name) + " " + conn.type_sql(c.type));
  }
  return "CREATE TABLE " + conn.quote_table(table) + " (" + text::join(defs, ", ") + ")";
}

// Streams every row of `rows` into `table` (which has `columns`). Returns the row count.
std::int64_t copy_rows(QueryResult& rows, Connection& conn, const TableRef& table,
                       const std::vector<Column>& columns,
                       const NativeSlingClient::Progress& progress, const std::string& label) {
  auto writer = conn.bulk_writer(table, columns);
  // DuckDB to DuckDB (a DuckDB source into the cache, the cache into a DuckDB target) moves
  // whole chunks; everything else goes batch by batch through cells.
  std::optional<std::int64_t> moved =
      drivers::duckdb::append_all(rows, *writer, [&](std::int64_t total) {
        if (progress) progress(total, label);
      });
  if (moved) {
    writer->finish();
    return *moved;
  }

  std::int64_t total = 0;
  RowBatch batch;
  while (rows.next(batch, kBatchRows)) {
    writer->write(batch);
    total += static_cast<std::int64_t>(batch.rows());
    if (progress) progress(total, label);
  }
  writer->finish();
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
      conn_.execute("DROP TABLE IF EXISTS " + conn_.quote_table(*staging_));
    } catch (const std::exception& e) {
      logger().debug("could not remove staging table {}: {}", staging_->name, e.what());
    }
  }
  void done() { done_ = true; }

 private:
  Connection& conn_;
  std::optional<TableRef> staging_;
  bool done_ = false;
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
    conn.execute(create_table_sql(conn, table, columns));
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

std::string with_context(const std::string& what, const std::exception& e) {
  return what + ": " + e.what();
}

}  // namespace

NativeSlingClient::NativeSlingClient(std::filesystem::path base_dir, Progress progress)
    : base_dir_(std::move(base_dir)), progress_(std::move(progress)) {}

void NativeSlingClient::extract_to_duckdb(const Value& source_config,
                                          const std::string& duckdb_path,
                                          const std::string& source_query,
                                          const std::string& duckdb_table) {
  std::string source_type = get_text(source_config, "type");
  try {
    auto source = drivers::open_connection(source_config, base_dir_);
    auto cache = drivers::duckdb::open_file(duckdb_path);
    auto rows = source->query(source_query);
    std::vector<Column> columns = checked_columns(rows->columns());

    TableRef target = TableRef::parse(duckdb_table);
    TableRef staging{target.schema, staging_name(target.name)};
    cache->begin();
    StagingGuard guard(*cache, staging);
    if (!target.schema.empty()) cache->ensure_schema(target.schema);
    cache->execute(create_table_sql(*cache, staging, columns));
    std::int64_t copied = copy_rows(*rows, *cache, staging, columns, progress_, duckdb_table);
    rows.reset();
    cache->execute("DROP TABLE IF EXISTS " + cache->quote_table(target));
    cache->execute("ALTER TABLE " + cache->quote_table(staging) + " RENAME TO " +
                   cache->quote_identifier(target.name));
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
    auto target = drivers::open_connection(target_config, base_dir_);
    auto rows = cache->query(source_query);
    std::vector<Column> columns = checked_columns(rows->columns());
    std::vector<std::string> keys;
    if (mode == "incremental" && primary_key) {
      for (const std::string& k : *primary_key) {
        if (!match_column(columns, k)) {
          throw std::runtime_error("primary key column '" + k + "' is not in the result");
        }
        keys.push_back(match_column(columns, k)->name);
      }
    }

    TableRef table = TableRef::parse(target_table);
    target->ensure_schema(table.schema);
    std::string engine = target->engine();
    bool is_mysql = engine == "mysql" || engine == "mariadb";
    if (mode == "truncate" && !is_mysql && takes_rows_as_they_are(*target, table, columns)) {
      // Where DDL is transactional the rows go straight into the table: until the commit,
      // readers see the old rows, and a failure leaves them in place.
      target->begin();
      StagingGuard guard(*target, std::nullopt);
      bool exists = target->table_exists(table);
      std::vector<std::string> names = prepare_table(*target, table, columns, exists);
      if (exists) target->execute("DELETE FROM " + target->quote_table(table));
      std::vector<Column> named = columns;
      for (size_t i = 0; i < named.size(); ++i) named[i].name = names[i];
      std::int64_t copied = copy_rows(*rows, *target, table, named, progress_, target_table);
      rows.reset();
      target->commit();
      guard.done();
      logger().info("sling: loaded {} rows into {} on {} ({})", copied, target_table,
                    target_type.empty() ? "target" : target_type, mode);
      return;
    }
    TableRef staging{table.schema, staging_name(table.name)};
    target->begin();
    StagingGuard guard(*target, staging);
    target->execute(create_table_sql(*target, staging, columns));
    std::int64_t copied = copy_rows(*rows, *target, staging, columns, progress_, target_table);
    rows.reset();

    std::string quoted_table = target->quote_table(table);
    std::string quoted_staging = target->quote_table(staging);
    bool exists = target->table_exists(table);
    if (mode == "full-refresh") {
      if (exists) target->execute("DROP TABLE " + quoted_table);
      // MySQL moves a table renamed to a bare name into the connection's default database, so
      // it gets the qualified name; the other engines keep the schema and refuse a qualified one.
      target->execute("ALTER TABLE " + quoted_staging + " RENAME TO " +
                      (is_mysql ? quoted_table : target->quote_identifier(table.name)));
    } else {
      // Result columns by the target's spelling; missing ones are added.
      std::vector<std::string> target_names = prepare_table(*target, table, columns, exists);
      std::vector<std::string> source_names;
      for (const Column& c : columns) source_names.push_back(c.name);
      std::string insert = "INSERT INTO " + quoted_table + " (" +
                           column_list(*target, target_names) + ") SELECT " +
                           column_list(*target, source_names, "zyl_s.") + " FROM " +
                           quoted_staging + " AS zyl_s";
      if (mode == "truncate") {
        if (exists) target->execute("DELETE FROM " + quoted_table);
        target->execute(insert);
      } else if (keys.empty()) {
        target->execute(insert);  // incremental without a key appends
      } else {
        std::vector<std::string> match;
        for (const std::string& k : keys) {
          const Column* t = match_column(columns, k);
          size_t index = static_cast<size_t>(t - columns.data());
          match.push_back("zyl_t." + target->quote_identifier(target_names[index]) + " = zyl_s." +
                          target->quote_identifier(source_names[index]));
        }
        std::string on = text::join(match, " AND ");
        std::vector<std::string> sets_plain, sets_qualified;
        for (size_t i = 0; i < columns.size(); ++i) {
          bool is_key = false;
          for (const std::string& k : keys) is_key = is_key || k == source_names[i];
          if (is_key) continue;
          std::string value = " = zyl_s." + target->quote_identifier(source_names[i]);
          sets_plain.push_back(target->quote_identifier(target_names[i]) + value);
          sets_qualified.push_back("zyl_t." + target->quote_identifier(target_names[i]) + value);
        }
        if (!sets_plain.empty()) {
          if (is_mysql) {
            target->execute("UPDATE " + quoted_table + " AS zyl_t JOIN " + quoted_staging +
                            " AS zyl_s ON " + on + " SET " + text::join(sets_qualified, ", "));
          } else {
            target->execute("UPDATE " + quoted_table + " AS zyl_t SET " +
                            text::join(sets_plain, ", ") + " FROM " + quoted_staging +
                            " AS zyl_s WHERE " + on);
          }
        }
        target->execute(insert + " WHERE NOT EXISTS (SELECT 1 FROM " + quoted_table +
                        " AS zyl_t WHERE " + on + ")");
      }
      target->execute("DROP TABLE " + quoted_staging);
    }
    target->commit();
    guard.done();
    logger().info("sling: loaded {} rows into {} on {} ({})", copied, target_table,
                  target_type.empty() ? "target" : target_type, mode);
  } catch (const std::exception& e) {
    throw std::runtime_error(with_context(
        "load into " + target_table + " on " +
            (target_type.empty() ? std::string("target") : target_type) + " (" + mode +
            ") failed",
        e));
  }
}

}  // namespace zyl::extraction::sling_client
