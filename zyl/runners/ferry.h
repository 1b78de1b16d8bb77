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

  // Get the fully-qualified target table name for a model ("schema.name" or "name").
  std::string _model_table_name(const brek::Node& model) const;

  // Unified extraction path for ALL cross-engine models. Never throws once its components are
  // obtained.
  brek::RunResult _execute_extraction(brek::Node& model, brek::Manifest& manifest);

  // Inner extraction logic — called while holding the file lock.
  brek::RunResult _execute_extraction_locked(brek::Node& model, brek::Manifest& manifest,
                                             const std::optional<ResolvedModel>& resolution,
                                             extraction::sling_client::SlingClient& client,
                                             Cache& cache);

  // (watermark value, column) from the model's target table, or (nullopt, nullopt).
  std::pair<std::optional<Value>, std::optional<std::string>> _resolve_watermark_from_target(
      const brek::Node& model);

  std::optional<ResolvedModel> _resolution;
  std::optional<Value> _profiles;
  std::shared_ptr<Cache> _cache;

 private:
  brek::NodePtr node_ptr_for(brek::Node& model) const;
};

// Build a RunResult for extraction execution paths. `rows_affected` nullopt is written as null.
brek::RunResult _make_run_result(brek::NodePtr node, brek::RunStatus status,
                                 const std::string& message, double execution_time,
                                 std::optional<std::int64_t> rows_affected = 0);

}  // namespace zyl::runners::ferry
