#include "drivers/driver.h"

#include <gtest/gtest.h>

#include "drivers/json_array.h"

namespace zyl::drivers {
namespace {

// Settings reach the client libraries as text: whole numbers without a fraction, whatever the
// YAML spelled, and values too large for an integer as they are.
TEST(ConnectionSetting, TextOfTheFirstKeySet) {
  Value config = {{"port", 5432.0}, {"username", "ann"}, {"pass", nullptr}, {"big", 1e300}};
  EXPECT_EQ(connection_setting(config, {"port"}, "1"), "5432");
  EXPECT_EQ(connection_setting(config, {"user", "username"}, ""), "ann");
  EXPECT_EQ(connection_setting(config, {"pass", "password"}, "-"), "-");  // null: not set
  EXPECT_EQ(connection_setting(config, {"host"}, "localhost"), "localhost");
  EXPECT_EQ(connection_setting(config, {"big"}, ""), text_form(Value(1e300)));
}

// Lists travel as JSON; each engine gets its own syntax with every element exactly as written.
TEST(JsonArray, RewritesIntoEachEnginesListSyntaxWithoutChangingElements) {
  EXPECT_EQ(json_array_to("[0.14285714285714285714, 2.50, -1e400, true]", kDuckDBList),
            "[0.14285714285714285714, 2.50, -1e400, true]");
  EXPECT_EQ(json_array_to("[0.14285714285714285714, 2.50, true]", kPostgresArray),
            R"({"0.14285714285714285714","2.50","true"})");
  // Escapes decoded (a newline, a quote, an e with accent, a clef from a surrogate pair), then
  // only quote and backslash escaped again.
  EXPECT_EQ(json_array_to(R"(["a\nb", "q\"x", "\u00e9", "\ud834\udd1e", "\\"])", kDuckDBList),
            "[\"a\nb\", \"q\\\"x\", \"\xc3\xa9\", \"\xf0\x9d\x84\x9e\", \"\\\\\"]");
  EXPECT_EQ(json_array_to(R"([ [1, null], [], {"k": [1, "]"]} ])", kPostgresArray),
            R"({{"1",NULL},{},"{\"k\": [1, \"]\"]}"})");
  for (const char* bad : {"", "{}", "[1,", "[1 2]", R"(["open)", "[1] x", R"(["\x"])"}) {
    EXPECT_FALSE(json_array_to(bad, kDuckDBList).has_value()) << bad;
  }
}

TEST(ConnectionRoute, NamesHowEachTypeIsReached) {
  EXPECT_EQ(connection_route(Value{{"type", "postgres"}}), "native");
  EXPECT_EQ(connection_route(Value{{"type", "duckdb"}}), "native");
  EXPECT_EQ(connection_route(Value{{"type", "clickhouse"}}), "HTTP");
  EXPECT_EQ(connection_route(Value{{"type", "bigquery"}}), "ODBC");
  EXPECT_EQ(connection_route(Value{{"type", "vertica"}}), "none");
  EXPECT_EQ(connection_route(Value::object()), "none");
}

}  // namespace
}  // namespace zyl::drivers
