// Where each model runs and how: the execution path types and the resolver that fills them.
//
//   auto resolutions = resolve_all_models(manifest, "dev", tether, std::nullopt);
//   resolutions.get("model.shop.orders")->execution_path == ExecutionPath::DUCKDB_COMPUTE;
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "brek/nodes.h"
#include "core/ordered_map.h"
#include "zyl/config/tether.h"

namespace zyl::config::compass {

// The execution path for a model.
enum class ExecutionPath { DEFAULT_PUSHDOWN, NON_DEFAULT_PUSHDOWN, SLING_DIRECT, DUCKDB_COMPUTE };

// The member's value ("duckdb_compute") and name ("DUCKDB_COMPUTE").
std::string_view value(ExecutionPath path);
std::string_view name(ExecutionPath path);
// The member whose value is `value`, or nullopt.
std::optional<ExecutionPath> from_value(std::string_view value);
std::ostream& operator<<(std::ostream& out, ExecutionPath path);

// A source that lives on a different connection than the model's target.
struct RemoteSource {
  std::string source_unique_id;
  std::string source_name;
  std::string table_name;
  std::string connection;
  std::optional<std::string> schema;
  std::optional<std::string> identifier;

  bool operator==(const RemoteSource&) const = default;
};

// Resolution result for a single model.
struct ResolvedModel {
  std::string model_unique_id;
  std::string model_name;
  std::string target;
  ExecutionPath execution_path = ExecutionPath::DEFAULT_PUSHDOWN;
  std::vector<RemoteSource> remote_sources;
  std::vector<std::string> remote_refs;

  bool operator==(const ResolvedModel&) const = default;
};

// Readable text forms listing the fields by name.
std::string to_string(const RemoteSource& source);
std::string to_string(const ResolvedModel& model);
std::ostream& operator<<(std::ostream& out, const RemoteSource& source);
std::ostream& operator<<(std::ostream& out, const ResolvedModel& model);

using Resolutions = OrderedMap<std::string, ResolvedModel>;

// Resolves one model: its target (cli_target > config target > config _extra["target"] >
// default_target), its remote sources and upstream models, and its path. Reads only.
ResolvedModel resolve_model_path(const brek::Node& model_node, const brek::Manifest& manifest,
                                 const std::string& default_target,
                                 const tether::SourceConnectionMap& tether,
                                 const std::optional<std::string>& cli_target = std::nullopt);

// Resolves every model node of the manifest (keyed by unique id, in manifest order) and logs the
// per-path counts on "zyl.config.compass".
Resolutions resolve_all_models(const brek::Manifest& manifest, const std::string& default_target,
                               const tether::SourceConnectionMap& tether,
                               const std::optional<std::string>& cli_target = std::nullopt);

}  // namespace zyl::config::compass
