#include "brek/artifacts/resources/v1/wellspring.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "brek_common/exceptions.h"

namespace brek::artifacts::resources::v1::wellspring {
namespace {

using zyl::Value;
using Strings = std::vector<std::string>;

constexpr const char* kPartitionMessage =
    "External partition columns must have names and data types";

std::string construction_error(const std::function<void()>& build) {
  try {
    build();
  } catch (const brek_common::CompilationError& e) {
    return e.what();
  }
  return "";
}

TEST(ExternalPartitionTest, NeedsANameAndADataTypeHoweverBuilt) {
  EXPECT_EQ(construction_error([] { ExternalPartition p("ds"); }), kPartitionMessage);
  EXPECT_EQ(construction_error([] { ExternalPartition p; }), kPartitionMessage);
  EXPECT_EQ(construction_error([] { ExternalPartition p("", "", "date"); }), kPartitionMessage);
  EXPECT_EQ(construction_error([] { ExternalPartition p("ds", "", "date"); }), "");

  EXPECT_EQ(construction_error([] {
              ExternalPartition::from_dict({{"name", "ds"}});
            }),
            kPartitionMessage);
  EXPECT_EQ(construction_error([] {
              ExternalTable::from_dict({{"partitions", {{{"name", "ds"}, {"data_type", ""}}}}});
            }),
            kPartitionMessage);
  const ExternalPartition p =
      ExternalPartition::from_dict({{"name", "ds"}, {"data_type", "date"}, {"format", "iso"}});
  EXPECT_EQ(p._extra, (Value{{"format", "iso"}}));
  EXPECT_EQ(p.to_dict(), (Value{{"name", "ds"},
                                {"description", ""},
                                {"data_type", "date"},
                                {"meta", Value::object()},
                                {"format", "iso"}}));
}

TEST(ExternalTableTest, IsTrueExactlyWhenItHasALocation) {
  ExternalTable table;
  EXPECT_FALSE(table);
  table.partitions = Strings{"ds"};
  table.file_format = "parquet";
  EXPECT_FALSE(table);
  table.location = "";
  EXPECT_TRUE(table);
  table.location = "s3://bucket/orders/";
  EXPECT_TRUE(table);
}

TEST(SourceDefinitionTest, FreshnessDefaultsDifferBetweenConfigAndDefinition) {
  const SourceConfig config;
  EXPECT_TRUE(config.enabled);
  ASSERT_TRUE(config.freshness.has_value());
  EXPECT_TRUE(config.freshness->warn_after.has_value());
  EXPECT_TRUE(config.event_time.is_null());

  const SourceDefinition source;
  EXPECT_FALSE(source.freshness.has_value());
  EXPECT_EQ(source.config, config);
  EXPECT_EQ(source.to_dict()["config"],
            (Value{{"enabled", true},
                   {"event_time", nullptr},
                   {"freshness",
                    {{"warn_after", {{"count", nullptr}, {"period", nullptr}}},
                     {"error_after", {{"count", nullptr}, {"period", nullptr}}},
                     {"filter", nullptr}}}}));
}

TEST(SourceDefinitionTest, CreatedAtIsReadAtConstruction) {
  const double before = components::now_seconds();
  const SourceDefinition source;
  const double after = components::now_seconds();
  EXPECT_LE(before, source.created_at);
  EXPECT_LE(source.created_at, after);
  // A map without created_at gets the clock of the conversion; one with it keeps its value.
  Value d = source.to_dict();
  d["created_at"] = 12.5;
  EXPECT_EQ(SourceDefinition::from_dict(d).created_at, 12.5);
}

SourceDefinition full_source() {
  SourceDefinition s;
  s.name = "orders";
  s.package_name = "shop";
  s.path = "models/sources.yml";
  s.original_file_path = "models/sources.yml";
  s.unique_id = "source.shop.raw.orders";
  s.fqn = {"shop", "raw", "orders"};
  s.database = std::nullopt;
  s.schema = "raw";
  s.source_name = "raw";
  s.source_description = "Raw shop data";
  s.loader = "sling";
  s.identifier = "orders_v2";
  s.quoting.identifier = true;
  s.loaded_at_field = "_loaded_at";
  s.freshness = components::FreshnessThreshold{};
  s.freshness->warn_after->count = 12;
  s.freshness->warn_after->period = components::TimePeriod::Hour;
  s.freshness->error_after.reset();
  s.external = ExternalTable{};
  s.external->location = "s3://bucket/orders/";
  s.external->partitions =
      std::vector<ExternalPartition>{ExternalPartition("ds", "load day", "date")};
  s.external->_extra = {{"options", {{"header", true}}}};
  s.description = "All orders";
  s.columns["id"].name = "id";
  s.columns["id"].quote = false;
  s.columns["id"]._extra = {{"tests", {"unique"}}};
  s.meta = {{"owner", "data"}};
  s.source_meta = {{"tier", 1}};
  s.tags = {"raw"};
  s.config.enabled = false;
  s.config.event_time = "created_at";
  s.patch_path = "models/sources.yml";
  s.relation_name = "raw.orders_v2";
  s.unrendered_database = "{{ env_var('DB') }}";
  s.connection = "warehouse";
  s.zyl_adapter_type = "postgres";
  return s;
}

TEST(SourceDefinitionTest, RoundTripsInFieldOrder) {
  const SourceDefinition s = full_source();
  const Value d = s.to_dict();
  EXPECT_EQ(SourceDefinition::from_dict(d), s);

  SourceDefinition named = s;
  named.external->partitions = Strings{"ds", "hour"};
  EXPECT_EQ(SourceDefinition::from_dict(named.to_dict()), named);

  std::vector<std::string> keys;
  for (const auto& [k, v] : d.items()) keys.push_back(k);
  EXPECT_EQ(keys, (Strings{"name",
                           "package_name",
                           "path",
                           "original_file_path",
                           "unique_id",
                           "fqn",
                           "database",
                           "schema",
                           "source_name",
                           "source_description",
                           "loader",
                           "identifier",
                           "resource_type",
                           "quoting",
                           "loaded_at_field",
                           "freshness",
                           "external",
                           "description",
                           "columns",
                           "meta",
                           "source_meta",
                           "tags",
                           "config",
                           "patch_path",
                           "unrendered_config",
                           "relation_name",
                           "created_at",
                           "unrendered_database",
                           "unrendered_schema",
                           "connection",
                           "zyl_adapter_type"}));
  EXPECT_EQ(d["resource_type"], "source");
  EXPECT_EQ(d["external"]["options"], (Value{{"header", true}}));
}

TEST(SourceDefinitionTest, ValidateNamesTheFieldThatDoesNotFit) {
  const Value d = full_source().to_dict();
  auto message = [](const Value& data) -> std::string {
    try {
      SourceDefinition::validate(data);
    } catch (const brek_common::ValidationError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(message(d), "");
  Value wrong = d;
  wrong["columns"]["id"]["quote"] = "yes";
  EXPECT_EQ(message(wrong), "SourceDefinition.columns.id.quote: expected a boolean, got \"yes\"");
  wrong = d;
  wrong["freshness"]["warn_after"]["period"] = "week";
  EXPECT_EQ(message(wrong),
            "SourceDefinition.freshness.warn_after.period: expected one of 'minute', 'hour', "
            "'day' (TimePeriod), got \"week\"");
  wrong = d;
  wrong.erase("source_name");
  EXPECT_EQ(message(wrong), "SourceDefinition: missing required field 'source_name'");
  wrong = d;
  wrong["connection"] = Value::array();
  EXPECT_EQ(message(wrong), "SourceDefinition.connection: expected a string, got []");
  wrong = d;
  wrong["config"]["loader_hint"] = "x";  // configs accept extra keys
  EXPECT_EQ(message(wrong), "");
  EXPECT_EQ(SourceDefinition::from_dict(wrong).config.get("loader_hint"), "x");
}

}  // namespace
}  // namespace brek::artifacts::resources::v1::wellspring
