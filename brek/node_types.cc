#include "brek/node_types.h"

#include <array>
#include <utility>

namespace brek {
namespace {

constexpr std::array<std::pair<NodeType, std::string_view>, 8> kValues = {{
    {NodeType::Model, "model"},
    {NodeType::Source, "source"},
    {NodeType::Seed, "seed"},
    {NodeType::Snapshot, "snapshot"},
    {NodeType::Test, "test"},
    {NodeType::Exposure, "exposure"},
    {NodeType::Analysis, "analysis"},
    {NodeType::Operation, "operation"},
}};

}  // namespace

std::string_view node_type_value(NodeType type) {
  for (const auto& [t, v] : kValues) {
    if (t == type) return v;
  }
  return "";
}

std::optional<NodeType> node_type_from_value(std::string_view value) {
  for (const auto& [t, v] : kValues) {
    if (v == value) return t;
  }
  return std::nullopt;
}

}  // namespace brek
