// The base of tasks that run over the dependency graph (run, retract).
#pragma once

#include <memory>
#include <optional>

#include "brek/config.h"
#include "brek/graph/graph.h"
#include "brek/nodes.h"

namespace brek {

class GraphRunnableTask {
 public:
  GraphRunnableTask(Args args, std::shared_ptr<RuntimeConfig> config,
                    std::shared_ptr<Manifest> manifest);
  virtual ~GraphRunnableTask() = default;

  // Builds the graph from the manifest (when there is one). Called at the start of run().
  virtual void _runtime_initialize();
  // The selection words of the command's arguments.
  virtual SelectionSpec get_selection_spec() const;

  Args args;
  std::shared_ptr<RuntimeConfig> config;
  std::shared_ptr<Manifest> manifest;
  std::unique_ptr<Graph> graph;
  const PreviousState* previous_state = nullptr;
};

}  // namespace brek
