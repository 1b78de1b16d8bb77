#include "core/value.h"

#include <limits>

#include <gtest/gtest.h>

#include "core/ordered_map.h"
#include "core/text.h"

namespace zyl {
namespace {

TEST(ValueTest, TextFormOfScalars) {
  EXPECT_EQ(text_form(Value("a b")), "a b");
  EXPECT_EQ(text_form(Value(5432)), "5432");
  EXPECT_EQ(text_form(Value(-7)), "-7");
  EXPECT_EQ(text_form(Value(true)), "True");
  EXPECT_EQ(text_form(Value(false)), "False");
  EXPECT_EQ(text_form(Value(nullptr)), "None");
  EXPECT_EQ(text_form(Value(std::uint64_t{18446744073709551615ULL})), "18446744073709551615");
}

TEST(ValueTest, TextFormOfFloatsIsShortestWithPoint) {
  struct Case {
    double in;
    const char* out;
  } cases[] = {{5432.0, "5432.0"}, {0.1, "0.1"},       {1.5, "1.5"},     {-2.25, "-2.25"},
               {100000.0, "100000.0"}, {1e16, "1e+16"}, {1.5e-7, "1.5e-07"}, {0.0001, "0.0001"},
               {123456789012345.0, "123456789012345.0"}, {0.0, "0.0"}, {2.5e300, "2.5e+300"}};
  for (const auto& c : cases) EXPECT_EQ(text_form(Value(c.in)), c.out) << c.in;
  EXPECT_EQ(text_form(Value(std::numeric_limits<double>::infinity())), "inf");
  EXPECT_EQ(text_form(Value(std::numeric_limits<double>::quiet_NaN())), "nan");
}

TEST(ValueTest, TextFormOfNestedValuesReadsLikeALiteral) {
  Value v = {{"a", 1}, {"b", Value::array({"x", true, nullptr})}};
  EXPECT_EQ(text_form(v), "{'a': 1, 'b': ['x', True, None]}");
  EXPECT_EQ(text_form(Value::array()), "[]");
  EXPECT_EQ(text_form(Value::array({"it's"})), "[\"it's\"]");
}

TEST(ValueTest, IsSetFollowsTruthiness) {
  EXPECT_FALSE(is_set(nullptr));
  EXPECT_FALSE(is_set(Value(nullptr)));
  EXPECT_FALSE(is_set(Value(false)));
  EXPECT_FALSE(is_set(Value(0)));
  EXPECT_FALSE(is_set(Value(0.0)));
  EXPECT_FALSE(is_set(Value("")));
  EXPECT_FALSE(is_set(Value::array()));
  EXPECT_FALSE(is_set(Value::object()));
  EXPECT_TRUE(is_set(Value("false")));
  EXPECT_TRUE(is_set(Value(-1)));
  EXPECT_TRUE(is_set(Value(0.5)));
  EXPECT_TRUE(is_set(Value::array({0})));
}

TEST(ValueTest, LookupWithFallbackStopsAtFirstPresentKey) {
  Value c = {{"password", nullptr}, {"pass", "p"}, {"dbname", "a"}, {"database", "b"}};
  ASSERT_NE(lookup(c, {"password", "pass"}), nullptr);
  EXPECT_TRUE(lookup(c, {"password", "pass"})->is_null());
  EXPECT_EQ(*lookup(c, {"dbname", "database"}), "a");
  EXPECT_EQ(*lookup(c, {"missing", "database"}), "b");
  EXPECT_EQ(lookup(c, {"x", "y"}), nullptr);
  EXPECT_EQ(lookup(Value("not a map"), {"x"}), nullptr);
  EXPECT_EQ(get_text(c, "password", "d"), "d");
  EXPECT_EQ(get_text(c, "dbname"), "a");
  EXPECT_EQ(get_text(Value{{"port", 5432.0}}, "port"), "5432.0");
}

TEST(ValueTest, OrderedMapKeepsFirstPlaceOnReplace) {
  OrderedMap<std::string, std::string> m;
  m.set("b", "1");
  m.set("a", "2");
  m.set("b", "3");
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m.begin()->first, "b");
  EXPECT_EQ(m.begin()->second, "3");
  EXPECT_EQ(m.get("zz"), nullptr);
}

TEST(TextTest, PrefixCountsCharactersAndRedactRemovesSecrets) {
  EXPECT_EQ(text::prefix("héllo", 2), "hé");
  EXPECT_EQ(text::prefix("abc", 10), "abc");
  EXPECT_EQ(text::redact("user=a pw=s3cret s3cretive", {"s3cret", "s3cretive", ""}),
            "user=a pw=**** ****");
  EXPECT_EQ(text::replace_all("aaa", "a", "bb"), "bbbbbb");
}

}  // namespace
}  // namespace zyl
