#include "zyl/tasks/retract.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <ostream>
#include <tuple>

#include "brek/node_types.h"
#include "brek/place.h"
#include "brek_common/exceptions.h"
#include "core/fault_point.h"
#include "core/log.h"
#include "core/text.h"
#include "drivers/driver.h"
#include "drivers/relation.h"
#include "zyl/components.h"
#include "zyl/federation/zyl_cache.h"
#include "zyl/tasks/docs.h"

namespace zyl::tasks::retract {

const std::set<std::string> CASCADE_ENGINES = {"postgres", "redshift", "snowflake", "oracle",
                                               "duckdb"};

namespace {

constexpr const char* kModelTablePrefix = "__model__";
constexpr size_t kMaxErrorChars = 200;

spdlog::logger& logger() {
  static spdlog::logger& log = zyl::log::get("zyl.tasks.retract");
  return log;
}

// Seconds on a monotonic clock; only differences are used.
double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string fixed1(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", value);
  return buf;
}

// Length in code points, as a name reads on the console.
size_t display_length(const std::string& s) {
  return static_cast<size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The kind of object `kind` names in a DROP statement; `declared` when the target holds none.
std::string object_type(drivers::RelationKind kind, const std::string& declared) {
  if (kind == drivers::RelationKind::View) return "VIEW";
  if (kind == drivers::RelationKind::Table) return "TABLE";
  return declared;
}

// Runs `sql` on `conn` in a transaction and closes it. {"ok", ""}, or {"error", the first 200
// characters of the failure} with the connection closed as far as it can be.
std::pair<std::string, std::string> run_drop(drivers::Connection& conn, const std::string& sql) {
  try {
    conn.begin();
    conn.execute(sql);
    conn.commit();
    conn.close();
    return {"ok", ""};
  } catch (const std::exception& e) {
    try {
      conn.rollback();
      conn.close();
    } catch (...) {
    }
    return {"error", text::prefix(e.what(), kMaxErrorChars)};
  }
}

// A connection to the target, or nullptr when none can be made, whichever way the opener says so.
std::unique_ptr<drivers::Connection> open_target(const std::string& adapter_type,
                                                 const Value& target_config) {
  try {
    return components::obtain(components::registry().get_connection, "get_connection")(
        adapter_type, target_config);
  } catch (const std::exception& e) {
    logger().debug("zyl retract: cannot connect to {}: {}", adapter_type, e.what());
    return nullptr;
  }
}

std::string drop_statement(const std::string& adapter_type, const std::string& obj_type,
                           const std::string& table_name) {
  const std::string cascade = CASCADE_ENGINES.count(adapter_type) != 0 ? " CASCADE" : "";
  return "DROP " + drivers::drop_word(adapter_type, obj_type) + " IF EXISTS " + table_name +
         cascade;
}

Value record_of(const std::string& uid, const std::string& status, const std::string& msg) {
  Value record = Value::object();
  record["uid"] = uid;
  record["status"] = status;
  record["msg"] = msg;
  return record;
}

}  // namespace

ZylRetractTask::ZylRetractTask(brek::Args args, std::shared_ptr<brek::RuntimeConfig> config,
                               std::shared_ptr<brek::Manifest> manifest)
    : ZylRetractTask(std::move(args), std::move(config), std::move(manifest), std::cout) {}

ZylRetractTask::ZylRetractTask(brek::Args args, std::shared_ptr<brek::RuntimeConfig> config,
                               std::shared_ptr<brek::Manifest> manifest, std::ostream& out)
    : GraphRunnableTask(std::move(args), std::move(config), std::move(manifest)), out_(&out) {}

void ZylRetractTask::write_line(const std::string& line) const {
  const std::string text = line + "\n";
  out_->write(text.data(), static_cast<std::streamsize>(text.size()));
  out_->flush();
}

brek::ResourceTypeSelector ZylRetractTask::get_node_selector() const {
  if (!manifest || !graph) {
    throw brek_common::BrekInternalError(
        "manifest and graph must be set to perform node selection");
  }
  return brek::ResourceTypeSelector(*graph, *manifest, previous_state, {brek::NodeType::Model});
}

std::set<std::string> ZylRetractTask::_get_selected_uids() const {
  brek::SelectionSpec spec = get_selection_spec();
  brek::ResourceTypeSelector selector = get_node_selector();
  return selector.get_selected(spec);
}

std::vector<std::string> ZylRetractTask::_reverse_topo_sort(const ModelMap& model_nodes) {
  // Predecessors of each model among the models of the map. Ordered containers give the fixed
  // tie-break by unique id.
  std::set<std::string> model_uids;
  for (const auto& [uid, node] : model_nodes) model_uids.insert(uid);
  std::map<std::string, std::set<std::string>> graph;
  for (const auto& uid : model_uids) graph[uid];
  for (const auto& [uid, node] : model_nodes) {
    if (node == nullptr || !node->depends_on) continue;
    for (const auto& dep_uid : node->depends_on->nodes) {
      if (model_uids.count(dep_uid) != 0) graph[uid].insert(dep_uid);
    }
  }

  std::vector<std::string> fallback(model_uids.begin(), model_uids.end());
  try {
    // Kahn's algorithm, one whole level of ready nodes at a time.
    struct Info {
      size_t pending = 0;
      std::vector<std::string> successors;
    };
    std::vector<std::string> registered;
    std::map<std::string, Info> info;
    auto reg = [&](const std::string& id) -> Info& {
      auto [it, added] = info.try_emplace(id);
      if (added) registered.push_back(id);
      return it->second;
    };
    for (const auto& [uid, preds] : graph) {
      reg(uid).pending += preds.size();
      for (const auto& pred : preds) reg(pred).successors.push_back(uid);
    }
    std::vector<std::string> ready;
    for (const auto& id : registered) {
      if (info.at(id).pending == 0) ready.push_back(id);
    }

    std::vector<std::string> order;
    while (!ready.empty()) {
      std::vector<std::string> level;
      level.swap(ready);
      for (const auto& id : level) order.push_back(id);
      for (const auto& id : level) {
        for (const auto& succ : info.at(id).successors) {
          if (--info.at(succ).pending == 0) ready.push_back(succ);
        }
      }
    }
    // Nodes left with pending predecessors lie on a cycle: nothing is ordered then.
    if (order.size() != registered.size()) return fallback;
    std::reverse(order.begin(), order.end());
    return order;
  } catch (const std::exception&) {
    return fallback;
  }
}

std::string ZylRetractTask::_resolve_table_name(const brek::Node& node,
                                                const std::string& target_name,
                                                const std::string& default_target,
                                                const Value& target_config) {
  (void)default_target;  // the configured schema and the output's own rule hold on every target
  return brek::place_in(node, target_name, target_config).table;
}

std::pair<std::string, std::string> ZylRetractTask::_drop_from_target(
    const std::string& adapter_type, const Value& target_config, const std::string& table_name,
    const std::string& obj_type) {
  std::unique_ptr<drivers::Connection> conn = open_target(adapter_type, target_config);
  if (!conn) return {"skip", "cannot connect to " + adapter_type};
  return run_drop(*conn, drop_statement(adapter_type, obj_type, table_name));
}

ZylRetractTask::Drop ZylRetractTask::_drop_place(const std::string& adapter_type,
                                                 const Value& target_config,
                                                 const brek::Place& place,
                                                 const std::string& declared_type) {
  Drop drop{"skip", "cannot connect to " + adapter_type, declared_type};
  Value place_config;
  try {
    place_config = brek::connection_config(place, target_config);
  } catch (const std::exception& e) {
    return Drop{"error", e.what(), declared_type};
  }
  std::unique_ptr<drivers::Connection> conn = open_target(adapter_type, place_config);
  if (!conn) return drop;
  try {
    drop.obj_type =
        object_type(drivers::relation_kind(*conn, place.schema, place.identifier), declared_type);
  } catch (const std::exception& e) {
    // The catalog cannot be read: the statement says what the model declares, and fails on
    // its own if that is wrong.
    logger().debug("zyl retract: cannot read the catalog for {}: {}", place.table, e.what());
  }
  std::tie(drop.status, drop.msg) =
      run_drop(*conn, drop_statement(adapter_type, drop.obj_type, place.table));
  return drop;
}

int ZylRetractTask::_clean_cache(const std::string& project_dir, const ModelMap& model_nodes) {
  const auto& open_cache = components::obtain(components::registry().cache, "cache");
  const std::filesystem::path cache_path =
      std::filesystem::path(project_dir) / ".zyl" / "cache.duckdb";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(cache_path, ec)) return 0;

  std::shared_ptr<federation::zyl_cache::Cache> cache;
  try {
    cache = open_cache(federation::zyl_cache::CacheLocation::at(cache_path));
    if (!cache) throw std::runtime_error("the cache could not be opened");
    // A run of the same project holds this lock for a model's whole extraction.
    fault_point("retract.cache_lock");
    std::lock_guard<federation::zyl_cache::FileLock> lock(cache->_file_lock());
    std::set<std::string> result_tables, pending_tables;
    for (const auto& [uid, node] : model_nodes) {
      std::string name = node != nullptr ? node->name : std::string();
      result_tables.insert(kModelTablePrefix + name);
      // A result a failed load left pending goes too; it is not counted as a cleared result.
      pending_tables.insert("__pending__" + name);
    }
    std::vector<std::string> model_tables;
    for (const auto& table : cache->list_tables()) {
      if (result_tables.count(table) != 0) model_tables.push_back(table);
      if (pending_tables.count(table) != 0) cache->drop_table(table);
    }
    for (const auto& table : model_tables) cache->drop_table(table);
    cache->close_and_release();
    return static_cast<int>(model_tables.size());
  } catch (const std::exception& e) {
    logger().debug("zyl retract: cache cleanup failed: {}", e.what());
    if (cache) {
      try {
        cache->close_and_release();
      } catch (...) {
      }
    }
    return 0;
  }
}

bool ZylRetractTask::interpret_results(const std::vector<Value>& results) const {
  return std::none_of(results.begin(), results.end(), [](const Value& r) {
    const Value* status = find(r, "status");
    return status != nullptr && status->is_string() && status->get<std::string>() == "error";
  });
}

bool ZylRetractTask::interpret_results(const Value& results) const {
  if (!results.is_array()) return true;
  return interpret_results(results.get<std::vector<Value>>());
}

Value ZylRetractTask::retract_model(const std::string& uid, const brek::Node& node, size_t idx,
                                    size_t total, const brek::Targets& targets) const {
  const double start = now_seconds();
  const std::string counter = "  " + std::to_string(idx) + " of " + std::to_string(total);
  if (node.get_materialization() == "ephemeral") {
    const std::string msg = "ephemeral: nothing to drop";
    write_line(counter + "  SKIP " + node.name + " (" + msg + ")");
    return record_of(uid, "skip", msg);
  }

  const std::string target_name = brek::model_output(node, targets);
  const Value target_config =
      docs::_get_output_config(target_name, *targets.profiles, targets.own_profile);
  if (!is_set(target_config)) {
    const std::string msg = "target '" + target_name + "' not found in profiles";
    write_line(counter + "  SKIP " + node.name + " (" + msg + ")");
    return record_of(uid, "skip", msg);
  }

  const std::string adapter_type = get_text(target_config, "type");
  const brek::Place place = brek::place_in(node, target_name, target_config);
  const std::string declared = node.get_materialization() == "view" ? "VIEW" : "TABLE";
  const Drop drop = _drop_place(adapter_type, target_config, place, declared);
  const double elapsed = now_seconds() - start;

  const std::string target_label =
      target_name != targets.default_target ? "  (" + target_name + ")" : "";
  const long pad_len = std::max<long>(1, 50 - static_cast<long>(drop.obj_type.size()) -
                                             static_cast<long>(display_length(node.name)));
  std::string line =
      counter + "  DROP " + drop.obj_type + " " + node.name + " " + std::string(pad_len, '.');
  if (drop.status == "ok") {
    line += " [OK in " + fixed1(elapsed) + "s]" + target_label;
  } else if (drop.status == "skip") {
    line += " [SKIP]" + target_label;
  } else {
    line += " [ERROR: " + drop.msg + "]" + target_label;
  }
  write_line(line);

  Value record = record_of(uid, drop.status, drop.msg);
  record["elapsed"] = elapsed;
  return record;
}

std::vector<Value> ZylRetractTask::run() {
  _runtime_initialize();
  const std::set<std::string> selected_uids = _get_selected_uids();

  const std::string project_dir = !args.PROJECT_DIR.empty() ? args.PROJECT_DIR : ".";
  const std::string profiles_dir =
      !args.PROFILES_DIR.empty()
          ? args.PROFILES_DIR
          : components::obtain(components::registry().default_profiles_dir,
                               "default_profiles_dir")();
  Value profiles;
  try {
    profiles = components::obtain(components::registry().read_profiles_yml,
                                  "read_profiles_yml")(profiles_dir);
  } catch (const std::exception& e) {
    logger().error("zyl retract: cannot read profiles.yml: {}", e.what());
    return {};
  }

  const std::string default_target = config ? config->target_name : "";

  ModelMap model_nodes;
  for (const auto& uid : selected_uids) {
    const brek::Node* node = manifest ? manifest->find_node(uid) : nullptr;
    if (node == nullptr) continue;
    if (node->resource_type.value_or("") != "model") continue;
    model_nodes.set(uid, node);
  }

  if (model_nodes.empty()) {
    write_line("");
    write_line("  No models selected for retraction.");
    write_line("");
    return {};
  }

  const std::vector<std::string> ordered_uids = _reverse_topo_sort(model_nodes);
  const size_t total = ordered_uids.size();
  std::vector<Value> results;

  write_line("");
  write_line("  Retracting " + std::to_string(total) + " model(s) (reverse DAG order)...");
  write_line("");

  const brek::Targets targets{&profiles, config ? config->profile_name : "", default_target,
                              args.target};
  size_t idx = 0;
  for (const auto& uid : ordered_uids) {
    ++idx;
    results.push_back(retract_model(uid, *model_nodes.at(uid), idx, total, targets));
  }

  const int cache_cleared = _clean_cache(project_dir, model_nodes);

  int ok_count = 0;
  int err_count = 0;
  int skip_count = 0;
  double total_time = 0.0;
  for (const auto& r : results) {
    const std::string status = get_text(r, "status");
    if (status == "ok") ++ok_count;
    if (status == "error") ++err_count;
    if (status == "skip") ++skip_count;
    if (const Value* e = find(r, "elapsed"); e != nullptr && e->is_number()) {
      total_time += e->get<double>();
    }
  }

  write_line("");
  write_line("  Retract complete: " + std::to_string(ok_count) + " dropped, " +
             std::to_string(cache_cleared) + " cache cleared, " + std::to_string(skip_count) +
             " skipped, " + std::to_string(err_count) + " errors in " + fixed1(total_time) + "s");
  write_line("");

  try {
    Value event = Value::object();
    event["model_count"] = total;
    event["ok_count"] = ok_count;
    event["error_count"] = err_count;
    event["duration_seconds"] = total_time;
    event["success"] = err_count == 0;
    components::obtain(components::registry().track_zyl_retract, "track_zyl_retract")(event);
  } catch (...) {
    // Usage events never affect the command.
  }

  return results;
}

}  // namespace zyl::tasks::retract
