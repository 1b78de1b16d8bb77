#include "brek/task/runnable.h"

namespace brek {

GraphRunnableTask::GraphRunnableTask(Args args_in, std::shared_ptr<RuntimeConfig> config_in,
                                     std::shared_ptr<Manifest> manifest_in)
    : args(std::move(args_in)), config(std::move(config_in)), manifest(std::move(manifest_in)) {}

void GraphRunnableTask::_runtime_initialize() {
  if (manifest && !graph) graph = std::make_unique<Graph>(Graph::from_manifest(*manifest));
}

SelectionSpec GraphRunnableTask::get_selection_spec() const { return {args.select, args.exclude}; }

}  // namespace brek
