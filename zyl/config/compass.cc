#include "zyl/config/compass.h"

#include <array>
#include <string_view>
#include <utility>

#include "core/log.h"

namespace zyl::config::compass {
namespace {

constexpr std::string_view kSourcePrefix = "source.";
constexpr std::string_view kModelPrefix = "model.";
constexpr std::string_view kSeedPrefix = "seed.";  // seeds are read like upstream models
constexpr std::string_view kSnapshotPrefix = "snapshot.";  // and so are snapshots

spdlog::logger& logger() {
  static spdlog::logger& log = zyl::log::get("zyl.config.compass");
  return log;
}

// The model's own configured target: the `target` attribute, else a set `_extra["target"]` (by
// its text form); nullopt when neither is set.
std::optional<std::string> configured_target(const brek::NodeConfig& config) {
  if (config.target && !config.target->empty()) return config.target;
  const Value* extra = find(config._extra, "target");  // null when _extra is not a map
  if (is_set(extra)) return text_form(*extra);
  return std::nullopt;
}

// Whether a connection from the source connection map names `target`. Only a string can name an
// output: any other value never equals a target.
bool names_target(const Value& connection, const std::string& target) {
  return connection.is_string() && connection.get_ref<const std::string&>() == target;
}

ExecutionPath choose_path(size_t total_remote, bool on_default_target) {
  if (total_remote == 0) {
    return on_default_target ? ExecutionPath::DEFAULT_PUSHDOWN
                             : ExecutionPath::NON_DEFAULT_PUSHDOWN;
  }
  return total_remote == 1 ? ExecutionPath::SLING_DIRECT : ExecutionPath::DUCKDB_COMPUTE;
}

}  // namespace

ResolvedModel resolve_model_path(const brek::Node& model_node, const brek::Manifest& manifest,
                                 const std::string& default_target,
                                 const tether::SourceConnectionMap& tether,
                                 const std::optional<std::string>& cli_target) {
  ResolvedModel resolved;
  resolved.model_name = model_node.name;
  resolved.model_unique_id = model_node.unique_id.empty() ? model_node.name : model_node.unique_id;

  const bool has_cli_target = cli_target && !cli_target->empty();
  if (has_cli_target) {
    resolved.target = *cli_target;
  } else if (auto configured = configured_target(model_node.config)) {
    resolved.target = std::move(*configured);
  } else {
    resolved.target = default_target;
  }
  const std::string& model_target = resolved.target;

  if (model_node.depends_on) {
    for (const std::string& uid : model_node.depends_on->nodes) {
      if (uid.starts_with(kSourcePrefix)) {
        const brek::SourceNode* source = manifest.find_source(uid);
        if (source == nullptr) continue;
        const Value* connection = tether.get(source->source_name);
        if (!is_set(connection) || names_target(*connection, model_target)) continue;
        resolved.remote_sources.push_back(RemoteSource{
            .source_unique_id = uid,
            .source_name = source->source_name,
            .table_name = source->name,
            .connection = text_form(*connection),
            .schema = source->schema,
            .identifier = source->identifier,
        });
      } else if (uid.starts_with(kModelPrefix) || uid.starts_with(kSeedPrefix) ||
                 uid.starts_with(kSnapshotPrefix)) {
        const brek::Node* ref = manifest.find_node(uid);
        if (ref == nullptr) continue;
        // The upstream model's `_extra` is not consulted; a command-line target moves every
        // model, so no upstream model is remote then.
        const std::string* ref_target = &default_target;
        if (ref->config.target && !ref->config.target->empty()) ref_target = &*ref->config.target;
        if (has_cli_target) ref_target = &*cli_target;
        if (*ref_target != model_target) resolved.remote_refs.push_back(uid);
      }
    }
  }

  resolved.execution_path =
      choose_path(resolved.remote_sources.size() + resolved.remote_refs.size(),
                  model_target == default_target);
  return resolved;
}

Resolutions resolve_all_models(const brek::Manifest& manifest, const std::string& default_target,
                               const tether::SourceConnectionMap& tether,
                               const std::optional<std::string>& cli_target) {
  Resolutions resolutions;
  // Per-path counts, keyed in the order each path is first met.
  std::array<size_t, 4> counts{};
  std::vector<ExecutionPath> order;
  for (const auto& [uid, node] : manifest.nodes) {
    if (node == nullptr || !node->resource_type) continue;
    const std::string& resource_type = *node->resource_type;
    if (resource_type != "model" && resource_type != "ModelNode") continue;
    ResolvedModel resolved = resolve_model_path(*node, manifest, default_target, tether,
                                                cli_target);
    size_t& count = counts[static_cast<size_t>(resolved.execution_path)];
    if (count++ == 0) order.push_back(resolved.execution_path);
    resolutions.set(uid, std::move(resolved));
  }
  std::string listing = "{";
  for (size_t i = 0; i < order.size(); ++i) {
    if (i > 0) listing += ", ";
    listing += "'";
    listing += value(order[i]);
    listing += "': ";
    listing += std::to_string(counts[static_cast<size_t>(order[i])]);
  }
  listing += "}";
  logger().info("ZYL resolved {} models: {}", resolutions.size(), listing);
  return resolutions;
}

}  // namespace zyl::config::compass
