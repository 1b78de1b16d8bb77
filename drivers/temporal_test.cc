#include "drivers/temporal.h"

#include <gtest/gtest.h>

#include "drivers/driver.h"

namespace zyl::drivers {
namespace {

TEST(TemporalTest, RoundTripsDatesTimesAndTimestamps) {
  EXPECT_EQ(temporal::format_date(0), "1970-01-01");
  EXPECT_EQ(temporal::format_date(-1), "1969-12-31");
  EXPECT_EQ(*temporal::parse_date("2024-02-29"), temporal::days_from_civil(2024, 2, 29));
  EXPECT_EQ(temporal::format_date(*temporal::parse_date("2024-02-29")), "2024-02-29");
  EXPECT_EQ(temporal::format_time(*temporal::parse_time("13:45:00.25")), "13:45:00.250000");
  EXPECT_EQ(temporal::format_timestamp(*temporal::parse_timestamp("1969-12-31 23:59:59.5")),
            "1969-12-31 23:59:59.500000");
  EXPECT_EQ(*temporal::parse_timestamp("2024-01-01T02:00:00+02:00"),
            *temporal::parse_timestamp("2024-01-01 00:00:00"));
  EXPECT_EQ(*temporal::parse_timestamp("2024-01-01 00:00:00Z"),
            *temporal::parse_timestamp("2024-01-01"));
  EXPECT_FALSE(temporal::parse_date("2024-13-01").has_value());
  EXPECT_FALSE(temporal::parse_timestamp("yesterday").has_value());
}

TEST(TemporalTest, IntervalsKeepMonthsDaysAndTimeApart) {
  EXPECT_EQ(temporal::format_interval(0, 0, 0), "00:00:00");
  EXPECT_EQ(temporal::format_interval(14, 3, 0), "1 year 2 months 3 days");
  EXPECT_EQ(temporal::format_interval(-1, -1, 0), "-1 month -1 day");
  // 25 hours stay hours: a day is not always 24 of them.
  EXPECT_EQ(temporal::format_interval(0, 1, 25LL * 3600 * 1000000), "1 day 25:00:00");
  EXPECT_EQ(temporal::format_interval(0, 0, -(3600LL * 1000000 + 500000)), "-01:00:00.500000");
  EXPECT_EQ(temporal::format_interval(12, 0, INT64_MIN).rfind("1 year -2562047788:00:54", 0), 0u);
}

TEST(TableRefTest, SplitsOnTheLastUnquotedDot) {
  EXPECT_EQ(TableRef::parse("an.orders"), (TableRef{"an", "orders"}));
  EXPECT_EQ(TableRef::parse("orders"), (TableRef{"", "orders"}));
  EXPECT_EQ(TableRef::parse("\"a.b\".\"c\""), (TableRef{"a.b", "c"}));
}

TEST(DriverTest, UnknownEngineNamesTypeAndSupportedList) {
  try {
    open_connection(Value{{"type", "vertica"}});
    FAIL();
  } catch (const DriverError& e) {
    EXPECT_NE(std::string(e.what()).find("'vertica'"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("duckdb, mariadb"), std::string::npos);
  }
}

}  // namespace
}  // namespace zyl::drivers
