#include "drivers/clickhouse/ch_types.h"

#include <gtest/gtest.h>

#include "drivers/temporal.h"

namespace {

using namespace zyl::drivers;
using namespace zyl::drivers::clickhouse;

const ServerFeatures kOld{false};
const ServerFeatures kWide{true};

ColumnType of(TypeId id, int precision = 0, int scale = 0) {
  ColumnType type;
  type.id = id;
  type.precision = precision;
  type.scale = scale;
  return type;
}

TEST(ClickHouseTypes, NamesReadAsLogicalTypes) {
  struct Case {
    const char* native;
    TypeId id;
    int precision = 0, scale = 0;
  };
  const Case cases[] = {
      {"Int8", TypeId::Int8},
      {"UInt64", TypeId::UInt64},
      {"Int128", TypeId::HugeInt},
      {"UInt128", TypeId::UHugeInt},
      {"Int256", TypeId::Decimal, 76, 0},
      {"Nullable(Decimal(10, 2))", TypeId::Decimal, 10, 2},
      {"Decimal64(4)", TypeId::Decimal, 18, 4},
      {"LowCardinality(Nullable(String))", TypeId::String},
      {"Enum8('a' = 1, 'b,c' = 2)", TypeId::String},
      {"Date32", TypeId::Date},
      {"DateTime", TypeId::Timestamp},
      {"DateTime64(3)", TypeId::Timestamp},
      {"DateTime('Europe/Berlin')", TypeId::TimestampTz},
      {"Nullable(DateTime64(6, 'UTC'))", TypeId::TimestampTz},
      {"UUID", TypeId::Uuid},
      {"Bool", TypeId::Boolean},
      {"IPv4", TypeId::String},
  };
  for (const Case& c : cases) {
    ColumnType type = plan_type(c.native);
    EXPECT_EQ(type.id, c.id) << c.native;
    EXPECT_EQ(type.precision, c.precision) << c.native;
    EXPECT_EQ(type.scale, c.scale) << c.native;
    EXPECT_EQ(type.native, c.native);
  }
  ColumnType fixed = plan_type("FixedString(16)");
  EXPECT_TRUE(fixed.fixed_length);
  EXPECT_EQ(fixed.length, 16);
  ColumnType nested = plan_type("Array(Array(Nullable(Int32)))");
  ASSERT_EQ(nested.id, TypeId::List);
  ASSERT_EQ(nested.element.at(0).id, TypeId::List);
  EXPECT_EQ(nested.element.at(0).element.at(0).id, TypeId::Int32);
}

TEST(ClickHouseTypes, TimeZonesAreFoundInEveryDateTimeSpelling) {
  EXPECT_EQ(time_zone_of("DateTime('Europe/Berlin')"), "Europe/Berlin");
  EXPECT_EQ(time_zone_of("Nullable(DateTime64(3, 'Asia/Kolkata'))"), "Asia/Kolkata");
  EXPECT_EQ(time_zone_of("DateTime"), std::nullopt);
  EXPECT_EQ(time_zone_of("DateTime64(6)"), std::nullopt);
  EXPECT_EQ(time_zone_of("String"), std::nullopt);
}

TEST(ClickHouseTypes, WrittenTypesFollowTheServer) {
  ColumnType ts;
  ts.id = TypeId::TimestampTz;
  EXPECT_EQ(type_sql(ts, kOld), "Nullable(DateTime('UTC'))");
  EXPECT_EQ(type_sql(ts, kWide), "Nullable(DateTime64(6, 'UTC'))");
  ColumnType huge;
  huge.id = TypeId::HugeInt;
  EXPECT_EQ(type_sql(huge, kOld), "Nullable(String)");  // 18.16 has no 128-bit integers
  EXPECT_EQ(type_sql(huge, kWide), "Nullable(Int128)");
  ColumnType wide_decimal;
  wide_decimal.id = TypeId::Decimal;
  wide_decimal.precision = 50;
  wide_decimal.scale = 5;
  EXPECT_EQ(type_sql(wide_decimal, kOld), "Nullable(String)");
  EXPECT_EQ(type_sql(wide_decimal, kWide), "Nullable(Decimal(50, 5))");
  ColumnType list;
  list.id = TypeId::List;
  list.element.push_back(of(TypeId::Int64));
  EXPECT_EQ(type_sql(list, kOld), "Array(Nullable(Int64))");  // an array itself is never NULL
  EXPECT_EQ(not_null("Nullable(Int64)"), "Int64");
  EXPECT_EQ(features_of("18.16.1").wide_types, false);
  EXPECT_EQ(features_of("23.8.2.7").wide_types, true);
}

TEST(ClickHouseTypes, EscapingRoundTripsEveryByte) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  std::string escaped;
  append_escaped(escaped, all);
  EXPECT_EQ(escaped.find('\t'), std::string::npos);
  EXPECT_EQ(escaped.find('\n'), std::string::npos);
  EXPECT_EQ(unescape(escaped), all);
  EXPECT_EQ(unescape("a\\'b\\x41\\\\"), "a'bA\\");
}

TEST(ClickHouseTypes, FieldsParseIntoCells) {
  ColumnType dec = of(TypeId::Decimal, 10, 3);
  EXPECT_EQ(std::get<std::string>(parse_field(dec, "1.5")), "1.500");  // newer servers trim zeros
  EXPECT_EQ(std::get<std::string>(parse_field(dec, "-2")), "-2.000");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(parse_field(dec, "\\N")));
  ColumnType text = of(TypeId::String);
  EXPECT_EQ(std::get<std::string>(parse_field(text, "a\\tb\\\\N")), "a\tb\\N");
  EXPECT_EQ(std::get<std::string>(parse_field(text, "")), "");
  EXPECT_TRUE(std::isinf(std::get<double>(parse_field(of(TypeId::Float64), "-inf"))));
  EXPECT_EQ(std::get<std::uint64_t>(parse_field(of(TypeId::UInt64), "18446744073709551615")),
            18446744073709551615ull);
  EXPECT_EQ(std::get<std::int64_t>(parse_field(of(TypeId::TimestampTz),
                                               "1970-01-02 00:00:01")),
            86401000000);
  EXPECT_THROW(parse_field(of(TypeId::Int32), "12x"), DriverError);
  ColumnType list = of(TypeId::List);
  EXPECT_EQ(std::get<std::string>(parse_field(list, "['x\\\\y',NULL,'a\\tb','q\\'']")),
            R"(["x\\y",null,"a\tb","q'"])");
  EXPECT_EQ(std::get<std::string>(parse_field(list, "[[1.50,-2],[]]")), "[[1.50,-2],[]]");
  EXPECT_EQ(array_to_json("['a'"), std::nullopt);
}

TEST(ClickHouseTypes, CellsWriteAsFieldsOrFail) {
  auto field = [](const Cell& cell, ColumnType type, const ServerFeatures& f = kOld) {
    std::string out;
    append_field(out, cell, type, f);
    return out;
  };
  EXPECT_EQ(field(std::monostate{}, of(TypeId::Int32)), "\\N");
  EXPECT_EQ(field(std::string("a\tb\n"), of(TypeId::String)), "a\\tb\\n");
  EXPECT_EQ(field(true, of(TypeId::Boolean)), "1");
  EXPECT_EQ(field(0.1, of(TypeId::Float64)), "0.1");
  ColumnType list = of(TypeId::List);
  EXPECT_EQ(field(std::string(R"(["it's", null, "a\nb"])"), list), R"(['it\'s',NULL,'a\nb'])");
  EXPECT_THROW(field(std::monostate{}, list), DriverError);
  // 18.16's Date and DateTime hold no time before 1970 and no fractions of a second.
  ColumnType date = of(TypeId::Date), ts = of(TypeId::Timestamp);
  EXPECT_EQ(field(std::int64_t{19000}, date), "2022-01-08");
  EXPECT_THROW(field(std::int64_t{-1}, date), DriverError);
  EXPECT_EQ(field(std::int64_t{-1}, date, kWide), "1969-12-31");
  EXPECT_THROW(field(std::int64_t{1500000}, ts), DriverError);
  EXPECT_EQ(field(std::int64_t{1500000}, ts, kWide), "1970-01-01 00:00:01.500000");
  EXPECT_EQ(field(std::int64_t{2000000}, ts), "1970-01-01 00:00:02");
  std::int64_t last_day = zyl::drivers::temporal::days_from_civil(2105, 12, 31);
  EXPECT_EQ(field(last_day, date), "2105-12-31");
  EXPECT_THROW(field(last_day + 1, date), DriverError);
  EXPECT_THROW(field((last_day + 1) * 86400000000, ts), DriverError);
  EXPECT_EQ(std::get<std::int64_t>(parse_field(ts, "0000-00-00 00:00:00")), 0);
}

}  // namespace
