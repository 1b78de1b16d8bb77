#include "zyl/federation/optimizer.h"

#include <gtest/gtest.h>

namespace zyl::federation::optimizer {
namespace {

TEST(OptimizerTest, BuildQueryAppliesColumnsPredicatesAndLimitPerDialect) {
  Optimization o{{"id", "name"}, {"id > 3", "name <> ''"}, 10};
  EXPECT_EQ(o.build_query("crm", "customers", "postgres"),
            "SELECT id, name FROM crm.customers WHERE (id > 3) AND (name <> '') LIMIT 10");
  EXPECT_EQ(o.build_query("", "customers", "tsql"),
            "SELECT TOP 10 id, name FROM customers WHERE (id > 3) AND (name <> '')");
  EXPECT_EQ((Optimization{{}, {}, 5}.build_query("s", "t", "oracle")),
            "SELECT * FROM s.t FETCH FIRST 5 ROWS ONLY");
  EXPECT_EQ(Optimization{}.build_query("s", "t", "duckdb"), "SELECT * FROM s.t");
}

TEST(OptimizerTest, NoSourceIsOptimisedAndDialectsAreKnown) {
  OrderedMap<std::string, std::string> map;
  map.set("src_a", "src_a");
  EXPECT_TRUE(optimize_extractions("select * from src_a", map).empty());
  EXPECT_EQ(ADAPTER_TO_SQLGLOT_DIALECT.at("mariadb"), "mysql");
  EXPECT_EQ(ADAPTER_TO_SQLGLOT_DIALECT.count("s3"), 0u);
}

}  // namespace
}  // namespace zyl::federation::optimizer
