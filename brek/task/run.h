// The per-model runner of the run command.
//
// `ModelRunner::execute` runs a model on the default target with its materialisation; the
// cross-engine layer overrides it with its own dispatch.
#pragma once

#include <memory>

#include "brek/adapter.h"
#include "brek/config.h"
#include "brek/nodes.h"
#include "brek/run_result.h"

namespace brek {

class ModelRunner {
 public:
  ModelRunner(std::shared_ptr<const RuntimeConfig> config, std::shared_ptr<Adapter> adapter,
              NodePtr node, int node_index, int num_nodes);
  virtual ~ModelRunner() = default;

  // Runs `model` on the default target with its materialisation (run_on_default_target).
  // Never throws for a database error: that becomes an error result. Safe to call from a
  // worker thread (one runner per model).
  virtual RunResult execute(Node& model, Manifest& manifest);

  const RuntimeConfig& config;  // refers into config_
  Adapter* adapter;             // the default target's adapter; owned by adapter_

  const NodePtr& node() const { return node_; }
  int node_index() const { return node_index_; }
  int num_nodes() const { return num_nodes_; }

 protected:
  // The materialisation itself; subclasses (and test doubles) may replace it.
  virtual RunResult run_on_default_target(Node& model, Manifest& manifest);

  std::shared_ptr<const RuntimeConfig> config_;
  std::shared_ptr<Adapter> adapter_;
  NodePtr node_;
  int node_index_;
  int num_nodes_;
};

}  // namespace brek
