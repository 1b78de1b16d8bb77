// The host's node types as a string enumeration of the record machinery.
//
// brek::NodeType ("model", "source", "snapshot", ...) serialises as its text value; a record
// field of this type may be restricted to one member (a snapshot's `resource_type`).
#pragma once

#include <array>
#include <span>
#include <string_view>
#include <utility>

#include "brek/node_types.h"
#include "brek_common/dataclass_schema.h"

namespace brek::artifacts::resources::types {

using brek::NodeType;

}  // namespace brek::artifacts::resources::types

template <>
struct brek_common::dataclass_schema::StrEnumMembers<brek::NodeType> {
  static constexpr std::string_view name = "NodeType";
  static std::span<const std::pair<brek::NodeType, std::string_view>> members() {
    using brek::NodeType;
    static const std::array<std::pair<NodeType, std::string_view>, 8> kMembers = {{
        {NodeType::Model, brek::node_type_value(NodeType::Model)},
        {NodeType::Source, brek::node_type_value(NodeType::Source)},
        {NodeType::Seed, brek::node_type_value(NodeType::Seed)},
        {NodeType::Snapshot, brek::node_type_value(NodeType::Snapshot)},
        {NodeType::Test, brek::node_type_value(NodeType::Test)},
        {NodeType::Exposure, brek::node_type_value(NodeType::Exposure)},
        {NodeType::Analysis, brek::node_type_value(NodeType::Analysis)},
        {NodeType::Operation, brek::node_type_value(NodeType::Operation)},
    }};
    return kMembers;
  }
};
