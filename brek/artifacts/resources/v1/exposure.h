// The artifact records of an exposure node (a downstream use of the project's models such as a
// dashboard): its two enumerations, its configuration and the node record.
//
// The manifest writer fills an Exposure from a host exposure node and serialises it:
//
//   Exposure e;
//   e.unique_id = node.unique_id;  e.name = node.name;  e.fqn = node.fqn;
//   e.package_name = node.package_name;  e.path = node.path;
//   e.original_file_path = node.original_file_path;
//   e.type = *StrEnum<ExposureType>::from_value(node.type);   // nullopt for an unknown type
//   e.owner = Owner::from_dict(node.owner);                   // throws ValidationError
//   e.depends_on.nodes = node.depends_on.nodes;
//   zyl::Value entry = e.to_dict();
//
// Records are plain values: copies never share their maps, lists or nested records.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brek/artifacts/resources/base.h"
#include "brek/artifacts/resources/types.h"
#include "brek/artifacts/resources/v1/components.h"
#include "brek/artifacts/resources/v1/config.h"
#include "brek/artifacts/resources/v1/owner.h"
#include "brek_common/dataclass_schema.h"
#include "core/value.h"

namespace brek::artifacts::resources::v1::exposure {

namespace ds = brek_common::dataclass_schema;
using brek_common::StrEnum;
using owner::Owner;
using types::NodeType;

enum class ExposureType { Dashboard, Notebook, Analysis, ML, Application };
enum class MaturityType { Low, Medium, High };

class ExposureConfig final : public ds::Record<ExposureConfig, config::BaseConfig> {
 public:
  bool enabled = true;

  bool operator==(const ExposureConfig&) const = default;
  static void describe(ds::Fields<ExposureConfig>& f);
};

// An exposure node; `type` and `owner` are required in a map.
class Exposure final : public ds::Record<Exposure, base::GraphResource> {
 public:
  ExposureType type = ExposureType::Dashboard;
  Owner owner;
  NodeType resource_type = NodeType::Exposure;  // required; only NodeType::Exposure
  std::string description;
  std::optional<std::string> label;
  std::optional<MaturityType> maturity;
  zyl::Value meta = zyl::Value::object();
  std::vector<std::string> tags;
  ExposureConfig config;
  zyl::Value unrendered_config = zyl::Value::object();
  std::optional<std::string> url;
  components::DependsOn depends_on;
  std::vector<components::RefArgs> refs;
  std::vector<std::vector<std::string>> sources;
  std::vector<std::vector<std::string>> metrics;
  double created_at = components::now_seconds();  // taken at construction

  bool operator==(const Exposure&) const = default;
  static void describe(ds::Fields<Exposure>& f);
};

}  // namespace brek::artifacts::resources::v1::exposure

template <>
struct brek_common::dataclass_schema::StrEnumMembers<
    brek::artifacts::resources::v1::exposure::ExposureType> {
  using E = brek::artifacts::resources::v1::exposure::ExposureType;
  static constexpr std::string_view name = "ExposureType";
  static std::span<const std::pair<E, std::string_view>> members() {
    static constexpr std::array<std::pair<E, std::string_view>, 5> kMembers = {{
        {E::Dashboard, "dashboard"},
        {E::Notebook, "notebook"},
        {E::Analysis, "analysis"},
        {E::ML, "ml"},
        {E::Application, "application"},
    }};
    return kMembers;
  }
};

template <>
struct brek_common::dataclass_schema::StrEnumMembers<
    brek::artifacts::resources::v1::exposure::MaturityType> {
  using E = brek::artifacts::resources::v1::exposure::MaturityType;
  static constexpr std::string_view name = "MaturityType";
  static std::span<const std::pair<E, std::string_view>> members() {
    static constexpr std::array<std::pair<E, std::string_view>, 3> kMembers = {
        {{E::Low, "low"}, {E::Medium, "medium"}, {E::High, "high"}}};
    return kMembers;
  }
};
