// Where models land, end to end with the brek binary, on each engine as a non-default target:
// names that need quoting, a custom schema, two profiles sharing output names, a view model
// built as a table, and retract dropping exactly what the run built.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

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
      execute(admin_, "CREATE TABLE " + orders + " (n INTEGER)");
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

  bool server() const { return GetParam() == "postgres" || GetParam() == "mariadb"; }
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

  Outcome brek(const std::string& arguments) {
    fs::path out = root_ / "stdout.txt";
    std::string command = "cd " + shell_quote(root_.string()) + " && " + shell_quote(BREK_BINARY) +
                          " " + arguments + " --project-dir " + shell_quote(root_.string()) +
                          " --profiles-dir " + shell_quote(root_.string()) + " >" +
                          shell_quote(out.string()) + " 2>&1";
    int raw = std::system(command.c_str());
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out)};
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
      auto rows = zyl::integration::read_all(*conn, "SELECT COUNT(*) FROM " + relation);
      conn->close();
      return std::get<std::int64_t>(rows.at(0, 0));
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

INSTANTIATE_TEST_SUITE_P(Engines, PlacesEndToEnd,
                         ::testing::Values("duckdb", "sqlite", "postgres", "mariadb"),
                         [](const auto& info) { return info.param; });

}  // namespace
