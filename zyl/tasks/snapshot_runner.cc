#include "zyl/tasks/snapshot_runner.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "brek/parser/snapshots.h"
#include "brek/place.h"
#include "core/log.h"
#include "core/text.h"
#include "drivers/driver.h"
#include "drivers/relation.h"
#include "zyl/components.h"
#include "zyl/runners/ferry.h"
#include "zyl/tasks/scratch_duckdb.h"

namespace zyl::tasks::snapshot_runner {
namespace {

namespace fs = std::filesystem;
using brek::artifacts::resources::v1::snapshot::SnapshotConfig;
using config::compass::ExecutionPath;

spdlog::logger& logger() { return log::get("zyl.tasks.snapshot"); }

// The work tables of one run in the DuckDB file it uses.
constexpr const char* kSourceTable = "zyl_snapshot_source";
constexpr const char* kCurrentTable = "zyl_snapshot_current";
constexpr const char* kNextTable = "zyl_snapshot_next";

std::string q(const std::string& name) { return drivers::quote_identifier_for("duckdb", name); }

std::string lit(const std::string& text) { return drivers::sql_string_literal(text); }

// The current UTC time as DuckDB reads a TIMESTAMP: with microseconds, or in whole seconds
// for targets whose timestamps hold no fraction.
std::string utc_now_text(bool whole_seconds) {
  auto now = std::chrono::system_clock::now();
  auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (whole_seconds) return text;
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%06lld", static_cast<long long>(micros % 1000000));
  return std::string(text) + fraction;
}

bool same_name(const std::string& a, const std::string& b) {
  return text::to_lower(a) == text::to_lower(b);
}

const TableColumn* find_column(const std::vector<TableColumn>& columns, const std::string& name) {
  for (const auto& c : columns) {
    if (same_name(c.name, name)) return &c;
  }
  return nullptr;
}

bool is_plain_name(const std::string& s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

// The meta column names of the plan's config.
struct MetaNames {
  std::string valid_from, valid_to, scd_id, updated_at, is_deleted;
  bool has_is_deleted = false;

  bool is_meta(const std::string& name) const {
    return same_name(name, valid_from) || same_name(name, valid_to) || same_name(name, scd_id) ||
           same_name(name, updated_at) || (has_is_deleted && same_name(name, is_deleted));
  }
};

MetaNames meta_names(const SnapshotPlan& plan) {
  auto names = plan.config.snapshot_table_column_names();
  MetaNames m;
  m.valid_from = *names.get("brek_valid_from");
  m.valid_to = *names.get("brek_valid_to");
  m.scd_id = *names.get("brek_scd_id");
  m.updated_at = *names.get("brek_updated_at");
  m.is_deleted = *names.get("brek_is_deleted");
  m.has_is_deleted = plan.hard_deletes != "ignore";
  return m;
}

// The pieces of SQL every part of the query shares.
struct QueryParts {
  MetaNames meta;
  std::vector<TableColumn> data;  // the select's columns, then those only the table still has
  std::string now;                // the snapshot time, as a TIMESTAMP expression
  std::string current_valid_to;   // the valid-to of current rows

  // Whether row `alias` of the snapshot table is a current version.
  std::string is_current(const std::string& alias) const {
    std::string column = alias + "." + q(meta.valid_to);
    if (current_valid_to == "CAST(NULL AS TIMESTAMP)") return column + " IS NULL";
    return "(" + column + " IS NULL OR " + column + " = " + current_valid_to + ")";
  }
};

std::string keys_match(const std::vector<std::string>& key, const std::string& a,
                       const std::string& b) {
  std::vector<std::string> terms;
  for (const auto& k : key) terms.push_back(a + "." + q(k) + " = " + b + "." + q(k));
  return text::join(terms, " AND ");
}

// md5 of the key columns' text and `version`, joined by '|'.
std::string scd_id_sql(const std::vector<std::string>& key, const std::string& alias,
                       const std::string& version) {
  std::string text;
  for (const auto& k : key) {
    text += "COALESCE(CAST(" + alias + "." + q(k) + " AS VARCHAR), '') || '|' || ";
  }
  return "md5(" + text + "COALESCE(CAST(" + version + " AS VARCHAR), ''))";
}

// The snapshot table's rows with every column in its type: the select's type for data
// columns, TIMESTAMP and VARCHAR for the meta columns; a column the table lacks reads NULL.
std::string current_rows_sql(const SnapshotPlan& plan, const QueryParts& parts) {
  std::vector<std::string> select;
  auto typed = [&](const std::string& name, const std::string& type) {
    const TableColumn* have = find_column(plan.current_columns, name);
    std::string value = have ? q(have->name) : "NULL";
    select.push_back("CAST(" + value + " AS " + type + ") AS " + q(name));
  };
  for (const auto& c : parts.data) typed(c.name, c.type);
  typed(parts.meta.scd_id, "VARCHAR");
  typed(parts.meta.updated_at, "TIMESTAMP");
  typed(parts.meta.valid_from, "TIMESTAMP");
  typed(parts.meta.valid_to, "TIMESTAMP");
  if (parts.meta.has_is_deleted) {
    const TableColumn* have = find_column(plan.current_columns, parts.meta.is_deleted);
    select.push_back(have ? "COALESCE(CAST(" + q(have->name) + " AS VARCHAR), 'False') AS " +
                                q(parts.meta.is_deleted)
                          : "'False' AS " + q(parts.meta.is_deleted));
  }
  return "SELECT " + text::join(select, ", ") + " FROM " + plan.current_table;
}

// When a current version `cur` differs from the select's row `src` of the same key.
std::string changed_sql(const SnapshotPlan& plan, const QueryParts& parts) {
  std::vector<std::string> terms;
  if (plan.config.strategy == "timestamp") {
    terms.push_back("src.__brek_version > cur." + q(parts.meta.updated_at));
  } else {
    std::vector<std::string> columns;
    const auto& check = *plan.config.check_cols;
    if (const auto* one = std::get_if<std::string>(&check); one && text::to_lower(*one) == "all") {
      for (const auto& c : plan.source_columns) columns.push_back(c.name);
    } else if (one) {
      columns.push_back(*one);
    } else {
      columns = std::get<std::vector<std::string>>(check);
    }
    for (const auto& c : columns) {
      terms.push_back("src." + q(c) + " IS DISTINCT FROM cur." + q(c));
    }
  }
  if (parts.meta.has_is_deleted) terms.push_back("cur." + q(parts.meta.is_deleted) + " = 'True'");
  return "(" + text::join(terms, " OR ") + ")";
}

QueryParts query_parts(const SnapshotPlan& plan) {
  QueryParts parts;
  parts.meta = meta_names(plan);
  parts.data = plan.source_columns;
  for (const auto& c : plan.current_columns) {
    if (!parts.meta.is_meta(c.name) && !find_column(parts.data, c.name)) parts.data.push_back(c);
  }
  parts.now = "CAST(" + lit(plan.snapshot_time) + " AS TIMESTAMP)";
  parts.current_valid_to = plan.config.brek_valid_to_current
                               ? "CAST((" + *plan.config.brek_valid_to_current + ") AS TIMESTAMP)"
                               : "CAST(NULL AS TIMESTAMP)";
  return parts;
}

std::string version_sql(const SnapshotPlan& plan, const QueryParts& parts) {
  if (plan.config.strategy != "timestamp") return parts.now;
  const std::string& updated_at = *plan.config.updated_at;
  return "CAST(" + (is_plain_name(updated_at) ? q(updated_at) : updated_at) + " AS TIMESTAMP)";
}

}  // namespace

std::vector<std::string> unique_key_columns(const SnapshotConfig& config) {
  std::vector<std::string> key;
  if (config.unique_key) {
    if (const auto* one = std::get_if<std::string>(&*config.unique_key)) {
      key.push_back(*one);
    } else {
      key = std::get<std::vector<std::string>>(*config.unique_key);
    }
  }
  for (const auto& k : key) {
    if (k.empty()) throw std::runtime_error("unique_key names an empty column");
  }
  return key;
}

std::string hard_deletes_of(const brek::Node& node) {
  Value setting =
      node.config.get("hard_deletes", node.config._extra.value("hard_deletes", Value()));
  if (setting.is_null()) return "ignore";
  std::string text = setting.is_string() ? setting.get<std::string>() : text_form(setting);
  if (text != "ignore" && text != "invalidate" && text != "new_record") {
    throw std::runtime_error("hard_deletes must be one of ignore, invalidate, new_record; got '" +
                             text + "'");
  }
  return text;
}

std::string next_snapshot_query(const SnapshotPlan& plan) {
  QueryParts parts = query_parts(plan);
  const MetaNames& m = parts.meta;
  const std::vector<std::string>& key = plan.unique_key;
  bool deletes = plan.hard_deletes != "ignore";

  std::vector<std::string> source_select, data_of_new, data_of_all;
  for (const auto& c : plan.source_columns) source_select.push_back(q(c.name));
  for (const auto& c : parts.data) {
    bool from_source = find_column(plan.source_columns, c.name) != nullptr;
    data_of_new.push_back(from_source ? "n." + q(c.name)
                                      : "CAST(NULL AS " + c.type + ") AS " + q(c.name));
    data_of_all.push_back("a." + q(c.name));
  }
  std::vector<std::string> key_select;
  for (const auto& k : key) key_select.push_back(q(k));

  std::string sql = "WITH src AS (SELECT " + text::join(source_select, ", ") + ", " +
                    version_sql(plan, parts) + " AS __brek_version FROM " + plan.source_table +
                    "), ";
  sql += "cur_all AS (" + current_rows_sql(plan, parts) + "), ";
  sql += "cur AS (SELECT * FROM cur_all a WHERE " + parts.is_current("a") + "), ";
  sql += "changed AS (SELECT src.* FROM src JOIN cur ON " + keys_match(key, "src", "cur") +
         " WHERE " + changed_sql(plan, parts) + "), ";
  sql += "added AS (SELECT src.* FROM src WHERE NOT EXISTS (SELECT 1 FROM cur WHERE " +
         keys_match(key, "src", "cur") + ")), ";
  std::string gone_filter =
      m.has_is_deleted ? " AND cur." + q(m.is_deleted) + " IS DISTINCT FROM 'True'" : "";
  sql += "gone AS (SELECT cur.* FROM cur WHERE " + std::string(deletes ? "true" : "false") +
         gone_filter + " AND NOT EXISTS (SELECT 1 FROM src WHERE " + keys_match(key, "src", "cur") +
         ")), ";
  sql += "closes AS (SELECT " + text::join(key_select, ", ") +
         ", __brek_version AS closed_at FROM changed UNION ALL SELECT " +
         text::join(key_select, ", ") + ", " + parts.now + " FROM gone) ";

  std::string meta_of_all = "a." + q(m.scd_id) + ", a." + q(m.updated_at) + ", a." +
                            q(m.valid_from) + ", CASE WHEN cl.closed_at IS NOT NULL THEN " +
                            "cl.closed_at ELSE a." + q(m.valid_to) + " END AS " + q(m.valid_to);
  if (m.has_is_deleted) meta_of_all += ", a." + q(m.is_deleted);
  sql += "SELECT " + text::join(data_of_all, ", ") + ", " + meta_of_all +
         " FROM cur_all a LEFT JOIN closes cl ON " + keys_match(key, "a", "cl") + " AND " +
         parts.is_current("a");

  std::string meta_of_new = scd_id_sql(key, "n", "n.__brek_version") + ", n.__brek_version, " +
                            "n.__brek_version, " + parts.current_valid_to;
  if (m.has_is_deleted) meta_of_new += ", 'False'";
  sql += " UNION ALL SELECT " + text::join(data_of_new, ", ") + ", " + meta_of_new +
         " FROM (SELECT * FROM changed UNION ALL SELECT * FROM added) n";

  if (plan.hard_deletes == "new_record") {
    std::vector<std::string> data_of_gone;
    for (const auto& c : parts.data) data_of_gone.push_back("g." + q(c.name));
    sql += " UNION ALL SELECT " + text::join(data_of_gone, ", ") + ", " +
           scd_id_sql(key, "g", parts.now) + ", " + parts.now + ", " + parts.now + ", " +
           parts.current_valid_to + ", 'True' FROM gone g";
  }
  return sql;
}

namespace {

// A DuckDB connection on one file, closed however the work on it ends.
class DuckFile {
 public:
  explicit DuckFile(const std::string& path)
      : connection_(drivers::open_connection(Value{{"type", "duckdb"}, {"path", path}})) {}
  ~DuckFile() {
    try {
      connection_->close();
    } catch (const std::exception&) {
    }
  }
  DuckFile(const DuckFile&) = delete;
  DuckFile& operator=(const DuckFile&) = delete;

  drivers::Connection& operator*() { return *connection_; }
  drivers::Connection* operator->() { return connection_.get(); }

  std::vector<TableColumn> columns_of(const std::string& table) {
    std::vector<TableColumn> columns;
    auto result = connection_->query(
        "SELECT column_name, data_type FROM information_schema.columns WHERE table_schema = "
        "'main' AND table_name = " +
        lit(table) + " ORDER BY ordinal_position");
    drivers::RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) {
        columns.push_back(
            {text_form(drivers::cell_to_value(batch.at(r, 0), result->columns()[0].type)),
             text_form(drivers::cell_to_value(batch.at(r, 1), result->columns()[1].type))});
      }
    }
    return columns;
  }

  std::int64_t count(const std::string& sql) {
    auto result = connection_->query(sql);
    drivers::RowBatch batch;
    std::int64_t n = 0;
    while (result->next(batch)) {
      if (batch.rows() > 0) {
        n = drivers::cell_to_value(batch.at(0, 0), result->columns()[0].type).get<std::int64_t>();
      }
    }
    return n;
  }

 private:
  std::unique_ptr<drivers::Connection> connection_;
};

void drop_work_tables(const std::string& db_path) {
  try {
    DuckFile db(db_path);
    for (const char* table : {kSourceTable, kCurrentTable, kNextTable}) {
      db->execute(std::string("DROP TABLE IF EXISTS ") + table);
    }
  } catch (const std::exception& e) {
    logger().debug("ZYL: removing the snapshot work tables failed: {}", e.what());
  }
}

std::unique_ptr<extraction::sling_client::SlingClient> sling_client() {
  auto make_client = components::obtain(components::registry().sling_client, "sling_client");
  std::unique_ptr<extraction::sling_client::SlingClient> client = make_client();
  if (!client) throw std::runtime_error("no Sling client could be created");
  return client;
}

bool runs_on_target(const std::optional<config::compass::ResolvedModel>& resolution) {
  return !resolution || resolution->execution_path == ExecutionPath::DEFAULT_PUSHDOWN ||
         resolution->execution_path == ExecutionPath::NON_DEFAULT_PUSHDOWN;
}

}  // namespace

SnapshotRunner::SnapshotRunner(std::shared_ptr<const brek::RuntimeConfig> config,
                               brek::NodePtr node, int index, int total, Value profiles,
                               std::optional<config::compass::ResolvedModel> resolution,
                               std::shared_ptr<federation::zyl_cache::Cache> cache)
    : brek::ModelRunner(std::move(config), nullptr, std::move(node), index, total),
      profiles_(std::move(profiles)),
      resolution_(std::move(resolution)),
      cache_(std::move(cache)) {}

brek::RunResult SnapshotRunner::execute(brek::Node& snapshot, brek::Manifest& manifest) {
  auto started = std::chrono::steady_clock::now();
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  SnapshotPlan plan;
  try {
    plan.config = brek::parser::snapshot_config_of(snapshot);
    plan.config.final_validate();
    plan.unique_key = unique_key_columns(plan.config);
    plan.hard_deletes = hard_deletes_of(snapshot);
  } catch (const std::exception& e) {
    logger().error("Snapshot '{}': {}", snapshot.name, e.what());
    return runners::ferry::_make_run_result(node(), brek::RunStatus::Error, e.what(), seconds(),
                                            std::nullopt);
  }
  try {
    std::int64_t rows = build(snapshot, manifest, std::move(plan));
    return runners::ferry::_make_run_result(node(), brek::RunStatus::Success,
                                            "SNAPSHOT " + std::to_string(rows), seconds(), rows);
  } catch (const std::exception& e) {
    std::string message = "Snapshot '" + snapshot.name + "': " + e.what();
    logger().error(message);
    return runners::ferry::_make_run_result(node(), brek::RunStatus::Error, message, seconds(),
                                            std::nullopt);
  }
}

std::int64_t SnapshotRunner::build(const brek::Node& snapshot, brek::Manifest& manifest,
                                   SnapshotPlan plan) {
  std::string compiled_sql = snapshot.compiled_code.value_or("");
  if (compiled_sql.empty()) throw std::runtime_error("no compiled SQL");
  fs::path project_dir = config.args.PROJECT_DIR.empty() ? "." : config.args.PROJECT_DIR;

  Target target = target_of(snapshot);
  if (runs_on_target(resolution_)) {
    ScratchDuckDB scratch(project_dir, "snapshot");
    logger().info("ZYL [{}]: reading the snapshot's select on {}", snapshot.name,
                  target.place.output);
    sling_client()->extract_to_duckdb(target.config, scratch.path().string(), compiled_sql,
                                      kSourceTable);
    return update_target(snapshot, target, scratch.path().string(), std::move(plan));
  }

  if (!cache_) throw std::runtime_error("no cache to copy the snapshot's sources into");
  std::lock_guard lock(cache_->_file_lock());
  runners::ferry::ZylModelRunner extraction(config_, nullptr, node(), 0, 0);
  extraction.set_zyl_context(resolution_, profiles_, cache_);
  auto client = sling_client();
  std::string select_sql = extraction.stage_inputs(snapshot, manifest, *client, *cache_);
  std::string db_path = cache_->db_path();
  cache_->close_and_release();
  struct WorkTables {
    std::string path;
    ~WorkTables() { drop_work_tables(path); }
  } work{db_path};
  {
    DuckFile db(db_path);
    logger().info("ZYL [{}]: DuckDB SQL: {}...", snapshot.name, text::prefix(select_sql, 200));
    db->execute(std::string("CREATE OR REPLACE TABLE ") + kSourceTable + " AS " + select_sql);
  }
  return update_target(snapshot, target, db_path, std::move(plan));
}

SnapshotRunner::Target SnapshotRunner::target_of(const brek::Node& snapshot) const {
  brek::Targets targets = brek::Targets::of(config, profiles_);
  std::optional<brek::Place> place = brek::place_of(snapshot, targets);
  if (!place) throw std::runtime_error("its target is not an output in profiles.yml");
  Value output = *brek::find_output(profiles_, targets.own_profile, place->output);
  return Target{*place, brek::connection_config(*place, output)};
}

std::int64_t SnapshotRunner::update_target(const brek::Node& snapshot, const Target& target,
                                           const std::string& db_path, SnapshotPlan plan) {
  const brek::Place& place = target.place;
  auto client = sling_client();
  plan.snapshot_time = utc_now_text(place.engine == "clickhouse");
  bool exists = false;
  {
    fs::path project_dir = config.args.PROJECT_DIR.empty() ? "." : config.args.PROJECT_DIR;
    auto connection = drivers::open_connection(target.config, project_dir);
    exists = connection->table_exists(drivers::TableRef::parse(place.table));
    connection->close();
  }
  if (exists) {
    client->extract_to_duckdb(target.config, db_path, "SELECT * FROM " + place.table,
                              kCurrentTable);
  }
  std::int64_t added = write_next_table(db_path, exists, std::move(plan));
  logger().info("ZYL [{}]: {} new row(s); replacing the rows of {} on {}", snapshot.name, added,
                place.table, place.output);
  client->load_from_duckdb(db_path, target.config, std::string("SELECT * FROM ") + kNextTable,
                           place.table, "truncate", std::nullopt, std::nullopt);
  return added;
}

std::int64_t SnapshotRunner::write_next_table(const std::string& db_path, bool exists,
                                              SnapshotPlan plan) {
  DuckFile db(db_path);
  plan.source_table = kSourceTable;
  plan.source_columns = db.columns_of(kSourceTable);
  std::vector<std::string> key;
  for (const auto& k : plan.unique_key) {
    if (!find_column(plan.source_columns, k)) {
      throw std::runtime_error("the unique_key column '" + k + "' is not in its select");
    }
    key.push_back(q(k));
  }
  std::int64_t repeated = db.count("SELECT count(*) FROM (SELECT " + text::join(key, ", ") +
                                   " FROM " + kSourceTable + " GROUP BY ALL HAVING count(*) > 1)");
  if (repeated > 0) {
    throw std::runtime_error("its select returns " + std::to_string(repeated) +
                             " unique_key value(s) more than once; nothing was changed");
  }
  if (exists) {
    plan.current_columns = db.columns_of(kCurrentTable);
  } else {
    db->execute(std::string("CREATE OR REPLACE TABLE ") + kCurrentTable + " AS SELECT * FROM " +
                kSourceTable + " WHERE false");
  }
  plan.current_table = kCurrentTable;
  db->execute(std::string("CREATE OR REPLACE TABLE ") + kNextTable + " AS " +
              next_snapshot_query(plan));
  return db.count(std::string("SELECT count(*) FROM ") + kNextTable) -
         db.count(std::string("SELECT count(*) FROM ") + kCurrentTable);
}

}  // namespace zyl::tasks::snapshot_runner
