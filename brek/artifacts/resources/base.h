// The base record of every node of the project graph.
#pragma once

#include <string>
#include <vector>

#include "brek_common/dataclass_schema.h"

namespace brek::artifacts::resources::base {

namespace ds = brek_common::dataclass_schema;

// Identity of a graph node. Every field is required in a map. Each concrete node record
// declares its own `resource_type`, restricted to its member of NodeType.
class GraphResource : public ds::Record<GraphResource, ds::BrekClassMixin> {
 public:
  std::string name;
  std::string package_name;
  std::string path;                // relative to its resource path
  std::string original_file_path;  // relative to the project
  std::string unique_id;           // "source.pkg.src.tbl", "exposure.pkg.name", ...
  std::vector<std::string> fqn;

  bool operator==(const GraphResource&) const = default;
  static void describe(ds::Fields<GraphResource>& f);
};

}  // namespace brek::artifacts::resources::base
