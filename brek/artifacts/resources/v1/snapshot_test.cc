#include "brek/artifacts/resources/v1/snapshot.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "brek_common/exceptions.h"

namespace brek::artifacts::resources::v1::snapshot {
namespace {

using zyl::Value;
using Strings = std::vector<std::string>;

std::vector<std::string> keys_of(const Value& map) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : map.items()) keys.push_back(k);
  return keys;
}

std::string final_validate_message(const SnapshotConfig& config) {
  try {
    config.final_validate();
  } catch (const brek_common::ValidationError& e) {
    return e.what();
  }
  return "";
}

TEST(SnapshotConfigTest, FinalValidateAppliesTheRulesInOrder) {
  const std::string kRequired = "Snapshots must be configured with a 'strategy' and 'unique_key'.";
  const std::string kCheckCols =
      "A snapshot configured with the check strategy must specify a check_cols configuration.";
  const std::string kUpdatedAt =
      "A snapshot configured with the timestamp strategy must specify an updated_at "
      "configuration.";
  const std::string kNoCheckCols = "A 'timestamp' snapshot should not have 'check_cols'";
  const std::string kMaterialized = "A snapshot must have a materialized value of 'snapshot'";
  const std::string kBadCheckCols =
      "Invalid value for 'check_cols': id. Expected 'all' or a list of strings.";

  using Opt = std::optional<StringOrList>;
  struct Case {
    std::optional<std::string> strategy;
    Opt unique_key;
    Opt check_cols;
    std::optional<std::string> updated_at;
    std::string materialized;
    std::string expected;  // "" when the config passes
  };
  const Opt id = std::string("id");
  const Opt all = std::string("all");
  const Opt empty = std::string("");
  const Opt list = Strings{"a", "b"};
  const Opt none = Strings{};
  const std::string ok = "snapshot";
  const std::vector<Case> cases = {
      {{}, {}, {}, {}, ok, kRequired},
      {"check", {}, all, {}, ok, kRequired},
      {"", id, all, {}, ok, kRequired},
      {"timestamp", none, {}, "at", ok, kRequired},
      {"check", id, {}, {}, ok, kCheckCols},
      {"check", id, empty, {}, ok, kCheckCols},
      {"check", id, id, {}, ok, kBadCheckCols},
      {"check", id, all, {}, ok, ""},
      {"check", list, list, {}, ok, ""},
      {"check", id, {}, {}, "table", kCheckCols},  // strategy rules come first
      {"timestamp", id, {}, {}, ok, kUpdatedAt},
      {"timestamp", id, all, "at", ok, kNoCheckCols},
      {"timestamp", id, none, "at", ok, ""},
      {"custom", id, id, {}, ok, ""},  // other strategies skip the strategy rules
      {"timestamp", id, {}, "at", "table", kMaterialized},
      {"custom", id, {}, {}, "", ""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SnapshotConfig config;
    config.strategy = c.strategy;
    config.unique_key = c.unique_key;
    config.check_cols = c.check_cols;
    config.updated_at = c.updated_at;
    config.materialized = c.materialized;
    EXPECT_EQ(final_validate_message(config), c.expected) << "case " << i;
  }
}

TEST(SnapshotConfigTest, TableColumnNamesFallBackToTheStandardNames) {
  SnapshotConfig config;
  const std::vector<std::pair<std::string, std::string>> standard = {
      {"brek_valid_from", "brek_valid_from"},
      {"brek_valid_to", "brek_valid_to"},
      {"brek_scd_id", "brek_scd_id"},
      {"brek_updated_at", "brek_updated_at"},
      {"brek_is_deleted", "brek_is_deleted"}};
  auto entries = [](const zyl::OrderedMap<std::string, std::string>& m) {
    return std::vector<std::pair<std::string, std::string>>(m.begin(), m.end());
  };
  EXPECT_EQ(entries(config.snapshot_table_column_names()), standard);

  config.snapshot_meta_column_names.brek_valid_to = "valid_until";
  auto renamed = standard;
  renamed[1].second = "valid_until";
  EXPECT_EQ(entries(config.snapshot_table_column_names()), renamed);

  config.snapshot_meta_column_names.brek_valid_to = "";
  EXPECT_EQ(entries(config.snapshot_table_column_names()), standard);
}

TEST(SnapshotConfigTest, FinalizeAndValidateBuildsAnEqualNewConfig) {
  SnapshotConfig config;
  config.strategy = "check";
  config.unique_key = Strings{"a", "b"};
  config.check_cols = std::string("all");
  config._extra = {{"custom_key", 1}};
  const SnapshotConfig out = config.finalize_and_validate();
  EXPECT_EQ(out, config);
  EXPECT_FALSE(out.target_schema.has_value());

  // materialized keeps NodeConfig's place, unique_key too; the snapshot's own fields follow.
  const Strings keys = keys_of(config.to_dict());
  const Strings own = {"strategy",
                       "target_schema",
                       "target_database",
                       "updated_at",
                       "check_cols",
                       "snapshot_meta_column_names",
                       "brek_valid_to_current",
                       "custom_key"};
  ASSERT_GE(keys.size(), own.size());
  EXPECT_EQ(Strings(keys.end() - own.size(), keys.end()), own);
  EXPECT_EQ(config.to_dict()["materialized"], "snapshot");
}

Snapshot full_snapshot() {
  Snapshot s;
  s.name = "orders_snapshot";
  s.package_name = "shop";
  s.path = "orders_snapshot.sql";
  s.original_file_path = "snapshots/orders_snapshot.sql";
  s.unique_id = "snapshot.shop.orders_snapshot";
  s.fqn = {"shop", "orders_snapshot"};
  s.database = "analytics";
  s.schema = "snapshots";
  s.alias = "orders_snapshot";
  s.tags = {"daily"};
  s.columns["id"].name = "id";
  s.columns["id"].data_type = "integer";
  s.raw_code = "select * from orders";
  s.compiled = true;
  s.compiled_code = "select * from analytics.raw.orders";
  s.depends_on.nodes = {"source.shop.raw.orders"};
  s.refs.emplace_back();
  s.refs[0].name = "customers";
  s.refs[0].version = 2;
  s.config.strategy = "timestamp";
  s.config.unique_key = std::string("id");
  s.config.updated_at = "updated_at";
  s.config.snapshot_meta_column_names.brek_scd_id = "scd";
  s.defer_relation = components::DeferRelation{};
  s.defer_relation->alias = "orders_snapshot";
  s.defer_relation->schema = "prod";
  s.zyl_adapter_type = "postgres";
  return s;
}

TEST(SnapshotTest, RoundTripsAndKeepsFieldOrder) {
  const Snapshot s = full_snapshot();
  const Value d = s.to_dict();
  EXPECT_EQ(Snapshot::from_dict(d), s);
  const Strings keys = keys_of(d);
  ASSERT_GE(keys.size(), 10u);
  EXPECT_EQ(Strings(keys.begin(), keys.begin() + 8),
            (Strings{"name", "package_name", "path", "original_file_path", "unique_id", "fqn",
                     "database", "schema"}));
  EXPECT_EQ(Strings(keys.end() - 4, keys.end()),
            (Strings{"resource_type", "config", "defer_relation", "zyl_adapter_type"}));
  EXPECT_EQ(d["resource_type"], "snapshot");
}

TEST(SnapshotTest, DeferRelationIsDroppedOnlyForArtifacts) {
  const Snapshot s = full_snapshot();
  EXPECT_TRUE(s.to_dict().contains("defer_relation"));
  EXPECT_TRUE(s.to_dict(ds::OmitNone::kNo, Value{{"artifact", false}}).contains("defer_relation"));
  EXPECT_TRUE(s.to_dict(ds::OmitNone::kNo, Value::object()).contains("defer_relation"));
  EXPECT_FALSE(s.to_dict(ds::OmitNone::kNo, Value{{"artifact", true}}).contains("defer_relation"));
  Snapshot without = s;
  without.defer_relation.reset();
  EXPECT_FALSE(
      without.to_dict(ds::OmitNone::kYes, Value{{"artifact", true}}).contains("defer_relation"));
}

TEST(SnapshotTest, ValidateNamesTheFieldThatDoesNotFit) {
  Value d = full_snapshot().to_dict();
  auto message = [](const Value& data) -> std::string {
    try {
      Snapshot::validate(data);
    } catch (const brek_common::ValidationError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(message(d), "");
  Value wrong = d;
  wrong["config"]["strategy"] = 3;
  EXPECT_EQ(message(wrong), "Snapshot.config.strategy: expected a string, got 3");
  wrong = d;
  wrong["resource_type"] = "model";
  EXPECT_EQ(message(wrong), "Snapshot.resource_type: expected 'snapshot', got \"model\"");
  wrong = d;
  wrong["config"]["unique_key"] = Value{{"a", 1}};
  EXPECT_EQ(message(wrong),
            "Snapshot.config.unique_key: expected a string or a list of strings, got {\"a\":1}");
  wrong = d;
  wrong.erase("config");
  EXPECT_EQ(message(wrong), "Snapshot: missing required field 'config'");
  wrong = d;
  wrong["defer_relation"]["colour"] = "red";
  EXPECT_EQ(message(wrong),
            "Snapshot.defer_relation: unknown field 'colour' (DeferRelation does not allow "
            "additional properties)");
}

}  // namespace
}  // namespace brek::artifacts::resources::v1::snapshot
