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

// ---- the whole run, with fakes -----------------------------------------------------------

class RetractRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zyl_retract_run_" + std::string(
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / ".zyl");
    manifest_ = std::make_shared<brek::Manifest>();
    config_ = std::make_shared<brek::RuntimeConfig>();
    config_->target_name = "dev";
    args_.PROJECT_DIR = dir_.string();
    args_.PROFILES_DIR = "/profiles";
    profiles_ = {{"proj",
                  {{"target", "dev"},
                   {"outputs",
                    {{"dev", {{"type", "postgres"}, {"schema", "analytics"}}},
                     {"wh", {{"type", "mysql"}, {"schema", "mart"}}}}}}}};
    guard_->default_profiles_dir = [] { return std::string("/home/.brek"); };
    guard_->read_profiles_yml = [this](const std::string& d) {
      profiles_dirs_.push_back(d);
      return profiles_;
    };
    guard_->get_connection = [this](const std::string& type, const Value&) {
      if (unreachable_.count(type) != 0) return std::unique_ptr<drivers::Connection>();
      return std::unique_ptr<drivers::Connection>(std::make_unique<FakeConnection>(&conn_));
    };
    guard_->cache = [this](const federation::zyl_cache::CacheLocation&) {
      ++cache_opened_;
      return cache_;
    };
    guard_->track_zyl_retract = [this](const Value& e) { events_.push_back(e); };
  }
  void TearDown() override { fs::remove_all(dir_); }

  void add(const brek::NodePtr& node) { manifest_->nodes.set(node->unique_id, node); }
  std::vector<Value> run(std::set<std::string> selected) {
    SelectedTask task(std::move(selected), args_, config_, manifest_, out_);
    return task.run();
  }

  fs::path dir_;
  components::ScopedOverride guard_;
  std::shared_ptr<brek::Manifest> manifest_;
  std::shared_ptr<brek::RuntimeConfig> config_;
  brek::Args args_;
  Value profiles_;
  std::vector<std::string> profiles_dirs_;
  std::set<std::string> unreachable_;
  ConnLog conn_;
  std::shared_ptr<FakeCache> cache_ = std::make_shared<FakeCache>();
  int cache_opened_ = 0;
  std::vector<Value> events_;
  std::ostringstream out_;
};

TEST_F(RetractRun, MixedOutcomesLinesRecordsSummaryAndEvent) {
  std::ofstream(dir_ / ".zyl" / "cache.duckdb") << "";
  cache_->tables = {"__model__stg", "__model__fct", "__model__lost", "__model__keep", "crm__x"};
  add(make_node("stg", {"source.proj.crm.x"}, "view"));
  add(make_node("fct", {uid("stg")}, "incremental"));
  auto lost = make_node("lost", {uid("fct")});
  lost->config["target"] = "nowhere";
  add(lost);
  auto remote = make_node("mart_x", {uid("fct")});
  remote->config.target = "wh";
  add(remote);
  auto broken = make_node("broken", {uid("stg")});
  add(broken);
  add(make_node("keep"));
  conn_.fail_on = "DROP TABLE IF EXISTS analytics.broken CASCADE";
  conn_.fail_message = "relation is in use";

  auto results = run({uid("stg"), uid("fct"), uid("lost"), uid("mart_x"), uid("broken"),
                      "seed.proj.s", "model.proj.gone"});

  // Levels: {stg}, {broken, fct}, {lost, mart_x} (ids ascending), dropped in reverse.
  EXPECT_THAT(normalised(out_.str()),
              ElementsAreArray(std::vector<std::string>{
                  "",
                  "  Retracting 5 model(s) (reverse DAG order)...",
                  "",
                  "  1 of 5  DROP TABLE mart_x " + dots(39) + " [OK in #s]  (wh)",
                  "  2 of 5  SKIP lost (target 'nowhere' not found in profiles)",
                  "  3 of 5  DROP TABLE fct " + dots(42) + " [OK in #s]",
                  "  4 of 5  DROP TABLE broken " + dots(39) + " [ERROR: relation is in use]",
                  "  5 of 5  DROP VIEW stg " + dots(43) + " [OK in #s]",
                  "",
                  "  Retract complete: 3 dropped, 3 cache cleared, 1 skipped, 1 errors in #s",
                  "",
              }));
  EXPECT_THAT(conn_.statements,
              ::testing::IsSupersetOf({"DROP TABLE IF EXISTS mart.mart_x",
                                       "DROP TABLE IF EXISTS analytics.fct CASCADE",
                                       "DROP VIEW IF EXISTS analytics.stg CASCADE"}));
  EXPECT_THAT(cache_->dropped,
              ElementsAre("__model__stg", "__model__fct", "__model__lost"));  // not keep
  ASSERT_EQ(results.size(), 5u);
  auto keys = [](const Value& r) {
    std::vector<std::string> k;
    for (const auto& [key, v] : r.items()) k.push_back(key);
    return k;
  };
  EXPECT_THAT(keys(results[0]), ElementsAre("uid", "status", "msg", "elapsed"));
  EXPECT_THAT(keys(results[1]), ElementsAre("uid", "status", "msg"));
  EXPECT_EQ(results[1], (Value{{"uid", uid("lost")},
                               {"status", "skip"},
                               {"msg", "target 'nowhere' not found in profiles"}}));
  EXPECT_EQ(results[3]["status"], "error");
  EXPECT_EQ(results[3]["msg"], "relation is in use");
  EXPECT_EQ(results[0]["msg"], "");
  double sum = 0;
  for (const auto& r : results) {
    if (r.contains("elapsed")) sum += r["elapsed"].get<double>();
  }
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_THAT(keys(events_[0]),
              ElementsAre("model_count", "ok_count", "error_count", "duration_seconds", "success"));
  EXPECT_EQ(events_[0]["model_count"], 5);
  EXPECT_EQ(events_[0]["ok_count"], 3);
  EXPECT_EQ(events_[0]["error_count"], 1);
  EXPECT_DOUBLE_EQ(events_[0]["duration_seconds"].get<double>(), sum);
  EXPECT_EQ(events_[0]["success"], false);
  EXPECT_THAT(profiles_dirs_, ElementsAre("/profiles"));
}

TEST_F(RetractRun, PaddingAtTheBoundary) {
  const std::string n49(49, 'n');
  const std::string n45(45, 'm');  // 50 - 5 - 45 = 0: still one dot
  add(make_node(n49));
  add(make_node(n45));
  add(make_node("v", {}, "view"));
  add(make_node("\xc3\xa9t\xc3\xa9"));  // three code points
  auto results = run({uid(n49), uid(n45), uid("v"), uid("\xc3\xa9t\xc3\xa9")});
  auto lines = normalised(out_.str());
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[3], "  1 of 4  DROP TABLE \xc3\xa9t\xc3\xa9 " + dots(42) + " [OK in #s]");
  EXPECT_EQ(lines[4], "  2 of 4  DROP VIEW v " + dots(45) + " [OK in #s]");
  EXPECT_EQ(lines[5], "  3 of 4  DROP TABLE " + n49 + " . [OK in #s]");
  EXPECT_EQ(lines[6], "  4 of 4  DROP TABLE " + n45 + " . [OK in #s]");
}

TEST_F(RetractRun, UnreachableTargetAndEveryDropFailing) {
  unreachable_ = {"postgres"};
  add(make_node("a"));
  add(make_node("b", {uid("a")}));
  auto results = run({uid("a"), uid("b")});
  EXPECT_THAT(normalised(out_.str()),
              ElementsAreArray(std::vector<std::string>{
                  "", "  Retracting 2 model(s) (reverse DAG order)...", "",
                  "  1 of 2  DROP TABLE b " + dots(44) + " [SKIP]",
                  "  2 of 2  DROP TABLE a " + dots(44) + " [SKIP]", "",
                  "  Retract complete: 0 dropped, 0 cache cleared, 2 skipped, 0 errors in #s",
                  ""}));
  EXPECT_EQ(results[0]["msg"], "cannot connect to postgres");
  EXPECT_TRUE(results[0].contains("elapsed"));
  EXPECT_EQ(cache_opened_, 0);  // no cache file
  ZylRetractTask task({}, nullptr, nullptr);
  EXPECT_TRUE(task.interpret_results(results));
}

TEST_F(RetractRun, NothingToRetract) {
  add(make_node("s", {}, "table", "seed"));
  add(make_node("t", {}, "table", "test"));
  auto odd = make_node("odd");
  odd->resource_type.reset();
  add(odd);
  std::ofstream(dir_ / ".zyl" / "cache.duckdb") << "";
  auto results = run({"seed.proj.s", "test.proj.t", odd->unique_id, uid("missing")});
  EXPECT_TRUE(results.empty());
  EXPECT_EQ(out_.str(), "\n  No models selected for retraction.\n\n");
  EXPECT_EQ(cache_opened_, 0);
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(conn_.statements.empty());
}

TEST_F(RetractRun, UnreadableProfilesStopsEverything) {
  args_.PROFILES_DIR.clear();
  guard_->read_profiles_yml = [this](const std::string& d) -> Value {
    profiles_dirs_.push_back(d);
    throw std::runtime_error("no profiles.yml in /home/.brek");
  };
  add(make_node("a"));
  log::Capture capture;
  auto results = run({uid("a")});
  EXPECT_TRUE(results.empty());
  EXPECT_EQ(out_.str(), "");
  EXPECT_THAT(profiles_dirs_, ElementsAre("/home/.brek"));
  EXPECT_THAT(capture.messages("zyl.tasks.retract", spdlog::level::err),
              ElementsAre("zyl retract: cannot read profiles.yml: no profiles.yml in /home/.brek"));
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(conn_.statements.empty());
}

TEST_F(RetractRun, TargetFromConfigItemsThenAttribute) {
  // An extra key counts as an item; a present but empty item does not fall through to the
  // attribute; without the item the attribute decides.
  auto extra = make_node("e");
  extra->config._extra["target"] = "wh";
  auto empty_item = make_node("f");
  empty_item->config["target"] = "";
  empty_item->config.target = "wh";
  auto attr = make_node("g");
  attr->config.target = "wh";
  add(extra);
  add(empty_item);
  add(attr);
  auto results = run({extra->unique_id, empty_item->unique_id, attr->unique_id});
  auto lines = normalised(out_.str());
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[3], "  1 of 3  DROP TABLE g " + dots(44) + " [OK in #s]  (wh)");
  EXPECT_EQ(lines[4], "  2 of 3  DROP TABLE f " + dots(44) + " [OK in #s]");
  EXPECT_EQ(lines[5], "  3 of 3  DROP TABLE e " + dots(44) + " [OK in #s]  (wh)");
}

TEST_F(RetractRun, TrackingFailureIsIgnored) {
  guard_->track_zyl_retract = [](const Value&) { throw std::runtime_error("disk full"); };
  add(make_node("a"));
  auto results = run({uid("a")});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["status"], "ok");
  guard_->track_zyl_retract = nullptr;
  out_.str("");
  EXPECT_EQ(run({uid("a")}).size(), 1u);
}

}  // namespace
}  // namespace zyl::tasks::retract
