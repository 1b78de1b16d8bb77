#include "zyl/runners/internal/rewrite.h"

#include <gtest/gtest.h>

namespace zyl::runners::internal {
namespace {

using federation::optimizer::Optimization;

TEST(ReferenceCandidatesTest, OrderDependsOnWhichPartsArePresent) {
  EXPECT_EQ(reference_candidates("raw", "crm", "customers"),
            (std::vector<std::string>{R"("raw"."crm"."customers")", "raw.crm.customers",
                                      R"("crm"."customers")", "crm.customers"}));
  EXPECT_EQ(reference_candidates("", "crm", "customers"),
            (std::vector<std::string>{R"("crm"."customers")", "crm.customers"}));
  EXPECT_TRUE(reference_candidates("raw", "", "customers").empty());
}

TEST(ApplyReplacementsTest, RewritesTheFirstCandidateFoundOnly) {
  std::string sql = R"(select * from "raw"."crm"."customers" join crm.customers2 on 1=1)";
  Replacements refs;
  EXPECT_TRUE(enter_reference(refs, reference_candidates("raw", "crm", "customers"), sql, "src_a"));
  ASSERT_EQ(refs.size(), 1u);
  EXPECT_EQ(refs.begin()->first, R"("raw"."crm"."customers")");
  // crm.customers2 is another relation and stays.
  EXPECT_EQ(apply_replacements(sql, refs), "select * from src_a join crm.customers2 on 1=1");

  // Only the prefix candidate occurs: plain substring matching takes it.
  std::string only_longer = "select * from crm.customers2";
  Replacements prefix_refs;
  enter_reference(prefix_refs, reference_candidates("raw", "crm", "customers"), only_longer,
                  "src_a");
  EXPECT_EQ(apply_replacements(only_longer, prefix_refs), "select * from src_a2");

  Replacements none;
  EXPECT_FALSE(enter_reference(none, reference_candidates("raw", "", "customers"), sql, "src_b"));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(apply_replacements(sql, none), sql);
}

TEST(ApplyReplacementsTest, LongestReferenceFirstTiesInEntryOrder) {
  std::string sql = "select * from crm.customers a join crm.customers_v2 b using (id)";
  Replacements refs;
  refs.set("crm.customers", "src_a");
  refs.set("crm.customers_v2", "src_b");
  EXPECT_EQ(apply_replacements(sql, refs), "select * from src_a a join src_b b using (id)");

  // Equal lengths: the one entered first is applied first, so its result can be rewritten by
  // the next one but not the other way round.
  Replacements ties;
  ties.set("aa.x", "bb.y");
  ties.set("bb.y", "cc.z");
  EXPECT_EQ(apply_replacements("aa.x", ties), "cc.z");
  Replacements reversed;
  reversed.set("bb.y", "cc.z");
  reversed.set("aa.x", "bb.y");
  EXPECT_EQ(apply_replacements("aa.x", reversed), "bb.y");

  // A reference entered again keeps its place and takes the later value.
  Replacements overwritten;
  overwritten.set("s.t", "first");
  overwritten.set("s.u", "other");
  overwritten.set("s.t", "second");
  EXPECT_EQ(apply_replacements("s.t s.u", overwritten), "second other");

  // Length counts characters, not bytes: "éé.a" (4 characters, 6 bytes) comes after "s.abc".
  Replacements utf8;
  utf8.set("éé.a", "Z");
  utf8.set("s.abc", "éé.a");
  EXPECT_EQ(apply_replacements("s.abc", utf8), "Z");
}

TEST(SelfReferenceTest, FirstCandidateFoundIsReplacedEverywhere) {
  EXPECT_EQ(replace_self_reference(R"(select * from "db"."an"."orders" where x > (select max(x)
from "db"."an"."orders"))",
                                   "db", "an", "orders", "__model__orders"),
            "select * from __model__orders where x > (select max(x)\nfrom __model__orders)");
  // Once a candidate is found, the shorter ones are not tried.
  EXPECT_EQ(replace_self_reference(R"(db.an.orders an.orders)", "db", "an", "orders", "T"),
            "T an.orders");
  EXPECT_EQ(replace_self_reference("select 1", "db", "an", "orders", "T"), "select 1");
  EXPECT_EQ(replace_self_reference("an.orders", "db", "", "orders", "T"), "an.orders");
}

TEST(StaleFilterTest, StripsFromTheFirstWhereFollowedByTheCacheTable) {
  struct Case {
    const char* sql;
    const char* expected;
  };
  const Case cases[] = {
      {"select * from src where updated_at > (select max(updated_at) from __model__orders)",
       "select * from src "},
      // An earlier WHERE that the table follows counts, whatever stands after the filter.
      {"select * from (select * from a WHERE x = 1) s\nwhere y > (select max(y) from "
       "__MODEL__ORDERS) order by 1",
       "select * from (select * from a "},
      // A WHERE after the last mention of the table is left alone.
      {"select * from __model__orders where x = 1", "select * from __model__orders where x = 1"},
      // Only whole words count.
      {"select wherever from t join __model__orders using (k)",
       "select wherever from t join __model__orders using (k)"},
      {"select * from t_where join __model__orders using (k)",
       "select * from t_where join __model__orders using (k)"},
      {"select 1", "select 1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(strip_stale_incremental_filter(c.sql, "__model__orders"), c.expected) << c.sql;
  }
  // Metacharacters in the table name are literal.
  EXPECT_EQ(strip_stale_incremental_filter("select * from t where a in (select a from m_x)", "m.x"),
            "select * from t where a in (select a from m_x)");
  EXPECT_EQ(strip_stale_incremental_filter("select * from t where a in (select a from m.x)", "m.x"),
            "select * from t ");
}

TEST(QueriesTest, PlainExtractionQueriesAreQuotedForTheSource) {
  EXPECT_EQ(select_all_from(R"("an"."my model")"), R"(SELECT * FROM "an"."my model")");

  Value pg = {{"type", "postgres"}};
  const Optimization nothing;  // restricts nothing: the whole table is read
  for (const Optimization* opt : {static_cast<const Optimization*>(nullptr), &nothing}) {
    ExtractionQuery q = extraction_query("orders", "crm", "Customers", "src_a", pg, opt);
    EXPECT_EQ(q.query, R"(SELECT * FROM "crm"."Customers")");
    EXPECT_TRUE(q.log_lines.empty());
  }
  // The source's own quoting, also for names that are keywords or hold quotes.
  EXPECT_EQ(extraction_query("m", "crm", "order", "c", {{"type", "mariadb"}}, nullptr).query,
            "SELECT * FROM `crm`.`order`");
  EXPECT_EQ(extraction_query("m", "", "a\"b", "c", Value::object(), nullptr).query,
            R"(SELECT * FROM "a""b")");
}

TEST(QueriesTest, OptimizedQueryUsesTheSourceDialectAndLogsTwoLines) {
  Optimization limited;
  limited.limit = 10;
  Optimization columns;
  columns.columns = {"id", "name"};
  Optimization predicates;
  predicates.predicates = {{federation::optimizer::Predicate::Op::Gt, "id",
                            federation::optimizer::ValueClass::Integer,
                            {{federation::optimizer::ValueClass::Integer, "3"}}, {}}};
  for (const Optimization* opt : {&limited, &columns, &predicates}) {
    ExtractionQuery q =
        extraction_query("orders", "dbo", "customers", "src_a", {{"type", "sqlserver"}}, opt);
    EXPECT_EQ(q.query, opt->build_query("dbo", "customers", "tsql"));
    ASSERT_EQ(q.log_lines.size(), 2u);
    EXPECT_EQ(q.log_lines[0], "ZYL [orders]: optimized → tsql: " + q.query);
    EXPECT_EQ(q.log_lines[1],
              "ZYL [orders]: optimized extraction for src_a (sqlserver→tsql): " + q.query);
  }

  // No type: duckdb dialect and an empty type in the line; long queries are cut per line.
  Optimization wide;
  for (int i = 0; i < 40; ++i) wide.columns.push_back("column_" + std::to_string(i));
  ExtractionQuery q = extraction_query("orders", "", "t", "src_t", Value::object(), &wide);
  EXPECT_EQ(q.query, wide.build_query("", "t", "duckdb"));
  ASSERT_GT(q.query.size(), 120u);
  EXPECT_EQ(q.log_lines[0], "ZYL [orders]: optimized → duckdb: " + q.query.substr(0, 120));
  EXPECT_EQ(q.log_lines[1],
            "ZYL [orders]: optimized extraction for src_t (→duckdb): " + q.query.substr(0, 100));
}

TEST(QueriesTest, WatermarkConditionGoesInsideTheWhereAheadOfTheLimit) {
  Value pg = {{"type", "postgres"}};
  Optimization top;
  top.columns = {"id"};
  top.limit = 5;
  top.order_by = {{"id", federation::optimizer::ValueClass::Integer, true, false}};
  ExtractionQuery q = extraction_query("orders", "crm", "t", "src_t", pg, &top,
                                       std::string("updated_at > '2024-01-01'"));
  EXPECT_EQ(q.query,
            "SELECT \"id\" FROM \"crm\".\"t\" WHERE (updated_at > '2024-01-01') ORDER BY \"id\" DESC "
            "NULLS LAST LIMIT 5");
  EXPECT_TRUE(q.subset);

  ExtractionQuery plain = extraction_query("orders", "crm", "t", "src_t", pg, nullptr,
                                           std::string("updated_at > 5"));
  EXPECT_EQ(plain.query, R"(SELECT * FROM "crm"."t" WHERE updated_at > 5)");
  EXPECT_TRUE(plain.subset);
  EXPECT_FALSE(extraction_query("orders", "crm", "t", "src_t", pg, nullptr).subset);
}

TEST(QueriesTest, WatermarkFilterJoinsAnExistingWhere) {
  EXPECT_EQ(append_watermark_filter("SELECT * FROM crm.customers", "updated_at", "'2024'"),
            "SELECT * FROM crm.customers WHERE updated_at > '2024'");
  EXPECT_EQ(append_watermark_filter("SELECT id FROM t where (id > 3)", "updated_at", "5"),
            "SELECT id FROM t where (id > 3) AND updated_at > 5");
  EXPECT_EQ(append_watermark_filter("SELECT id FROM t\nWHERE\n(id > 3)", "u", "5"),
            "SELECT id FROM t\nWHERE\n(id > 3) AND u > 5");
  // A relation whose name merely contains the letters has no WHERE clause.
  EXPECT_EQ(append_watermark_filter("SELECT * FROM geo.somewhere", "u", "5"),
            "SELECT * FROM geo.somewhere WHERE u > 5");
  EXPECT_EQ(append_watermark_filter("SELECT * FROM where_log", "u", "5"),
            "SELECT * FROM where_log WHERE u > 5");
}

}  // namespace
}  // namespace zyl::runners::internal
