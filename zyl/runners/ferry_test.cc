#include "zyl/runners/ferry.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/log.h"
#include "zyl/components.h"
#include "zyl/runners/test_fakes.h"

namespace zyl::runners::ferry {
namespace {

using config::compass::ExecutionPath;

// Stands in for the host's materialisation and for the extraction path, recording which ran.
class RecordingRunner final : public ZylModelRunner {
 public:
  using ZylModelRunner::ZylModelRunner;
  int pushdowns = 0;

 protected:
  brek::RunResult run_on_default_target(brek::Node& model, brek::Manifest&) override {
    ++pushdowns;
    return _make_run_result(node_, brek::RunStatus::Success, "OK", 0.0);
  }
};

class FerryTest : public ::testing::Test {
 protected:
  FerryTest() {
    auto cfg = std::make_shared<brek::RuntimeConfig>();
    cfg->target_name = "dev";
    node = std::make_shared<brek::Node>();
    node->unique_id = "model.shop.orders";
    node->name = "orders";
    node->resource_type = "model";
    node->schema = "analytics";
    runner = std::make_unique<RecordingRunner>(cfg, nullptr, node, 1, 1);
    // The extraction path gets components that work, so only the dispatch is under test here.
    overrides->sling_client = [this] {
      return std::make_unique<testing::FakeSlingClient>(
          journal, [this] { return cache.get(); }, sling_calls);
    };
    overrides->cache = [this](const federation::zyl_cache::CacheLocation&) {
      cache = std::make_shared<testing::FakeCache>(journal);
      return cache;
    };
    overrides->load_tether = [](const std::filesystem::path&) {
      return config::tether::SourceConnectionMap();
    };
  }

  ResolvedModel resolution(ExecutionPath path, std::string target = "dev") {
    return ResolvedModel{node->unique_id, node->name, target, path, {}, {}};
  }

  components::ScopedOverride overrides;
  testing::Journal journal;
  std::shared_ptr<testing::FakeCache> cache;
  std::vector<testing::FakeSlingClient::Call> sling_calls;
  brek::NodePtr node;
  brek::Manifest manifest;
  std::unique_ptr<RecordingRunner> runner;
  Value profiles = {
      {"a",
       {{"outputs",
         {{"dev", {{"type", "postgres"}, {"host", "h"}}},
          {"mart_out", {{"type", "duckdb"}, {"schema", "mart"}}},
          {"db_out", {{"type", "mysql"}, {"database", "db1"}}},
          {"bare", {{"type", "sqlite"}}},
          {"nulls", {{"type", "duckdb"}, {"schema", nullptr}, {"database", "ignored"}}}}}}}};
};

TEST_F(FerryTest, WithoutContextDelegatesAndLogsNothing) {
  log::Capture capture;
  auto result = runner->execute(*node, manifest);
  EXPECT_EQ(runner->pushdowns, 1);
  EXPECT_EQ(result.status, brek::RunStatus::Success);
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_THROW(
      {
        try {
          runner->_get_output_config("dev");
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "ZYL: profiles not set on runner");
          throw;
        }
      },
      std::runtime_error);
}

TEST_F(FerryTest, DefaultPushdownLogsAndDelegates) {
  log::Capture capture;
  runner->set_zyl_context(resolution(ExecutionPath::DEFAULT_PUSHDOWN), profiles);
  runner->execute(*node, manifest);
  EXPECT_EQ(runner->pushdowns, 1);
  EXPECT_EQ(capture.messages("zyl.runners.ferry", spdlog::level::info),
            (std::vector<std::string>{"ZYL [orders]: default_pushdown"}));
}

TEST_F(FerryTest, NonDefaultPushdownTakesExtractionWithoutCoercion) {
  log::Capture capture;
  node->config["materialized"] = "view";
  runner->set_zyl_context(resolution(ExecutionPath::NON_DEFAULT_PUSHDOWN, "warehouse"), profiles);
  auto result = runner->execute(*node, manifest);
  EXPECT_EQ(runner->pushdowns, 0);
  EXPECT_EQ(node->config["materialized"], "view");
  auto info = capture.messages("zyl.runners.ferry", spdlog::level::info);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info[0], "ZYL [orders]: non_default_pushdown via extraction (target=warehouse)");
  EXPECT_TRUE(capture.messages("", spdlog::level::warn).empty());
}

TEST_F(FerryTest, ViewAndEphemeralBoundForExtractionAreCoercedToTable) {
  for (const char* materialized : {"view", "ephemeral"}) {
    log::Capture capture;
    node->config["materialized"] = materialized;
    runner->set_zyl_context(resolution(ExecutionPath::DUCKDB_COMPUTE), profiles);
    runner->execute(*node, manifest);
    EXPECT_EQ(node->config["materialized"], "table");
    auto lines = capture.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, spdlog::level::warn);
    EXPECT_EQ(lines[0].message, std::string("ZYL001: Model 'orders' is '") + materialized +
                                    "' but requires cross-engine extraction. Coercing to 'table'.");
    EXPECT_EQ(lines[1].message, "ZYL [orders]: extraction via DuckDB cache");
  }
  // A model without any materialisation counts as a view.
  node->config.entries.erase("materialized");
  runner->set_zyl_context(resolution(ExecutionPath::SLING_DIRECT), profiles);
  runner->execute(*node, manifest);
  EXPECT_EQ(node->config["materialized"], "table");
  EXPECT_EQ(runner->pushdowns, 0);
}

TEST_F(FerryTest, TablesAndIncrementalsAreNotCoerced) {
  for (const char* materialized : {"table", "incremental"}) {
    log::Capture capture;
    node->config["materialized"] = materialized;
    runner->set_zyl_context(resolution(ExecutionPath::SLING_DIRECT), profiles);
    runner->execute(*node, manifest);
    EXPECT_EQ(node->config["materialized"], materialized);
    EXPECT_TRUE(capture.messages("", spdlog::level::warn).empty());
  }
}

TEST_F(FerryTest, OutputLookupCopiesAndFillsType) {
  runner->set_zyl_context(std::nullopt, profiles);
  Value dev = runner->_get_output_config("dev");
  EXPECT_EQ(dev, (Value{{"type", "postgres"}, {"host", "h"}}));
  dev["host"] = "changed";
  EXPECT_EQ(runner->_profiles->at("a")["outputs"]["dev"]["host"], "h");

  Value layered = {{"first", "a string profile"},
                   {"second", {{"outputs", {{"dev", "not a map"}}}}},
                   {"third", {{"outputs", {{"dev", {{"host", "x"}}}}}}},
                   {"fourth", {{"outputs", {{"dev", {{"type", "duckdb"}}}}}}}};
  runner->set_zyl_context(std::nullopt, layered);
  EXPECT_EQ(runner->_get_output_config("dev"), (Value{{"host", "x"}, {"type", ""}}));

  try {
    runner->_get_output_config("Dev");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "ZYL101: Connection 'Dev' not found in profiles.yml");
  }
  runner->set_zyl_context(std::nullopt, Value::object());
  try {
    runner->_get_output_config("dev");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "ZYL: profiles not set on runner");
  }
}

// The configured schema holds on every target; the output's schema (or its engine's default) is
// the default, whatever schema the node was compiled with elsewhere. Names are quoted for the
// target's engine.
TEST_F(FerryTest, TargetTableNameIsTheModelsPlaceOnItsTarget) {
  node->schema = "compiled_elsewhere";
  auto table_on = [&](const std::string& target) {
    runner->set_zyl_context(resolution(ExecutionPath::NON_DEFAULT_PUSHDOWN, target), profiles);
    return runner->_model_table_name(*node);
  };
  EXPECT_EQ(table_on("dev"), R"("public"."orders")");
  EXPECT_EQ(table_on("mart_out"), R"("mart"."orders")");
  EXPECT_EQ(table_on("db_out"), "`db1`.`orders`");
  EXPECT_EQ(table_on("nulls"), R"("main"."orders")");
  EXPECT_EQ(table_on("bare"), R"("main"."orders")");
  EXPECT_THROW(table_on("missing"), std::runtime_error);

  node->config["schema"] = "rt_reporting";
  node->name = "Orders";
  EXPECT_EQ(table_on("mart_out"), R"("rt_reporting"."Orders")");
  EXPECT_EQ(table_on("db_out"), "`rt_reporting`.`Orders`");
  EXPECT_EQ(table_on("bare"), R"("main"."Orders")");  // one schema only
}

// An output name two profiles share is the project's own profile's, wherever it stands in the
// file; a name only another profile has is still found there.
TEST_F(FerryTest, OutputLookupPrefersTheProjectsOwnProfile) {
  auto cfg = std::make_shared<brek::RuntimeConfig>();
  cfg->target_name = "dev";
  cfg->profile_name = "shop";
  RecordingRunner own(cfg, nullptr, node, 1, 1);
  Value shared = {
      {"other",
       {{"outputs",
         {{"pg", {{"type", "postgres"}, {"schema", "theirs"}}}, {"wh", {{"type", "mysql"}}}}}}},
      {"shop", {{"outputs", {{"pg", {{"type", "postgres"}, {"schema", "ours"}}}}}}}};
  own.set_zyl_context(resolution(ExecutionPath::NON_DEFAULT_PUSHDOWN, "pg"), shared);
  EXPECT_EQ(own._get_output_config("pg")["schema"], "ours");
  EXPECT_EQ(own._get_output_config("wh")["type"], "mysql");
  EXPECT_EQ(own._model_table_name(*node), R"("ours"."orders")");
}

TEST(MakeRunResultTest, FillsEveryField) {
  auto node = std::make_shared<brek::Node>();
  auto ok = _make_run_result(node, brek::RunStatus::Success, "SELECT 5", 1.5, 5);
  EXPECT_EQ(ok.failures, 0);
  EXPECT_EQ(ok.adapter_response, (Value{{"_message", "SELECT 5"}, {"rows_affected", 5}}));
  EXPECT_EQ(ok.execution_time, 1.5);
  EXPECT_TRUE(ok.timing.empty());
  EXPECT_FALSE(ok.batch_results.has_value());
  EXPECT_EQ(ok.node, node);
  auto err = _make_run_result(node, brek::RunStatus::Error, "boom", 0.1);
  EXPECT_EQ(err.failures, 1);
  EXPECT_EQ(err.adapter_response["rows_affected"], 0);
  auto none = _make_run_result(node, brek::RunStatus::Success, "SELECT None", 0.1, std::nullopt);
  EXPECT_TRUE(none.adapter_response["rows_affected"].is_null());

  std::string thread_id;
  std::thread worker([&] {
    log::set_thread_name("Thread-3");
    thread_id = _make_run_result(node, brek::RunStatus::Success, "x", 0).thread_id;
  });
  worker.join();
  EXPECT_EQ(thread_id, "Thread-3");
}

}  // namespace
}  // namespace zyl::runners::ferry
