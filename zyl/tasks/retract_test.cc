#include "zyl/tasks/retract.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "brek_common/exceptions.h"
#include "core/log.h"
#include "drivers/driver.h"
#include "tests/integration/server_env.h"
#include "zyl/components.h"
#include "zyl/federation/zyl_cache.h"

namespace zyl::tasks::retract {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAre;
namespace fs = std::filesystem;
using federation::zyl_cache::CacheLocation;
using federation::zyl_cache::ZylCache;

brek::NodePtr make_node(const std::string& name, std::vector<std::string> deps = {},
                        const std::string& materialized = "table",
                        const std::string& type = "model") {
  auto n = std::make_shared<brek::Node>();
  n->unique_id = type + ".proj." + name;
  n->name = name;
  n->resource_type = type;
  n->package_name = "proj";
  n->fqn = {"proj", name};
  n->schema = "analytics";
  n->config["materialized"] = materialized;
  if (!deps.empty()) n->depends_on = brek::DependsOn{std::move(deps), {}};
  return n;
}

std::string uid(const std::string& name) { return "model.proj." + name; }
std::string dots(size_t n) { return std::string(n, '.'); }

// Output lines with every timing replaced by "#", so lines compare exactly without asserting a
// duration; what is replaced must be fixed-point with one decimal.
std::vector<std::string> normalised(const std::string& text) {
  static const std::regex timing(R"((OK in |errors in )\d+\.\d(s))");
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(std::regex_replace(line, timing, "$1#$2"));
  }
  return lines;
}

// Records the calls made on it; execute() of `fail_on` throws `fail_message`.
struct ConnLog {
  std::vector<std::string> calls;
  std::string fail_on, fail_message;
};
class FakeConnection : public drivers::Connection {
 public:
  explicit FakeConnection(ConnLog* log) : log_(log) {}
  std::string engine() const override { return "fake"; }
  void execute(const std::string& sql) override {
    log_->calls.push_back(sql);
    if (sql == log_->fail_on) throw drivers::DriverError(log_->fail_message);
  }
  std::unique_ptr<drivers::QueryResult> query(const std::string&) override { return nullptr; }
  void begin() override { log_->calls.push_back("<begin>"); }
  void commit() override { log_->calls.push_back("<commit>"); }
  void rollback() override { log_->calls.push_back("<rollback>"); }
  std::string quote_identifier(std::string_view n) const override { return std::string(n); }
  std::string type_sql(const drivers::ColumnType&) const override { return ""; }
  bool table_exists(const drivers::TableRef&) override { return false; }
  std::vector<drivers::Column> table_columns(const drivers::TableRef&) override { return {}; }
  std::vector<std::string> table_names(const std::string&) override { return {}; }
  void ensure_schema(const std::string&) override {}
  std::unique_ptr<drivers::BulkWriter> bulk_writer(const drivers::TableRef&,
                                                   const std::vector<drivers::Column>&) override {
    return nullptr;
  }
  void close() override { log_->calls.push_back("<close>"); }

 private:
  ConnLog* log_;
};

TEST(RetractSort, DownstreamFirstWithFixedTieBreak) {
  struct Case {
    const char* label;
    std::vector<std::pair<std::string, std::vector<std::string>>> models;  // name, deps
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"chain", {{"a", {}}, {"b", {uid("a")}}, {"c", {uid("b")}}}, {"c", "b", "a"}},
      {"diamond",
       {{"a", {}}, {"b", {uid("a")}}, {"c", {uid("a")}}, {"d", {uid("b"), uid("c")}}},
       {"d", "c", "b", "a"}},
      // a and c are level 1, b level 2.
      {"independent model", {{"a", {}}, {"b", {uid("a")}}, {"c", {}}}, {"b", "c", "a"}},
      // x is not selected, so a and b are not ordered through it.
      {"unselected middle", {{"a", {uid("x")}}, {"b", {}}}, {"b", "a"}},
      {"duplicate and foreign deps",
       {{"a", {"source.proj.raw.t", "seed.proj.s"}}, {"b", {uid("a"), uid("a")}}},
       {"b", "a"}},
      {"cycle falls back to id order",
       {{"c", {}}, {"a", {uid("b")}}, {"b", {uid("a")}}},
       {"a", "b", "c"}},
      {"self loop", {{"b", {uid("a")}}, {"a", {uid("a")}}}, {"a", "b"}},
  };
  for (const auto& c : cases) {
    std::vector<brek::NodePtr> keep;
    ModelMap map;
    // Inserted in reverse: the map's own order does not decide the result.
    for (auto it = c.models.rbegin(); it != c.models.rend(); ++it) {
      keep.push_back(make_node(it->first, it->second));
      map.set(uid(it->first), keep.back().get());
    }
    std::vector<std::string> expected;
    for (const auto& n : c.expected) expected.push_back(uid(n));
    EXPECT_EQ(ZylRetractTask::_reverse_topo_sort(map), expected) << c.label;
  }
}

// The model's place on its target: its configured schema on any target, else the output's (or
// the engine's default), quoted the way the target's engine quotes.
TEST(RetractTableName, ConfiguredSchemaElseTheOutputsQuotedForTheEngine) {
  struct Case {
    std::string configured_schema;
    std::string target;
    Value config;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", "dev", {{"type", "postgres"}, {"schema", "mart"}}, R"("mart"."Orders")"},
      {"", "wh", {{"type", "postgres"}, {"schema", "mart"}}, R"("mart"."Orders")"},
      {"", "wh", {{"type", "postgres"}}, R"("public"."Orders")"},
      {"", "wh", {{"type", "mysql"}, {"database", "db"}}, "`db`.`Orders`"},
      {"rt_reporting",
       "wh",
       {{"type", "postgres"}, {"schema", "mart"}},
       R"("rt_reporting"."Orders")"},
      {"rt_reporting", "wh", {{"type", "sqlite"}}, R"("main"."Orders")"},
      {"", "wh", Value::object(), R"("Orders")"},
  };
  for (const auto& c : cases) {
    brek::Node node;
    node.name = "Orders";
    node.schema = "compiled_elsewhere";
    if (!c.configured_schema.empty()) node.config["schema"] = c.configured_schema;
    EXPECT_EQ(ZylRetractTask::_resolve_table_name(node, c.target, "dev", c.config), c.expected)
        << c.target << " " << c.config.dump();
  }
}

TEST(RetractDrop, StatementsConnectionsAndFailures) {
  ConnLog log;
  components::ScopedOverride guard;
  guard->get_connection = [&](const std::string& type, const Value&) {
    if (type == "unreachable") throw drivers::DriverError("connection refused");
    if (type == "none") return std::unique_ptr<drivers::Connection>();
    return std::unique_ptr<drivers::Connection>(std::make_unique<FakeConnection>(&log));
  };
  for (const auto& [type, obj, sql] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"postgres", "VIEW", "DROP VIEW IF EXISTS a.t CASCADE"},
           {"mysql", "VIEW", "DROP VIEW IF EXISTS a.t"},
           {"snowflake", "TABLE", "DROP TABLE IF EXISTS a.t CASCADE"},
           {"sqlserver", "TABLE", "DROP TABLE IF EXISTS a.t"}}) {
    log.calls.clear();
    EXPECT_EQ(ZylRetractTask::_drop_from_target(type, Value::object(), "a.t", obj),
              std::make_pair(std::string("ok"), std::string()));
    EXPECT_THAT(log.calls, ElementsAre("<begin>", sql, "<commit>", "<close>"));
  }
  for (const std::string type : {"none", "unreachable"}) {
    EXPECT_EQ(ZylRetractTask::_drop_from_target(type, Value::object(), "t", "TABLE"),
              std::make_pair(std::string("skip"), "cannot connect to " + type));
  }
  log = {{}, "DROP TABLE IF EXISTS t", std::string(200, 'x') + std::string(300, 'y')};
  EXPECT_EQ(ZylRetractTask::_drop_from_target("mysql", Value::object(), "t", "TABLE"),
            std::make_pair(std::string("error"), std::string(200, 'x')));
  EXPECT_THAT(log.calls, ElementsAre("<begin>", "DROP TABLE IF EXISTS t", "<rollback>", "<close>"));
}

TEST(RetractTask, SelectorStateAndExitStatus) {
  for (auto manifest : {std::shared_ptr<brek::Manifest>(), std::make_shared<brek::Manifest>()}) {
    ZylRetractTask task({}, nullptr, manifest);  // no graph before _runtime_initialize
    try {
      task.get_node_selector();
      ADD_FAILURE() << "expected BrekInternalError";
    } catch (const brek_common::BrekInternalError& e) {
      EXPECT_STREQ(e.what(), "manifest and graph must be set to perform node selection");
    }
  }
  ZylRetractTask task({}, nullptr, nullptr);
  EXPECT_TRUE(task.interpret_results(std::vector<Value>{}));
  EXPECT_TRUE(task.interpret_results(
      std::vector<Value>{{{"status", "ok"}}, {{"status", "skip"}}, Value::object(), "x"}));
  EXPECT_FALSE(task.interpret_results(std::vector<Value>{{{"status", "ok"}}, {{"status", "error"}}}));
  EXPECT_TRUE(task.interpret_results(Value("not a list")));
  EXPECT_FALSE(task.interpret_results(Value::array({{{"status", "error"}}})));
}

// A project in a temp dir; profiles.yml has a DuckDB warehouse "dev" (the default target), a
// SQLite file "lite" and "gone", a DuckDB file in a directory that does not exist. The
// registry's own profiles reader, target connections and cache are used.
class RetractProject : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zyl_retract_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "profiles.yml")
        << "proj:\n  target: dev\n  outputs:\n"
        << "    dev: {type: duckdb, path: '" << db("dev") << "', schema: analytics}\n"
        << "    lite: {type: sqlite, path: '" << db("lite") << "', schema: main}\n"
        << "    gone: {type: duckdb, path: '" << (dir_ / "no" / "x.duckdb").string() << "'}\n";
    args_.PROJECT_DIR = args_.PROFILES_DIR = dir_.string();
    config_->target_name = "dev";
    guard_->default_profiles_dir = [] { return std::string("/nonexistent"); };
    guard_->track_zyl_retract = [this](const Value& e) { events_.push_back(e); };
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string db(const std::string& output) const {
    return (dir_ / (output == "dev" ? "wh.duckdb" : "lite.db")).string();
  }
  std::unique_ptr<drivers::Connection> open(const std::string& output) {
    return drivers::open_connection(
        {{"type", output == "dev" ? "duckdb" : "sqlite"}, {"path", db(output)}});
  }
  void sql(const std::string& output, const std::string& statements) {
    open(output)->execute(statements);
  }
  std::set<std::string> objects(const std::string& output) {
    auto conn = open(output);
    auto result = conn->query(output == "dev" ? "SELECT table_name FROM information_schema.tables"
                                              : "SELECT name FROM sqlite_master");
    std::set<std::string> names;
    drivers::RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) names.insert(std::get<std::string>(batch.at(r, 0)));
    }
    return names;
  }
  fs::path cache_file() const { return dir_ / ".zyl" / "cache.duckdb"; }
  void fill_cache(const std::vector<std::string>& tables) {
    fs::create_directories(dir_ / ".zyl");
    auto conn = drivers::open_connection({{"type", "duckdb"}, {"path", cache_file().string()}});
    for (const auto& t : tables) conn->execute("CREATE TABLE \"" + t + "\" AS SELECT 1 AS x");
  }
  std::vector<std::string> cache_tables() {
    ZylCache cache(CacheLocation::at(cache_file()));
    auto tables = cache.list_tables();
    cache.close_and_release();
    return tables;
  }
  brek::NodePtr model(const std::string& name, std::vector<std::string> deps = {},
                      const std::string& materialized = "table") {
    auto n = make_node(name, std::move(deps), materialized);
    manifest_->nodes.set(n->unique_id, n);
    return n;
  }
  std::vector<Value> run(std::vector<std::string> select) {
    args_.select = std::move(select);
    ZylRetractTask task(args_, config_, manifest_, out_);
    auto results = task.run();
    success_ = task.interpret_results(results);
    return results;
  }

  fs::path dir_;
  components::ScopedOverride guard_;
  brek::Args args_;
  std::shared_ptr<brek::RuntimeConfig> config_ = std::make_shared<brek::RuntimeConfig>();
  std::shared_ptr<brek::Manifest> manifest_ = std::make_shared<brek::Manifest>();
  std::vector<Value> events_;
  std::ostringstream out_;
  bool success_ = false;
};

TEST_F(RetractProject, DiamondAndChainDownstreamFirstWithCacheCleanup) {
  const std::string c43(43, 'p'), c44(44, 'q'), c45(45, 'r');  // name + "TABLE" = 48, 49, 50
  sql("dev", "CREATE SCHEMA analytics;"
             "CREATE TABLE analytics.base AS SELECT 1 AS id;"
             "CREATE VIEW analytics.left_v AS SELECT * FROM analytics.base;"
             "CREATE TABLE analytics.right_t AS SELECT * FROM analytics.base;"
             "CREATE TABLE analytics.top AS SELECT 1 AS x; CREATE TABLE analytics.kept (x INT);"
             "CREATE TABLE analytics." + c43 + " (x INT); CREATE TABLE analytics." + c44 +
                 " (x INT); CREATE TABLE analytics." + c45 + " (x INT);");
  model("base", {"source.proj.crm.orders"});
  model("left_v", {uid("base")}, "view");
  model("right_t", {uid("base")}, "incremental");
  model("top", {uid("left_v"), uid("right_t")});
  model(c43);
  model(c44, {uid(c43)});
  model(c45, {uid(c44)});
  model("kept");
  const std::string source_table = ZylCache(CacheLocation::at(cache_file()))
                                       .source_table_name("crm", "orders");
  fill_cache({"__model__base", "__model__top", "__model__kept", "__model__" + c45,
              "__model____model__top", source_table});

  auto results = run({"+top", "+" + c45});

  // Levels {base, c43}, {left_v, right_t, c44}, {top, c45}: last level first, each reversed.
  EXPECT_THAT(normalised(out_.str()),
              ElementsAreArray(std::vector<std::string>{
                  "", "  Retracting 7 model(s) (reverse DAG order)...", "",
                  "  1 of 7  DROP TABLE " + c45 + " . [OK in #s]",
                  "  2 of 7  DROP TABLE top " + dots(42) + " [OK in #s]",
                  "  3 of 7  DROP TABLE " + c44 + " . [OK in #s]",
                  "  4 of 7  DROP TABLE right_t " + dots(38) + " [OK in #s]",
                  "  5 of 7  DROP VIEW left_v " + dots(40) + " [OK in #s]",
                  "  6 of 7  DROP TABLE " + c43 + " .. [OK in #s]",
                  "  7 of 7  DROP TABLE base " + dots(41) + " [OK in #s]", "",
                  "  Retract complete: 7 dropped, 3 cache cleared, 0 skipped, 0 errors in #s", ""}));
  EXPECT_EQ(objects("dev"), std::set<std::string>{"kept"});
  // Only "__model__" + a retracted model's name goes; look-alikes and sources stay.
  EXPECT_THAT(cache_tables(),
              UnorderedElementsAre("__model__kept", "__model____model__top", source_table));
  EXPECT_TRUE(success_);
  ASSERT_EQ(events_.size(), 1u);
  double total = 0;
  for (const auto& r : results) total += r.at("elapsed").get<double>();
  EXPECT_EQ(events_[0], (Value{{"model_count", 7}, {"ok_count", 7}, {"error_count", 0},
                               {"duration_seconds", total}, {"success", true}}));
}

// Each model is dropped as what its target holds, on the output run would build it on; a model
// on a missing output and an ephemeral model are skipped and the command still succeeds.
TEST_F(RetractProject, MixedTargetsKindsAndSkips) {
  sql("dev", "CREATE SCHEMA analytics; CREATE TABLE analytics.plain (x INT);"
             "CREATE VIEW analytics.wrong AS SELECT 1 AS x;");
  sql("lite",
      "CREATE TABLE lt (x INT); CREATE VIEW lv AS SELECT * FROM lt;"
      "CREATE TABLE home (x INT); CREATE TABLE built_as_table (x INT);");
  model("plain");
  model("wrong");  // configured as a table, but the target holds a view: dropped as a view
  model("built_as_table", {}, "view")->config.target = "lite";  // the other way round
  model("lt")->config._extra["target"] = "lite";
  model("lv", {uid("lt")}, "view")->config.target = "lite";
  model("lost")->config["target"] = "nowhere";
  model("far")->config.target = "gone";
  model("eph", {}, "ephemeral");
  auto both = model("home");
  both->config["target"] = "";  // the typed target decides, as it does for run
  both->config.target = "lite";

  auto results = run({});

  auto lines = normalised(out_.str());
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_THAT(
      std::vector<std::string>(lines.begin() + 3, lines.begin() + 12),
      ElementsAre("  1 of 9  DROP VIEW lv " + dots(44) + " [OK in #s]  (lite)",
                  "  2 of 9  DROP VIEW wrong " + dots(41) + " [OK in #s]",
                  "  3 of 9  DROP TABLE plain " + dots(40) + " [OK in #s]",
                  "  4 of 9  DROP TABLE lt " + dots(43) + " [OK in #s]  (lite)",
                  "  5 of 9  SKIP lost (target 'nowhere' not found in profiles)",
                  "  6 of 9  DROP TABLE home " + dots(41) + " [OK in #s]  (lite)",
                  "  7 of 9  DROP TABLE far " + dots(42) + " [SKIP]  (gone)",
                  "  8 of 9  SKIP eph (ephemeral: nothing to drop)",
                  "  9 of 9  DROP TABLE built_as_table " + dots(31) + " [OK in #s]  (lite)"));
  EXPECT_EQ(lines[13], "  Retract complete: 6 dropped, 0 cache cleared, 3 skipped, 0 errors in #s");
  EXPECT_EQ(results[4], (Value{{"uid", uid("lost")}, {"status", "skip"},
                               {"msg", "target 'nowhere' not found in profiles"}}));
  EXPECT_EQ(results[6]["msg"], "cannot connect to duckdb");
  EXPECT_TRUE(results[6].contains("elapsed"));
  EXPECT_TRUE(objects("lite").empty());  // SQLite takes no CASCADE
  EXPECT_TRUE(objects("dev").empty());
  EXPECT_FALSE(fs::exists(cache_file()));
  EXPECT_TRUE(success_);
  EXPECT_EQ(events_.at(0)["success"], true);
}

// A run of the same project holds the cache's lock for a model's whole extraction. The clean-up
// waits for it: a result the run writes meanwhile is still found and removed.
TEST_F(RetractProject, CacheCleanupWaitsForARunOfTheSameProject) {
  sql("dev", "CREATE SCHEMA analytics; CREATE TABLE analytics.m (x INT);");
  model("m");
  fill_cache({"__model__other"});
  ZylCache run_cache(CacheLocation::at(cache_file()));
  run_cache._file_lock().acquire();

  std::promise<void> opened;
  auto real = guard_->cache;
  guard_->cache = [&](const CacheLocation& at) {
    auto cache = real(at);
    opened.set_value();  // the clean-up goes for the lock next
    return cache;
  };
  std::vector<Value> results;
  std::thread retract([&] { results = run({"m"}); });
  opened.get_future().wait();
  run_cache.save_model_result("m", "SELECT 1 AS x", false);
  run_cache.commit_model_result("m", false);
  run_cache._file_lock().release();
  retract.join();

  EXPECT_THAT(normalised(out_.str()),
              ::testing::Contains(
                  "  Retract complete: 1 dropped, 1 cache cleared, 0 skipped, 0 errors in #s"));
  EXPECT_THAT(cache_tables(), ElementsAre("__model__other"));
}

TEST_F(RetractProject, CycleFallbackAndFailingSideComponents) {
  sql("dev", "CREATE SCHEMA analytics; CREATE TABLE analytics.a (x INT);"
             "CREATE TABLE analytics.b (x INT); CREATE TABLE analytics.c (x INT);");
  model("c", {uid("a")});
  model("b", {uid("a")});
  model("a", {uid("b")});
  fill_cache({"__model__a"});
  guard_->cache = [](const CacheLocation&) -> std::shared_ptr<federation::zyl_cache::Cache> {
    throw std::runtime_error("cache is locked");
  };
  guard_->track_zyl_retract = [](const Value&) { throw std::runtime_error("disk full"); };
  log::Capture capture;
  auto results = run({"a", "b", "c"});
  std::vector<std::string> order;
  for (const auto& r : results) order.push_back(r["uid"]);
  EXPECT_THAT(order, ElementsAre(uid("a"), uid("b"), uid("c")));
  EXPECT_TRUE(objects("dev").empty());
  EXPECT_EQ(normalised(out_.str()).at(7),
            "  Retract complete: 3 dropped, 0 cache cleared, 0 skipped, 0 errors in #s");
  EXPECT_TRUE(capture.contains("zyl retract: cache cleanup failed: cache is locked"));
  EXPECT_TRUE(success_);
  // Without the cache component at all the command ends with that error.
  guard_->cache = nullptr;
  EXPECT_THROW(run({"a"}), std::runtime_error);
}

TEST_F(RetractProject, NothingSelectedOrNoProfilesTouchesNothing) {
  sql("dev", "CREATE SCHEMA analytics; CREATE TABLE analytics.u (x INT);");
  fill_cache({"__model__u"});
  auto seed = make_node("s", {}, "table", "seed");
  manifest_->nodes.set(seed->unique_id, seed);
  model("u")->resource_type.reset();  // not a model without a resource type
  EXPECT_TRUE(run({}).empty());
  EXPECT_EQ(out_.str(), "\n  No models selected for retraction.\n\n");

  out_.str("");
  model("u");
  args_.PROFILES_DIR.clear();  // the default directory holds no profiles.yml
  log::Capture capture;
  EXPECT_TRUE(run({}).empty());
  EXPECT_EQ(out_.str(), "");
  EXPECT_THAT(capture.messages("zyl.tasks.retract", spdlog::level::err),
              ElementsAre("zyl retract: cannot read profiles.yml: profiles.yml not found in "
                          "/nonexistent"));
  EXPECT_EQ(objects("dev"), std::set<std::string>{"u"});
  EXPECT_THAT(cache_tables(), ElementsAre("__model__u"));
  EXPECT_TRUE(events_.empty());
}

// PostgreSQL drops with CASCADE (a view outside the selection goes with its table); MariaDB
// without. Needs the test servers.
TEST_F(RetractProject, ServerTargets) {
  Value pg, my;
  ZYL_REQUIRE_SERVER(pg, "ZYL_TEST_PG", "postgres");
  ZYL_REQUIRE_SERVER(my, "ZYL_TEST_MYSQL", "mysql");
  const std::string schema = "zyl_retract_" + std::to_string(::getpid());
  pg["schema"] = schema;
  const std::string my_table = schema + "_t";
  {
    auto conn = drivers::open_connection(pg);
    for (const std::string& sql :
         {"DROP SCHEMA IF EXISTS " + schema + " CASCADE", "CREATE SCHEMA " + schema,
          "CREATE TABLE " + schema + ".base (x INT)",
          "CREATE VIEW " + schema + ".v AS SELECT * FROM " + schema + ".base",
          "CREATE VIEW " + schema + ".outside AS SELECT * FROM " + schema + ".base"}) {
      conn->execute(sql);
    }
  }
  drivers::open_connection(my)->execute("CREATE TABLE IF NOT EXISTS " + my_table + " (x INT)");
  guard_->read_profiles_yml = [&](const std::string&) {
    return Value{{"proj", {{"outputs", {{"dev", {{"type", "duckdb"}, {"path", db("dev")}}},
                                        {"pg", pg}, {"my", my}}}}}};
  };
  model("base")->config.target = "pg";
  model("v", {uid("base")}, "view")->config.target = "pg";
  model(my_table)->config.target = "my";

  auto results = run({});

  const auto lines = normalised(out_.str());
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 3, lines.begin() + 6),
              ElementsAre("  1 of 3  DROP VIEW v " + dots(45) + " [OK in #s]  (pg)",
                          "  2 of 3  DROP TABLE " + my_table + " " +
                              dots(45 - my_table.size()) + " [OK in #s]  (my)",
                          "  3 of 3  DROP TABLE base " + dots(41) + " [OK in #s]  (pg)"));
  EXPECT_TRUE(success_);
  auto pg_conn = drivers::open_connection(pg);
  EXPECT_EQ(integration::read_all(*pg_conn, "SELECT table_name FROM information_schema.tables "
                                            "WHERE table_schema = '" + schema + "'")
                .rows(),
            0u);
  pg_conn->execute("DROP SCHEMA " + schema + " CASCADE");
  auto my_conn = drivers::open_connection(my);
  EXPECT_FALSE(my_conn->table_exists({"", my_table}));
}

}  // namespace
}  // namespace zyl::tasks::retract
