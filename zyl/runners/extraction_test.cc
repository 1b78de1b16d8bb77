#include <gtest/gtest.h>

#include <cmath>

#include "core/log.h"
#include "drivers/duckdb/duckdb_driver.h"
#include "zyl/components.h"
#include "zyl/runners/ferry.h"
#include "zyl/runners/test_fakes.h"

namespace zyl::runners {
namespace {

using config::compass::ExecutionPath;
using config::compass::ResolvedModel;
using federation::optimizer::Optimization;
using federation::optimizer::Optimizations;
using testing::FakeAdapter;
using testing::FakeCache;
using testing::FakeSlingClient;
using testing::Journal;
using testing::TestRunner;
using Strings = std::vector<std::string>;

constexpr const char* kHint = "\n    Check logs/zyl.log for full details.";

// A model `orders` (database db, schema an) reading two sources: crm.customers, held by the
// `crm_pg` connection, and web.events (identifier events_v2), which lives on the model's target.
class ExtractionTest : public ::testing::Test {
 protected:
  ExtractionTest() {
    config = std::make_shared<brek::RuntimeConfig>();
    config->target_name = "dev";
    config->args.PROJECT_DIR = "/proj";
    adapter = std::make_shared<FakeAdapter>();
    model = std::make_shared<brek::Node>();
    model->unique_id = "model.shop.orders";
    model->name = "orders";
    model->database = "db";
    model->schema = "an";
    model->config["materialized"] = "table";
    model->depends_on = brek::DependsOn{
        {"source.shop.crm.customers", "source.shop.crm.gone", "source.shop.web.events"}, {}};
    model->compiled_code =
        R"(select c.id, e.kind from "raw"."crm"."customers" c join web.events_v2 e on c.id = e.cid)";
    add_source("source.shop.crm.customers", "crm", "customers", "crm", "", "raw");
    add_source("source.shop.web.events", "web", "events", "web", "events_v2", "");
    runner = std::make_unique<TestRunner>(config, adapter, model, 1, 1);
    cache = std::make_shared<FakeCache>(journal);
    set_target("warehouse");

    overrides->sling_client = [this] {
      return std::make_unique<FakeSlingClient>(
          journal, [this] { return sling_cache(); }, sling);
    };
    overrides->cache = [this](const federation::zyl_cache::CacheLocation& location) {
      journal.record("open cache " + location.cache_path.string());
      own_cache = std::make_shared<FakeCache>(journal, location.cache_path.string());
      return own_cache;
    };
    overrides->load_tether = [this](const std::filesystem::path& dir) {
      journal.record("load_tether " + dir.string());
      return tether;
    };
    overrides->optimize_extractions = [this](const std::string& sql,
                                             const OrderedMap<std::string, std::string>& map,
                                             const federation::optimizer::SourceColumns& columns) {
      journal.record("optimize");
      optimized_sql = sql;
      optimized_map = map;
      optimized_columns = columns;
      return optimizations;
    };
    overrides->get_connection = [](const std::string&, const Value&) {
      return std::unique_ptr<drivers::Connection>();
    };
    overrides->format_watermark = [this](const Value& value, const std::string& type,
                                         const std::string& kind) {
      journal.record("format " + value.dump() + " " + type + " " + kind);
      return std::string("'W'");
    };
    overrides->track_zyl_extraction = [this](const Value& event) {
      journal.record("track");
      events.push_back(event);
    };
    tether.set("crm", "crm_pg");
  }

  void add_source(const std::string& id, const std::string& source_name, const std::string& name,
                  const std::string& schema, const std::string& identifier,
                  const std::string& database) {
    auto source = std::make_shared<brek::SourceNode>();
    source->unique_id = id;
    source->source_name = source_name;
    source->name = name;
    source->schema = schema;
    if (!identifier.empty()) source->identifier = identifier;
    if (!database.empty()) source->database = database;
    manifest.sources.set(id, source);
  }

  void set_target(const std::string& target, bool shared = true) {
    bool on_default = target == config->target_name;
    runner->set_zyl_context(ResolvedModel{model->unique_id,
                                          model->name,
                                          target,
                                          on_default ? ExecutionPath::SLING_DIRECT
                                                     : ExecutionPath::NON_DEFAULT_PUSHDOWN,
                                          {},
                                          {}},
                            profiles, shared ? cache : nullptr);
  }

  FakeCache* sling_cache() { return runner->_cache ? cache.get() : own_cache.get(); }

  brek::RunResult run() {
    journal.calls.clear();
    sling.clear();
    return runner->execute(*model, manifest);
  }

  Value output(const std::string& name) { return profiles["p"]["outputs"][name]; }

  Value profiles = {
      {"p",
       {{"outputs",
         {{"dev", {{"type", "postgres"}, {"host", "h"}, {"password", "dev-pw"}, {"schema", "an"}}},
          {"warehouse", {{"type", "duckdb"}, {"path", "w.duckdb"}, {"schema", "mart"}}},
          {"crm_pg", {{"type", "postgres"}, {"host", "crm"}, {"password", "crm-pw-9"}}},
          {"t", {{"type", "postgres"}}}}}}}};
  components::ScopedOverride overrides;
  Journal journal;
  std::shared_ptr<brek::RuntimeConfig> config;
  std::shared_ptr<FakeAdapter> adapter;
  brek::NodePtr model;
  brek::Manifest manifest;
  std::unique_ptr<TestRunner> runner;
  std::shared_ptr<FakeCache> cache;
  std::shared_ptr<FakeCache> own_cache;
  std::vector<FakeSlingClient::Call> sling;
  config::tether::SourceConnectionMap tether;
  Optimizations optimizations;
  std::string optimized_sql;
  OrderedMap<std::string, std::string> optimized_map;
  federation::optimizer::SourceColumns optimized_columns;
  std::vector<Value> events;
};

TEST_F(ExtractionTest, RunsEveryStepInOrder) {
  log::Capture capture;
  brek::RunResult result = run();

  // A Sling call on an open or unlocked cache would carry " WHILE OPEN" / " WITHOUT LOCK".
  EXPECT_EQ(journal.calls,
            (Strings{"acquire", "ensure_created", "load_tether /proj", "optimize", "close",
                     "extract src_crm__customers", "reopen", "close", "extract src_web__events",
                     "reopen", "save orders replace", "close", R"(load "mart"."orders")", "reopen",
                     "commit orders replace", "track", "release"}));
  const std::string rewritten =
      "select c.id, e.kind from src_crm__customers c join src_web__events e on c.id = e.cid";
  EXPECT_EQ(optimized_sql, rewritten);
  EXPECT_EQ(cache->saved_sql, Strings{rewritten});
  OrderedMap<std::string, std::string> expected_map;
  expected_map.set("src_crm__customers", "src_crm__customers");
  expected_map.set("src_web__events", "src_web__events");
  EXPECT_EQ(optimized_map, expected_map);

  // The missing source is skipped; a source without identifier is read by its name; a source
  // that is not in the connection map is read from the model's own target.
  ASSERT_EQ(sling.size(), 3u);
  EXPECT_EQ(sling[0].config, output("crm_pg"));
  EXPECT_EQ(sling[0].duckdb_path, "/proj/.zyl/cache.duckdb");
  EXPECT_EQ(sling[0].query, R"(SELECT * FROM "crm"."customers")");
  EXPECT_EQ(sling[1].config, output("warehouse"));
  EXPECT_EQ(sling[1].query, R"(SELECT * FROM "web"."events_v2")");
  EXPECT_EQ(sling[2].config, output("warehouse"));
  EXPECT_EQ(sling[2].duckdb_path, "/proj/.zyl/cache.duckdb");
  EXPECT_EQ(sling[2].query, "SELECT * FROM __pending__orders");
  EXPECT_EQ(sling[2].table, R"("mart"."orders")");
  EXPECT_EQ(sling[2].mode, "truncate");
  EXPECT_FALSE(sling[2].primary_key.has_value());
  EXPECT_FALSE(sling[2].update_key.has_value());

  EXPECT_EQ(result.status, brek::RunStatus::Success);
  EXPECT_EQ(result.message, "SELECT 7");
  EXPECT_EQ(result.adapter_response["rows_affected"], 7);
  EXPECT_EQ(result.node, model);
  EXPECT_TRUE(cache->open);
  EXPECT_EQ(cache->lock().acquired, 1);
  EXPECT_EQ(cache->lock().released, 1);
  EXPECT_TRUE(adapter->queries.empty());
  EXPECT_TRUE(capture.contains("ZYL [orders]: DuckDB SQL: " + rewritten + "..."));

  ASSERT_EQ(events.size(), 1u);
  const Value& event = events[0];
  Strings keys;
  for (const auto& [key, value] : event.items()) keys.push_back(key);
  EXPECT_EQ(keys, (Strings{"model_name_hash", "execution_path", "source_adapter_types",
                           "target_adapter_type", "is_incremental", "row_count", "duration_seconds",
                           "success"}));
  EXPECT_EQ(event["model_name_hash"], "12c500ed0b7879105fb46af0f246be87");
  EXPECT_EQ(event["execution_path"], "extraction");
  EXPECT_EQ(event["source_adapter_types"], (Value{"postgres", "duckdb"}));
  EXPECT_EQ(event["target_adapter_type"], "duckdb");
  EXPECT_EQ(event["is_incremental"], false);
  EXPECT_EQ(event["row_count"], 7);
  double duration = event["duration_seconds"].get<double>();
  EXPECT_NEAR(duration * 100, std::round(duration * 100), 1e-6);
  EXPECT_EQ(event["success"], true);
}

TEST_F(ExtractionTest, LoadSettingsOfIncrementalRuns) {
  struct Case {
    Value strategy;
    Value unique_key;
    std::string mode;
    std::optional<Strings> primary_key;
    std::string save;
  };
  // Without a key to merge on, rows are appended in the cache and the target is replaced by
  // all of them, whatever the strategy: replacing the cached result would lose the old rows.
  const Case cases[] = {
      {"append", nullptr, "full-refresh", std::nullopt, "save orders append"},
      {"append", "id", "full-refresh", std::nullopt, "save orders append"},
      {"merge", "id", "incremental", Strings{"id"}, "save orders replace"},
      {"merge", Value{"id", "day"}, "incremental", Strings{"id", "day"}, "save orders replace"},
      {"merge", nullptr, "full-refresh", std::nullopt, "save orders append"},
      {nullptr, "", "full-refresh", std::nullopt, "save orders append"},
  };
  set_target("dev");
  model->config["materialized"] = "incremental";
  model->compiled_code =
      *model->compiled_code +
      R"( where e.updated_at > (select max(updated_at) from "db"."an"."orders"))";
  adapter->table.rows = {{Value("2024-01-31 13:45:00")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.strategy.dump() + " " + c.unique_key.dump());
    model->config["incremental_strategy"] = c.strategy;
    model->config["unique_key"] = c.unique_key;
    cache->results["orders"] = true;
    adapter->queries.clear();
    brek::RunResult result = run();

    EXPECT_EQ(result.message, "SELECT 7 (incremental)");
    EXPECT_EQ(adapter->queries, Strings{R"(SELECT MAX(updated_at) FROM "an"."orders")"});
    EXPECT_EQ(journal.calls, (Strings{"acquire",
                                      "ensure_created",
                                      "load_tether /proj",
                                      "has_model_result orders",
                                      "optimize",
                                      R"(format "2024-01-31 13:45:00" postgres timestamp)",
                                      "close",
                                      "extract src_crm__customers",
                                      "reopen",
                                      R"(format "2024-01-31 13:45:00" postgres timestamp)",
                                      "close",
                                      "extract src_web__events",
                                      "reopen",
                                      "has_model_result orders",
                                      c.save,
                                      "close",
                                      R"(load "an"."orders")",
                                      "reopen",
                                      "commit" + c.save.substr(4),
                                      "track",
                                      "release"}));
    ASSERT_EQ(sling.size(), 3u);
    EXPECT_EQ(sling[0].query, R"(SELECT * FROM "crm"."customers" WHERE updated_at > 'W')");
    EXPECT_EQ(sling[1].query, R"(SELECT * FROM "web"."events_v2" WHERE updated_at > 'W')");
    EXPECT_EQ(sling[2].mode, c.mode);
    EXPECT_EQ(sling[2].primary_key, c.primary_key);
    EXPECT_EQ(events.back()["is_incremental"], true);
    // The self-reference reads the previous result in the cache.
    EXPECT_NE(cache->saved_sql.back().find("(select max(updated_at) from __model__orders)"),
              std::string::npos);
  }
}

TEST_F(ExtractionTest, IncrementalModelWithoutCachedResultRunsAsFullBuild) {
  log::Capture capture;
  set_target("dev");
  model->config["materialized"] = "incremental";
  model->config["incremental_strategy"] = "merge";
  model->config["unique_key"] = "id";
  model->compiled_code =
      R"(select * from web.events_v2 where updated_at > (select max(updated_at) from "db"."an"."orders"))";
  brek::RunResult result = run();

  EXPECT_EQ(result.message, "SELECT 7");
  EXPECT_TRUE(adapter->queries.empty());
  for (const auto& call : journal.calls) EXPECT_FALSE(text::starts_with(call, "format")) << call;
  EXPECT_EQ(sling[0].query, R"(SELECT * FROM "crm"."customers")");
  EXPECT_EQ(sling.back().mode, "truncate");
  EXPECT_FALSE(sling.back().primary_key.has_value());
  // The filter compiled for an incremental run has nothing to read in the cache: it goes.
  EXPECT_EQ(cache->saved_sql, Strings{"select * from src_web__events "});
  EXPECT_TRUE(capture.contains(
      "ZYL [orders]: stale is_incremental() detected — cache has no __model__orders, stripping "
      "WHERE clause"));
}

TEST_F(ExtractionTest, OptimizedExtractionWithWatermarkFilter) {
  log::Capture capture;
  set_target("dev");
  model->config["materialized"] = "incremental";
  model->compiled_code = *model->compiled_code + " -- updated_at";
  cache->results["orders"] = true;
  adapter->table.rows = {{Value(41)}};
  Optimization opt;
  opt.columns = {"id"};
  opt.predicates = {{federation::optimizer::Predicate::Op::Gt, "id",
                     federation::optimizer::ValueClass::Integer,
                     {{federation::optimizer::ValueClass::Integer, "3"}}, {}}};
  opt.limit = 7;
  optimizations["src_crm__customers"] = opt;
  optimizations["src_web__events"] = std::nullopt;
  run();

  // The watermark filter joins the WHERE clause, ahead of the limit.
  std::string optimized =
      "SELECT \"id\" FROM \"crm\".\"customers\" WHERE (\"id\" > 3) AND (updated_at > 'W') LIMIT 7";
  ASSERT_EQ(sling.size(), 3u);
  EXPECT_EQ(sling[0].query, optimized);
  EXPECT_EQ(sling[1].query, R"(SELECT * FROM "web"."events_v2" WHERE updated_at > 'W')");
  EXPECT_TRUE(capture.contains("ZYL [orders]: optimized → postgres: " + optimized));
  EXPECT_TRUE(capture.contains(
      "ZYL [orders]: optimized extraction for src_crm__customers (postgres→postgres): " +
      optimized));
  EXPECT_EQ(journal.calls[5], "format 41 postgres timestamp");
}

// The sources' columns come from a query reading no row; a source that cannot be asked is
// read whole. A cache table holding a subset is marked, and every extraction query is logged.
TEST_F(ExtractionTest, ProbedColumnsReachTheOptimizerAndSubsetsAreMarked) {
  log::Capture capture;
  set_target("dev");
  overrides->get_connection = [](const std::string&, const Value& config) {
    if (get_text(config, "host") != "crm") throw std::runtime_error("unreachable");
    auto source = drivers::duckdb::open_file(":memory:");
    source->execute("CREATE SCHEMA crm; CREATE TABLE crm.customers (id BIGINT, \"Name\" TEXT)");
    return source;
  };
  Optimization opt;
  opt.columns = {"Name"};
  optimizations["src_crm__customers"] = opt;
  ASSERT_EQ(run().status, brek::RunStatus::Success);

  ASSERT_EQ(optimized_columns.size(), 1u);
  const auto& columns = optimized_columns.at("src_crm__customers");
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[1].name, "Name");
  EXPECT_EQ(columns[1].type.id, drivers::TypeId::String);
  EXPECT_TRUE(capture.contains(
      "ZYL [orders]: extracting src_crm__customers: SELECT \"Name\" FROM \"crm\".\"customers\""));
  EXPECT_TRUE(capture.contains("ZYL [orders]: extracting src_web__events: SELECT * FROM "
                               R"("web"."events_v2")"));
  EXPECT_EQ(cache->subsets, (std::map<std::string, std::string>{
                                {"src_crm__customers", "SELECT \"Name\" FROM \"crm\".\"customers\""}}));
  bool said_why = false;
  for (const auto& line : capture.messages("zyl.runners.ferry", spdlog::level::debug)) {
    said_why |= line == "ZYL [orders]: columns of src_web__events unknown, reading it whole: "
                        "unreachable";
  }
  EXPECT_TRUE(said_why);

  // The same queries, without extracting anything, for compile and ls.
  sling.clear();
  auto planned = runner->plan_extractions(*model, manifest, *cache);
  ASSERT_EQ(planned.size(), 2u);
  EXPECT_EQ(planned[0].cache_table, "src_crm__customers");
  EXPECT_EQ(planned[0].source_type, "postgres");
  EXPECT_EQ(planned[0].query, "SELECT \"Name\" FROM \"crm\".\"customers\"");
  EXPECT_EQ(planned[1].query, R"(SELECT * FROM "web"."events_v2")");
  EXPECT_TRUE(sling.empty());
}

TEST_F(ExtractionTest, EveryFailureBecomesAnErrorResultAndReleasesTheLock) {
  struct Case {
    std::string fail_on;
    bool open_after;
  };
  const Case cases[] = {
      {"ensure_created", true},           {"load_tether", true}, {"optimize", true},
      {"extract src_web__events", false}, {"reopen", false},     {"save", true},
      {R"(load "mart"."orders")", false}, {"commit", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail_on);
    log::Capture capture;
    cache->open = true;
    cache->results.clear();
    journal.fail_on = c.fail_on;
    int acquired = cache->lock().acquired;
    brek::RunResult result = run();

    const std::string message =
        std::string("Model 'orders' (target: warehouse, adapter: duckdb): boom") + kHint;
    EXPECT_EQ(result.status, brek::RunStatus::Error);
    EXPECT_EQ(result.message, message);
    EXPECT_EQ(result.failures, 1);
    EXPECT_EQ(result.adapter_response["rows_affected"], 0);
    EXPECT_EQ(capture.messages("zyl.runners.ferry", spdlog::level::err), Strings{message});
    EXPECT_EQ(cache->open, c.open_after);
    EXPECT_EQ(cache->lock().acquired, acquired + 1);
    EXPECT_EQ(cache->lock().released, cache->lock().acquired);
    EXPECT_EQ(journal.calls.back(), "release");
    EXPECT_TRUE(events.empty());
    // The new result becomes the stored one only once the target has it.
    EXPECT_FALSE(cache->results["orders"]);

    // The next model on the same cache makes it usable again first.
    journal.fail_on.clear();
    EXPECT_EQ(run().status, brek::RunStatus::Success);
    EXPECT_TRUE(cache->results["orders"]);
    EXPECT_EQ(journal.calls[1], "ensure_created");
    EXPECT_TRUE(cache->open);
    events.clear();
  }

  // A formatter failure on an incremental run happens before the cache is closed.
  model->config["materialized"] = "incremental";
  model->compiled_code = *model->compiled_code + " -- updated_at";
  cache->results["orders"] = true;
  adapter->table.rows = {{Value(1)}};
  set_target("dev");
  journal.fail_on = "format";
  brek::RunResult result = run();
  EXPECT_EQ(result.message,
            std::string("Model 'orders' (target: dev, adapter: postgres): boom") + kHint);
  EXPECT_TRUE(cache->open);
  EXPECT_EQ(cache->lock().released, cache->lock().acquired);
}

TEST_F(ExtractionTest, ConfigurationFailuresNameTheirCause) {
  model->name = "m";
  model->compiled_code = "";
  set_target("t");
  EXPECT_EQ(
      run().message,
      std::string("Model 'm' (target: t, adapter: postgres): Model m has no compiled SQL") + kHint);
  EXPECT_EQ(journal.calls, (Strings{"acquire", "ensure_created", "release"}));

  model->compiled_code = "select 1";
  tether.set("crm", "nope");
  EXPECT_EQ(run().message,
            std::string("Model 'm' (target: t, adapter: postgres): ZYL101: Connection 'nope' not "
                        "found in profiles.yml") +
                kHint);
  tether.set("crm", "crm_pg");
  set_target("ghost");
  EXPECT_EQ(run().message,
            std::string("Model 'm' (target: ghost, adapter: ): ZYL101: Connection 'ghost' not "
                        "found in profiles.yml") +
                kHint);

  runner->set_zyl_context(runner->_resolution, std::nullopt, cache);
  EXPECT_EQ(
      run().message,
      std::string("Model 'm' (target: ghost, adapter: ): ZYL: profiles not set on runner") + kHint);
  EXPECT_EQ(cache->lock().released, cache->lock().acquired);
}

TEST_F(ExtractionTest, TrackingFailureDoesNotChangeTheSuccess) {
  brek::RunResult tracked = run();
  journal.fail_on = "track";
  brek::RunResult failed = run();
  overrides->track_zyl_extraction = nullptr;
  journal.fail_on.clear();
  brek::RunResult missing = run();
  for (const auto* result : {&failed, &missing}) {
    EXPECT_EQ(result->status, brek::RunStatus::Success);
    EXPECT_EQ(result->message, tracked.message);
    EXPECT_EQ(result->adapter_response, tracked.adapter_response);
  }
  EXPECT_EQ(cache->lock().released, 3);
}

TEST_F(ExtractionTest, ComponentsThatCannotBeObtainedPropagate) {
  for (const char* name : {"sling_client", "cache", "load_tether"}) {
    components::ScopedOverride inner;
    if (std::string(name) == "sling_client") inner->sling_client = nullptr;
    if (std::string(name) == "cache") inner->cache = nullptr;
    if (std::string(name) == "load_tether") inner->load_tether = nullptr;
    try {
      run();
      ADD_FAILURE() << name;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), std::string("component not available: ") + name);
    }
  }
  EXPECT_EQ(cache->lock().acquired, 0);

  // The optimizer is obtained inside the guard: its absence is an error result.
  overrides->optimize_extractions = nullptr;
  brek::RunResult result = run();
  EXPECT_EQ(result.status, brek::RunStatus::Error);
  EXPECT_NE(result.message.find("component not available: optimize_extractions"),
            std::string::npos);
  EXPECT_EQ(cache->lock().released, 1);
}

// A cache the extraction path opens for itself is closed again, before the lock is released,
// whether the run succeeds or fails; a shared cache stays open.
TEST_F(ExtractionTest, OwnCacheIsClosedAtTheEnd) {
  set_target("warehouse", /*shared=*/false);
  EXPECT_EQ(run().status, brek::RunStatus::Success);
  ASSERT_NE(own_cache, nullptr);
  std::string expected_path =
      federation::zyl_cache::CacheLocation::for_project("/proj").cache_path.string();
  EXPECT_EQ(journal.calls.front(), "open cache " + expected_path);
  EXPECT_EQ(sling.front().duckdb_path, expected_path);
  EXPECT_FALSE(own_cache->open);
  ASSERT_GE(journal.calls.size(), 3u);
  EXPECT_EQ((Strings{journal.calls.end() - 3, journal.calls.end()}),
            (Strings{"track", "close", "release"}));

  journal.fail_on = "save";
  EXPECT_EQ(run().status, brek::RunStatus::Error);
  EXPECT_FALSE(own_cache->open);
  EXPECT_EQ((Strings{journal.calls.end() - 3, journal.calls.end()}),
            (Strings{"save orders replace", "close", "release"}));
  EXPECT_EQ(own_cache->lock().released, 1);

  journal.fail_on.clear();
  set_target("warehouse", /*shared=*/true);
  run();
  EXPECT_TRUE(cache->open);
}

// Every upstream model is copied from the output it was built on into a cache table of its own
// (one per package and name), and the SQL reads that table; its references are rewritten
// together with those of the sources, longest first.
TEST_F(ExtractionTest, UpstreamModelsAreCopiedAndTheirReferencesRewritten) {
  auto add_model = [&](const std::string& name, const std::string& package,
                       const std::string& schema, const std::string& materialized,
                       std::optional<std::string> target) {
    auto node = std::make_shared<brek::Node>();
    node->unique_id = "model." + package + "." + name;
    node->name = name;
    node->package_name = package;
    if (schema == "an") node->database = "db";
    if (schema == "crm") node->config["schema"] = schema;  // a schema of its own
    node->schema = schema;
    node->config["materialized"] = materialized;
    node->config.target = std::move(target);
    manifest.nodes.set(node->unique_id, node);
    return node;
  };
  add_model("stg_orders", "shop", "an", "table", "warehouse");
  add_model("customers_v2", "shop", "crm", "view", std::nullopt);
  add_model("inlined", "shop", "an", "ephemeral", std::nullopt);
  // A model of another package with the same name, written the way compile writes names that
  // need quoting.
  add_model("order", "lib", "an", "table", "warehouse")->relation_name = R"("w"."mart"."order")";
  model->depends_on->nodes = {"source.shop.crm.customers", "model.shop.stg_orders",
                              "model.shop.gone",           "model.shop.customers_v2",
                              "model.shop.inlined",        "model.lib.order"};
  model->compiled_code =
      R"(with __dbt__cte__inlined as (select 1) select * from "db"."an"."stg_orders" o )"
      R"(join crm.customers_v2 v using (id) join crm.customers c using (id) )"
      R"(join "w"."mart"."order" x using (id))";
  set_target("dev");
  brek::RunResult result = run();
  ASSERT_EQ(result.status, brek::RunStatus::Success) << result.message;

  EXPECT_EQ(cache->saved_sql.back(),
            "with __dbt__cte__inlined as (select 1) select * from __ref__shop__stg_orders o join "
            "__ref__shop__customers_v2 v using (id) join src_crm__customers c using (id) "
            "join __ref__lib__order x using (id)");
  EXPECT_EQ(optimized_map.size(), 1u);
  ASSERT_EQ(sling.size(), 5u);
  EXPECT_EQ(sling[1].config, output("warehouse"));
  EXPECT_EQ(sling[1].query, R"(SELECT * FROM "mart"."stg_orders")");
  EXPECT_EQ(sling[1].table, "__ref__shop__stg_orders");
  EXPECT_EQ(sling[2].config, output("dev"));
  EXPECT_EQ(sling[2].query, R"(SELECT * FROM "crm"."customers_v2")");
  EXPECT_EQ(sling[2].table, "__ref__shop__customers_v2");
  EXPECT_EQ(sling[3].query, R"(SELECT * FROM "mart"."order")");
  EXPECT_EQ(sling[3].table, "__ref__lib__order");
  EXPECT_EQ((Strings{journal.calls.begin() + 7, journal.calls.begin() + 13}),
            (Strings{"close", "extract __ref__shop__stg_orders", "reopen", "close",
                     "extract __ref__shop__customers_v2", "reopen"}));

  // A command-line target moves every model, so every upstream model is read from it.
  config->args.target = "warehouse";
  run();
  EXPECT_EQ(sling[1].config, output("warehouse"));
  EXPECT_EQ(sling[2].config, output("warehouse"));
  EXPECT_EQ(sling[2].query, R"(SELECT * FROM "crm"."customers_v2")");
}

TEST_F(ExtractionTest, SecretsNeverReachMessagesOrLogs) {
  log::Capture capture;
  overrides->sling_client = [this] {
    struct Leaky final : extraction::sling_client::SlingClient {
      void extract_to_duckdb(const Value& config, const std::string&, const std::string&,
                             const std::string&) override {
        throw std::runtime_error("connect failed with " + config.dump());
      }
      void load_from_duckdb(const std::string&, const Value&, const std::string&,
                            const std::string&, const std::string&, const std::optional<Strings>&,
                            const std::optional<Strings>&) override {}
    };
    return std::make_unique<Leaky>();
  };
  brek::RunResult result = run();
  EXPECT_EQ(result.message,
            std::string("Model 'orders' (target: warehouse, adapter: duckdb): connect failed "
                        R"(with {"type":"postgres","host":"crm","password":"****"})") +
                kHint);
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.message.find("crm-pw-9"), std::string::npos) << line.message;
  }
}

}  // namespace
}  // namespace zyl::runners
