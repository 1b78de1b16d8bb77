#include "brek/graph/graph.h"

#include <stdexcept>

namespace brek {
namespace {
const std::vector<std::string> kNone;
}

Graph Graph::from_manifest(const Manifest& manifest) {
  Graph g;
  auto add = [&](const std::string& id) {
    if (!g.parents_.contains(id)) {
      g.ids_.push_back(id);
      g.parents_.set(id, {});
      g.children_.set(id, {});
    }
  };
  for (const auto& [id, _] : manifest.sources) add(id);
  for (const auto& [id, _] : manifest.nodes) add(id);
  for (const auto& [id, node] : manifest.nodes) {
    if (!node || !node->depends_on) continue;
    for (const auto& dep : node->depends_on->nodes) {
      add(dep);
      g.parents_[id].push_back(dep);
      g.children_[dep].push_back(id);
    }
  }
  return g;
}

const std::vector<std::string>& Graph::parents(const std::string& id) const {
  const auto* p = parents_.get(id);
  return p ? *p : kNone;
}

const std::vector<std::string>& Graph::children(const std::string& id) const {
  const auto* c = children_.get(id);
  return c ? *c : kNone;
}

ResourceTypeSelector::ResourceTypeSelector(const Graph& graph, const Manifest& manifest,
                                           const PreviousState* previous_state,
                                           std::vector<NodeType> resource_types)
    : graph_(graph),
      manifest_(manifest),
      previous_state_(previous_state),
      resource_types_(std::move(resource_types)) {}

std::set<std::string> ResourceTypeSelector::get_selected(const SelectionSpec& spec) const {
  throw std::invalid_argument("node selection is not available in this build yet");
}

}  // namespace brek
