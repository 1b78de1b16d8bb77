// `brek run` on a default target reached through an ODBC driver (PostgreSQL Unicode, MariaDB
// Unicode, SQLite3): a table, a view on it and two incremental models (merge and append) are
// built there by pushdown, twice, and a failing model leaves its old table as it was. The rows
// are read back through the native drivers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
using zyl::test_support::read_file;
using zyl::test_support::shell_quote;

struct Target {
  const char* type;
  const char* driver;
  const char* server;  // the server variables' prefix, "" for SQLite
};

const char* const kModels[][2] = {
    {"base",
     "{{ config(materialized='table') }}\n"
     "select 1 as id, 'v{{ var('batch') }}' as status\n"
     "union all select {{ var('batch') }} + 1 as id, 'new' as status"},
    {"base_v", "{{ config(materialized='view') }} select id, status from {{ ref('base') }}"},
    {"merged",
     "{{ config(materialized='incremental', unique_key='id') }}\n"
     "select id, status from {{ ref('base_v') }}"},
    {"appended",
     "{{ config(materialized='incremental', incremental_strategy='append') }}\n"
     "select id, status from {{ ref('base') }}"},
};

class OdbcTargetEndToEnd : public ::testing::TestWithParam<Target> {
 protected:
  void SetUp() override {
    const std::string suffix = std::to_string(::getpid());
    root_ = fs::temp_directory_path() /
            ("brek_odbc_target_" + std::string(GetParam().type) + "_" + suffix);
    fs::remove_all(root_);
    fs::create_directories(root_ / "models");
    if (GetParam().server[0] == '\0') {
      native_ = {{"type", "sqlite"}, {"path", (root_ / "target.sqlite").string()}};
    } else {
      ZYL_REQUIRE_SERVER(native_, GetParam().server, GetParam().type);
      schema_ = "rt_odbc_" + suffix;
      admin_ = native_;
      drop_schema();
      run_native(admin_, std::string(postgres() ? "CREATE SCHEMA " : "CREATE DATABASE ") + schema_);
      native_[postgres() ? "schema" : "database"] = schema_;
    }
    Value output = native_;
    output["odbc_driver"] = GetParam().driver;
    Value profiles = {{"shop", {{"target", "dev"}, {"outputs", {{"dev", output}}}}}};
    std::ofstream(root_ / "profiles.yml") << profiles.dump(2);
    std::ofstream(root_ / "brek_project.yml") << "name: shop\nprofile: shop\n";
    for (const auto& [name, sql] : kModels) write_model(name, sql);
  }
  void TearDown() override {
    if (!admin_.is_null()) {
      try {
        drop_schema();
      } catch (const std::exception&) {
      }
    }
    fs::remove_all(root_);
  }

  bool postgres() const { return std::string(GetParam().type) == "postgres"; }
  void drop_schema() {
    run_native(admin_, postgres() ? "DROP SCHEMA IF EXISTS " + schema_ + " CASCADE"
                                  : "DROP DATABASE IF EXISTS " + schema_);
  }
  static void run_native(const Value& config, const std::string& sql) {
    auto conn = zyl::drivers::open_connection(config);
    conn->execute(sql);
    conn->close();
  }
  void write_model(const std::string& name, const std::string& sql) {
    std::ofstream(root_ / "models" / (name + ".sql")) << sql;
  }

  struct Outcome {
    int status = -1;
    std::string out;
  };
  Outcome run(int batch) {
    fs::path out = root_ / "out.txt";
    std::string line = "cd " + shell_quote(root_.string()) + " && " +
                       zyl::test_support::shell_line(zyl::test_support::command(BREK_BINARY)) +
                       "run --project-dir " + shell_quote(root_.string()) + " --profiles-dir " +
                       shell_quote(root_.string()) + " --vars '{batch: " + std::to_string(batch) +
                       "}' >" + shell_quote(out.string()) + " 2>&1";
    int raw = std::system(line.c_str());
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out)};
  }

  // "id:status" of every row of the model, by id and status, read through the native driver.
  std::string rows(const std::string& model) {
    auto conn = zyl::drivers::open_connection(native_, root_);
    std::string relation = zyl::drivers::relation_text(GetParam().type, "", schema_, model);
    std::vector<zyl::drivers::Column> columns;
    auto batch = zyl::integration::read_all(
        *conn, "SELECT id, status FROM " + relation + " ORDER BY id, status", &columns);
    conn->close();
    std::string text;
    for (size_t r = 0; r < batch.rows(); ++r) {
      text += (text.empty() ? "" : " ") +
              zyl::text_form(zyl::drivers::cell_to_value(batch.at(r, 0), columns[0].type)) + ":" +
              zyl::text_form(zyl::drivers::cell_to_value(batch.at(r, 1), columns[1].type));
    }
    return text;
  }

  fs::path root_;
  std::string schema_;
  Value native_;
  Value admin_;
};

TEST_P(OdbcTargetEndToEnd, ModelsAreBuiltThroughTheDriverAndAFailureKeepsTheOldTable) {
  Outcome first = run(1);
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_THAT(first.out, HasSubstr("OK=4 ERROR=0"));
  EXPECT_THAT(first.out, HasSubstr("OK     merged (dev, default_pushdown)"));
  EXPECT_EQ(rows("base"), "1:v1 2:new");
  EXPECT_EQ(rows("base_v"), "1:v1 2:new");
  EXPECT_EQ(rows("merged"), "1:v1 2:new");
  EXPECT_EQ(rows("appended"), "1:v1 2:new");

  Outcome second = run(2);
  ASSERT_EQ(second.status, 0) << second.out;
  EXPECT_EQ(rows("base"), "1:v2 3:new");
  EXPECT_EQ(rows("base_v"), "1:v2 3:new");
  EXPECT_EQ(rows("merged"), "1:v2 2:new 3:new");
  EXPECT_EQ(rows("appended"), "1:v1 1:v2 2:new 3:new");

  // The table model now fails on the target: its table and what depends on it stay as they were.
  write_model("base", "{{ config(materialized='table') }} select id, status from no_such_table");
  Outcome failed = run(3);
  EXPECT_NE(failed.status, 0) << failed.out;
  EXPECT_THAT(failed.out, HasSubstr("ERROR=1"));
  EXPECT_EQ(rows("base"), "1:v2 3:new");
  EXPECT_EQ(rows("merged"), "1:v2 2:new 3:new");
  EXPECT_EQ(rows("appended"), "1:v1 1:v2 2:new 3:new");
}

INSTANTIATE_TEST_SUITE_P(Drivers, OdbcTargetEndToEnd,
                         ::testing::Values(Target{"postgres", "PostgreSQL Unicode", "ZYL_TEST_PG"},
                                           Target{"mariadb", "MariaDB Unicode", "ZYL_TEST_MYSQL"},
                                           Target{"sqlite", "SQLite3", ""}),
                         [](const auto& info) { return std::string(info.param.type); });

}  // namespace
