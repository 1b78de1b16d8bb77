#include "brek/task/run.h"

#include "core/log.h"

namespace brek {

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
  // Materialisations on the default target come with the run task; until then a model that
  // needs them is reported as failed rather than silently skipped.
  RunResult result;
  result.status = RunStatus::Error;
  result.thread_id = zyl::log::thread_name();
  result.message = "materialisation on the default target is not available in this build";
  result.failures = 1;
  result.adapter_response = {{"_message", result.message}, {"rows_affected", 0}};
  return result;
}

}  // namespace brek
