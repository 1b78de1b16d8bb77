#include "brek/task/run.h"

#include <chrono>
#include <exception>

#include "brek/task/materialize.h"
#include "core/log.h"

namespace brek {
namespace {

spdlog::logger& logger() { return zyl::log::get("brek.task.run"); }

std::vector<std::string> unique_key_of(const NodeConfig& config) {
  zyl::Value key = config.get("unique_key");
  std::vector<std::string> keys;
  if (key.is_string()) {
    if (!key.get<std::string>().empty()) keys.push_back(key.get<std::string>());
  } else if (key.is_array()) {
    for (const auto& part : key) {
      if (!part.is_string()) throw std::invalid_argument("unique_key entries must be column names");
      keys.push_back(part.get<std::string>());
    }
  } else if (!key.is_null()) {
    throw std::invalid_argument("unique_key must be a column name or a list of them");
  }
  return keys;
}

RunResult make_result(const NodePtr& node, RunStatus status, const std::string& message,
                      double seconds, long long rows) {
  RunResult result;
  result.status = status;
  result.thread_id = zyl::log::thread_name();
  result.execution_time = seconds;
  result.message = message;
  result.node = node;
  result.adapter_response = {{"_message", message},
                             {"rows_affected", rows < 0 ? zyl::Value(nullptr) : zyl::Value(rows)}};
  result.failures = status == RunStatus::Success || status == RunStatus::Pass ? 0 : 1;
  return result;
}

}  // namespace

ModelRunner::ModelRunner(std::shared_ptr<const RuntimeConfig> config,
                         std::shared_ptr<Adapter> adapter, NodePtr node, int node_index,
                         int num_nodes)
    : config(*config),
      adapter(adapter.get()),
      config_(std::move(config)),
      adapter_(std::move(adapter)),
      node_(std::move(node)),
      node_index_(node_index),
      num_nodes_(num_nodes) {}

RunResult ModelRunner::execute(Node& model, Manifest& manifest) {
  return run_on_default_target(model, manifest);
}

RunResult ModelRunner::run_on_default_target(Node& model, Manifest& manifest) {
  auto started = std::chrono::steady_clock::now();
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  NodePtr node = node_.get() == &model ? node_ : NodePtr(NodePtr(), &model);
  try {
    if (adapter == nullptr) throw std::runtime_error("no adapter for the default target");
    std::string materialization = model.get_materialization();
    if (materialization != "ephemeral" && (!model.compiled_code || model.compiled_code->empty())) {
      throw std::runtime_error("the model has no compiled SQL");
    }
    materialize::Relation relation;
    relation.schema = model.schema.value_or(zyl::get_text(config.target_config, "schema"));
    relation.identifier = model.name;  // relations are named after the model, never an alias
    relation.database = model.database.value_or("");
    materialize::IncrementalOptions options;
    options.full_refresh = config.args.full_refresh;
    options.strategy = zyl::get_text(model.config.entries, "incremental_strategy");
    options.unique_key = unique_key_of(model.config);
    materialize::Materialized done = materialize::materialize(
        *adapter, relation, materialization, model.compiled_code.value_or(""), options);
    logger().debug("{} {} {}: {}", materialization, relation.schema, relation.identifier,
                  done.message);
    return make_result(node, RunStatus::Success, done.message, seconds(), done.rows_affected);
  } catch (const std::exception& e) {
    std::string message = std::string("Error in model ") + model.name + ": " + e.what();
    logger().error(message);
    return make_result(node, RunStatus::Error, message, seconds(), 0);
  }
}

}  // namespace brek
