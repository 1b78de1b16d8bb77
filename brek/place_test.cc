#include "brek/place.h"

#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brek {
namespace {

using zyl::Value;

// Two profiles sharing output names, the other one first in the file, as users' files often are.
Value shared_names() {
  return Value::parse(R"({
    "other": {"outputs": {"pg": {"type": "postgres", "dbname": "theirs", "schema": "them"}}},
    "shop": {"outputs": {"pg": {"type": "postgres", "dbname": "ours", "schema": "us"},
                          "dev": {"type": "duckdb", "path": "/tmp/dev.duckdb"}}},
    "third": {"outputs": {"wh": {"type": "mysql", "database": "wh"}, "bad": 3}},
    "text": "not a profile"
  })");
}

Node model(const std::string& name) {
  Node n;
  n.name = name;
  n.unique_id = "model.shop." + name;
  n.resource_type = "model";
  return n;
}

TEST(FindOutput, OwnProfileFirstThenTheOthersInFileOrder) {
  Value profiles = shared_names();
  EXPECT_EQ(zyl::get_text(*find_output(profiles, "shop", "pg"), "dbname"), "ours");
  EXPECT_EQ(zyl::get_text(*find_output(profiles, "other", "pg"), "dbname"), "theirs");
  // A name the own profile lacks falls back to the first profile that has it.
  EXPECT_EQ(zyl::get_text(*find_output(profiles, "shop", "wh"), "type"), "mysql");
  EXPECT_EQ(zyl::get_text(*find_output(profiles, "nobody", "pg"), "dbname"), "theirs");
  EXPECT_EQ(find_output(profiles, "shop", "bad"), nullptr);  // not a map
  EXPECT_EQ(find_output(profiles, "shop", "gone"), nullptr);
  EXPECT_EQ(find_output(Value("x"), "shop", "pg"), nullptr);
}

TEST(ModelOutput, CommandLineThenConfiguredThenDefault) {
  Value profiles = shared_names();
  Targets targets{&profiles, "shop", "dev", std::nullopt};
  Node m = model("m");
  EXPECT_EQ(model_output(m, targets), "dev");
  m.config._extra["target"] = "wh";
  EXPECT_EQ(model_output(m, targets), "wh");
  m.config.target = "pg";
  EXPECT_EQ(model_output(m, targets), "pg");
  targets.cli_target = "dev";
  EXPECT_EQ(model_output(m, targets), "dev");
}

TEST(PlaceOf, ConfiguredSchemaKeptOnAnyTargetOutputSchemaOtherwise) {
  Value profiles = shared_names();
  Targets targets{&profiles, "shop", "dev", std::nullopt};
  Node m = model("Orders");
  m.config.target = "pg";
  std::optional<Place> place = place_of(m, targets);
  ASSERT_TRUE(place);
  EXPECT_EQ(place->output, "pg");
  EXPECT_EQ(place->schema, "us");  // the own profile's pg, not the first one in the file
  EXPECT_EQ(place->relation, R"("ours"."us"."Orders")");
  EXPECT_EQ(place->table, R"("us"."Orders")");

  m.config["schema"] = "rt_reporting";
  place = place_of(m, targets);
  EXPECT_EQ(place->table, R"("rt_reporting"."Orders")");

  m.config.target = "wh";  // mysql: no database level, backticks
  place = place_of(m, targets);
  EXPECT_FALSE(place->database);
  EXPECT_EQ(place->relation, "`rt_reporting`.`Orders`");

  m.config.target = "gone";
  EXPECT_FALSE(place_of(m, targets));
}

TEST(PlaceIn, EngineDefaultsWhenNothingIsConfigured) {
  Node m = model("order");
  EXPECT_EQ(place_in(m, "d", Value::parse(R"({"type": "duckdb"})")).relation,
            R"("memory"."main"."order")");
  EXPECT_EQ(place_in(m, "p", Value::parse(R"({"type": "postgres", "dbname": "db"})")).relation,
            R"("db"."public"."order")");
  m.config["schema"] = "ignored";  // SQLite has one schema only
  EXPECT_EQ(place_in(m, "s", Value::parse(R"({"type": "sqlite"})")).relation,
            R"("main"."order")");
  m.config["database"] = "other";
  EXPECT_EQ(place_in(m, "p", Value::parse(R"({"type": "postgres", "dbname": "db"})")).database,
            "other");
}

TEST(ConnectionConfig, ReachesTheDatabaseOfThePlaceOrRefuses) {
  Node m = model("orders");
  Value pg = Value::parse(R"({"type": "postgres", "dbname": "db", "database": "db"})");
  EXPECT_EQ(connection_config(place_in(m, "p", pg), pg), pg);  // the output's own database
  m.config["database"] = "other";
  Value moved = connection_config(place_in(m, "p", pg), pg);
  EXPECT_EQ(zyl::get_text(moved, "dbname"), "other");
  EXPECT_EQ(zyl::get_text(moved, "database"), "other");

  Value duck = Value::parse(R"({"type": "duckdb", "path": "wh.duckdb"})");
  EXPECT_THAT([&] { connection_config(place_in(m, "d", duck), duck); },
              testing::ThrowsMessage<std::runtime_error>(testing::HasSubstr(
                  R"(relation "other"."main"."orders" is in database 'other', but output 'd')")));
  m.config["database"] = "wh";  // the file's own catalog
  EXPECT_EQ(connection_config(place_in(m, "d", duck), duck), duck);
  Value my = Value::parse(R"({"type": "mysql", "database": "wh"})");
  EXPECT_EQ(connection_config(place_in(m, "m", my), my), my);  // no database level
}

}  // namespace
}  // namespace brek
