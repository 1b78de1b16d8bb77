// The dependency graph of a manifest and the node selector of the command line.
//
//   Graph graph = Graph::from_manifest(manifest);
//   ResourceTypeSelector selector(graph, manifest, nullptr, {NodeType::Model});
//   std::set<std::string> ids = selector.get_selected(SelectionSpec{{"+orders"}, {}});
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "brek/node_types.h"
#include "brek/nodes.h"

namespace brek {

// Edges from each node to the nodes that read it (models, sources, seeds, exposures).
class Graph {
 public:
  static Graph from_manifest(const Manifest& manifest);

  const std::vector<std::string>& ids() const { return ids_; }
  // Direct upstream / downstream ids, in manifest order.
  const std::vector<std::string>& parents(const std::string& id) const;
  const std::vector<std::string>& children(const std::string& id) const;

 private:
  std::vector<std::string> ids_;
  zyl::OrderedMap<std::string, std::vector<std::string>> parents_;
  zyl::OrderedMap<std::string, std::vector<std::string>> children_;
};

// The parsed --select / --exclude words. An empty `select` selects everything.
struct SelectionSpec {
  std::vector<std::string> select;
  std::vector<std::string> exclude;
};

struct PreviousState {};  // state-based selection is not supported; kept for the interface

class ResourceTypeSelector {
 public:
  ResourceTypeSelector(const Graph& graph, const Manifest& manifest,
                       const PreviousState* previous_state, std::vector<NodeType> resource_types);

  // The unique ids selected by `spec`, restricted to the resource types. Throws
  // std::invalid_argument for a selector it cannot read.
  //
  // Syntax: words separated by spaces are united; the parts of a word separated by commas are
  // intersected. A part is `name` (a node name, a dotted fqn prefix with or without the
  // package, or a path when it holds '/' or ends in .sql), or `method:value` with the methods
  // `tag:`, `path:` (a file or folder relative to the project), `source:` (the source tables
  // `src` or `src.table` and the nodes that read them directly), `fqn:` and `config.<key>:`
  // (e.g. `config.materialized:table`). Values take shell wildcards (`stg_*`). `+part` adds all
  // ancestors, `N+part` those within N steps, `part+` / `part+N` descendants likewise; `@part`
  // adds descendants and all their ancestors. Exclude words are read the same way and removed.
  std::set<std::string> get_selected(const SelectionSpec& spec) const;

 private:
  static std::vector<std::string> split_words(const std::string& line);
  bool has_resource_type(const std::string& id) const;
  std::set<std::string> select_word(const std::string& word) const;
  std::set<std::string> select_criterion(const std::string& text) const;

  const Graph& graph_;
  const Manifest& manifest_;
  const PreviousState* previous_state_;
  std::vector<NodeType> resource_types_;
};

}  // namespace brek
