#include <gtest/gtest.h>

#include "core/log.h"
#include "zyl/components.h"
#include "zyl/runners/ferry.h"
#include "zyl/runners/test_fakes.h"

namespace zyl::runners {
namespace {

using config::compass::ExecutionPath;
using config::compass::ResolvedModel;
using testing::FakeAdapter;
using testing::FakeConnection;
using testing::TestRunner;

class WatermarkLookupTest : public ::testing::Test {
 protected:
  WatermarkLookupTest() {
    auto config = std::make_shared<brek::RuntimeConfig>();
    config->target_name = "dev";
    adapter = std::make_shared<FakeAdapter>();
    model = std::make_shared<brek::Node>();
    model->unique_id = "model.shop.orders";
    model->name = "orders";
    model->schema = "an";
    runner = std::make_unique<TestRunner>(config, adapter, model, 1, 1);
    run_on("dev");
    overrides->get_connection = [this](const std::string& type, const Value& target_config) {
      connection_requests.push_back(type + " " + target_config.dump());
      if (!make_connection) return std::unique_ptr<drivers::Connection>();
      auto connection = std::make_unique<FakeConnection>(connection_queries, connection_closed);
      connection->cell = cell;
      connection->fail = connection_fails;
      return std::unique_ptr<drivers::Connection>(std::move(connection));
    };
  }

  void run_on(const std::string& target) {
    runner->set_zyl_context(
        ResolvedModel{model->unique_id, model->name, target, ExecutionPath::SLING_DIRECT, {}, {}},
        profiles);
  }

  auto lookup(const std::string& sql) {
    model->compiled_code = sql;
    return runner->_resolve_watermark_from_target(*model);
  }

  Value profiles = {
      {"p",
       {{"outputs",
         {{"dev", {{"type", "postgres"}, {"schema", "an"}}},
          {"warehouse", {{"type", "duckdb"}, {"path", "w.duckdb"}, {"schema", "mart"}}}}}}}};
  components::ScopedOverride overrides;
  std::shared_ptr<FakeAdapter> adapter;
  brek::NodePtr model;
  std::unique_ptr<TestRunner> runner;
  std::vector<std::string> connection_requests;
  std::vector<std::string> connection_queries;
  bool connection_closed = false;
  bool make_connection = true;
  bool connection_fails = false;
  drivers::Cell cell = std::monostate{};
};

TEST_F(WatermarkLookupTest, PicksTheFirstCandidateInListOrder) {
  adapter->table.rows = {{Value("2024-01-31 13:45:00")}};
  struct Case {
    const char* sql;
    const char* column;
  };
  const Case cases[] = {
      {"select * from t where UPDATED_AT > 1", "updated_at"},
      {"select loaded_at, modified_at from t", "modified_at"},
      {"select _updated_at from t", "updated_at"},
      {"select update_date from t", "update_date"},
      {"select created_at, loaded_at from t", "created_at"},
  };
  for (const auto& c : cases) {
    adapter->queries.clear();
    auto [value, column] = lookup(c.sql);
    EXPECT_EQ(column, c.column) << c.sql;
    EXPECT_EQ(value, Value("2024-01-31 13:45:00")) << c.sql;
    EXPECT_EQ(adapter->queries, std::vector<std::string>{std::string("SELECT MAX(") + c.column +
                                                         R"() FROM "an"."orders")"});
  }
}

TEST_F(WatermarkLookupTest, NoBoundWithoutCandidateRowOrSuccessfulQuery) {
  log::Capture capture;
  auto none = lookup("select id, name from t");
  EXPECT_FALSE(none.first.has_value());
  EXPECT_FALSE(none.second.has_value());
  EXPECT_TRUE(adapter->queries.empty());

  for (const auto& rows : std::vector<std::vector<std::vector<Value>>>{{}, {{nullptr}}}) {
    adapter->table.rows = rows;
    auto empty = lookup("select updated_at from t");
    EXPECT_FALSE(empty.first.has_value());
    EXPECT_FALSE(empty.second.has_value());
  }

  adapter->fail = true;
  auto failed = lookup("select updated_at from t");
  EXPECT_FALSE(failed.first.has_value());
  EXPECT_FALSE(failed.second.has_value());
  EXPECT_TRUE(capture.lines().empty());

  // A target that no profile defines fails the table name lookup: swallowed as well.
  run_on("nowhere");
  EXPECT_FALSE(lookup("select updated_at from t").first.has_value());
}

// The bound of a model on another output is read from that output, not from the default
// target's adapter, on a connection that is closed afterwards.
TEST_F(WatermarkLookupTest, ModelOnAnotherTargetIsAskedOnItsOwnConnection) {
  run_on("warehouse");
  cell = std::int64_t{1706708700000000};  // 2024-01-31 13:45:00 in microseconds
  auto [value, column] = lookup("select * from src where updated_at > 0");
  EXPECT_EQ(column, "updated_at");
  EXPECT_EQ(value, Value("2024-01-31 13:45:00"));
  EXPECT_TRUE(adapter->queries.empty());
  ASSERT_EQ(connection_requests.size(), 1u);
  EXPECT_EQ(connection_requests[0],
            R"(duckdb {"type":"duckdb","path":"w.duckdb","schema":"mart"})");
  EXPECT_EQ(connection_queries,
            std::vector<std::string>{R"(SELECT MAX(updated_at) FROM "mart"."orders")"});
  EXPECT_TRUE(connection_closed);

  // NULL maximum, a failing query (still closed), no connection, no connection component.
  cell = std::monostate{};
  EXPECT_FALSE(lookup("updated_at").first.has_value());
  connection_closed = false;
  connection_fails = true;
  EXPECT_FALSE(lookup("updated_at").first.has_value());
  EXPECT_TRUE(connection_closed);
  make_connection = false;
  EXPECT_FALSE(lookup("updated_at").first.has_value());
  overrides->get_connection = nullptr;
  EXPECT_FALSE(lookup("updated_at").first.has_value());
  EXPECT_TRUE(adapter->queries.empty());
}

}  // namespace
}  // namespace zyl::runners
