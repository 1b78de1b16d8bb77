#include "zyl/federation/optimizer.h"

#include <gtest/gtest.h>

#include "core/log.h"

namespace zyl::federation::optimizer {
namespace {

using drivers::Column;
using drivers::ColumnType;
using drivers::TypeId;
using Op = Predicate::Op;

Column col(const std::string& name, TypeId id, const std::string& native = "") {
  ColumnType type;
  type.id = id;
  type.native = native;
  if (id == TypeId::Decimal) {
    type.precision = 10;
    type.scale = 2;
  }
  return {name, type};
}

// Two sources: orders (id, customer_id, "Amount", status, placed_on, placed_at, flag, note char)
// and customers (id, name, region).
class OptimizerTest : public ::testing::Test {
 protected:
  OptimizerTest() {
    map.set("orders", "orders");
    map.set("customers", "customers");
    columns["orders"] = {
        col("id", TypeId::Int64, "bigint"),        col("customer_id", TypeId::Int64, "bigint"),
        col("Amount", TypeId::Decimal, "numeric"), col("status", TypeId::String, "text"),
        col("placed_on", TypeId::Date, "date"),    col("placed_at", TypeId::Timestamp, "timestamp"),
        col("flag", TypeId::Boolean, "boolean"),   col("code", TypeId::String, "character(3)")};
    columns["orders"][7].type.fixed_length = true;
    columns["customers"] = {col("id", TypeId::Int64, "bigint"),
                            col("name", TypeId::String, "character varying(40)"),
                            col("region", TypeId::String, "text")};
  }

  Optimizations run(const std::string& sql) { return optimize_extractions(sql, map, columns); }

  // The postgres query of `table` for `sql`, or "whole" when the table is read whole.
  std::string pg(const std::string& sql, const std::string& table = "orders") {
    Optimizations found = run(sql);
    auto it = found.find(table);
    if (it == found.end() || !it->second) return "whole";
    return it->second->build_query("s", table, "postgres");
  }

  OrderedMap<std::string, std::string> map;
  SourceColumns columns;
};

TEST_F(OptimizerTest, ReadsOnlyTheColumnsTheModelUses) {
  EXPECT_EQ(pg("select o.id, o.\"Amount\" from orders o"),
            "SELECT \"id\", \"Amount\" FROM \"s\".\"orders\"");
  // CTE, subquery, window and join: every column any of them reads, in the source's order.
  EXPECT_EQ(pg("with x as (select id, status from orders) "
               "select c.name, row_number() over (partition by x.status order by x.id) "
               "from (select * from x) x join customers c on c.id = x.id"),
            "SELECT \"id\", \"status\" FROM \"s\".\"orders\"");
  EXPECT_EQ(pg("with x as (select id, status from orders) select c.name from x join customers c "
               "on c.id = x.id",
               "customers"),
            "SELECT \"id\", \"name\" FROM \"s\".\"customers\"");
  // Two references under different aliases: the union of their columns.
  EXPECT_EQ(pg("select a.id, b.status from orders a join orders b on a.customer_id = b.id"),
            "SELECT \"id\", \"customer_id\", \"status\" FROM \"s\".\"orders\"");
  // A row count still needs the rows: one column will do.
  EXPECT_EQ(pg("select count(*) from orders"), "SELECT \"id\" FROM \"s\".\"orders\"");
  // select * reads everything: the table is read whole.
  EXPECT_EQ(pg("select * from orders"), "whole");
  EXPECT_EQ(pg("select * from orders"), "whole");
}

TEST_F(OptimizerTest, PushesConstantConditionsOfOneSource) {
  EXPECT_EQ(pg("select id from orders where customer_id in (1, 2) and \"Amount\" between 1.5 and 9 "
               "and status like 'op%' and placed_on >= date '2024-01-31' and flag "
               "and placed_at < timestamp '2024-02-01 10:00:00.5' and id is not null"),
            "SELECT \"id\", \"customer_id\", \"Amount\", \"status\", \"placed_on\", \"placed_at\", "
            "\"flag\" FROM \"s\".\"orders\" WHERE (\"id\" IS NOT NULL) AND ((\"customer_id\" >= 1) AND "
            "(\"customer_id\" <= 2)) AND ((\"Amount\" >= 1.50) AND (\"Amount\" <= 9.00)) AND "
            "((\"status\" COLLATE \"C\" >= 'op') AND (\"status\" COLLATE \"C\" < 'oq')) AND "
            "(\"placed_on\" >= '2024-01-31') AND (\"placed_at\" < '2024-02-01 10:00:00.500000') "
            "AND (\"flag\" = TRUE)");
  // A join key equal to a constant is a condition on both sides.
  EXPECT_EQ(pg("select o.id from orders o join customers c on c.id = o.customer_id where c.id = 7 "
               "and c.region = 'eu'",
               "customers"),
            "SELECT \"id\", \"region\" FROM \"s\".\"customers\" WHERE (\"id\" = 7) AND "
            "(\"region\" COLLATE \"C\" = 'eu')");
  EXPECT_EQ(pg("select o.id from orders o join customers c on c.id = o.customer_id where c.id = 7"),
            "SELECT \"id\", \"customer_id\" FROM \"s\".\"orders\" WHERE (\"customer_id\" = 7)");
}

TEST_F(OptimizerTest, LeavesToDuckdbWhatIsNotCertainlyEquivalent) {
  // OR across sources, functions, and blank-padded char(n) columns stay with DuckDB.
  EXPECT_EQ(pg("select o.id from orders o join customers c on c.id = o.customer_id "
               "where o.id = 1 or c.name = 'x'"),
            "SELECT \"id\", \"customer_id\" FROM \"s\".\"orders\"");
  EXPECT_EQ(pg("select id from orders where lower(status) = 'x' and code = 'abc'"),
            "SELECT \"id\", \"status\", \"code\" FROM \"s\".\"orders\"");
  // Conditions under an outer join's inner side do not restrict the rows of the outer one.
  EXPECT_EQ(pg("select c.id, o.id from customers c left join orders o on o.customer_id = c.id "
               "and o.id > 5",
               "customers"),
            "SELECT \"id\" FROM \"s\".\"customers\"");
  // A NOT IN list keeps its NULL semantics on every engine.
  EXPECT_EQ(pg("select id from orders where status not in ('a', 'b')"),
            "SELECT \"id\", \"status\" FROM \"s\".\"orders\" WHERE (\"status\" COLLATE \"C\" NOT IN "
            "('a', 'b'))");
  // Different conditions on two references of one source: rows of either.
  EXPECT_EQ(pg("select a.id from orders a join orders b on a.customer_id = b.customer_id "
               "where a.id = 1 and b.id = 2"),
            "SELECT \"id\", \"customer_id\" FROM \"s\".\"orders\" WHERE ((\"id\" = 1) OR (\"id\" = 2))");
  EXPECT_EQ(pg("select a.id from orders a join orders b on a.id = b.id where a.id = 1"),
            "SELECT \"id\" FROM \"s\".\"orders\" WHERE (\"id\" = 1)");
}

TEST_F(OptimizerTest, PushesOnlyABareLimit) {
  EXPECT_EQ(pg("select id, status from orders limit 10"),
            "SELECT \"id\", \"status\" FROM \"s\".\"orders\" LIMIT 10");
  EXPECT_EQ(pg("select id from orders limit 10 offset 5"), "SELECT \"id\" FROM \"s\".\"orders\" LIMIT 15");
  EXPECT_EQ(pg("select id, status from orders order by \"Amount\" desc, status limit 3"),
            "SELECT \"id\", \"Amount\", \"status\" FROM \"s\".\"orders\" ORDER BY \"Amount\" DESC NULLS "
            "LAST, \"status\" COLLATE \"C\" ASC NULLS LAST LIMIT 3");
  // Something between the limit and the scan: a filter, a join, an aggregate, a window.
  EXPECT_EQ(pg("select id from orders where id > 5 limit 10"),
            "SELECT \"id\" FROM \"s\".\"orders\" WHERE (\"id\" > 5)");
  EXPECT_EQ(pg("select o.id from orders o join customers c on c.id = o.id limit 10"),
            "SELECT \"id\" FROM \"s\".\"orders\"");
  EXPECT_EQ(pg("select status, count(*) from orders group by status limit 2"),
            "SELECT \"status\" FROM \"s\".\"orders\"");
  EXPECT_EQ(pg("select id, sum(id) over () from orders limit 2"), "SELECT \"id\" FROM \"s\".\"orders\"");
  EXPECT_EQ(pg("select id from orders order by lower(status) limit 2"),
            "SELECT \"id\", \"status\" FROM \"s\".\"orders\"");
}

TEST_F(OptimizerTest, SqlThatCannotBePlannedLeavesEverySourceWhole) {
  log::Capture capture;
  EXPECT_TRUE(run("select * from not_a_table join orders using (id)").empty());
  EXPECT_TRUE(run("this is not sql").empty());
  columns.erase("customers");  // unknown columns: the table cannot be made
  EXPECT_TRUE(run("select c.id from customers c").empty());
  std::vector<std::string> lines =
      capture.messages("zyl.federation.optimizer", spdlog::level::debug);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("extraction not optimised, every source is read whole: "),
            std::string::npos);
  EXPECT_NE(lines[0].find("not_a_table"), std::string::npos);
}

// Each dialect gets the conditions it evaluates exactly as DuckDB does, in its own spelling.
TEST(BuildQueryTest, WritesEachConditionOnlyWhereTheDialectAgrees) {
  Optimization o;
  o.columns = {"id", "Name"};
  auto lit = [](ValueClass kind, std::string text) { return Literal{kind, std::move(text)}; };
  o.predicates = {
      {Op::Gt, "id", ValueClass::Integer, {lit(ValueClass::Integer, "3")}, {}},
      {Op::In,
       "Name",
       ValueClass::Text,
       {lit(ValueClass::Text, "o'k"), lit(ValueClass::Text, "b")},
       {}},
      {Op::Ge, "day", ValueClass::Date, {lit(ValueClass::Date, "2024-01-31")}, {}},
      {Op::Eq, "ok", ValueClass::Boolean, {lit(ValueClass::Boolean, "true")}, {}},
      {Op::IsNull, "ip", ValueClass::Other, {}, {}},
      {Op::Eq, "ip", ValueClass::Other, {lit(ValueClass::Text, "x")}, {}},
      {Op::Or,
       "",
       ValueClass::Other,
       {},
       {{Op::Lt, "id", ValueClass::Integer, {lit(ValueClass::Integer, "0")}, {}},
        {Op::Eq, "Name", ValueClass::Text, {lit(ValueClass::Text, "z")}, {}}}},
  };
  o.limit = 5;
  o.order_by = {{"Name", ValueClass::Text, false, true}};
  EXPECT_EQ(o.build_query("s", "t", "duckdb"),
            "SELECT \"id\", \"Name\" FROM \"s\".\"t\" WHERE (\"id\" > 3) AND (\"Name\" IN ('o''k', 'b')) "
            "AND (\"day\" >= '2024-01-31') AND (\"ok\" = TRUE) AND (\"ip\" IS NULL) AND "
            "((\"id\" < 0) OR (\"Name\" = 'z')) ORDER BY \"Name\" ASC NULLS FIRST LIMIT 5");
  EXPECT_EQ(o.build_query("s", "t", "sqlite"),
            "SELECT \"id\", \"Name\" FROM \"s\".\"t\" WHERE (\"id\" > 3) AND (\"Name\" COLLATE BINARY IN "
            "('o''k', 'b')) AND (\"ok\" = 1) AND (\"ip\" IS NULL) AND ((\"id\" < 0) OR (\"Name\" "
            "COLLATE BINARY = 'z')) ORDER BY \"Name\" COLLATE BINARY ASC NULLS FIRST LIMIT 5");
  // MySQL: no string comparison (collations) or boolean, so no OR either and no limit ordered
  // by a string.
  EXPECT_EQ(o.build_query("s", "t", "mysql"),
            "SELECT `id`, `Name` FROM `s`.`t` WHERE (`id` > 3) AND (`day` >= '2024-01-31') AND "
            "(`ip` IS NULL)");
  EXPECT_EQ(o.build_query("dbo", "t", "tsql"),
            "SELECT [id], [Name] FROM [dbo].[t] WHERE ([id] > 3) AND ([ip] IS NULL)");

  Optimization top;
  top.limit = 2;
  top.order_by = {{"id", ValueClass::Integer, true, true}, {"day", ValueClass::Date, false, false}};
  EXPECT_EQ(top.build_query("", "t", "mysql"),
            "SELECT * FROM `t` ORDER BY (`id` IS NULL) DESC, `id` DESC, (`day` IS NULL) ASC, `day` "
            "ASC LIMIT 2");
  EXPECT_EQ(top.build_query("", "t", "oracle"), "SELECT * FROM \"t\"");
  top.order_by.clear();
  EXPECT_EQ(top.build_query("", "t", "oracle"), "SELECT * FROM \"t\" FETCH FIRST 2 ROWS ONLY");
  EXPECT_EQ(top.build_query("", "t", "tsql"), "SELECT TOP 2 * FROM [t]");
  top.raw_conditions = {"u > 5"};
  EXPECT_EQ(top.build_query("", "t", "postgres"), "SELECT * FROM \"t\" WHERE (u > 5) LIMIT 2");
}

TEST(BuildQueryTest, QuotesNamesAndLiteralsInTheSourcesWay) {
  Optimization o;
  o.columns = {"we\"ird", "back`tick"};
  o.predicates = {{Op::Eq,
                   "when",
                   ValueClass::Timestamp,
                   {{ValueClass::Timestamp, "2024-01-31 13:45:00"}},
                   {}}};
  EXPECT_EQ(o.build_query("", "t", "postgres"),
            "SELECT \"we\"\"ird\", \"back`tick\" FROM \"t\" WHERE (\"when\" = '2024-01-31 13:45:00')");
  EXPECT_EQ(o.build_query("", "t", "mysql"),
            "SELECT `we\"ird`, `back``tick` FROM `t` WHERE (`when` = '2024-01-31 13:45:00')");
  // A literal of another kind than its column is never written.
  o.predicates[0].values[0].kind = ValueClass::Text;
  EXPECT_EQ(o.build_query("", "t", "duckdb"), "SELECT \"we\"\"ird\", \"back`tick\" FROM \"t\"");
  EXPECT_EQ(ADAPTER_TO_SQLGLOT_DIALECT.at("mariadb"), "mysql");
  EXPECT_EQ(ADAPTER_TO_SQLGLOT_DIALECT.count("s3"), 0u);
}

}  // namespace
}  // namespace zyl::federation::optimizer
