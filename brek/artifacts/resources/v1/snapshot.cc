#include "brek/artifacts/resources/v1/snapshot.h"

#include <array>
#include <string_view>
#include <utility>
#include <variant>

#include "brek_common/exceptions.h"
#include "core/value.h"

namespace brek::artifacts::resources::v1::snapshot {
namespace {

// Absent, an empty string or an empty list.
bool is_empty(const std::optional<StringOrList>& value) {
  if (!value) return true;
  if (const auto* text = std::get_if<std::string>(&*value)) return text->empty();
  return std::get<std::vector<std::string>>(*value).empty();
}

bool is_empty(const std::optional<std::string>& value) { return !value || value->empty(); }

}  // namespace

void SnapshotMetaColumnNames::describe(ds::Fields<SnapshotMetaColumnNames>& f) {
  f.name("SnapshotMetaColumnNames");
  f.field("brek_valid_to", &SnapshotMetaColumnNames::brek_valid_to);
  f.field("brek_valid_from", &SnapshotMetaColumnNames::brek_valid_from);
  f.field("brek_scd_id", &SnapshotMetaColumnNames::brek_scd_id);
  f.field("brek_updated_at", &SnapshotMetaColumnNames::brek_updated_at);
  f.field("brek_is_deleted", &SnapshotMetaColumnNames::brek_is_deleted);
}

zyl::OrderedMap<std::string, std::string> SnapshotConfig::snapshot_table_column_names() const {
  const SnapshotMetaColumnNames& names = snapshot_meta_column_names;
  const std::array<std::pair<std::string_view, const std::optional<std::string>*>, 5> columns = {{
      {"brek_valid_from", &names.brek_valid_from},
      {"brek_valid_to", &names.brek_valid_to},
      {"brek_scd_id", &names.brek_scd_id},
      {"brek_updated_at", &names.brek_updated_at},
      {"brek_is_deleted", &names.brek_is_deleted},
  }};
  zyl::OrderedMap<std::string, std::string> out;
  for (const auto& [standard, configured] : columns) {
    out.set(std::string(standard), is_empty(*configured) ? std::string(standard) : **configured);
  }
  return out;
}

void SnapshotConfig::final_validate() const {
  using brek_common::ValidationError;
  if (is_empty(strategy) || is_empty(unique_key)) {
    throw ValidationError("Snapshots must be configured with a 'strategy' and 'unique_key'.");
  }
  if (*strategy == "check") {
    if (is_empty(check_cols)) {
      throw ValidationError(
          "A snapshot configured with the check strategy must specify a check_cols "
          "configuration.");
    }
    if (const auto* text = std::get_if<std::string>(&*check_cols); text && *text != "all") {
      throw ValidationError("Invalid value for 'check_cols': " + *text +
                            ". Expected 'all' or a list of strings.");
    }
  } else if (*strategy == "timestamp") {
    if (is_empty(updated_at)) {
      throw ValidationError(
          "A snapshot configured with the timestamp strategy must specify an updated_at "
          "configuration.");
    }
    if (!is_empty(check_cols)) {
      throw ValidationError("A 'timestamp' snapshot should not have 'check_cols'");
    }
  }
  if (!materialized.empty() && materialized != "snapshot") {
    throw ValidationError("A snapshot must have a materialized value of 'snapshot'");
  }
}

SnapshotConfig SnapshotConfig::finalize_and_validate() const {
  const zyl::Value data = to_dict(ds::OmitNone::kYes);
  validate(data);
  return build_validated(data);
}

void SnapshotConfig::describe(ds::Fields<SnapshotConfig>& f) {
  f.name("SnapshotConfig");
  f.field("strategy", &SnapshotConfig::strategy);
  f.field("target_schema", &SnapshotConfig::target_schema);
  f.field("target_database", &SnapshotConfig::target_database);
  f.field("updated_at", &SnapshotConfig::updated_at);
  f.field("check_cols", &SnapshotConfig::check_cols);
  f.field("snapshot_meta_column_names", &SnapshotConfig::snapshot_meta_column_names);
  f.field("brek_valid_to_current", &SnapshotConfig::brek_valid_to_current);
}

zyl::Value Snapshot::post_serialize(zyl::Value dct, const zyl::Value& context) const {
  dct = CompiledResource::post_serialize(std::move(dct), context);
  if (zyl::is_set(zyl::find(context, "artifact")) && dct.contains("defer_relation")) {
    dct.erase("defer_relation");
  }
  return dct;
}

void Snapshot::describe(ds::Fields<Snapshot>& f) {
  f.name("Snapshot");
  f.required("resource_type", &Snapshot::resource_type, {"snapshot"});
  f.required("config", &Snapshot::config);
  f.field("defer_relation", &Snapshot::defer_relation);
  f.field("zyl_adapter_type", &Snapshot::zyl_adapter_type);
}

}  // namespace brek::artifacts::resources::v1::snapshot
