#include "brek/parser/data_tests.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "brek_common/exceptions.h"

namespace brek::parser {
namespace {

using ::testing::HasSubstr;
using zyl::Value;

std::vector<GenericTest> tests_of(const char* column_json) {
  return column_tests(Value::parse(column_json), "models/p.yml, model 'orders'");
}

TEST(DataTests, DeclarationsGiveNamesAndSqlThatQuoteForTheEngine) {
  auto tests = tests_of(R"j({"name": "status", "data_tests": [
      "not_null",
      {"accepted_values": {"values": ["it's", "a\\b"], "config": {"severity": "WARN"}}},
      {"relationships": {"to": "ref('my customers')", "field": "id", "where": "x > 1"}}]})j");
  ASSERT_EQ(tests.size(), 3u);
  EXPECT_EQ(test_name(tests[0], "orders"), "not_null_orders_status");
  EXPECT_EQ(test_name(tests[1], "orders"), "accepted_values_orders_status__it_s__a_b");
  EXPECT_EQ(tests[1].severity, "warn");
  EXPECT_EQ(tests[2].to, "my customers");
  EXPECT_EQ(test_name(tests[2], "orders"), "relationships_orders_status__id__ref_my_customers_");

  EXPECT_EQ(generic_test_sql(tests[1], "mariadb", "`s`.`orders`"),
            "select * from `s`.`orders` brek_t where `status` is not null and `status` not in "
            "('it''s', 'a\\\\b')");
  EXPECT_EQ(generic_test_sql(tests[2], "postgres", R"("s"."orders")", R"("s"."c")"),
            R"(select c."status" from (select * from "s"."orders" where x > 1) c left join )"
            R"("s"."c" p on c."status" = p."id" where c."status" is not null and p."id" is null)");

  // Metadata and config give the same test back, as the runner reads it.
  GenericTest back = generic_test_of(test_metadata(tests[2], "model.shop.orders", "model.shop.c"),
                                     Value{{"severity", "error"}, {"where", "x > 1"}});
  EXPECT_EQ(back.field, "id");
  EXPECT_EQ(back.where, "x > 1");
}

TEST(DataTests, MalformedDeclarationsAreRefusedNamingTheColumn) {
  auto refused = [](const char* json, const char* what) {
    EXPECT_THAT([&] { tests_of(json); },
                ::testing::ThrowsMessage<brek_common::CompilationError>(HasSubstr(what)));
  };
  refused(R"({"name": "c", "data_tests": ["not_nul"]})", "column 'c': unknown test 'not_nul'");
  refused(R"({"name": "c", "tests": [{"accepted_values": {"values": []}}]})",
          "'values' must be a non-empty list");
  refused(R"j({"name": "c", "tests": [{"relationships": {"to": "ref('x')"}}]})j",
          "'to' and 'field' are required");
  refused(R"({"name": "c", "tests": [{"unique": {"severity": "fatal"}}]})",
          "severity must be error or warn");
}

}  // namespace
}  // namespace brek::parser
