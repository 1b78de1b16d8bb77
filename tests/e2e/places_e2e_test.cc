// Where models land, end to end with the brek binary, on each engine as a non-default target:
// names that need quoting, a custom schema, two profiles sharing output names, a view model
// built as a table, a configured database, and retract dropping exactly what the run built, also
// while a run of the same project is loading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "core/test_support/command.h"
#include "core/value.h"
#include "drivers/driver.h"
#include "drivers/relation.h"
#include "tests/integration/server_env.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using zyl::Value;

struct Outcome {
  int status = -1;
  std::string out;
};

using zyl::test_support::read_file;
using zyl::test_support::shell_quote;

// The models of every test, all but `local` on the output "far" of the engine under test.
const char* const kModels[][2] = {
    {"Orders", "{{ config(target='far') }} select 1 as id, 'upper' as tag"},
    {"order", "{{ config(target='far') }} select id, tag from {{ ref('Orders') }}"},
    {"my model", "{{ config(target='far', schema='SCHEMA') }} select * from {{ ref('order') }}"},
    {"a\"b", "{{ config(target='far', materialized='view') }} select * from {{ ref('my model') }}"},
    {"local", "select id, tag from {{ ref('a\"b') }}"},
};

class PlacesEndToEnd : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    suffix_ = std::to_string(::getpid());
    root_ = fs::temp_directory_path() / ("brek_places_" + GetParam() + "_" + suffix_);
    fs::remove_all(root_);
    fs::create_directories(root_ / "models");
    own_far_ = far_config("rt_far_" + suffix_, "far");
    other_far_ = far_config("rt_other_" + suffix_, "other_far");
    if (HasFatalFailure() || IsSkipped()) return;
    custom_schema_ = "rt_custom_" + suffix_;
    if (server()) {
      drop_schemas();
      execute(admin_, "CREATE " + container() + " " + schema_of(own_far_));
      execute(admin_, "CREATE " + container() + " " + schema_of(other_far_));
      // An unrelated table whose name differs from a model's only in case, with a view on it.
      std::string orders = far_table("orders");
      execute(admin_, "CREATE TABLE " + orders +
                          (GetParam() == "clickhouse" ? " (n Int32) ENGINE = MergeTree ORDER BY n"
                                                      : " (n INTEGER)"));
      execute(admin_, "INSERT INTO " + orders + " VALUES (1), (2)");
      execute(admin_, "CREATE VIEW " + far_table("orders_v") + " AS SELECT n FROM " + orders);
    }
    write_project();
  }

  void TearDown() override {
    if (server() && !admin_.is_null()) {
      try {
        drop_schemas();
      } catch (const std::exception&) {
      }
    }
    fs::remove_all(root_);
  }

  void drop_schemas() {
    for (const std::string& schema :
         {"rt_far_" + suffix_, "rt_other_" + suffix_, "rt_custom_" + suffix_}) {
      execute(admin_, "DROP " + container() + " IF EXISTS " + schema + cascade());
    }
  }

  bool server() const { return GetParam() != "duckdb" && GetParam() != "sqlite"; }
  std::string container() const { return GetParam() == "postgres" ? "SCHEMA" : "DATABASE"; }
  std::string cascade() const { return GetParam() == "postgres" ? " CASCADE" : ""; }
  static std::string schema_of(const Value& config) {
    return zyl::get_text(config, config.contains("schema") ? "schema" : "database");
  }

  // The output "far" of the engine under test; `file` names the file of file engines.
  Value far_config(const std::string& schema, const std::string& file) {
    const std::string& engine = GetParam();
    if (engine == "duckdb") {
      return {
          {"type", "duckdb"}, {"path", (root_ / (file + ".duckdb")).string()}, {"schema", schema}};
    }
    if (engine == "sqlite")
      return {{"type", "sqlite"}, {"path", (root_ / (file + ".sqlite")).string()}};
    Value config;
    if (engine == "postgres") {
      [&] { ZYL_REQUIRE_SERVER(config, "ZYL_TEST_PG", "postgres"); }();
      admin_ = config;
      if (!config.is_null()) config["schema"] = schema;
    } else if (engine == "clickhouse") {
      [&] { ZYL_REQUIRE_SERVER(config, "ZYL_TEST_CLICKHOUSE", "clickhouse"); }();
      admin_ = config;
      if (!config.is_null()) config["database"] = schema;
    } else {
      [&] { ZYL_REQUIRE_SERVER(config, "ZYL_TEST_MYSQL", "mariadb"); }();
      admin_ = config;
      if (!config.is_null()) config["database"] = schema;
    }
    return config;
  }

  void write_project() {
    std::ofstream(root_ / "brek_project.yml") << "name: shop\nprofile: shop\n";
    Value dev = {{"type", "duckdb"}, {"path", (root_ / "dev.duckdb").string()}};
    Value other_dev = {{"type", "duckdb"}, {"path", (root_ / "other_dev.duckdb").string()}};
    // The other profile comes first in the file and uses the same output names.
    Value profiles = Value::object();
    profiles["other"] = {{"target", "dev"}, {"outputs", {{"dev", other_dev}, {"far", other_far_}}}};
    profiles["shop"] = {{"target", "dev"}, {"outputs", {{"dev", dev}, {"far", own_far_}}}};
    std::ofstream(root_ / "profiles.yml") << profiles.dump(2);
    for (const auto& [name, sql] : kModels) {
      std::string text = sql;
      size_t at = text.find("SCHEMA");
      if (at != std::string::npos) text.replace(at, 6, custom_schema_);
      std::ofstream(root_ / "models" / (std::string(name) + ".sql")) << text;
    }
  }

  // The shell command of `brek <arguments>` on the project, its output into `out`.
  std::string brek_line(const std::string& arguments, const fs::path& out,
                        const std::string& environment = "") {
    return "cd " + shell_quote(root_.string()) + " && " + environment + " " +
           zyl::test_support::shell_line(zyl::test_support::command(BREK_BINARY)) + arguments + " --project-dir " +
           shell_quote(root_.string()) + " --profiles-dir " + shell_quote(root_.string()) + " >" +
           shell_quote(out.string()) + " 2>&1";
  }
  Outcome brek(const std::string& arguments) {
    fs::path out = root_ / "stdout.txt";
    int raw = std::system(brek_line(arguments, out).c_str());
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out)};
  }
  // Starts `brek <arguments>` in the background as `name`, armed at a fault point that marks
  // <root>/<name>/reached; finished(name) waits for its exit status.
  void start_brek(const std::string& name, const std::string& arguments,
                  const std::string& point, const std::string& action) {
    fs::create_directories(root_ / name);
    std::string environment = "ZYL_FAULT_POINT=" + point + " ZYL_FAULT_ACTION=" + action +
                              " ZYL_FAULT_DIR=" + shell_quote((root_ / name).string());
    // The status is written aside and renamed, so that `rc` never appears empty.
    std::string rc = shell_quote((root_ / name / "rc").string());
    std::string line = "(" + brek_line(arguments, root_ / name / "out", environment) +
                       "; echo $? >" + rc + ".part && mv " + rc + ".part " + rc + ") &";
    ASSERT_EQ(std::system(line.c_str()), 0);
  }
  // Whether `file` appears within two minutes.
  static bool appears(const fs::path& file) {
    for (int i = 0; i < 24000 && !fs::exists(file); ++i) ::usleep(5000);
    return fs::exists(file);
  }
  Outcome finished(const std::string& name) {
    if (!appears(root_ / name / "rc")) return {};
    return Outcome{std::stoi(read_file(root_ / name / "rc")), read_file(root_ / name / "out")};
  }

  void execute(const Value& config, const std::string& sql) {
    auto conn = zyl::drivers::open_connection(config);
    conn->execute(sql);
    conn->close();
  }
  // Rows of `relation` on the output `config`; -1 when there is no such relation.
  long long count(const Value& config, const std::string& relation) {
    if (!fs::exists(zyl::get_text(config, "path")) && !server()) return -1;
    try {
      auto conn = zyl::drivers::open_connection(config);
      std::vector<zyl::drivers::Column> columns;
      auto rows = zyl::integration::read_all(*conn, "SELECT COUNT(*) FROM " + relation, &columns);
      conn->close();
      return zyl::drivers::cell_to_value(rows.at(0, 0), columns.at(0).type).get<long long>();
    } catch (const std::exception&) {
      return -1;
    }
  }
  Value dev() const { return {{"type", "duckdb"}, {"path", (root_ / "dev.duckdb").string()}}; }
  std::string far_table(const std::string& name, const std::string& schema = "") {
    return zyl::drivers::relation_text(GetParam(), "",
                                       schema.empty() ? schema_of(own_far_) : schema, name);
  }

  // relation_name of every model in target/manifest.json.
  std::map<std::string, std::string> relation_names() {
    Value manifest = Value::parse(read_file(root_ / "target" / "manifest.json"));
    std::map<std::string, std::string> names;
    for (const auto& [id, node] : manifest["nodes"].items()) {
      if (node.value("resource_type", "") != "model") continue;
      names[node.value("name", "")] = node.value("relation_name", "");
    }
    return names;
  }

  std::string suffix_;
  fs::path root_;
  Value own_far_, other_far_;
  Value admin_;  // the test server as the tests reach it, for setting up and cleaning up
  std::string custom_schema_;
};

TEST_P(PlacesEndToEnd, ModelsLandWhereTheManifestSaysAndRetractDropsExactlyThem) {
  Outcome run = brek("run");
  ASSERT_EQ(run.status, 0) << run.out << read_file(root_ / "logs" / "zyl.log");

  // Every model is where its relation_name says, on the project's own outputs.
  ASSERT_EQ(brek("compile").status, 0);
  std::map<std::string, std::string> relations = relation_names();
  ASSERT_EQ(relations.size(), 5u);
  for (const auto& [name, sql] : kModels) {
    const Value& output = std::string(name) == "local" ? dev() : own_far_;
    EXPECT_EQ(count(output, relations.at(name)), 1) << name << " at " << relations.at(name);
    EXPECT_EQ(count(other_far_, far_table(name, schema_of(other_far_))), -1) << name;
  }
  if (GetParam() != "sqlite") {
    // The configured schema holds on the non-default target.
    EXPECT_EQ(count(own_far_, far_table("my model", custom_schema_)), 1);
    EXPECT_EQ(count(own_far_, far_table("my model")), -1);
  }
  EXPECT_FALSE(fs::exists(root_ / "other_dev.duckdb"));
  if (server()) EXPECT_EQ(count(own_far_, far_table("orders")), 2);

  // A model on a missing output is skipped; the rest is dropped, the view model as the table the
  // run built, and the command succeeds.
  std::ofstream(root_ / "models" / "ghost.sql") << "{{ config(target='gone') }} select 1 as id";
  Outcome retract = brek("retract");
  EXPECT_EQ(retract.status, 0) << retract.out;
  EXPECT_THAT(retract.out, HasSubstr("SKIP ghost (target 'gone' not found in profiles)"));
  EXPECT_THAT(retract.out, HasSubstr("DROP TABLE a\"b ."));
  EXPECT_THAT(retract.out, HasSubstr("5 dropped, 5 cache cleared, 1 skipped, 0 errors"));
  for (const auto& [name, sql] : kModels) {
    const Value& output = std::string(name) == "local" ? dev() : own_far_;
    EXPECT_EQ(count(output, relations.at(name)), -1) << name;
  }
  if (server()) {
    EXPECT_EQ(count(own_far_, far_table("orders")), 2);
    EXPECT_EQ(count(own_far_, far_table("orders_v")), 2);
  }
}

// `--target X` means for retract what it means for run: it drops what `run --target X` built.
TEST_P(PlacesEndToEnd, RetractWithTargetDropsWhatRunWithThatTargetBuilt) {
  ASSERT_EQ(brek("run -s Orders").status, 0);
  ASSERT_EQ(brek("run -s Orders --target dev").status, 0);
  std::string on_dev = zyl::drivers::relation_text("duckdb", "", "main", "Orders");
  ASSERT_EQ(count(dev(), on_dev), 1);
  ASSERT_EQ(count(own_far_, far_table("Orders")), 1);

  Outcome retract = brek("retract -s Orders --target dev");
  EXPECT_EQ(retract.status, 0) << retract.out;
  EXPECT_EQ(count(dev(), on_dev), -1);
  EXPECT_EQ(count(own_far_, far_table("Orders")), 1);

  ASSERT_EQ(brek("retract -s Orders").status, 0);
  EXPECT_EQ(count(own_far_, far_table("Orders")), -1);
}

// A retract started while a run of the same project is loading a model waits for that model:
// afterwards neither the target nor the cache holds it, and both commands succeed.
TEST_P(PlacesEndToEnd, RetractDuringARunWaitsForTheModelBeingLoaded) {
#ifndef ZYL_TEST_HOOKS
  GTEST_SKIP() << "the handshake needs the fault points of a test build (ZYL_TEST_HOOKS)";
#endif
  start_brek("run", "run -s Orders", "model.loaded", "wait");
  ASSERT_TRUE(appears(root_ / "run" / "reached"));  // loaded, its cache result not committed
  start_brek("retract", "retract -s Orders", "retract.cache_lock", "mark");
  ASSERT_TRUE(appears(root_ / "retract" / "reached"));
  std::ofstream(root_ / "run" / "go") << "go\n";
  Outcome run = finished("run");
  Outcome retract = finished("retract");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(retract.status, 0) << retract.out;
  EXPECT_THAT(retract.out, HasSubstr("1 dropped, 1 cache cleared"));
  EXPECT_EQ(count(own_far_, far_table("Orders")), -1);
  Value cache = {{"type", "duckdb"}, {"path", (root_ / ".zyl" / "cache.duckdb").string()}};
  EXPECT_EQ(count(cache, "main.\"__model__Orders\""), -1);
}

// A configured database is where the rows land: another database of the PostgreSQL server, and
// for an engine whose connection holds one database only, an error before anything is written.
TEST_P(PlacesEndToEnd, AConfiguredDatabaseIsWhereTheRowsLand) {
  if (GetParam() != "postgres" && GetParam() != "duckdb") GTEST_SKIP() << "no database level";
  const std::string other_db = "rt_db_" + suffix_;
  std::ofstream(root_ / "models" / "moved.sql")
      << "{{ config(target='far', database='" << other_db << "') }} select 1 as id";
  Value elsewhere = own_far_;
  if (GetParam() == "postgres") {
    execute(admin_, "DROP DATABASE IF EXISTS " + other_db + " WITH (FORCE)");
    execute(admin_, "CREATE DATABASE " + other_db);
    elsewhere["dbname"] = other_db;
    execute(elsewhere, "CREATE SCHEMA " + schema_of(own_far_));
  }
  Outcome run = brek("run -s moved");
  if (GetParam() == "duckdb") {
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_THAT(run.out, HasSubstr("is in database '" + other_db + "', but output 'far' (duckdb)"));
    EXPECT_EQ(count(own_far_, far_table("moved")), -1);
    return;
  }
  EXPECT_EQ(run.status, 0) << run.out << read_file(root_ / "logs" / "zyl.log");
  EXPECT_EQ(count(elsewhere, far_table("moved")), 1);
  EXPECT_EQ(count(own_far_, far_table("moved")), -1);
  Outcome retract = brek("retract -s moved");
  EXPECT_EQ(retract.status, 0) << retract.out;
  EXPECT_EQ(count(elsewhere, far_table("moved")), -1);
  execute(admin_, "DROP DATABASE IF EXISTS " + other_db + " WITH (FORCE)");
}

// A seed loads on its own target, a model on another target reads it through the cache, a
// reload replaces its rows, and a malformed file changes nothing.
TEST_P(PlacesEndToEnd, SeedsLoadOnTheirTargetReplaceTheirRowsAndRefuseMalformedFiles) {
  fs::create_directories(root_ / "seeds");
  auto write_seed = [&](const std::string& text) {
    std::ofstream(root_ / "seeds" / "rates.csv") << text;
  };
  write_seed("code,rate,since\nUS,1.25,2024-01-01\nFR,0.5,2024-02-29\n");
  std::ofstream(root_ / "seeds" / "rates.yml") << "seeds:\n  - name: rates\n    config:\n"
                                                  "      target: far\n";
  std::ofstream(root_ / "models" / "doubled.sql")
      << "select code, rate * 2 as doubled, since from {{ ref('rates') }}";
  Outcome seeded = brek("seed");
  ASSERT_EQ(seeded.status, 0) << seeded.out << read_file(root_ / "logs" / "zyl.log");
  EXPECT_THAT(seeded.out, HasSubstr("1 of 1 OK"));
  EXPECT_EQ(count(own_far_, far_table("rates")), 2);

  Outcome run = brek("run -s doubled");
  ASSERT_EQ(run.status, 0) << run.out << read_file(root_ / "logs" / "zyl.log");
  EXPECT_EQ(count(dev(), "main.doubled WHERE doubled = 2.5 AND code = 'US'"), 1);

  write_seed("code,rate,since\nUS,1.25\n");
  Outcome bad = brek("seed");
  EXPECT_EQ(bad.status, 1) << bad.out;
  EXPECT_THAT(bad.out, HasSubstr("seeds/rates.csv:2: the row has 2 fields, the header 3"));
  EXPECT_EQ(count(own_far_, far_table("rates")), 2);

  write_seed("code,rate,since\nUS,1.25,2024-01-01\nFR,0.5,2024-02-29\nDE,2,2024-03-01\n");
  ASSERT_EQ(brek("seed").status, 0);
  EXPECT_EQ(count(own_far_, far_table("rates")), 3);  // replaced, not appended

  write_seed("code,name\nUS,United States\n");
  Outcome rebuilt = brek("seed --full-refresh");
  ASSERT_EQ(rebuilt.status, 0) << rebuilt.out;
  EXPECT_EQ(count(own_far_, far_table("rates") + " WHERE name = 'United States'"), 1);
}

// Data tests run where their model lives; a relationships test between two targets compares
// the keys in a local DuckDB file.
TEST_P(PlacesEndToEnd, DataTestsRunWhereTheirModelLivesAlsoAcrossTargets) {
  std::ofstream(root_ / "models" / "extra.sql") << "select 2 as id";
  std::ofstream(root_ / "models" / "tested.yml") << R"yml(models:
  - name: Orders
    columns:
      - name: id
        data_tests: [not_null, unique]
      - name: tag
        tests:
          - accepted_values: {values: ['lower'], config: {severity: warn}}
  - name: local
    columns:
      - name: id
        data_tests: [{relationships: {to: "ref('Orders')", field: id}}]
  - name: extra
    columns:
      - name: id
        data_tests: [{relationships: {to: "ref('Orders')", field: id}}]
)yml";
  fs::create_directories(root_ / "tests");
  std::ofstream(root_ / "tests" / "no_first_order.sql")
      << "select * from {{ ref('Orders') }} where id = 1";
  ASSERT_EQ(brek("run").status, 0);

  Outcome tested = brek("test");
  EXPECT_EQ(tested.status, 1) << tested.out;
  for (const char* line : {"PASS   not_null_Orders_id (far, test)", "PASS   unique_Orders_id",
                           "WARN   accepted_values_Orders_tag__lower",
                           "PASS   relationships_local_id__id__ref_Orders_ (dev, test)",
                           "FAIL   relationships_extra_id__id__ref_Orders_",
                           "FAIL   no_first_order (far, test)", "Got 1 result, configured to warn",
                           "OK=3 ERROR=2 SKIP=0 WARN=1 TOTAL=6"}) {
    EXPECT_THAT(tested.out, HasSubstr(line)) << read_file(root_ / "logs" / "zyl.log");
  }
  Value results = Value::parse(read_file(root_ / "target" / "run_results.json"));
  std::map<std::string, std::string> statuses;
  for (const auto& r : results["results"]) statuses[r.value("unique_id", "")] = r.value("status", "");
  EXPECT_EQ(statuses["test.shop.unique_Orders_id"], "pass");
  EXPECT_EQ(statuses["test.shop.accepted_values_Orders_tag__lower"], "warn");
  EXPECT_EQ(statuses["test.shop.no_first_order"], "fail");

  Outcome one = brek("test -s extra");  // the tests of the selected model only
  EXPECT_EQ(one.status, 1);
  EXPECT_THAT(one.out, HasSubstr("TOTAL=1"));
}

// `brek build`: the seed before the model that reads it, each test after its model, and a
// failing test keeps what reads the tested model from starting; a warning does not.
TEST_P(PlacesEndToEnd, BuildRunsInGraphOrderAndAFailingTestSkipsWhatReadsItsModel) {
  fs::create_directories(root_ / "seeds");
  std::ofstream(root_ / "seeds" / "codes.csv") << "code\nA\nB\n";
  std::ofstream(root_ / "models" / "uses_codes.sql") << "select code from {{ ref('codes') }}";
  std::ofstream(root_ / "models" / "tested.yml") << R"yml(models:
  - name: Orders
    columns:
      - name: id
        data_tests: [{accepted_values: {values: ['5']}}]
seeds:
  - name: codes
    config: {target: far}
    columns:
      - name: code
        data_tests: [{accepted_values: {values: ['A'], severity: warn}}]
)yml";
  Outcome built = brek("build");
  EXPECT_EQ(built.status, 1) << built.out;
  for (const char* line : {"OK     codes (far, seed)", "WARN   accepted_values_codes_code__A",
                           "OK     uses_codes (dev,", "FAIL   accepted_values_Orders_id__5",
                           "SKIP   order (far,", "SKIP   local (dev,",
                           "OK=3 ERROR=1 SKIP=4 WARN=1 TOTAL=9"}) {
    EXPECT_THAT(built.out, HasSubstr(line)) << read_file(root_ / "logs" / "zyl.log");
  }
  EXPECT_EQ(count(dev(), "main.uses_codes"), 2);
  EXPECT_EQ(count(own_far_, far_table("order")), -1);
}

INSTANTIATE_TEST_SUITE_P(Engines, PlacesEndToEnd,
                         ::testing::Values("duckdb", "sqlite", "postgres", "mariadb",
                                           "clickhouse"),
                         [](const auto& info) { return info.param; });

}  // namespace
