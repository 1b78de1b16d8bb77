#include "zyl/tasks/retract.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "brek_common/exceptions.h"
#include "core/log.h"
#include "drivers/driver.h"
#include "zyl/components.h"
#include "zyl/federation/zyl_cache.h"
#include "zyl/sync/profiles_reader.h"

namespace zyl::tasks::retract {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
namespace fs = std::filesystem;

// ---- fakes -------------------------------------------------------------------------------

struct ConnLog {
  std::vector<std::string> statements;  // every call, in order
  std::string fail_on;                  // an execute() of this statement throws
  std::string fail_message = "boom";
};

class FakeConnection : public drivers::Connection {
 public:
  explicit FakeConnection(ConnLog* log) : log_(log) {}
  std::string engine() const override { return "fake"; }
  void execute(const std::string& sql) override {
    log_->statements.push_back(sql);
    if (!log_->fail_on.empty() && sql == log_->fail_on) {
      throw drivers::DriverError(log_->fail_message);
    }
  }
  std::unique_ptr<drivers::QueryResult> query(const std::string&) override {
    throw std::logic_error("not used");
  }
  void begin() override { log_->statements.push_back("<begin>"); }
  void commit() override { log_->statements.push_back("<commit>"); }
  void rollback() override { log_->statements.push_back("<rollback>"); }
  std::string quote_identifier(std::string_view name) const override {
    return "\"" + std::string(name) + "\"";
  }
  std::string type_sql(const drivers::ColumnType&) const override { return "TEXT"; }
  bool table_exists(const drivers::TableRef&) override { return false; }
  std::vector<drivers::Column> table_columns(const drivers::TableRef&) override { return {}; }
  void ensure_schema(const std::string&) override {}
  std::unique_ptr<drivers::BulkWriter> bulk_writer(const drivers::TableRef&,
                                                   const std::vector<drivers::Column>&) override {
    throw std::logic_error("not used");
  }
  void close() override { log_->statements.push_back("<close>"); }

 private:
  ConnLog* log_;
};

class FakeCache : public federation::zyl_cache::Cache {
 public:
  std::vector<std::string> tables;
  std::vector<std::string> dropped;
  bool released = false;
  bool fail_list = false;

  federation::zyl_cache::FileLock& _file_lock() override { throw std::logic_error("not used"); }
  void ensure_created() override {}
  std::string db_path() const override { return ""; }
  void close_and_release() override { released = true; }
  void reopen() override {}
  std::string source_table_name(const std::string& s, const std::string& t) const override {
    return s + "__" + t;
  }
  std::string model_table_name(const std::string& m) const override { return "__model__" + m; }
  bool has_model_result(const std::string&) override { return false; }
  std::optional<std::int64_t> save_model_result(const std::string&, const std::string&,
                                                bool) override {
    return std::nullopt;
  }
  std::vector<std::string> list_tables() override {
    if (fail_list) throw std::runtime_error("cache is locked");
    return tables;
  }
  void drop_table(const std::string& name) override { dropped.push_back(name); }
};

// A task whose selection is given instead of evaluated.
class SelectedTask : public ZylRetractTask {
 public:
  SelectedTask(std::set<std::string> selected, brek::Args args,
               std::shared_ptr<brek::RuntimeConfig> config,
               std::shared_ptr<brek::Manifest> manifest, std::ostream& out)
      : ZylRetractTask(std::move(args), std::move(config), std::move(manifest), out),
        selected_(std::move(selected)) {}
  std::set<std::string> _get_selected_uids() const override { return selected_; }

 private:
  std::set<std::string> selected_;
};

brek::NodePtr make_node(const std::string& name, std::vector<std::string> deps = {},
                        std::string materialized = "table", std::string type = "model") {
  auto n = std::make_shared<brek::Node>();
  n->unique_id = type + ".proj." + name;
  n->name = name;
  n->resource_type = type;
  n->schema = "analytics";
  n->config["materialized"] = materialized;
  if (!deps.empty()) n->depends_on = brek::DependsOn{std::move(deps), {}};
  return n;
}

std::string uid(const std::string& name) { return "model.proj." + name; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Timings are replaced by "#" so lines compare exactly without asserting a duration; the
// replaced text must be a fixed-point number with one decimal.
std::vector<std::string> normalised(const std::string& text) {
  static const std::regex timing(R"((OK in |errors in )\d+\.\d(s))");
  std::vector<std::string> lines;
  for (const auto& line : lines_of(text)) lines.push_back(std::regex_replace(line, timing, "$1#$2"));
  return lines;
}

std::string dots(size_t n) { return std::string(n, '.'); }

// ---- selector ----------------------------------------------------------------------------

TEST(RetractSelector, NeedsManifestAndGraph) {
  auto manifest = std::make_shared<brek::Manifest>();
  for (bool with_manifest : {false, true}) {
    ZylRetractTask task({}, std::make_shared<brek::RuntimeConfig>(),
                        with_manifest ? manifest : nullptr);
    try {
      task.get_node_selector();
      FAIL() << "expected BrekInternalError";
    } catch (const brek_common::BrekInternalError& e) {
      EXPECT_STREQ(e.what(), "manifest and graph must be set to perform node selection");
    }
  }
}

// ---- ordering ----------------------------------------------------------------------------

struct SortCase {
  const char* label;
  std::vector<std::pair<std::string, std::vector<std::string>>> models;  // name -> deps
  std::vector<std::string> expected;                                     // names
};

TEST(RetractSort, DownstreamFirstWithFixedTieBreak) {
  const std::vector<SortCase> cases = {
      {"chain", {{"a", {}}, {"b", {uid("a")}}, {"c", {uid("b")}}}, {"c", "b", "a"}},
      {"diamond",
       {{"a", {}}, {"b", {uid("a")}}, {"c", {uid("a")}}, {"d", {uid("b"), uid("c")}}},
       {"d", "c", "b", "a"}},
      // a and c form level 1, b level 2.
      {"independent model", {{"a", {}}, {"b", {uid("a")}}, {"c", {}}}, {"b", "c", "a"}},
      // x is not selected: a and b are not ordered through it.
      {"unselected middle", {{"a", {uid("x")}}, {"b", {}}}, {"b", "a"}},
      {"duplicate and foreign deps",
       {{"a", {"source.proj.raw.t", "seed.proj.s"}}, {"b", {uid("a"), uid("a")}}},
       {"b", "a"}},
      {"cycle falls back to id order",
       {{"a", {uid("b")}}, {"b", {uid("a")}}, {"c", {}}},
       {"a", "b", "c"}},
      {"self loop", {{"a", {uid("a")}}, {"b", {uid("a")}}}, {"a", "b"}},
  };
  for (const auto& c : cases) {
    std::vector<brek::NodePtr> keep;
    ModelMap map;
    // Inserted in reverse to show the map's own order does not decide the result.
    for (auto it = c.models.rbegin(); it != c.models.rend(); ++it) {
      keep.push_back(make_node(it->first, it->second));
      map.set(uid(it->first), keep.back().get());
    }
    std::vector<std::string> expected;
    for (const auto& n : c.expected) expected.push_back(uid(n));
    EXPECT_EQ(ZylRetractTask::_reverse_topo_sort(map), expected) << c.label;
  }
}

TEST(RetractSort, EmptyMap) { EXPECT_TRUE(ZylRetractTask::_reverse_topo_sort({}).empty()); }

// ---- names and statements ----------------------------------------------------------------

TEST(RetractTableName, SchemaOfTargetOnlyOffDefault) {
  struct Case {
    const char* label;
    std::optional<std::string> node_schema;
    std::string target;
    Value config;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"default target keeps node schema", "analytics", "dev", {{"schema", "other"}},
       "analytics.orders"},
      {"other target uses its schema", "analytics", "wh", {{"schema", "mart"}, {"database", "db"}},
       "mart.orders"},
      {"other target falls back to database", "analytics", "wh", {{"database", "db"}},
       "db.orders"},
      {"empty schema key keeps node schema", "analytics", "wh",
       {{"schema", ""}, {"database", "db"}}, "analytics.orders"},
      {"neither key keeps node schema", "analytics", "wh", {{"type", "mysql"}},
       "analytics.orders"},
      {"no schema at all gives bare name", std::nullopt, "dev", Value::object(), "orders"},
      {"empty node schema gives bare name", "", "wh", Value::object(), "orders"},
  };
  for (const auto& c : cases) {
    brek::Node node;
    node.name = "orders";
    node.schema = c.node_schema;
    EXPECT_EQ(ZylRetractTask::_resolve_table_name(node, c.target, "dev", c.config), c.expected)
        << c.label;
  }
}

TEST(RetractDrop, StatementAndCascadePerEngine) {
  ConnLog log;
  components::ScopedOverride guard;
  std::vector<std::string> types;
  guard->get_connection = [&](const std::string& type, const Value&) {
    types.push_back(type);
    return std::make_unique<FakeConnection>(&log);
  };
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"postgres", "VIEW", "DROP VIEW IF EXISTS analytics.orders CASCADE"},
      {"mysql", "TABLE", "DROP TABLE IF EXISTS analytics.orders"},
      {"duckdb", "TABLE", "DROP TABLE IF EXISTS analytics.orders CASCADE"},
      {"sqlite", "VIEW", "DROP VIEW IF EXISTS analytics.orders"},
      {"sqlserver", "TABLE", "DROP TABLE IF EXISTS analytics.orders"},
  };
  for (const auto& [type, obj, sql] : cases) {
    log.statements.clear();
    auto result = ZylRetractTask::_drop_from_target(type, {{"type", type}}, "analytics.orders", obj);
    EXPECT_EQ(result, std::make_pair(std::string("ok"), std::string())) << type;
    EXPECT_THAT(log.statements, ElementsAre("<begin>", sql, "<commit>", "<close>")) << type;
  }
  EXPECT_EQ(CASCADE_ENGINES,
            (std::set<std::string>{"postgres", "redshift", "snowflake", "oracle", "duckdb"}));
}

TEST(RetractDrop, NoConnectionIsSkip) {
  components::ScopedOverride guard;
  guard->get_connection = [](const std::string&, const Value&) {
    return std::unique_ptr<drivers::Connection>();
  };
  EXPECT_EQ(ZylRetractTask::_drop_from_target("postgres", Value::object(), "t", "TABLE"),
            std::make_pair(std::string("skip"), std::string("cannot connect to postgres")));
  guard->get_connection = [](const std::string&, const Value&) -> std::unique_ptr<drivers::Connection> {
    throw drivers::DriverError("connection refused");
  };
  EXPECT_EQ(ZylRetractTask::_drop_from_target("mysql", Value::object(), "t", "TABLE"),
            std::make_pair(std::string("skip"), std::string("cannot connect to mysql")));
}

TEST(RetractDrop, FailureIsCutTo200AndClosesConnection) {
  ConnLog log;
  log.fail_on = "DROP TABLE IF EXISTS t";
  log.fail_message = std::string(300, 'x') + std::string(200, 'y');
  components::ScopedOverride guard;
  guard->get_connection = [&](const std::string&, const Value&) {
    return std::make_unique<FakeConnection>(&log);
  };
  auto [status, msg] = ZylRetractTask::_drop_from_target("mysql", Value::object(), "t", "TABLE");
  EXPECT_EQ(status, "error");
  EXPECT_EQ(msg, std::string(200, 'x'));
  EXPECT_THAT(log.statements,
              ElementsAre("<begin>", "DROP TABLE IF EXISTS t", "<rollback>", "<close>"));
}

// ---- cache -------------------------------------------------------------------------------

class RetractCache : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zyl_retract_cache_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / ".zyl");
    guard_->cache = [this](const federation::zyl_cache::CacheLocation& loc) {
      opened_at_ = loc.cache_path;
      return cache_;
    };
  }
  void TearDown() override { fs::remove_all(dir_); }
  void touch_cache_file() { std::ofstream(dir_ / ".zyl" / "cache.duckdb") << ""; }

  fs::path dir_;
  components::ScopedOverride guard_;
  std::shared_ptr<FakeCache> cache_ = std::make_shared<FakeCache>();
  fs::path opened_at_;
};

TEST_F(RetractCache, DropsOnlyResultTablesOfRetractedModels) {
  touch_cache_file();
  cache_->tables = {"__model__customers", "__model__orders",   "__model____model__orders",
                    "crm__orders",        "crm____model__orders", "__model__orders_v2",
                    "orders"};
  auto orders = make_node("orders");
  ModelMap map;
  map.set(orders->unique_id, orders.get());
  EXPECT_EQ(ZylRetractTask::_clean_cache(dir_.string(), map), 1);
  EXPECT_THAT(cache_->dropped, ElementsAre("__model__orders"));
  EXPECT_TRUE(cache_->released);
  EXPECT_EQ(opened_at_, dir_ / ".zyl" / "cache.duckdb");
}

TEST_F(RetractCache, NoCacheFileOpensNothing) {
  auto orders = make_node("orders");
  ModelMap map;
  map.set(orders->unique_id, orders.get());
  EXPECT_EQ(ZylRetractTask::_clean_cache(dir_.string(), map), 0);
  EXPECT_TRUE(opened_at_.empty());
  // A directory in the file's place is not a cache either.
  fs::create_directories(dir_ / ".zyl" / "cache.duckdb");
  EXPECT_EQ(ZylRetractTask::_clean_cache(dir_.string(), map), 0);
  EXPECT_TRUE(opened_at_.empty());
}

TEST_F(RetractCache, FailureLogsAtDebugAndCountsZero) {
  touch_cache_file();
  cache_->fail_list = true;
  auto orders = make_node("orders");
  ModelMap map;
  map.set(orders->unique_id, orders.get());
  log::Capture capture;
  EXPECT_EQ(ZylRetractTask::_clean_cache(dir_.string(), map), 0);
  EXPECT_THAT(capture.messages("zyl.tasks.retract", spdlog::level::debug),
              ElementsAre("zyl retract: cache cleanup failed: cache is locked"));
}

TEST_F(RetractCache, MissingComponentEndsTheCommand) {
  guard_->cache = nullptr;
  EXPECT_THROW(ZylRetractTask::_clean_cache(dir_.string(), {}), std::runtime_error);
}

// ---- interpret_results -------------------------------------------------------------------

TEST(RetractInterpret, FailsOnlyOnErrors) {
  ZylRetractTask task({}, nullptr, nullptr);
  EXPECT_TRUE(task.interpret_results(std::vector<Value>{}));
  EXPECT_TRUE(task.interpret_results(std::vector<Value>{{{"status", "ok"}}, {{"status", "skip"}}}));
  EXPECT_TRUE(task.interpret_results(std::vector<Value>{Value::object(), Value("x")}));
  EXPECT_FALSE(task.interpret_results(std::vector<Value>{{{"status", "ok"}}, {{"status", "error"}}}));
  EXPECT_TRUE(task.interpret_results(Value("not a list")));
  EXPECT_FALSE(task.interpret_results(Value::array({{{"status", "error"}}})));
}

// ---- whole runs against real DuckDB and SQLite targets --------------------------------------

// A project in a temp dir with a profiles.yml whose outputs are a DuckDB warehouse ("dev", the
// default), a SQLite file ("lite") and a DuckDB file in a directory that does not exist ("gone").
class RetractProject : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zyl_retract_" + std::string(
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "profiles.yml")
        << "proj:\n  target: dev\n  outputs:\n"
        << "    dev: {type: duckdb, path: '" << (dir_ / "wh.duckdb").string()
        << "', schema: analytics}\n"
        << "    lite: {type: sqlite, path: '" << (dir_ / "lite.db").string()
        << "', schema: main}\n"
        << "    gone: {type: duckdb, path: '" << (dir_ / "no" / "such" / "x.duckdb").string()
        << "'}\n";
    args_.PROJECT_DIR = dir_.string();
    args_.PROFILES_DIR = dir_.string();
    config_->target_name = "dev";
    guard_->read_profiles_yml = sync::profiles_reader::read_profiles_yml;
    guard_->default_profiles_dir = [] { return std::string("/nonexistent"); };
    guard_->get_connection = [](const std::string&, const Value& cfg) {
      try {
        return drivers::open_connection(cfg);
      } catch (const drivers::DriverError&) {
        return std::unique_ptr<drivers::Connection>();
      }
    };
    guard_->cache = [](const federation::zyl_cache::CacheLocation& loc) {
      return std::make_shared<federation::zyl_cache::ZylCache>(loc);
    };
    guard_->track_zyl_retract = [this](const Value& e) { events_.push_back(e); };
  }
  void TearDown() override { fs::remove_all(dir_); }

  void sql(const std::string& output, const std::string& statements) {
    auto conn = drivers::open_connection(
        output == "dev" ? Value{{"type", "duckdb"}, {"path", (dir_ / "wh.duckdb").string()}}
                        : Value{{"type", "sqlite"}, {"path", (dir_ / "lite.db").string()}});
    conn->execute(statements);
    conn->close();
  }
  std::set<std::string> objects(const std::string& output) {
    auto conn = drivers::open_connection(
        output == "dev" ? Value{{"type", "duckdb"}, {"path", (dir_ / "wh.duckdb").string()}}
                        : Value{{"type", "sqlite"}, {"path", (dir_ / "lite.db").string()}});
    auto result = conn->query(output == "dev"
                                  ? "SELECT table_name FROM information_schema.tables"
                                  : "SELECT name FROM sqlite_master");
    std::set<std::string> names;
    drivers::RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) names.insert(std::get<std::string>(batch.at(r, 0)));
    }
    conn->close();
    return names;
  }
  fs::path cache_file() const { return dir_ / ".zyl" / "cache.duckdb"; }
  void fill_cache(const std::vector<std::string>& tables) {
    fs::create_directories(dir_ / ".zyl");
    auto conn = drivers::open_connection(Value{{"type", "duckdb"}, {"path", cache_file().string()}});
    for (const auto& t : tables) {
      conn->execute("CREATE TABLE " + conn->quote_identifier(t) + " AS SELECT 1 AS x");
    }
    conn->close();
  }
  std::vector<std::string> cache_tables() {
    federation::zyl_cache::ZylCache cache(federation::zyl_cache::CacheLocation::at(cache_file()));
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
  std::vector<Value> run(std::set<std::string> selected) {
    SelectedTask task(std::move(selected), args_, config_, manifest_, out_);
    return task.run();
  }

  fs::path dir_;
  components::ScopedOverride guard_;
  brek::Args args_;
  std::shared_ptr<brek::RuntimeConfig> config_ = std::make_shared<brek::RuntimeConfig>();
  std::shared_ptr<brek::Manifest> manifest_ = std::make_shared<brek::Manifest>();
  std::vector<Value> events_;
  std::ostringstream out_;
};

TEST_F(RetractProject, DiamondAndChainDownstreamFirstWithCacheCleanup) {
  const std::string c43(43, 'p'), c44(44, 'q'), c45(45, 'r');  // pads 2, 1 and 1 dots
  sql("dev",
      "CREATE SCHEMA analytics;"
      "CREATE TABLE analytics.base AS SELECT 1 AS id;"
      "CREATE VIEW analytics.left_v AS SELECT * FROM analytics.base;"
      "CREATE TABLE analytics.right_t AS SELECT * FROM analytics.base;"
      "CREATE TABLE analytics.top AS SELECT * FROM analytics.left_v, analytics.right_t;"
      "CREATE TABLE analytics." + c43 + " AS SELECT 1 AS x;"
      "CREATE TABLE analytics." + c44 + " AS SELECT 1 AS x;"
      "CREATE VIEW analytics." + c45 + " AS SELECT 1 AS x;"
      "CREATE TABLE analytics.bystander AS SELECT 1 AS x;");
  model("base", {"source.proj.crm.orders"});
  model("left_v", {uid("base")}, "view");
  model("right_t", {uid("base")}, "incremental");
  model("top", {uid("left_v"), uid("right_t")});
  model(c43);
  model(c44, {uid(c43)});
  model(c45, {uid(c44)}, "view");
  model("bystander");
  const std::string source_table = [&] {
    federation::zyl_cache::ZylCache cache(federation::zyl_cache::CacheLocation::at(cache_file()));
    cache.close_and_release();
    return cache.source_table_name("crm", "orders");
  }();
  fill_cache({"__model__base", "__model__top", "__model__bystander", "__model__" + c45,
              "__model____model__top", source_table});

  auto results = run({uid("base"), uid("left_v"), uid("right_t"), uid("top"), uid(c43), uid(c44),
                      uid(c45)});

  // Levels: {base, c43}, {left_v, right_t, c44}, {top, c45}; dropped last level first, each
  // level in reverse.
  EXPECT_THAT(normalised(out_.str()),
              ElementsAreArray(std::vector<std::string>{
                  "",
                  "  Retracting 7 model(s) (reverse DAG order)...",
                  "",
                  "  1 of 7  DROP VIEW " + c45 + " . [OK in #s]",
                  "  2 of 7  DROP TABLE top " + dots(42) + " [OK in #s]",
                  "  3 of 7  DROP TABLE " + c44 + " . [OK in #s]",
                  "  4 of 7  DROP TABLE right_t " + dots(38) + " [OK in #s]",
                  "  5 of 7  DROP VIEW left_v " + dots(40) + " [OK in #s]",
                  "  6 of 7  DROP TABLE " + c43 + " .. [OK in #s]",
                  "  7 of 7  DROP TABLE base " + dots(41) + " [OK in #s]",
                  "",
                  "  Retract complete: 7 dropped, 3 cache cleared, 0 skipped, 0 errors in #s",
                  "",
              }));
  EXPECT_EQ(objects("dev"), std::set<std::string>{"bystander"});
  EXPECT_THAT(cache_tables(), ::testing::UnorderedElementsAre(
                                  "__model__bystander", "__model____model__top", source_table));
  for (const auto& r : results) EXPECT_EQ(r["status"], "ok") << r.dump();
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0]["model_count"], 7);
  EXPECT_EQ(events_[0]["success"], true);
}

TEST_F(RetractProject, MixedTargetsSkipsAndFailures) {
  sql("dev",
      "CREATE SCHEMA analytics;"
      "CREATE TABLE analytics.plain AS SELECT 1 AS x;"
      "CREATE VIEW analytics.wrong AS SELECT 1 AS x;");
  sql("lite", "CREATE TABLE lt AS SELECT 1 AS x; CREATE VIEW lv AS SELECT * FROM lt;");
  model("plain");
  model("wrong");  // configured as a table, but a view on the target: the DROP fails
  auto lt = model("lt");
  lt->config._extra["target"] = "lite";
  auto lv = model("lv", {uid("lt")}, "view");
  lv->config.target = "lite";
  model("lost")->config["target"] = "nowhere";
  model("far")->config.target = "gone";

  auto results = run({uid("plain"), uid("wrong"), uid("lt"), uid("lv"), uid("lost"), uid("far")});

  auto lines = normalised(out_.str());
  ASSERT_EQ(lines.size(), 12u);
  // The SQLite view before the table it reads; the roots after it in descending id order.
  EXPECT_EQ(lines[3], "  1 of 6  DROP VIEW lv " + dots(44) + " [OK in #s]  (lite)");
  EXPECT_EQ(lines[4], "  2 of 6  DROP TABLE wrong " + dots(40) + " [ERROR: " +
                          results[1]["msg"].get<std::string>() + "]");
  EXPECT_EQ(lines[5], "  3 of 6  DROP TABLE plain " + dots(40) + " [OK in #s]");
  EXPECT_EQ(lines[6], "  4 of 6  DROP TABLE lt " + dots(43) + " [OK in #s]  (lite)");
  EXPECT_EQ(lines[7], "  5 of 6  SKIP lost (target 'nowhere' not found in profiles)");
  EXPECT_EQ(lines[8], "  6 of 6  DROP TABLE far " + dots(42) + " [SKIP]  (gone)");
  EXPECT_EQ(lines[10], "  Retract complete: 3 dropped, 0 cache cleared, 2 skipped, 1 errors in #s");

  EXPECT_EQ(results[1]["status"], "error");
  EXPECT_THAT(results[1]["msg"].get<std::string>(), ::testing::HasSubstr("wrong"));
  EXPECT_EQ(results[4], (Value{{"uid", uid("lost")},
                               {"status", "skip"},
                               {"msg", "target 'nowhere' not found in profiles"}}));
  EXPECT_EQ(results[5]["msg"], "cannot connect to duckdb");
  EXPECT_TRUE(results[5].contains("elapsed"));
  // SQLite takes no CASCADE: both drops succeeded there.
  EXPECT_TRUE(objects("lite").empty());
  EXPECT_EQ(objects("dev"), std::set<std::string>{"wrong"});
  EXPECT_FALSE(fs::exists(cache_file()));
  ZylRetractTask task({}, nullptr, nullptr);
  EXPECT_FALSE(task.interpret_results(results));
  EXPECT_EQ(events_.at(0)["error_count"], 1);
  EXPECT_EQ(events_.at(0)["success"], false);
}

TEST_F(RetractProject, CycleStillDropsEveryModelOnce) {
  sql("dev", "CREATE SCHEMA analytics; CREATE TABLE analytics.a (x INT);"
             "CREATE TABLE analytics.b (x INT); CREATE TABLE analytics.c (x INT);");
  model("a", {uid("b")});
  model("b", {uid("a")});
  model("c", {uid("a")});
  guard_->track_zyl_retract = [](const Value&) { throw std::runtime_error("disk full"); };
  auto results = run({uid("a"), uid("b"), uid("c")});
  std::vector<std::string> order;
  for (const auto& r : results) order.push_back(r["uid"]);
  EXPECT_THAT(order, ElementsAre(uid("a"), uid("b"), uid("c")));
  EXPECT_TRUE(objects("dev").empty());
  EXPECT_EQ(normalised(out_.str()).at(7),
            "  Retract complete: 3 dropped, 0 cache cleared, 0 skipped, 0 errors in #s");
}

TEST_F(RetractProject, NothingSelectedTouchesNothing) {
  fill_cache({"__model__s"});
  auto seed = make_node("s", {}, "table", "seed");
  manifest_->nodes.set(seed->unique_id, seed);
  auto untyped = model("u");
  untyped->resource_type.reset();
  EXPECT_TRUE(run({seed->unique_id, untyped->unique_id, uid("missing")}).empty());
  EXPECT_EQ(out_.str(), "\n  No models selected for retraction.\n\n");
  EXPECT_THAT(cache_tables(), ElementsAre("__model__s"));
  EXPECT_TRUE(events_.empty());
}

TEST_F(RetractProject, UnreadableProfilesStopsEverything) {
  args_.PROFILES_DIR.clear();  // the default directory holds no profiles.yml
  sql("dev", "CREATE SCHEMA analytics; CREATE TABLE analytics.a (x INT);");
  model("a");
  log::Capture capture;
  EXPECT_TRUE(run({uid("a")}).empty());
  EXPECT_EQ(out_.str(), "");
  EXPECT_THAT(capture.messages("zyl.tasks.retract", spdlog::level::err),
              ElementsAre("zyl retract: cannot read profiles.yml: profiles.yml not found in "
                          "/nonexistent"));
  EXPECT_EQ(objects("dev"), std::set<std::string>{"a"});
  EXPECT_TRUE(events_.empty());
}

}  // namespace
}  // namespace zyl::tasks::retract
