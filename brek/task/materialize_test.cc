#include "brek/task/materialize.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "brek/adapters/driver_adapter.h"
#include "drivers/driver.h"
#include "tests/integration/server_env.h"

namespace brek::materialize {
namespace {

namespace fs = std::filesystem;

// The same cases on a DuckDB file, a SQLite file, and the PostgreSQL, MariaDB and ClickHouse
// test servers (which skip without them, see tests/integration/server_env.h); the SQLite file,
// PostgreSQL and MariaDB also through their ODBC drivers ("<type>_odbc").
class MaterializeTest : public ::testing::TestWithParam<std::string> {
 protected:
  // The adapter type of the case.
  std::string type() const { return GetParam().substr(0, GetParam().find('_')); }
  // The ODBC driver the adapter goes through, "" for the native one.
  std::string odbc_driver() const {
    if (GetParam().find("_odbc") == std::string::npos) return "";
    return type() == "postgres"  ? "PostgreSQL Unicode"
           : type() == "mariadb" ? "MariaDB Unicode"
                                 : "SQLite3";
  }
  std::shared_ptr<adapters::DriverAdapter> open_adapter(zyl::Value config) {
    if (!odbc_driver().empty()) config["odbc_driver"] = odbc_driver();
    return adapters::DriverAdapter::open(config, dir_);
  }

  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("brek_materialize_" + std::to_string(::getpid()) + "_" + GetParam());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const std::string type = this->type();
    if (type == "clickhouse") {
      zyl::Value config;
      ZYL_REQUIRE_SERVER(config, "ZYL_TEST_CLICKHOUSE", type);
      // ClickHouse has no locks to take turns with: each process has a database of its own.
      database_ = "zyl_mat_" + std::to_string(::getpid());
      server_ = zyl::drivers::open_connection(config);
      server_->execute("DROP DATABASE IF EXISTS " + database_ + "; CREATE DATABASE " + database_);
      adapter_ = open_adapter(config);
      relation_ = {database_, "orders", ""};
      return;
    }
    if (type == "postgres" || type == "mariadb") {
      zyl::Value config;
      ZYL_REQUIRE_SERVER(config, type == "postgres" ? "ZYL_TEST_PG" : "ZYL_TEST_MYSQL", type);
      // ctest runs these cases as parallel processes on one server: they take turns.
      server_ = zyl::drivers::open_connection(config);
      if (type == "postgres") {
        zyl::integration::read_all(*server_, "SELECT pg_advisory_lock(4713)");
        server_->execute("DROP SCHEMA IF EXISTS zyl_mat CASCADE; CREATE SCHEMA zyl_mat");
      } else {
        zyl::integration::read_all(*server_, "SELECT GET_LOCK('zyl_mat', 600)");
        server_->execute("DROP DATABASE IF EXISTS zyl_mat; CREATE DATABASE zyl_mat");
      }
      adapter_ = open_adapter(config);
      relation_ = {"zyl_mat", "orders", ""};
      return;
    }
    zyl::Value config = {{"type", type}, {"path", (dir_ / ("t." + type)).string()}};
    adapter_ = open_adapter(config);
    relation_ = {type == "duckdb" ? "analytics" : "main", "orders", ""};
  }
  void TearDown() override {
    adapter_.reset();
    if (server_) {
      server_->execute(type() == "postgres"     ? "DROP SCHEMA IF EXISTS zyl_mat CASCADE"
                       : type() == "clickhouse" ? "DROP DATABASE IF EXISTS " + database_
                                                : "DROP DATABASE IF EXISTS zyl_mat");
    }
    fs::remove_all(dir_);
  }

  Materialized build(const std::string& materialization, const std::string& sql,
                     IncrementalOptions options = {}) {
    return materialize(*adapter_, relation_, materialization, sql, options);
  }
  // "id:status" of every row, by id and status.
  std::string rows() {
    auto table = adapter_
                     ->execute("SELECT id, status FROM " + quote_relation(type(), relation_) +
                                   " ORDER BY id, status",
                               true)
                     .second;
    std::string text;
    for (const auto& row : table.rows) {
      text += (text.empty() ? "" : " ") + zyl::text_form(row[0]) + ":" + zyl::text_form(row[1]);
    }
    return text;
  }

  fs::path dir_;
  std::string database_;
  std::unique_ptr<zyl::drivers::Connection> server_;
  std::shared_ptr<adapters::DriverAdapter> adapter_;
  Relation relation_;
};

TEST_P(MaterializeTest, TableIsReplacedAndAFailedRebuildKeepsTheOldRows) {
  EXPECT_EQ(relation_kind(*adapter_, relation_), RelationKind::None);
  Materialized first = build("table", "select 1 as id, 'new' as status;\n");
  EXPECT_EQ(first.message, "SELECT 1");
  EXPECT_EQ(first.rows_affected, 1);
  EXPECT_EQ(relation_kind(*adapter_, relation_), RelationKind::Table);

  build("table", "select 1 as id, 'a' as status union all select 2, 'b' -- trailing comment");
  EXPECT_EQ(rows(), "1:a 2:b");

  EXPECT_ANY_THROW(build("table", "select id, status from no_such_table"));
  EXPECT_EQ(rows(), "1:a 2:b");
  Relation temp = relation_;
  temp.identifier += "__brek_tmp";
  EXPECT_EQ(relation_kind(*adapter_, temp), RelationKind::None);
}

TEST_P(MaterializeTest, ViewsAndTablesTakeEachOthersPlace) {
  Materialized view = build("view", "select 7 as id, 'v' as status");
  EXPECT_EQ(view.message, "CREATE VIEW");
  EXPECT_EQ(view.rows_affected, -1);
  EXPECT_EQ(relation_kind(*adapter_, relation_), RelationKind::View);
  build("view", "select 8 as id, 'w' as status");
  EXPECT_EQ(rows(), "8:w");
  build("table", "select 9 as id, 't' as status");
  EXPECT_EQ(relation_kind(*adapter_, relation_), RelationKind::Table);
  build("view", "select 10 as id, 'v' as status");
  EXPECT_EQ(relation_kind(*adapter_, relation_), RelationKind::View);
  EXPECT_EQ(rows(), "10:v");
  EXPECT_EQ(build("ephemeral", "select 1").message, "EPHEMERAL");
  EXPECT_EQ(relation_kind(*adapter_, relation_), RelationKind::View);
}

TEST_P(MaterializeTest, IncrementalStrategies) {
  const std::string day1 = "select 1 as id, 'open' as status union all select 2, 'open'";
  const std::string day2 = "select 2 as id, 'shipped' as status union all select 3, 'open'";
  struct Case {
    std::string strategy;
    std::vector<std::string> key;
    std::string after_day2;
  };
  const Case cases[] = {
      {"append", {}, "1:open 2:open 2:shipped 3:open"},
      {"", {}, "1:open 2:open 2:shipped 3:open"},  // no key: append
      {"merge", {"id"}, "1:open 2:shipped 3:open"},
      {"", {"id"}, "1:open 2:shipped 3:open"},     // a key: merge
      {"delete+insert", {"id"}, "1:open 2:shipped 3:open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.strategy + "/" + std::to_string(c.key.size()));
    adapter_->execute("DROP TABLE IF EXISTS " + quote_relation(type(), relation_));
    IncrementalOptions options{false, c.strategy, c.key};
    EXPECT_EQ(build("incremental", day1, options).rows_affected, 2);  // first run builds
    EXPECT_EQ(build("incremental", day2, options).message, "SELECT 2");
    EXPECT_EQ(rows(), c.after_day2);
  }
  // A full refresh rebuilds from the model's rows alone.
  IncrementalOptions refresh{true, "merge", {"id"}};
  build("incremental", day2, refresh);
  EXPECT_EQ(rows(), "2:shipped 3:open");
}

TEST_P(MaterializeTest, IncrementalMergeOnACompositeKeyAndFewerColumns) {
  if (type() == "duckdb") adapter_->execute("CREATE SCHEMA analytics");
  adapter_->execute(
      "CREATE TABLE " + quote_relation(type(), relation_) +
      (type() == "clickhouse"
           ? " (id Int32, region String, status String, note String) "
             "ENGINE = MergeTree ORDER BY tuple()"
           : " (id INTEGER, region VARCHAR(10), status VARCHAR(10), note VARCHAR(10))"));
  adapter_->execute("INSERT INTO " + quote_relation(type(), relation_) +
                    " VALUES (1, 'eu', 'open', 'x'), (1, 'us', 'open', 'y')");
  IncrementalOptions options{false, "merge", {"id", "region"}};
  build("incremental", "select 1 as id, 'us' as region, 'done' as status", options);
  EXPECT_EQ(rows(), "1:done 1:open");
}

TEST_P(MaterializeTest, BadConfigurationsAreRefusedBeforeAnythingRuns) {
  EXPECT_THROW(build("incremental", "select 1 as id", {false, "upsert", {"id"}}),
               std::invalid_argument);
  EXPECT_THROW(build("incremental", "select 1 as id", {false, "merge", {}}),
               std::invalid_argument);
  EXPECT_THROW(build("snapshot", "select 1 as id"), std::invalid_argument);
  EXPECT_THROW(build("table", " ;\n"), std::invalid_argument);
  EXPECT_EQ(relation_kind(*adapter_, relation_), RelationKind::None);
  // A key the table does not have.
  build("incremental", "select 1 as id, 'a' as status", {false, "merge", {"id"}});
  EXPECT_ANY_THROW(build("incremental", "select 1 as id, 'a' as status", {false, "merge", {"nope"}}));
  EXPECT_EQ(rows(), "1:a");
}

INSTANTIATE_TEST_SUITE_P(Engines, MaterializeTest,
                         ::testing::Values("duckdb", "sqlite", "postgres", "mariadb", "clickhouse",
                                           "sqlite_odbc", "postgres_odbc", "mariadb_odbc"));

// An adapter of an engine that cannot run here: it records what it is sent and answers the
// catalog, COUNT(*) and column queries as a target holding the table `orders` would.
class RecordingAdapter final : public Adapter {
 public:
  RecordingAdapter(std::string type, bool transactional_ddl)
      : type_(std::move(type)), transactional_ddl_(transactional_ddl) {}
  std::vector<std::string> sent;
  std::string fail_on;  // a statement containing this text fails

  std::string type() const override { return type_; }
  std::pair<AdapterResponse, Table> execute(const std::string& sql, bool fetch) override {
    bool catalog = sql.find("information_schema") != std::string::npos ||
                   sql.find("ALL_TABLES") != std::string::npos;
    if (!catalog) sent.push_back(sql);
    if (!fail_on.empty() && sql.find(fail_on) != std::string::npos) {
      throw std::runtime_error("refused");
    }
    Table table;
    if (catalog) {
      table.rows.push_back({sql.find("__brek") == std::string::npos ? "BASE TABLE" : ""});
      if (sql.find("__brek") != std::string::npos) table.rows.clear();
    } else if (sql.find("COUNT(*)") != std::string::npos) {
      table.rows.push_back({3});
    } else if (fetch) {
      table.column_names = {"id", "status"};
    }
    return {AdapterResponse{"OK", -1}, table};
  }
  void begin() override { sent.push_back("<begin>"); }
  void commit() override { sent.push_back("<commit>"); }
  void rollback() noexcept override { sent.push_back("<rollback>"); }
  bool transactional_ddl() const override { return transactional_ddl_; }

 private:
  std::string type_;
  bool transactional_ddl_;
};

// T-SQL: the schema made by a checked CREATE, the model (with a WITH clause) through a view
// into SELECT ... INTO, sp_rename, all in one transaction; a failure rolls back and drops the
// new table.
TEST(VendorStatements, SqlServerTableIsBuiltBySelectIntoAndSpRenameInATransaction) {
  RecordingAdapter adapter("sqlserver", true);
  const std::string model = "with x as (select 1 as id, 'a' as status) select * from x";
  materialize(adapter, {"dbo", "orders", ""}, "table", model, {});
  const std::string src = R"("dbo"."orders__brek_tmp__src")";
  EXPECT_EQ(adapter.sent,
            (std::vector<std::string>{
                R"(IF SCHEMA_ID(N'dbo') IS NULL EXEC(N'CREATE SCHEMA "dbo"'))",
                R"(DROP TABLE IF EXISTS "dbo"."orders__brek_tmp")", "<begin>",
                "DROP VIEW IF EXISTS " + src, "CREATE VIEW " + src + " AS\n" + model + "\n",
                R"(SELECT * INTO "dbo"."orders__brek_tmp" FROM )" + src, "DROP VIEW " + src,
                R"(SELECT COUNT(*) FROM "dbo"."orders__brek_tmp")",
                R"(DROP TABLE IF EXISTS "dbo"."orders__brek_backup")",
                "EXEC sp_rename N'[dbo].[orders]', N'orders__brek_backup'",
                "EXEC sp_rename N'[dbo].[orders__brek_tmp]', N'orders'",
                R"(DROP TABLE "dbo"."orders__brek_backup")", "<commit>"}));

  adapter.sent.clear();
  adapter.fail_on = "SELECT * INTO";
  EXPECT_THROW(materialize(adapter, {"dbo", "orders", ""}, "table", model, {}), std::runtime_error);
  ASSERT_GE(adapter.sent.size(), 2u);
  EXPECT_EQ(adapter.sent[adapter.sent.size() - 2], "<rollback>");
  EXPECT_EQ(adapter.sent.back(), R"(DROP TABLE IF EXISTS "dbo"."orders__brek_tmp")");
  for (const std::string& sql : adapter.sent) EXPECT_EQ(sql.find("sp_rename"), std::string::npos);
}

TEST(VendorStatements, SqlServerMergeUpdatesThroughAJoin) {
  RecordingAdapter adapter("sqlserver", true);
  materialize(adapter, {"dbo", "orders", ""}, "incremental", "select 1 as id, 'a' as status",
              {false, "merge", {"id"}});
  EXPECT_THAT(adapter.sent,
              ::testing::Contains(
                  R"(UPDATE brek_old SET "status" = brek_new."status" FROM "dbo"."orders" AS )"
                  R"(brek_old JOIN "dbo"."orders__brek_tmp" AS brek_new ON brek_old."id" = )"
                  R"(brek_new."id")"));
}

// Oracle: DDL commits on its own, no IF EXISTS, no AS before an alias, one MERGE; the view is
// replaced in one statement.
TEST(VendorStatements, OracleMergesInOneStatementAndReplacesViews) {
  RecordingAdapter adapter("oracle", false);
  materialize(adapter, {"AN", "orders", ""}, "incremental",
              "select 1 as id, 'a' as status from dual", {false, "merge", {"id"}});
  const std::string temp = R"("AN"."orders__brek_tmp")";
  EXPECT_EQ(
      adapter.sent,
      (std::vector<std::string>{
          "BEGIN EXECUTE IMMEDIATE 'DROP TABLE \"AN\".\"orders__brek_tmp\"'; EXCEPTION WHEN "
          "OTHERS THEN IF SQLCODE != -942 THEN RAISE; END IF; END;",
          "CREATE TABLE " + temp + " AS\nselect 1 as id, 'a' as status from dual\n", "<begin>",
          "SELECT COUNT(*) FROM " + temp, R"(SELECT * FROM "AN"."orders" WHERE 1 = 0)",
          "SELECT * FROM " + temp + " WHERE 1 = 0",
          R"(MERGE INTO "AN"."orders" brek_old USING "AN"."orders__brek_tmp" brek_new ON )"
          R"((brek_old."id" = brek_new."id") WHEN MATCHED THEN UPDATE SET "status" = )"
          R"(brek_new."status" WHEN NOT MATCHED THEN INSERT ("id", "status") VALUES )"
          R"((brek_new."id", brek_new."status"))",
          "DROP TABLE " + temp, "<commit>"}));

  adapter.sent.clear();
  materialize(adapter, {"AN", "orders", ""}, "view", "select 1 as id from dual", {});
  EXPECT_EQ(adapter.sent,
            (std::vector<std::string>{
                R"(DROP TABLE "AN"."orders")",
                "CREATE OR REPLACE VIEW \"AN\".\"orders\" AS\nselect 1 as id from dual\n"}));
}

TEST(Quoting, PerEngine) {
  EXPECT_EQ(quote_relation("duckdb", {"a", "b\"c", ""}), "\"a\".\"b\"\"c\"");
  EXPECT_EQ(quote_relation("duckdb", {"a", "b", "cat"}), "\"cat\".\"a\".\"b\"");
  EXPECT_EQ(quote_relation("postgres", {"a", "b", "db"}), "\"a\".\"b\"");
  EXPECT_EQ(quote_relation("mysql", {"", "b`c", ""}), "`b``c`");
}

}  // namespace
}  // namespace brek::materialize
