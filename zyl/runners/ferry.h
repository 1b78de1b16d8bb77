// The per-model runner of the cross-engine layer.
//
// Extends ModelRunner with ZYL extraction via DuckDB cache: a model whose data all lives on the
// default target runs there unchanged (pushdown); every other model has its sources copied into
// the cache, runs in DuckDB, and has its result loaded into its own target.
//
//   ZylModelRunner runner(config, adapter, node, 1, n);
//   runner.set_zyl_context(resolutions.at(node->unique_id), profiles, shared_cache);
//   brek::RunResult result = runner.execute(*node, manifest);
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brek/place.h"
#include "brek/task/run.h"
#include "core/value.h"
#include "zyl/config/compass.h"
#include "zyl/extraction/sling_client.h"
#include "zyl/federation/zyl_cache.h"

namespace zyl::runners::ferry {

using config::compass::ResolvedModel;
using federation::zyl_cache::Cache;

class ZylModelRunner : public brek::ModelRunner {
 public:
  using brek::ModelRunner::ModelRunner;

  // Set ZYL-specific context for this runner. Called once, before execute.
  void set_zyl_context(std::optional<ResolvedModel> resolution, std::optional<Value> profiles,
                       std::shared_ptr<Cache> cache = nullptr);

  // Two-way dispatch: pushdown vs extraction. Extraction never throws (failures become error
  // results); the pushdown branches return or throw whatever the inherited runner does.
  brek::RunResult execute(brek::Node& model, brek::Manifest& manifest) override;

  // Get a profiles.yml output config by name: a copy with "type" always present. Throws
  // std::runtime_error "ZYL: profiles not set on runner" or the ZYL101 message.
  Value _get_output_config(const std::string& output_name) const;

  // Get the fully-qualified target table name for a model: its schema and name on its target,
  // quoted for the target's engine, such as "mart"."orders" (the name alone without a schema).
  // Throws as _get_output_config does.
  std::string _model_table_name(const brek::Node& model) const;

  // Unified extraction path for ALL cross-engine models: takes the cache's file lock (opening
  // a cache of its own under PROJECT_DIR when no shared one was given, closed again at the end)
  // and runs _execute_extraction_locked. Throws std::runtime_error only when the Sling client,
  // the cache or the source connection loader cannot be obtained; every other failure becomes
  // an error result.
  brek::RunResult _execute_extraction(brek::Node& model, brek::Manifest& manifest);

  // Inner extraction logic — called while holding the file lock. Copies every source and
  // upstream model into `cache` (closing the cache around each Sling call), runs the rewritten
  // SQL in DuckDB, loads the result into the model's target and records a usage event. Every
  // failure after the source connection loader is obtained becomes an error result.
  brek::RunResult _execute_extraction_locked(brek::Node& model, brek::Manifest& manifest,
                                             const std::optional<ResolvedModel>& resolution,
                                             extraction::sling_client::SlingClient& client,
                                             Cache& cache);

  // Copies every source and upstream node `node` reads into `cache`, as the extraction path
  // does for a model, and returns the node's compiled SQL rewritten to read those copies in
  // DuckDB. Call with the cache's file lock held; the cache is closed around each Sling call and
  // open again on return. Throws std::runtime_error on any failure (a node without compiled SQL,
  // an output no profile defines, a failed copy).
  std::string stage_inputs(const brek::Node& node, const brek::Manifest& manifest,
                           extraction::sling_client::SlingClient& client, Cache& cache) const;

  // One source's extraction as plan_extractions reports it.
  struct PlannedExtraction {
    std::string cache_table;
    std::string source_type;
    std::string query;
    std::string source;      // "source_name.table"
    std::string connection;  // the output it is read from
  };

  // The query each source of `model` is extracted with (the incremental filter aside: it needs
  // the target), in the order of the model's dependencies, for `brek compile` and `brek ls
  // --verbose`. Asks each source for its columns and otherwise reads nothing. Throws
  // std::runtime_error for a model without compiled SQL, for missing profiles or an output no
  // profile defines, and when a component cannot be obtained.
  std::vector<PlannedExtraction> plan_extractions(const brek::Node& model,
                                                  const brek::Manifest& manifest,
                                                  const Cache& cache) const;

  // (watermark value, column) from the model's target table, or (nullopt, nullopt) when the
  // compiled SQL names no update-key column, the table is empty or the query fails. The query
  // runs on `adapter` for a model on the default target and on a connection of its own
  // (through the get_connection component, closed after use) for any other target. Never throws.
  std::pair<std::optional<Value>, std::optional<std::string>> _resolve_watermark_from_target(
      const brek::Node& model);

  std::optional<ResolvedModel> _resolution;
  std::optional<Value> _profiles;
  std::shared_ptr<Cache> _cache;

  // The place of `node` on output `output`. Throws as _get_output_config does.
  brek::Place place_on(const brek::Node& node, const std::string& output) const;
  // The output an upstream model was materialised on: the command-line target, else its
  // configured target, else the default target.
  std::string upstream_output(const brek::Node& node) const;

 private:
  brek::NodePtr node_ptr_for(brek::Node& model) const;
  // Where this runner's model lives: its place on its resolved target (the default target
  // without a resolution). Throws as _get_output_config does.
  brek::Place model_place(const brek::Node& model) const;
  // The first cell of `sql` run on a connection made with `target_config`, closed before returning;
  // nullopt when no connection can be made or there is no row.
  std::optional<Value> first_cell_on(const Value& target_config, const std::string& sql) const;
  // The error result of a failed extraction: message naming the model, its target and adapter
  // type, with every value of `secrets` (and of the target's config) removed from `detail`.
  // Logged at error level. Never throws.
  brek::RunResult error_result(brek::Node& model, const std::optional<ResolvedModel>& resolution,
                               double elapsed, const std::string& detail,
                               std::vector<Value> used_configs) const;
};

// Build a RunResult for extraction execution paths. `rows_affected` nullopt is written as null.
brek::RunResult _make_run_result(brek::NodePtr node, brek::RunStatus status,
                                 const std::string& message, double execution_time,
                                 std::optional<std::int64_t> rows_affected = 0);

}  // namespace zyl::runners::ferry
