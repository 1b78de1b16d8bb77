#include "zyl/tasks/data_test_runner.h"

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "brek/parser/data_tests.h"
#include "core/log.h"
#include "drivers/driver.h"
#include "drivers/relation.h"
#include "zyl/components.h"
#include "zyl/runners/ferry.h"
#include "zyl/tasks/scratch_duckdb.h"

namespace zyl::tasks::data_test_runner {
namespace {

namespace fs = std::filesystem;

spdlog::logger& logger() { return log::get("zyl.tasks.test"); }

// The first cell of `sql` on `conn`, as an integer.
std::int64_t first_count(drivers::Connection& conn, const std::string& sql) {
  std::unique_ptr<drivers::QueryResult> result = conn.query(sql);
  drivers::RowBatch batch;
  while (result->next(batch)) {
    if (batch.rows() == 0) continue;
    Value cell = drivers::cell_to_value(batch.at(0, 0), result->columns().front().type);
    return std::stoll(text_form(cell));
  }
  throw std::runtime_error("the count query returned no row");
}

bool is_model_or_seed(const std::string& id) {
  return id.rfind("model.", 0) == 0 || id.rfind("seed.", 0) == 0;
}

// "Got 3 results, configured to fail if != 0".
std::string outcome_text(std::int64_t failures, const std::string& severity) {
  return "Got " + std::to_string(failures) + " result" + (failures == 1 ? "" : "s") +
         ", configured to " + (severity == "warn" ? "warn" : "fail") + " if != 0";
}

}  // namespace

DataTestRunner::DataTestRunner(std::shared_ptr<const brek::RuntimeConfig> config,
                               brek::NodePtr node, int index, int total, Value profiles)
    : brek::ModelRunner(std::move(config), nullptr, std::move(node), index, total),
      profiles_(std::move(profiles)) {}

brek::RunResult DataTestRunner::execute(brek::Node& test, brek::Manifest& manifest) {
  auto started = std::chrono::steady_clock::now();
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  try {
    std::int64_t failing = failures(test, manifest);
    std::string severity = text_form(test.config.get("severity", "error"));
    brek::RunStatus status = failing == 0         ? brek::RunStatus::Pass
                             : severity == "warn" ? brek::RunStatus::Warn
                                                  : brek::RunStatus::Fail;
    std::string message = failing == 0 ? "PASS" : outcome_text(failing, severity);
    if (failing > 0) logger().warn("test {}: {}", test.name, message);
    brek::RunResult result =
        runners::ferry::_make_run_result(node(), status, message, seconds(), failing);
    result.failures = static_cast<int>(failing);
    return result;
  } catch (const std::exception& e) {
    std::string message = "Test '" + test.name + "': " + e.what();
    logger().error(message);
    return runners::ferry::_make_run_result(node(), brek::RunStatus::Error, message, seconds(),
                                            std::nullopt);
  }
}

std::int64_t DataTestRunner::failures(const brek::Node& test,
                                      const brek::Manifest& manifest) const {
  if (test.test_metadata) {
    brek::parser::GenericTest generic =
        brek::parser::generic_test_of(*test.test_metadata, test.config.entries);
    const Value& kwargs = (*test.test_metadata)["kwargs"];
    std::optional<brek::Place> child = place_of_id(get_text(kwargs, "model"), manifest);
    if (!child) throw std::runtime_error("the tested node's target is not in profiles.yml");
    if (generic.kind == "relationships") {
      std::optional<brek::Place> parent = place_of_id(get_text(kwargs, "to"), manifest);
      if (!parent)
        throw std::runtime_error("the target of '" + generic.to + "' is not in profiles.yml");
      if (parent->output != child->output) return count_across(test, *child, *parent);
    }
    return count_on(*child, test.compiled_code.value_or(""));
  }
  // A singular test runs where the first model or seed it reads lives.
  std::optional<brek::Place> place;
  for (const auto& id : test.depends_on ? test.depends_on->nodes : std::vector<std::string>{}) {
    if (is_model_or_seed(id) && (place = place_of_id(id, manifest))) break;
  }
  if (!place) {
    brek::Node none;
    none.name = test.name;
    place = brek::place_of(none, brek::Targets::of(config, profiles_));
  }
  if (!place) throw std::runtime_error("the default target is not in profiles.yml");
  return count_on(*place, test.compiled_code.value_or(""));
}

std::optional<brek::Place> DataTestRunner::place_of_id(const std::string& id,
                                                       const brek::Manifest& manifest) const {
  const brek::Node* node = manifest.find_node(id);
  if (node == nullptr) return std::nullopt;
  return brek::place_of(*node, brek::Targets::of(config, profiles_));
}

Value DataTestRunner::connection_for(const brek::Place& place) const {
  const Value* output = brek::find_output(profiles_, config.profile_name, place.output);
  if (output == nullptr)
    throw std::runtime_error("output '" + place.output + "' is not in profiles.yml");
  return brek::connection_config(place, *output);
}

std::int64_t DataTestRunner::count_on(const brek::Place& place, const std::string& sql) const {
  if (sql.empty()) throw std::runtime_error("the test has no compiled SQL");
  Value config = connection_for(place);
  auto get_connection = components::obtain(components::registry().get_connection, "get_connection");
  std::unique_ptr<drivers::Connection> conn = get_connection(place.engine, config);
  if (!conn) throw std::runtime_error("cannot connect to output '" + place.output + "'");
  std::int64_t count = first_count(*conn, "select count(*) from (" + sql + ") brek_test");
  conn->close();
  return count;
}

std::int64_t DataTestRunner::count_across(const brek::Node& test, const brek::Place& child,
                                          const brek::Place& parent) const {
  brek::parser::GenericTest generic =
      brek::parser::generic_test_of(*test.test_metadata, test.config.entries);
  fs::path project_dir = config.args.PROJECT_DIR.empty() ? "." : config.args.PROJECT_DIR;
  ScratchDuckDB scratch(project_dir, "test");
  auto make_client = components::obtain(components::registry().sling_client, "sling_client");
  std::unique_ptr<extraction::sling_client::SlingClient> client = make_client();
  if (!client) throw std::runtime_error("no Sling client could be created");
  auto keys = [&](const brek::Place& place, const std::string& column,
                  const std::optional<std::string>& where, const std::string& table) {
    std::string quoted = drivers::quote_identifier_for(place.engine, column);
    std::string sql = "SELECT DISTINCT " + quoted + " AS k FROM " + place.table;
    if (where) sql += " WHERE " + *where;
    logger().info("ZYL [{}]: copying the keys of {} on {}: {}", test.name, place.table,
                  place.output, sql);
    client->extract_to_duckdb(connection_for(place), scratch.path().string(), sql, table);
  };
  keys(child, generic.column, generic.where, "child_keys");
  keys(parent, generic.field, std::nullopt, "parent_keys");
  auto conn =
      drivers::open_connection(Value{{"type", "duckdb"}, {"path", scratch.path().string()}});
  std::int64_t count =
      first_count(*conn,
                  "SELECT COUNT(*) FROM child_keys c WHERE c.k IS NOT NULL AND NOT EXISTS "
                  "(SELECT 1 FROM parent_keys p WHERE p.k = c.k)");
  conn->close();
  return count;
}

}  // namespace zyl::tasks::data_test_runner
