#include "zyl/runners/ferry.h"

#include "core/log.h"

namespace zyl::runners::ferry {
namespace {

using config::compass::ExecutionPath;

spdlog::logger& logger() { return log::get("zyl.runners.ferry"); }

}  // namespace

void ZylModelRunner::set_zyl_context(std::optional<ResolvedModel> resolution,
                                     std::optional<Value> profiles, std::shared_ptr<Cache> cache) {
  _resolution = std::move(resolution);
  _profiles = std::move(profiles);
  _cache = std::move(cache);
}

brek::RunResult ZylModelRunner::execute(brek::Node& model, brek::Manifest& manifest) {
  if (!_resolution) return brek::ModelRunner::execute(model, manifest);
  ExecutionPath path = _resolution->execution_path;
  switch (path) {
    case ExecutionPath::DEFAULT_PUSHDOWN:
      logger().info("ZYL [{}]: default_pushdown", model.name);
      return brek::ModelRunner::execute(model, manifest);
    case ExecutionPath::NON_DEFAULT_PUSHDOWN:
      logger().info("ZYL [{}]: non_default_pushdown via extraction (target={})", model.name,
                    _resolution->target);
      return _execute_extraction(model, manifest);
    case ExecutionPath::SLING_DIRECT:
    case ExecutionPath::DUCKDB_COMPUTE: {
      std::string materialization = model.get_materialization();
      if (materialization == "view" || materialization == "ephemeral") {
        logger().warn(
            "ZYL001: Model '{}' is '{}' but requires cross-engine extraction. Coercing to "
            "'table'.",
            model.name, materialization);
        model.config["materialized"] = "table";
      }
      logger().info("ZYL [{}]: extraction via DuckDB cache", model.name);
      return _execute_extraction(model, manifest);
    }
  }
  return brek::ModelRunner::execute(model, manifest);
}

Value ZylModelRunner::_get_output_config(const std::string& output_name) const {
  if (!_profiles || !is_set(*_profiles)) {
    throw std::runtime_error("ZYL: profiles not set on runner");
  }
  if (_profiles->is_object()) {
    for (const auto& [profile_name, profile] : _profiles->items()) {
      if (!profile.is_object()) continue;
      const Value* outputs = find(profile, "outputs");
      const Value* output = outputs ? find(*outputs, output_name) : nullptr;
      if (output == nullptr || !output->is_object()) continue;
      Value copy = *output;
      const Value* type = find(*output, "type");
      copy["type"] = type ? *type : Value("");
      return copy;
    }
  }
  throw std::runtime_error("ZYL101: Connection '" + output_name + "' not found in profiles.yml");
}

std::string ZylModelRunner::_model_table_name(const brek::Node& model) const {
  std::string schema = model.schema.value_or("");
  if (_resolution && _resolution->target != config.target_name) {
    Value target = _get_output_config(_resolution->target);
    // "schema" when the output has that key, else "database"; a null or empty value keeps the
    // model's own schema.
    std::string target_schema = get_text(target, find(target, "schema") ? "schema" : "database");
    if (!target_schema.empty()) schema = target_schema;
  }
  return schema.empty() ? model.name : schema + "." + model.name;
}

brek::RunResult ZylModelRunner::_execute_extraction(brek::Node& model, brek::Manifest& manifest) {
  // The extraction pipeline is not part of this build yet; say so rather than pretend success.
  std::string target = _resolution ? _resolution->target : "unknown";
  std::string message = "Model '" + model.name + "' (target: " + target +
                        "): the extraction path is not available in this build";
  logger().error(message);
  return _make_run_result(node_ptr_for(model), brek::RunStatus::Error, message, 0.0);
}

brek::NodePtr ZylModelRunner::node_ptr_for(brek::Node& model) const {
  if (node_.get() == &model) return node_;
  // A node that is not this runner's own: refer to it without owning it (the host keeps it).
  return brek::NodePtr(brek::NodePtr(), &model);
}

brek::RunResult _make_run_result(brek::NodePtr node, brek::RunStatus status,
                                 const std::string& message, double execution_time,
                                 std::optional<std::int64_t> rows_affected) {
  brek::RunResult result;
  result.status = status;
  result.thread_id = log::thread_name();
  result.execution_time = execution_time;
  result.timing = {};
  result.message = message;
  result.node = std::move(node);
  result.adapter_response = Value::object();
  result.adapter_response["_message"] = message;
  result.adapter_response["rows_affected"] = rows_affected ? Value(*rows_affected) : Value(nullptr);
  result.failures = status == brek::RunStatus::Success ? 0 : 1;
  result.batch_results = std::nullopt;
  return result;
}

}  // namespace zyl::runners::ferry
