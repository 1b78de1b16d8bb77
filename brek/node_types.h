// Node types of the host framework and their text forms ("model", "source", ...).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brek {

enum class NodeType { Model, Source, Seed, Snapshot, Test, Exposure, Analysis, Operation };

// The lower-case value ("model").
std::string_view node_type_value(NodeType type);
// The member for a value, or nullopt.
std::optional<NodeType> node_type_from_value(std::string_view value);

}  // namespace brek
