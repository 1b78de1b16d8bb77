#include "brek/parser/snapshots.h"

#include <exception>

namespace brek::parser {

snapshot::SnapshotConfig snapshot_config_of(const Node& node) {
  zyl::Value map = zyl::Value::object();
  for (const zyl::Value* part : {&node.config.entries, &node.config._extra}) {
    for (const auto& [key, value] : part->items()) {
      if (!value.is_null()) map[key] = value;
    }
  }
  if (node.config.target) map["target"] = *node.config.target;
  return snapshot::SnapshotConfig::from_dict(map);
}

zyl::Value snapshot_json(const Node& node, const zyl::Value& plain_json) {
  namespace components = brek::artifacts::resources::v1::components;
  snapshot::Snapshot record;
  try {
    record.config = snapshot_config_of(node);
  } catch (const std::exception&) {
    zyl::Value out = plain_json;
    out["zyl_adapter_type"] = node.zyl_adapter_type ? zyl::Value(*node.zyl_adapter_type) : nullptr;
    return out;
  }
  record.name = node.name;
  record.package_name = node.package_name;
  record.path = node.path;
  record.original_file_path = node.original_file_path;
  record.unique_id = node.unique_id;
  record.fqn = node.fqn;
  record.database = node.database;
  record.schema = node.schema.value_or("");
  record.alias = node.name;
  record.tags = node.tags;
  record.description = node.description;
  if (plain_json.contains("columns")) {
    for (const auto& [name, column] : plain_json["columns"].items()) {
      record.columns.set(name, components::ColumnInfo::from_dict(column));
    }
  }
  record.relation_name = node.relation_name;
  record.raw_code = node.raw_code;
  if (node.depends_on) record.depends_on.nodes = node.depends_on->nodes;
  record.compiled = node.compiled_code.has_value();
  record.compiled_code = node.compiled_code;
  record.zyl_adapter_type = node.zyl_adapter_type;
  return record.to_dict(brek_common::dataclass_schema::OmitNone::kNo, {{"artifact", true}});
}

}  // namespace brek::parser
