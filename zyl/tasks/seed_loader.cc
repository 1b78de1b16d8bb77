#include "zyl/tasks/seed_loader.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "brek/place.h"
#include "brek/seeds/seed_csv.h"
#include "core/log.h"
#include "drivers/driver.h"
#include "drivers/relation.h"
#include "zyl/components.h"
#include "zyl/runners/ferry.h"
#include "zyl/tasks/scratch_duckdb.h"

namespace zyl::tasks::seed_loader {
namespace {

namespace fs = std::filesystem;
using brek::seeds::SeedTable;

spdlog::logger& logger() { return log::get("zyl.tasks.seed"); }

constexpr size_t kRowsPerInsert = 500;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// The column_types config of the seed ({} when it has none).
Value column_types_of(const brek::Node& seed) {
  for (const Value& where : {seed.config.entries, seed.config._extra}) {
    const Value* types = find(where, "column_types");
    if (is_set(types)) {
      if (!types->is_object()) throw std::runtime_error("config 'column_types' must be a map");
      return *types;
    }
  }
  return Value::object();
}

// The seed's rows in their types as the table "seed" of `scratch`.
void stage(const ScratchDuckDB& scratch, const SeedTable& table) {
  auto conn =
      drivers::open_connection(Value{{"type", "duckdb"}, {"path", scratch.path().string()}});
  std::string create = "CREATE TABLE seed (";
  for (size_t c = 0; c < table.columns.size(); ++c) {
    if (c > 0) create += ", ";
    create += drivers::quote_identifier_for("duckdb", table.columns[c].name) + " " +
              table.columns[c].type;
  }
  conn->execute(create + ")");
  // DuckDB casts each text to its column's type and refuses a value that does not fit.
  for (size_t start = 0; start < table.rows.size(); start += kRowsPerInsert) {
    std::string sql = "INSERT INTO seed VALUES ";
    size_t end = std::min(table.rows.size(), start + kRowsPerInsert);
    for (size_t r = start; r < end; ++r) {
      sql += r > start ? ", (" : "(";
      for (size_t c = 0; c < table.columns.size(); ++c) {
        if (c > 0) sql += ", ";
        const auto& cell = table.rows[r][c];
        sql += cell ? drivers::sql_string_literal(*cell) : "NULL";
      }
      sql += ")";
    }
    conn->execute(sql);
  }
  conn->close();
}

}  // namespace

SeedRunner::SeedRunner(std::shared_ptr<const brek::RuntimeConfig> config, brek::NodePtr node,
                       int index, int total, Value profiles)
    : brek::ModelRunner(std::move(config), nullptr, std::move(node), index, total),
      profiles_(std::move(profiles)) {}

brek::RunResult SeedRunner::execute(brek::Node& seed, brek::Manifest&) {
  auto started = std::chrono::steady_clock::now();
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  try {
    std::int64_t rows = load(seed);
    return runners::ferry::_make_run_result(node(), brek::RunStatus::Success,
                                            "INSERT " + std::to_string(rows), seconds(), rows);
  } catch (const std::exception& e) {
    std::string message = "Seed '" + seed.name + "': " + e.what();
    logger().error(message);
    return runners::ferry::_make_run_result(node(), brek::RunStatus::Error, message, seconds(),
                                            std::nullopt);
  }
}

std::int64_t SeedRunner::load(const brek::Node& seed) {
  fs::path project_dir = config.args.PROJECT_DIR.empty() ? "." : config.args.PROJECT_DIR;
  SeedTable table = brek::seeds::read_seed(read_text(project_dir / seed.original_file_path),
                                           seed.original_file_path, column_types_of(seed));
  brek::Targets targets = brek::Targets::of(config, profiles_);
  std::optional<brek::Place> place = brek::place_of(seed, targets);
  if (!place) {
    throw std::runtime_error("target '" + brek::model_output(seed, targets) +
                             "' is not an output in profiles.yml");
  }
  Value target_config = brek::connection_config(
      *place, *brek::find_output(profiles_, targets.own_profile, place->output));

  ScratchDuckDB scratch(project_dir, "seed");
  stage(scratch, table);
  auto make_client = components::obtain(components::registry().sling_client, "sling_client");
  std::unique_ptr<extraction::sling_client::SlingClient> client = make_client();
  if (!client) throw std::runtime_error("no Sling client could be created");
  std::string mode = config.args.full_refresh ? "full-refresh" : "truncate";
  logger().info("ZYL [{}]: loading seed {} ({} rows) into {} on {} ({})", seed.name,
                seed.original_file_path, table.rows.size(), place->table, place->output, mode);
  client->load_from_duckdb(scratch.path().string(), target_config, "SELECT * FROM seed",
                           place->table, mode, std::nullopt, std::nullopt);
  return static_cast<std::int64_t>(table.rows.size());
}

}  // namespace zyl::tasks::seed_loader
