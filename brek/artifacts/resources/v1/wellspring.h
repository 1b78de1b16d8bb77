// The artifact records of a source node: its configuration, the description of an external
// table and its partition columns, the mandatory part of a parsed source, and the source
// definition record itself, which also carries the source's connection name for the
// cross-engine layer.
//
// The manifest writer fills a SourceDefinition from a host source node and serialises it:
//
//   SourceDefinition s;
//   s.unique_id = node.unique_id;  s.name = node.name;  s.fqn = node.fqn;
//   s.package_name = node.package_name;  s.path = node.path;
//   s.original_file_path = node.original_file_path;
//   s.database = node.database;  s.schema = node.schema.value_or("");
//   s.source_name = node.source_name;  s.identifier = node.identifier.value_or(node.name);
//   s.source_description = node.source_description;  s.loader = node.loader;
//   s.connection = "warehouse";                       // a profiles.yml output name, if any
//   zyl::Value entry = s.to_dict(OmitNone::kNo, {{"artifact", true}});
//
// Records are plain values: copies never share their maps, lists or nested records.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "brek/artifacts/resources/base.h"
#include "brek/artifacts/resources/types.h"
#include "brek/artifacts/resources/v1/components.h"
#include "brek/artifacts/resources/v1/config.h"
#include "brek_common/contracts/util.h"
#include "brek_common/dataclass_schema.h"
#include "core/ordered_map.h"
#include "core/value.h"

namespace brek::artifacts::resources::v1::wellspring {

namespace ds = brek_common::dataclass_schema;
using ds::OmitNone;
using types::NodeType;

// A source's configuration. Starts with a present, default freshness threshold.
class SourceConfig final : public ds::Record<SourceConfig, config::BaseConfig> {
 public:
  bool enabled = true;
  zyl::Value event_time;  // any value; null when not given
  std::optional<components::FreshnessThreshold> freshness = components::FreshnessThreshold{};

  bool operator==(const SourceConfig&) const = default;
  static void describe(ds::Fields<SourceConfig>& f);
};

// One partition column of an external table; keeps keys beyond its fields in `_extra`.
// Every construction (also from a map) requires a name and a data type.
class ExternalPartition final
    : public ds::Record<ExternalPartition, ds::AdditionalPropertiesAllowed> {
 public:
  std::string name;
  std::string description;
  std::string data_type;
  zyl::Value meta = zyl::Value::object();

  // Throws brek_common::CompilationError "External partition columns must have names and data
  // types" when `name` or `data_type` is empty (so the default construction throws as well).
  explicit ExternalPartition(std::string name = "", std::string description = "",
                             std::string data_type = "", zyl::Value meta = zyl::Value::object());
  // For from_dict: the check runs once the fields are filled.
  explicit ExternalPartition(ds::Unchecked) {}

  void post_init() override;

  bool operator==(const ExternalPartition&) const = default;
  static void describe(ds::Fields<ExternalPartition>& f);
};

// Partition columns: by name only, or described.
using Partitions = std::variant<std::vector<std::string>, std::vector<ExternalPartition>>;

// Where and how an external table's data lives; keeps keys beyond its fields in `_extra`.
class ExternalTable final : public ds::Record<ExternalTable, ds::AdditionalPropertiesAllowed,
                                              brek_common::contracts::util::Mergeable> {
 public:
  std::optional<std::string> location;
  std::optional<std::string> file_format;
  std::optional<std::string> row_format;
  std::optional<std::string> tbl_properties;
  std::optional<Partitions> partitions;

  // True exactly when `location` is present (an empty location counts); the other fields do
  // not matter.
  explicit operator bool() const { return location.has_value(); }

  bool operator==(const ExternalTable&) const = default;
  static void describe(ds::Fields<ExternalTable>& f);
};

// The fields every parsed source has; all are required in a map.
class ParsedSourceMandatory : public ds::Record<ParsedSourceMandatory, base::GraphResource,
                                                components::HasRelationMetadata> {
 public:
  std::string source_name;
  std::string source_description;
  std::string loader;
  std::string identifier;
  NodeType resource_type = NodeType::Source;  // only NodeType::Source

  bool operator==(const ParsedSourceMandatory&) const = default;
  static void describe(ds::Fields<ParsedSourceMandatory>& f);
};

// A source node. Unlike its config, it has no freshness threshold unless one is given.
class SourceDefinition final : public ds::Record<SourceDefinition, ParsedSourceMandatory> {
 public:
  components::Quoting quoting;
  std::optional<std::string> loaded_at_field;
  std::optional<components::FreshnessThreshold> freshness;
  std::optional<ExternalTable> external;
  std::string description;
  zyl::OrderedMap<std::string, components::ColumnInfo> columns;
  zyl::Value meta = zyl::Value::object();
  zyl::Value source_meta = zyl::Value::object();
  std::vector<std::string> tags;
  SourceConfig config;
  std::optional<std::string> patch_path;
  zyl::Value unrendered_config = zyl::Value::object();
  std::optional<std::string> relation_name;
  double created_at = components::now_seconds();  // taken at construction
  std::optional<std::string> unrendered_database;
  std::optional<std::string> unrendered_schema;
  std::optional<std::string> connection;        // a profiles.yml output name
  std::optional<std::string> zyl_adapter_type;  // carried for the cross-engine layer

  bool operator==(const SourceDefinition&) const = default;
  static void describe(ds::Fields<SourceDefinition>& f);
};

}  // namespace brek::artifacts::resources::v1::wellspring
