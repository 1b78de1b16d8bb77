// The artifact records of a snapshot node: its meta column names, its configuration with the
// validation rules a snapshot must pass, and the node record itself.
//
//   SnapshotConfig c;
//   c.strategy = "timestamp";
//   c.unique_key = std::string("id");
//   c.updated_at = "changed_at";
//   c.final_validate();                           // throws ValidationError on the first broken
//   rule c.snapshot_table_column_names();              // {"brek_valid_from": "brek_valid_from",
//   ...}
//
// Records are plain values: copies never share their maps, lists or nested records.
#pragma once

#include <optional>
#include <string>

#include "brek/artifacts/resources/types.h"
#include "brek/artifacts/resources/v1/components.h"
#include "brek/artifacts/resources/v1/config.h"
#include "brek_common/dataclass_schema.h"
#include "core/ordered_map.h"

namespace brek::artifacts::resources::v1::snapshot {

namespace ds = brek_common::dataclass_schema;
using config::StringOrList;
using types::NodeType;

// The names the snapshot gives its meta columns; absent means the standard name.
struct SnapshotMetaColumnNames final : ds::Record<SnapshotMetaColumnNames, ds::BrekClassMixin> {
  std::optional<std::string> brek_valid_to;
  std::optional<std::string> brek_valid_from;
  std::optional<std::string> brek_scd_id;
  std::optional<std::string> brek_updated_at;
  std::optional<std::string> brek_is_deleted;

  bool operator==(const SnapshotMetaColumnNames&) const = default;
  static void describe(ds::Fields<SnapshotMetaColumnNames>& f);
};

// A snapshot's configuration. `materialized` and `unique_key` are NodeConfig's fields (and keep
// their places among them); here `materialized` defaults to "snapshot".
class SnapshotConfig final : public ds::Record<SnapshotConfig, config::NodeConfig> {
 public:
  SnapshotConfig() { materialized = "snapshot"; }

  std::optional<std::string> strategy;
  std::optional<std::string> target_schema;
  std::optional<std::string> target_database;
  std::optional<std::string> updated_at;
  std::optional<StringOrList> check_cols;
  SnapshotMetaColumnNames snapshot_meta_column_names;
  std::optional<std::string> brek_valid_to_current;

  // Standard meta column name -> the name this snapshot uses (the configured one when it is
  // non-empty, else the standard name), keys in the order brek_valid_from, brek_valid_to,
  // brek_scd_id, brek_updated_at, brek_is_deleted.
  zyl::OrderedMap<std::string, std::string> snapshot_table_column_names() const;

  // Throws ValidationError with the message of the first rule broken: a strategy and a unique
  // key are required; "check" needs check_cols ("all" or a list); "timestamp" needs updated_at
  // and forbids check_cols; materialized, when non-empty, must be "snapshot".
  void final_validate() const;

  // A new config built from this one's map (absent values left out) after validating that map
  // against the schema; throws ValidationError when it does not fit. The receiver is unchanged.
  [[nodiscard]] SnapshotConfig finalize_and_validate() const;

  bool operator==(const SnapshotConfig&) const = default;
  static void describe(ds::Fields<SnapshotConfig>& f);
};

// A snapshot node. `defer_relation` is left out of maps serialised for an artifact (context
// {"artifact": true}).
class Snapshot final : public ds::Record<Snapshot, components::CompiledResource> {
 public:
  NodeType resource_type = NodeType::Snapshot;  // required; only NodeType::Snapshot
  SnapshotConfig config;                        // required
  std::optional<components::DeferRelation> defer_relation;
  std::optional<std::string> zyl_adapter_type;  // carried for the cross-engine layer

  zyl::Value post_serialize(zyl::Value dct, const zyl::Value& context) const override;

  bool operator==(const Snapshot&) const = default;
  static void describe(ds::Fields<Snapshot>& f);
};

}  // namespace brek::artifacts::resources::v1::snapshot
