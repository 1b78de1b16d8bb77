// `brek snapshot` as a user runs it, on DuckDB, SQLite, PostgreSQL and MariaDB targets: the
// first run, a rerun that adds nothing, changed, new and deleted rows (timestamp and check
// strategies, both hard-delete modes), a failed load that leaves the history as it was, a bad
// config that fails its snapshot alone, and a snapshot whose source lives on another engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/test_support/command.h"
#include "core/value.h"
#include "drivers/driver.h"
#include "tests/integration/server_env.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using zyl::Value;

struct Outcome {
  int status = -1;
  std::string out;
};

using zyl::test_support::read_file;
using zyl::test_support::shell_quote;

// Two snapshots: one of a table on the target itself (timestamp strategy, deleted rows kept as
// new records), one of a table in a SQLite file beside it (check strategy, deleted rows closed).
constexpr const char* kSnapshots = R"(
{% snapshot people_history %}
{{ config(strategy='timestamp', unique_key='id', updated_at='updated_at',
          hard_deletes='new_record') }}
select id, name, updated_at from {{ source('app', 'people') }}
{% endsnapshot %}

{% snapshot far_people_history %}
{{ config(strategy='check', unique_key='id', check_cols='all', hard_deletes='invalidate') }}
select id, name from {{ source('far', 'people') }}
{% endsnapshot %}
)";

class SnapshotEndToEnd : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    suffix_ = std::to_string(::getpid());
    root_ = fs::temp_directory_path() / ("brek_snapshot_" + GetParam() + "_" + suffix_);
    fs::remove_all(root_);
    fs::create_directories(root_ / "models");
    fs::create_directories(root_ / "snapshots");
    dev_ = dev_config();
    if (HasFatalFailure() || IsSkipped()) return;
    if (server()) {
      drop_schema();
      execute(admin_, std::string("CREATE ") + container() + " " + schema());
    }
    side_ = {{"type", "sqlite"}, {"path", (root_ / "side.sqlite").string()}};
    std::string datetime = GetParam() == "mariadb" ? "DATETIME" : "TIMESTAMP";
    execute(dev_, "CREATE TABLE " + people() + " (id INTEGER, name VARCHAR(40), updated_at " +
                      datetime + ")");
    execute(dev_, "INSERT INTO " + people() +
                      " VALUES (1, 'Ann', '2026-01-01 10:00:00'), (2, 'Bea', '2026-01-01 "
                      "10:00:00'), (3, 'Cy', '2026-01-01 10:00:00')");
    execute(side_, "CREATE TABLE people (id INTEGER, name TEXT)");
    execute(side_, "INSERT INTO people VALUES (1, 'Ann'), (2, 'Bea')");
    write_project();
  }

  void TearDown() override {
    if (server() && !admin_.is_null()) {
      try {
        drop_schema();
      } catch (const std::exception&) {
      }
    }
    fs::remove_all(root_);
  }

  bool server() const { return GetParam() == "postgres" || GetParam() == "mariadb"; }
  const char* container() const { return GetParam() == "postgres" ? "SCHEMA" : "DATABASE"; }
  std::string schema() const {
    if (server()) return "snap_" + suffix_;
    return "main";
  }
  void drop_schema() {
    execute(admin_, std::string("DROP ") + container() + " IF EXISTS " + schema() +
                        (GetParam() == "postgres" ? " CASCADE" : ""));
  }
  std::string people() const { return schema() + ".people"; }
  std::string history(const std::string& name) const { return schema() + "." + name; }

  Value dev_config() {
    const std::string& engine = GetParam();
    if (engine == "duckdb") {
      return {{"type", "duckdb"}, {"path", (root_ / "dev.duckdb").string()}, {"schema", "main"}};
    }
    if (engine == "sqlite") return {{"type", "sqlite"}, {"path", (root_ / "dev.sqlite").string()}};
    Value config;
    if (engine == "postgres") {
      [&] { ZYL_REQUIRE_SERVER(config, "ZYL_TEST_PG", "postgres"); }();
      admin_ = config;
      if (!config.is_null()) config["schema"] = schema();
    } else {
      [&] { ZYL_REQUIRE_SERVER(config, "ZYL_TEST_MYSQL", "mariadb"); }();
      admin_ = config;
      if (!config.is_null()) config["database"] = schema();
    }
    return config;
  }

  void write_project() {
    std::ofstream(root_ / "brek_project.yml") << "name: snap\nprofile: snap\n";
    Value profiles = {{"snap", {{"target", "dev"}, {"outputs", {{"dev", dev_}, {"side", side_}}}}}};
    std::ofstream(root_ / "profiles.yml") << profiles.dump(2);
    std::ofstream(root_ / "models" / "sources.yml")
        << "sources:\n  - name: app\n    schema: " << schema() << "\n    tables: [{name: people}]\n"
        << "  - name: far\n    connection: side\n    schema: main\n    tables: [{name: people}]\n";
    std::ofstream(root_ / "snapshots" / "people.sql") << kSnapshots;
  }

  Outcome brek(const std::string& arguments, const std::string& environment = "") {
    fs::path out = root_ / "out.txt";
    std::string line = "cd " + shell_quote(root_.string()) + " && " + environment + " " +
                       zyl::test_support::shell_line(zyl::test_support::command(BREK_BINARY)) +
                       arguments + " --project-dir " + shell_quote(root_.string()) + " >" +
                       shell_quote(out.string()) + " 2>&1";
    int raw = std::system(line.c_str());
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out)};
  }
  Outcome snapshot(const std::string& environment = "") {
    return brek("snapshot --select people_history far_people_history", environment);
  }

  void execute(const Value& config, const std::string& sql) {
    auto conn = zyl::drivers::open_connection(config);
    conn->execute(sql);
    conn->close();
  }
  long long count(const Value& config, const std::string& sql) {
    auto conn = zyl::drivers::open_connection(config);
    std::vector<zyl::drivers::Column> columns;
    auto rows = zyl::integration::read_all(*conn, sql, &columns);
    conn->close();
    return zyl::drivers::cell_to_value(rows.at(0, 0), columns.at(0).type).get<long long>();
  }
  long long rows(const std::string& name, const std::string& where = "1 = 1") {
    return count(dev_, "SELECT COUNT(*) FROM " + history(name) + " WHERE " + where);
  }

  std::string suffix_;
  fs::path root_;
  Value dev_, side_, admin_;
};

TEST_P(SnapshotEndToEnd, KeepsTheHistoryOfChangedNewAndDeletedRows) {
  Outcome first = snapshot();
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(rows("people_history"), 3);
  EXPECT_EQ(rows("people_history", "brek_valid_to IS NULL AND brek_is_deleted = 'False'"), 3);
  EXPECT_EQ(count(dev_, "SELECT COUNT(DISTINCT brek_scd_id) FROM " + history("people_history")), 3);
  // The timestamp strategy dates each version by its updated_at.
  EXPECT_EQ(rows("people_history", "brek_valid_from = brek_updated_at"), 3);
  EXPECT_EQ(rows("far_people_history", "brek_valid_to IS NULL"), 2);

  Outcome rerun = snapshot();
  ASSERT_EQ(rerun.status, 0) << rerun.out;
  EXPECT_EQ(rows("people_history"), 3);
  EXPECT_EQ(rows("far_people_history"), 2);

  execute(dev_, "UPDATE " + people() +
                    " SET name = 'Bee', updated_at = '2026-01-02 10:00:00' "
                    "WHERE id = 2");
  execute(dev_, "DELETE FROM " + people() + " WHERE id = 3");
  execute(dev_, "INSERT INTO " + people() + " VALUES (4, 'Dee', '2026-01-02 11:00:00')");
  execute(side_, "UPDATE people SET name = 'Zed' WHERE id = 1");
  execute(side_, "DELETE FROM people WHERE id = 2");
  Outcome changed = snapshot();
  ASSERT_EQ(changed.status, 0) << changed.out;
  // 3 old rows, Bee, Dee and a row recording that Cy is gone.
  EXPECT_EQ(rows("people_history"), 6);
  EXPECT_EQ(rows("people_history", "brek_valid_to IS NULL"), 4);
  // The old version of 2 ends where the new one starts, at the new updated_at.
  EXPECT_EQ(count(dev_, "SELECT COUNT(*) FROM " + history("people_history") + " a JOIN " +
                            history("people_history") +
                            " b ON a.id = b.id AND a.brek_valid_to = b.brek_valid_from "
                            "WHERE a.id = 2 AND a.name = 'Bea' AND b.name = 'Bee'"),
            1);
  EXPECT_EQ(rows("people_history", "id = 3 AND brek_valid_to IS NOT NULL"), 1);
  EXPECT_EQ(rows("people_history", "id = 3 AND brek_valid_to IS NULL AND brek_is_deleted = 'True'"),
            1);
  EXPECT_EQ(rows("people_history", "id = 4 AND brek_valid_to IS NULL"), 1);
  // Check strategy: Zed is a new version of 1; 2 is closed and has no current version.
  EXPECT_EQ(rows("far_people_history"), 3);
  EXPECT_EQ(rows("far_people_history", "brek_valid_to IS NULL"), 1);
  EXPECT_EQ(rows("far_people_history", "id = 1 AND brek_valid_to IS NULL AND name = 'Zed'"), 1);
  EXPECT_EQ(rows("far_people_history", "id = 2 AND brek_valid_to IS NOT NULL"), 1);

  Outcome unchanged = snapshot();
  ASSERT_EQ(unchanged.status, 0) << unchanged.out;
  EXPECT_EQ(rows("people_history"), 6);
  EXPECT_EQ(rows("far_people_history"), 3);
}

// The fault points exist in test builds only.
#ifdef ZYL_TEST_HOOKS
TEST_P(SnapshotEndToEnd, AFailedLoadLeavesTheHistoryAsItWas) {
  ASSERT_EQ(snapshot().status, 0);
  execute(dev_, "UPDATE " + people() +
                    " SET name = 'Ana', updated_at = '2026-01-03 10:00:00' "
                    "WHERE id = 1");
  Outcome failed = brek("snapshot --select people_history",
                        "ZYL_FAULT_POINT=load.before_commit ZYL_FAULT_ACTION=fail");
  EXPECT_EQ(failed.status, 1) << failed.out;
  EXPECT_THAT(failed.out, HasSubstr("fault injected at load.before_commit"));
  EXPECT_EQ(rows("people_history"), 3);
  EXPECT_EQ(rows("people_history", "id = 1 AND name = 'Ann' AND brek_valid_to IS NULL"), 1);

  // The snapshot of the other engine's table, built in the cache, fails the same way.
  execute(side_, "UPDATE people SET name = 'Zed' WHERE id = 1");
  Outcome far = brek("snapshot --select far_people_history",
                     "ZYL_FAULT_POINT=load.before_commit ZYL_FAULT_ACTION=fail");
  EXPECT_EQ(far.status, 1) << far.out;
  EXPECT_EQ(rows("far_people_history"), 2);
  EXPECT_EQ(rows("far_people_history", "name = 'Zed'"), 0);

  // Without the fault the same run goes through.
  ASSERT_EQ(snapshot().status, 0);
  EXPECT_EQ(rows("people_history", "id = 1 AND name = 'Ana' AND brek_valid_to IS NULL"), 1);
  EXPECT_EQ(rows("far_people_history", "name = 'Zed' AND brek_valid_to IS NULL"), 1);
}
#endif

TEST_P(SnapshotEndToEnd, ABadConfigOrARepeatedKeyFailsThatSnapshotAlone) {
  ASSERT_EQ(snapshot().status, 0);
  execute(dev_, "UPDATE " + people() +
                    " SET name = 'Ana', updated_at = '2026-01-03 10:00:00' "
                    "WHERE id = 1");
  std::ofstream(root_ / "snapshots" / "bad.sql")
      << "{% snapshot bad_history %}\n"
         "{{ config(strategy='timestamp', unique_key='id', updated_at='updated_at', "
         "check_cols=['name']) }}\n"
         "select * from {{ source('app', 'people') }}\n{% endsnapshot %}\n";
  Outcome mixed = brek("snapshot");
  EXPECT_EQ(mixed.status, 1) << mixed.out;
  EXPECT_THAT(mixed.out, HasSubstr("bad_history: A 'timestamp' snapshot should not have "
                                   "'check_cols'\n"));
  // The good snapshots ran: Ana is the new version of 1.
  EXPECT_EQ(rows("people_history"), 4);
  EXPECT_EQ(rows("people_history", "id = 1 AND name = 'Ana' AND brek_valid_to IS NULL"), 1);
  Value results = Value::parse(read_file(root_ / "target" / "run_results.json"));
  std::vector<std::string> ids;
  for (const auto& result : results["results"]) ids.push_back(result["unique_id"]);
  EXPECT_THAT(ids, ::testing::UnorderedElementsAre("snapshot.snap.people_history",
                                                   "snapshot.snap.far_people_history",
                                                   "snapshot.snap.bad_history"));

  // A select that repeats a key would make two current versions: refused, nothing written.
  execute(dev_, "INSERT INTO " + people() + " VALUES (2, 'Bob', '2026-01-04 10:00:00')");
  Outcome repeated = snapshot();
  EXPECT_EQ(repeated.status, 1) << repeated.out;
  EXPECT_THAT(repeated.out, HasSubstr("people_history: Snapshot 'people_history': its select "
                                      "returns 1 unique_key value(s) more than once"));
  EXPECT_EQ(rows("people_history"), 4);
}

TEST_P(SnapshotEndToEnd, TheManifestHoldsEachSnapshotWithItsAdapterType) {
  Outcome parsed = brek("compile");
  ASSERT_EQ(parsed.status, 0) << parsed.out;
  Value manifest = Value::parse(read_file(root_ / "target" / "manifest.json"));
  const Value& node = manifest["nodes"]["snapshot.snap.far_people_history"];
  EXPECT_EQ(node["resource_type"], "snapshot");
  EXPECT_EQ(node["zyl_adapter_type"], zyl::get_text(dev_, "type"));
  EXPECT_EQ(node["config"]["strategy"], "check");
  EXPECT_EQ(node["config"]["check_cols"], "all");
  EXPECT_EQ(manifest["parent_map"]["snapshot.snap.far_people_history"],
            Value::array({"source.snap.far.people"}));
}

// ClickHouse as the target of a snapshot read from SQLite through the cache (its tables take no
// UPDATE, so the changes are made on the source side only).
TEST(SnapshotOnClickHouse, KeepsTheHistoryOfAnotherEnginesTable) {
  Value admin;
  ZYL_REQUIRE_SERVER(admin, "ZYL_TEST_CLICKHOUSE", "clickhouse");
  std::string database = "snap_ch_" + std::to_string(::getpid());
  fs::path root = fs::temp_directory_path() / database;
  fs::remove_all(root);
  fs::create_directories(root / "models");
  fs::create_directories(root / "snapshots");
  auto run_sql = [](const Value& config, const std::string& sql) {
    auto conn = zyl::drivers::open_connection(config);
    conn->execute(sql);
    conn->close();
  };
  run_sql(admin, "DROP DATABASE IF EXISTS " + database);
  run_sql(admin, "CREATE DATABASE " + database);
  Value dev = admin;
  dev["database"] = database;
  Value side = {{"type", "sqlite"}, {"path", (root / "side.sqlite").string()}};
  run_sql(side, "CREATE TABLE people (id INTEGER, name TEXT)");
  run_sql(side, "INSERT INTO people VALUES (1, 'Ann'), (2, 'Bea')");
  std::ofstream(root / "brek_project.yml") << "name: snap\nprofile: snap\n";
  Value profiles = {{"snap", {{"target", "dev"}, {"outputs", {{"dev", dev}, {"side", side}}}}}};
  std::ofstream(root / "profiles.yml") << profiles.dump(2);
  std::ofstream(root / "models" / "sources.yml")
      << "sources:\n  - name: far\n    connection: side\n    schema: main\n"
         "    tables: [{name: people}]\n";
  std::ofstream(root / "snapshots" / "people.sql")
      << "{% snapshot people_history %}\n{{ config(strategy='check', unique_key='id', "
         "check_cols='all', hard_deletes='new_record') }}\n"
         "select id, name from {{ source('far', 'people') }}\n{% endsnapshot %}\n";
  auto snapshot = [&] {
    std::string line = "cd " + shell_quote(root.string()) + " && " +
                       zyl::test_support::shell_line(zyl::test_support::command(BREK_BINARY)) +
                       "snapshot --project-dir . >out.txt 2>&1";
    int raw = std::system(line.c_str());
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(root / "out.txt")};
  };
  auto rows = [&](const std::string& where) {
    auto conn = zyl::drivers::open_connection(dev);
    std::vector<zyl::drivers::Column> columns;
    auto batch = zyl::integration::read_all(
        *conn, "SELECT COUNT(*) FROM " + database + ".people_history WHERE " + where, &columns);
    conn->close();
    return zyl::drivers::cell_to_value(batch.at(0, 0), columns.at(0).type).get<long long>();
  };

  Outcome first = snapshot();
  EXPECT_EQ(first.status, 0) << first.out;
  Outcome rerun = snapshot();
  EXPECT_EQ(rerun.status, 0) << rerun.out;
  EXPECT_EQ(rows("1 = 1"), 2);
  run_sql(side, "UPDATE people SET name = 'Zed' WHERE id = 1");
  run_sql(side, "DELETE FROM people WHERE id = 2");
  Outcome changed = snapshot();
  EXPECT_EQ(changed.status, 0) << changed.out;
  EXPECT_EQ(rows("1 = 1"), 4);
  EXPECT_EQ(rows("brek_valid_to IS NULL AND name = 'Zed'"), 1);
  EXPECT_EQ(rows("brek_valid_to IS NULL AND id = 2 AND brek_is_deleted = 'True'"), 1);
  EXPECT_EQ(snapshot().status, 0);
  EXPECT_EQ(rows("1 = 1"), 4);
  run_sql(admin, "DROP DATABASE IF EXISTS " + database);
  fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(Engines, SnapshotEndToEnd,
                         ::testing::Values("duckdb", "sqlite", "postgres", "mariadb"),
                         [](const auto& info) { return info.param; });

}  // namespace
