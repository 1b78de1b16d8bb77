#include "brek/artifacts/resources/v1/config.h"

namespace brek::artifacts::resources::v1::config {

void NodeConfig::describe(ds::Fields<NodeConfig>& f) {
  f.name("NodeConfig");
  f.field("enabled", &NodeConfig::enabled);
  f.field("alias", &NodeConfig::alias);
  f.field("schema", &NodeConfig::schema);
  f.field("database", &NodeConfig::database);
  f.field("tags", &NodeConfig::tags);
  f.field("meta", &NodeConfig::meta);
  f.field("materialized", &NodeConfig::materialized);
  f.field("incremental_strategy", &NodeConfig::incremental_strategy);
  f.field("persist_docs", &NodeConfig::persist_docs);
  f.field("quoting", &NodeConfig::quoting);
  f.field("column_types", &NodeConfig::column_types);
  f.field("full_refresh", &NodeConfig::full_refresh);
  f.field("unique_key", &NodeConfig::unique_key);
  f.field("on_schema_change", &NodeConfig::on_schema_change);
  f.field("grants", &NodeConfig::grants);
  f.field("packages", &NodeConfig::packages);
}

}  // namespace brek::artifacts::resources::v1::config
