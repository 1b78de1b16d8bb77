#include "drivers/dialect.h"

#include <gtest/gtest.h>

#include "drivers/relation.h"

namespace zyl::drivers {
namespace {

// A name and a literal that each engine must read back as they are: a quote of each kind, a
// backslash.
TEST(Dialect, QuotingAndLiteralsPerEngine) {
  struct Case {
    const char* engine;
    const char* name;     // a"b`c
    const char* literal;  // it's a\b
  };
  const Case cases[] = {
      {"postgres", R"("a""b`c")", R"('it''s a\b')"},
      {"mysql", R"(`a"b``c`)", R"('it''s a\\b')"},
      {"clickhouse", R"(`a"b``c`)", R"('it''s a\\b')"},
      {"sqlserver", R"("a""b`c")", R"(N'it''s a\b')"},
      {"oracle", R"("a""b`c")", R"('it''s a\b')"},
      {"trino", R"("a""b`c")", R"('it''s a\b')"},
      {"snowflake", R"("a""b`c")", R"('it''s a\\b')"},
      {"databricks", R"(`a"b``c`)", R"('it\'s a\\b')"},
      {"bigquery", R"(`a"b\`c`)", R"('it\'s a\\b')"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quote_identifier_for(c.engine, "a\"b`c"), c.name) << c.engine;
    EXPECT_EQ(string_literal_for(c.engine, "it's a\\b"), c.literal) << c.engine;
  }
  EXPECT_EQ(quote_identifier_for("bigquery", "a\\b"), R"(`a\\b`)");
  EXPECT_EQ(relation_text("oracle", "db", "s", "t"), R"("s"."t")");  // no database level
  EXPECT_EQ(relation_text("trino", "cat", "s", "t"), R"("cat"."s"."t")");
  EXPECT_EQ(relation_text("bigquery", "proj", "ds", "t"), "`proj`.`ds`.`t`");
  EXPECT_EQ(table_alias("oracle", "x"), " x");
  EXPECT_EQ(table_alias("sqlserver", "x"), " AS x");
}

TEST(Dialect, RenamePerEngine) {
  struct Case {
    const char* engine;
    const char* sql;
  };
  const Case cases[] = {
      {"postgres", R"(ALTER TABLE "s"."a" RENAME TO "b")"},
      {"oracle", R"(ALTER TABLE "s"."a" RENAME TO "b")"},
      {"bigquery", "ALTER TABLE `s`.`a` RENAME TO `b`"},
      {"trino", R"(ALTER TABLE "s"."a" RENAME TO "s"."b")"},
      {"snowflake", R"(ALTER TABLE "s"."a" RENAME TO "s"."b")"},
      {"databricks", "ALTER TABLE `s`.`a` RENAME TO `s`.`b`"},
      {"mariadb", "RENAME TABLE `s`.`a` TO `s`.`b`"},
      {"sqlserver", "EXEC sp_rename N'[s].[a]', N'b'"},
  };
  for (const Case& c : cases) EXPECT_EQ(rename_sql(c.engine, "", "s", "a", "b"), c.sql) << c.engine;
  EXPECT_EQ(rename_sql("sqlserver", "", "", "x]y", "it's"), "EXEC sp_rename N'[x]]y]', N'it''s'");
  EXPECT_EQ(rename_sql("trino", "", "", "a", "b"), R"(ALTER TABLE "a" RENAME TO "b")");
}

TEST(Dialect, DropAndSchemaStatementsPerEngine) {
  EXPECT_EQ(drop_if_exists_sql("postgres", "VIEW", "v"), "DROP VIEW IF EXISTS v CASCADE");
  EXPECT_EQ(drop_if_exists_sql("clickhouse", "VIEW", "v"), "DROP TABLE IF EXISTS v");
  EXPECT_EQ(drop_if_exists_sql("sqlserver", "TABLE", "t"), "DROP TABLE IF EXISTS t");
  // Oracle before 23c: a block that ignores only ORA-00942, the quotes of the name doubled.
  EXPECT_EQ(drop_if_exists_sql("oracle", "TABLE", R"("s"."it's")"),
            "BEGIN EXECUTE IMMEDIATE 'DROP TABLE \"s\".\"it''s\"'; EXCEPTION WHEN OTHERS THEN "
            "IF SQLCODE != -942 THEN RAISE; END IF; END;");

  EXPECT_EQ(create_schema_sql("postgres", "", "an"), R"(CREATE SCHEMA IF NOT EXISTS "an")");
  EXPECT_EQ(create_schema_sql("duckdb", "db", "an"), R"(CREATE SCHEMA IF NOT EXISTS "db"."an")");
  EXPECT_EQ(create_schema_sql("mysql", "", "an"), "CREATE DATABASE IF NOT EXISTS `an`");
  EXPECT_EQ(create_schema_sql("sqlserver", "", "it's"),
            "IF SCHEMA_ID(N'it''s') IS NULL EXEC(N'CREATE SCHEMA \"it''s\"')");
  EXPECT_EQ(create_schema_sql("bigquery", "", "ds"), "CREATE SCHEMA IF NOT EXISTS `ds`");
  EXPECT_EQ(create_schema_sql("oracle", "", "an"), "");  // schemas are users
  EXPECT_EQ(create_schema_sql("sqlite", "", "main"), "");
  EXPECT_EQ(create_schema_sql("postgres", "", ""), "");
}

TEST(Dialect, CatalogQueriesPerEngine) {
  EXPECT_EQ(relation_kind_query("sqlserver", "", "", "t"),
            "SELECT table_type FROM information_schema.tables WHERE table_schema = SCHEMA_NAME() "
            "AND table_name = N't'");
  EXPECT_EQ(relation_kind_query("oracle", "", "S", "T"),
            "SELECT 'table' FROM ALL_TABLES WHERE OWNER = 'S' AND TABLE_NAME = 'T' UNION ALL "
            "SELECT 'view' FROM ALL_VIEWS WHERE OWNER = 'S' AND VIEW_NAME = 'T'");
  EXPECT_NE(relation_kind_query("oracle", "", "", "T")
                .find("OWNER = SYS_CONTEXT('USERENV', 'CURRENT_SCHEMA')"),
            std::string::npos);
  EXPECT_EQ(relation_kind_query("bigquery", "proj", "ds", "t"),
            "SELECT table_type FROM `proj`.`ds`.INFORMATION_SCHEMA.TABLES WHERE table_name = 't'");
  EXPECT_EQ(relation_kind_query("trino", "", "", "t"),
            "SELECT table_type FROM information_schema.tables WHERE table_schema = "
            "current_schema AND table_name = 't'");
  EXPECT_EQ(relation_kind_query("snowflake", "", "s", "it's"),
            "SELECT table_type FROM information_schema.tables WHERE table_schema = 's' AND "
            "table_name = 'it''s'");
}

TEST(Dialect, CreateTableFromAQueryPerEngine) {
  const std::string model = "with x as (select 1 as id) select * from x;\n";
  EXPECT_EQ(create_table_as_sql("postgres", "", "s", "t", model),
            std::vector<std::string>{"CREATE TABLE \"s\".\"t\" AS\n"
                                     "with x as (select 1 as id) select * from x\n"});
  EXPECT_EQ(create_table_as_sql("mysql", "", "s", "t", model),
            std::vector<std::string>{"CREATE TABLE `s`.`t` AS SELECT * FROM (\n"
                                     "with x as (select 1 as id) select * from x\n"
                                     ") AS brek_subquery"});
  // T-SQL takes no WITH inside a derived table: the query goes through a view.
  EXPECT_EQ(create_table_as_sql("sqlserver", "", "s", "t", model),
            (std::vector<std::string>{
                "DROP VIEW IF EXISTS \"s\".\"t__src\"",
                "CREATE VIEW \"s\".\"t__src\" AS\nwith x as (select 1 as id) select * from x\n",
                "SELECT * INTO \"s\".\"t\" FROM \"s\".\"t__src\"", "DROP VIEW \"s\".\"t__src\""}));
}

TEST(Dialect, MergeStatementsPerForm) {
  MergeSpec spec;
  spec.target = "T";
  spec.source = "S";
  spec.target_columns = {"ID", "v"};
  spec.source_columns = {"id", "v"};
  spec.keys = {0};
  auto quote = [](std::string_view name) { return "<" + std::string(name) + ">"; };
  struct Case {
    const char* engine;
    MergeStatements expected;
  };
  const std::string insert =
      "INSERT INTO T (<ID>, <v>) SELECT zyl_s.<id>, zyl_s.<v> FROM S AS zyl_s WHERE NOT EXISTS "
      "(SELECT 1 FROM T AS zyl_t WHERE zyl_t.<ID> = zyl_s.<id>)";
  const Case cases[] = {
      {"postgres",
       {"UPDATE T AS zyl_t SET <v> = zyl_s.<v> FROM S AS zyl_s WHERE zyl_t.<ID> = zyl_s.<id>",
        insert, ""}},
      {"mariadb",
       {"UPDATE T AS zyl_t JOIN S AS zyl_s ON zyl_t.<ID> = zyl_s.<id> SET zyl_t.<v> = zyl_s.<v>",
        insert, ""}},
      {"sqlserver",
       {"UPDATE zyl_t SET <v> = zyl_s.<v> FROM T AS zyl_t JOIN S AS zyl_s ON zyl_t.<ID> = "
        "zyl_s.<id>",
        insert, ""}},
      {"oracle",
       {"", "",
        "MERGE INTO T zyl_t USING S zyl_s ON (zyl_t.<ID> = zyl_s.<id>) WHEN MATCHED THEN UPDATE "
        "SET <v> = zyl_s.<v> WHEN NOT MATCHED THEN INSERT (<ID>, <v>) VALUES (zyl_s.<id>, "
        "zyl_s.<v>)"}},
      {"trino",
       {"", "",
        "MERGE INTO T AS zyl_t USING S AS zyl_s ON (zyl_t.<ID> = zyl_s.<id>) WHEN MATCHED THEN "
        "UPDATE SET <v> = zyl_s.<v> WHEN NOT MATCHED THEN INSERT (<ID>, <v>) VALUES "
        "(zyl_s.<id>, zyl_s.<v>)"}},
  };
  for (const Case& c : cases) {
    MergeStatements got = merge_statements(c.engine, spec, quote);
    EXPECT_EQ(got.update, c.expected.update) << c.engine;
    EXPECT_EQ(got.insert, c.expected.insert) << c.engine;
    EXPECT_EQ(got.merge, c.expected.merge) << c.engine;
  }
  // Only key columns: nothing to update, only new rows to insert.
  spec.target_columns = {"ID"};
  spec.source_columns = {"id"};
  EXPECT_EQ(merge_statements("postgres", spec, quote).update, "");
  EXPECT_EQ(merge_statements("databricks", spec, quote).merge,
            "MERGE INTO T AS zyl_t USING S AS zyl_s ON (zyl_t.<ID> = zyl_s.<id>) WHEN NOT "
            "MATCHED THEN INSERT (<ID>) VALUES (zyl_s.<id>)");
}

}  // namespace
}  // namespace zyl::drivers
