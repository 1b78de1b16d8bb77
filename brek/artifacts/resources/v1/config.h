// Node configuration records: BaseConfig (any key, item access) and NodeConfig, the
// configuration of models and the nodes built like them.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "brek_common/contracts/config/base.h"
#include "brek_common/dataclass_schema.h"
#include "core/value.h"

namespace brek::artifacts::resources::v1::config {

namespace ds = brek_common::dataclass_schema;
using brek_common::contracts::config::base::BaseConfig;

// A single column name or a list of them (unique_key, check_cols).
using StringOrList = std::variant<std::string, std::vector<std::string>>;

// The configuration every built node shares. Keys it does not declare are kept in `_extra`.
class NodeConfig : public ds::Record<NodeConfig, BaseConfig> {
 public:
  bool enabled = true;
  std::optional<std::string> alias;
  std::optional<std::string> schema;
  std::optional<std::string> database;
  std::vector<std::string> tags;
  zyl::Value meta = zyl::Value::object();
  std::string materialized = "view";
  std::optional<std::string> incremental_strategy;
  zyl::Value persist_docs = zyl::Value::object();
  zyl::Value quoting = zyl::Value::object();
  zyl::Value column_types = zyl::Value::object();
  std::optional<bool> full_refresh;
  std::optional<StringOrList> unique_key;
  std::optional<std::string> on_schema_change = "ignore";
  zyl::Value grants = zyl::Value::object();
  std::vector<std::string> packages;

  bool operator==(const NodeConfig&) const = default;
  static void describe(ds::Fields<NodeConfig>& f);
};

}  // namespace brek::artifacts::resources::v1::config
