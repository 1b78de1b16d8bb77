#include "brek/artifacts/resources/v1/exposure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brek_common/exceptions.h"

namespace brek::artifacts::resources::v1::exposure {
namespace {

using zyl::Value;
using Strings = std::vector<std::string>;

Value identity() {
  return {{"name", "weekly"},
          {"package_name", "shop"},
          {"path", "exposures.yml"},
          {"original_file_path", "models/exposures.yml"},
          {"unique_id", "exposure.shop.weekly"},
          {"fqn", {"shop", "weekly"}}};
}

std::string validation_message(const Value& data) {
  try {
    Exposure::validate(data);
  } catch (const brek_common::ValidationError& e) {
    return e.what();
  }
  return "";
}

TEST(ExposureTest, NeedsTypeOwnerAndResourceTypeOnly) {
  Value d = identity();
  EXPECT_EQ(validation_message(d), "Exposure: missing required field 'type'");
  d["type"] = "dashboard";
  EXPECT_EQ(validation_message(d), "Exposure: missing required field 'owner'");
  d["owner"] = {{"email", "bi@example.com"}, {"slack", "#bi"}};
  EXPECT_EQ(validation_message(d), "Exposure: missing required field 'resource_type'");
  d["resource_type"] = "exposure";
  const Exposure e = Exposure::from_dict(d);
  EXPECT_EQ(e.type, ExposureType::Dashboard);
  EXPECT_EQ(e.owner.email, "bi@example.com");
  EXPECT_EQ(e.owner._extra, (Value{{"slack", "#bi"}}));
  EXPECT_TRUE(e.config.enabled);
  EXPECT_EQ(e.description, "");
  EXPECT_FALSE(e.maturity.has_value());
  EXPECT_TRUE(e.refs.empty());
}

TEST(ExposureTest, EnumerationsAreLookedUpByValue) {
  EXPECT_EQ(StrEnum<ExposureType>::from_value("ml"), ExposureType::ML);
  EXPECT_EQ(StrEnum<ExposureType>::from_value("ML"), std::nullopt);
  EXPECT_EQ(StrEnum<ExposureType>::from_value("application"), ExposureType::Application);
  EXPECT_EQ(StrEnum<MaturityType>::from_value("medium"), MaturityType::Medium);
  EXPECT_EQ(StrEnum<MaturityType>::value(MaturityType::High), "high");

  Value d = identity();
  d["owner"] = Value::object();
  d["resource_type"] = "exposure";
  d["type"] = "ML";
  EXPECT_EQ(validation_message(d),
            "Exposure.type: expected one of 'dashboard', 'notebook', 'analysis', 'ml', "
            "'application' (ExposureType), got \"ML\"");
  d["type"] = "ml";
  d["maturity"] = "top";
  EXPECT_EQ(validation_message(d),
            "Exposure.maturity: expected one of 'low', 'medium', 'high' (MaturityType), got "
            "\"top\"");
  d["maturity"] = "low";
  d["resource_type"] = "source";
  EXPECT_EQ(validation_message(d), "Exposure.resource_type: expected 'exposure', got \"source\"");
}

TEST(ExposureTest, RoundTripsInFieldOrder) {
  Exposure e = Exposure::from_dict([] {
    Value d = identity();
    d["type"] = "application";
    d["owner"] = {{"name", "BI team"}};
    d["resource_type"] = "exposure";
    return d;
  }());
  e.label = "Weekly sales";
  e.maturity = MaturityType::High;
  e.meta = {{"priority", 1}};
  e.tags = {"sales"};
  e.config.enabled = false;
  e.config._extra = {{"group", "finance"}};
  e.url = "https://bi.example.com/weekly";
  e.depends_on.nodes = {"model.shop.orders"};
  e.refs.emplace_back();
  e.refs[0].name = "orders";
  e.refs[0].package = "shop";
  e.sources = {{"raw", "orders"}};
  e.metrics = {{"revenue"}};

  const Value d = e.to_dict();
  EXPECT_EQ(Exposure::from_dict(d), e);
  Strings keys;
  for (const auto& [k, v] : d.items()) keys.push_back(k);
  EXPECT_EQ(keys, (Strings{"name",          "package_name", "path",   "original_file_path",
                           "unique_id",     "fqn",          "type",   "owner",
                           "resource_type", "description",  "label",  "maturity",
                           "meta",          "tags",         "config", "unrendered_config",
                           "url",           "depends_on",   "refs",   "sources",
                           "metrics",       "created_at"}));
  EXPECT_EQ(d["config"], (Value{{"enabled", false}, {"group", "finance"}}));
  EXPECT_EQ(d["refs"][0], (Value{{"name", "orders"}, {"package", "shop"}, {"version", nullptr}}));

  Value wrong = d;
  wrong["sources"] = Value::array({Value::array({"raw", 1})});
  EXPECT_EQ(validation_message(wrong), "Exposure.sources[0][1]: expected a string, got 1");
  wrong["sources"] = "raw.orders";
  EXPECT_EQ(validation_message(wrong),
            "Exposure.sources: expected a list of lists of strings, got \"raw.orders\"");
}

}  // namespace
}  // namespace brek::artifacts::resources::v1::exposure
