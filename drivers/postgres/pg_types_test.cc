#include "drivers/postgres/pg_types.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zyl::drivers::postgres {
namespace {

ColumnType of(TypeId id, int precision = 0, int scale = 0) {
  ColumnType type;
  type.id = id;
  type.precision = precision;
  type.scale = scale;
  return type;
}

// A binary numeric: header words then base-10000 digits, all big-endian.
std::string numeric(std::int16_t weight, std::uint16_t sign, std::uint16_t dscale,
                    std::vector<std::uint16_t> digits) {
  std::string out;
  auto put = [&](std::uint16_t v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xff);
  };
  put(static_cast<std::uint16_t>(digits.size()));
  put(static_cast<std::uint16_t>(weight));
  put(sign);
  put(dscale);
  for (auto d : digits) put(d);
  return out;
}

TEST(PgTypesTest, NumericBinaryToText) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {numeric(0, 0, 0, {}), "0"},
      {numeric(0, 0, 2, {}), "0.00"},
      {numeric(0, 0, 2, {12, 3000}), "12.30"},
      {numeric(0, 0x4000, 2, {12, 3000}), "-12.30"},
      {numeric(1, 0, 0, {1, 0}), "10000"},           // trailing zero group left out by the server
      {numeric(2, 0, 0, {1}), "100000000"},
      {numeric(-1, 0, 5, {1234, 5000}), "0.12345"},  // fraction only
      {numeric(-2, 0, 8, {12}), "0.00000012"},       // a leading zero group is implied
      {numeric(0, 0, 1, {5, 1234}), "5.1"},          // display scale cuts the last group
      {numeric(0, 0xC000, 0, {}), "NaN"},
      {numeric(0, 0xD000, 0, {}), "Infinity"},
      {numeric(0, 0xF000, 0, {}), "-Infinity"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(numeric_to_text(c.bytes.data(), c.bytes.size()), c.text);
  }
  std::string truncated = numeric(0, 0, 0, {1, 2}).substr(0, 10);
  EXPECT_THROW(numeric_to_text(truncated.data(), truncated.size()), DriverError);
}

TEST(PgTypesTest, PlansFollowTypmodsAndCastUnknownTypes) {
  ColumnPlan dec = plan_column(1700, ((10 << 16) | 2) + 4, 0, 0, "");
  EXPECT_EQ(dec.type.id, TypeId::Decimal);
  EXPECT_EQ(dec.type.precision, 10);
  EXPECT_EQ(dec.type.scale, 2);
  EXPECT_EQ(plan_column(1700, -1, 0, 0, "").type.precision, 0);  // unconstrained numeric

  ColumnPlan ch = plan_column(1042, 5 + 4, 0, 0, "");
  EXPECT_EQ(ch.type.length, 5);
  EXPECT_TRUE(ch.type.fixed_length);
  EXPECT_FALSE(plan_column(1043, 20 + 4, 0, 0, "").type.fixed_length);

  // An array is a list of its element type; its typmod is the element's.
  ColumnPlan array = plan_column(1007, -1, 'b', 'A', "_int4", 23);
  EXPECT_EQ(array.type.id, TypeId::List);
  EXPECT_EQ(array.read, Read::AsJson);
  ASSERT_EQ(array.type.element.size(), 1u);
  EXPECT_EQ(array.type.element[0].id, TypeId::Int32);
  ColumnPlan numerics = plan_column(1231, ((12 << 16) | 2) + 4, 'b', 'A', "_numeric", 1700);
  EXPECT_EQ(numerics.type.element[0].precision, 12);
  EXPECT_EQ(plan_column(90002, -1, 'b', 'A', "_mood", 90001).type.element[0].id, TypeId::String);
  ColumnPlan enumeration = plan_column(90001, -1, 'e', 'E', "mood");
  EXPECT_EQ(enumeration.type.id, TypeId::String);
  EXPECT_EQ(enumeration.read, Read::AsText);
  EXPECT_EQ(enumeration.type.native, "mood");
  EXPECT_EQ(plan_column(1186, -1, 0, 0, "").type.id, TypeId::Interval);
}

TEST(PgTypesTest, LogicalTypesToServerTypes) {
  ColumnType dec = of(TypeId::Decimal, 18, 4);
  EXPECT_EQ(type_sql(dec, false), "numeric(18,4)");
  EXPECT_EQ(type_sql(of(TypeId::Decimal), false), "numeric");
  ColumnType varchar = of(TypeId::String);
  varchar.length = 12;
  EXPECT_EQ(type_sql(varchar, false), "varchar(12)");
  varchar.fixed_length = true;
  EXPECT_EQ(type_sql(varchar, false), "char(12)");
  EXPECT_EQ(type_sql(of(TypeId::String), true), "varchar(65535)");
  // Unsigned types widen so every value fits.
  EXPECT_EQ(type_sql(of(TypeId::UInt32), false), "bigint");
  EXPECT_EQ(type_sql(of(TypeId::UInt64), false), "numeric(20,0)");
  EXPECT_EQ(type_sql(of(TypeId::UHugeInt), false), "numeric(39,0)");
  // DuckDB's widest decimal (an unbounded numeric in the cache) goes back unbounded.
  EXPECT_EQ(type_sql(of(TypeId::Decimal, 38, 20), false), "numeric");
  EXPECT_EQ(type_sql(of(TypeId::Decimal, 38, 20), true), "numeric(38,20)");
  ColumnType list = of(TypeId::List);
  list.element.push_back(of(TypeId::Decimal, 12, 2));
  EXPECT_EQ(type_sql(list, false), "numeric(12,2)[]");
  EXPECT_EQ(type_sql(list, true), "varchar(65535)");
  EXPECT_EQ(type_sql(of(TypeId::Interval), false), "interval");
}

TEST(PgTypesTest, DecodesFixedWidthBinaryValues) {
  const char uuid[16] = {'\x12', '\x34', '\x56', '\x78', '\x9a', '\xbc', '\xde', '\xf0',
                         '\x01', '\x23', '\x45', '\x67', '\x89', '\xab', '\xcd', '\xef'};
  EXPECT_EQ(std::get<std::string>(decode_binary(2950, uuid, 16)),
            "12345678-9abc-def0-0123-456789abcdef");
  const char date[4] = {0, 0, 0, 1};  // 2000-01-02
  EXPECT_EQ(std::get<std::int64_t>(decode_binary(1082, date, 4)), 10958);
  const char minus_one[2] = {'\xff', '\xff'};
  EXPECT_EQ(std::get<std::int64_t>(decode_binary(21, minus_one, 2)), -1);
  EXPECT_THROW(decode_binary(23, minus_one, 2), DriverError);
  // interval: microseconds, days, months; each kept as it is.
  const char interval[16] = {0,      0,      0,      0x14,   '\xf4', 0x6b, 0x04, 0,  // 25 hours
                             '\xff', '\xff', '\xff', '\xfd',                         // -3 days
                             0,      0,      0,      14};                            // 14 months
  EXPECT_EQ(std::get<std::string>(decode_binary(1186, interval, 16)),
            "1 year 2 months -3 days 25:00:00");
  const char jsonb[] = "\x01{}";
  EXPECT_EQ(std::get<std::string>(decode_binary(3802, jsonb, 3)), "{}");
}

// A cell as a binary COPY field and back through the decoder: the field's length prefix, then
// bytes the server's binary input reads as the value the text input would.
Cell through_binary(const Cell& cell, BinaryField field, Oid oid) {
  std::string out;
  append_copy_binary(out, cell, field, "c");
  EXPECT_GE(out.size(), 4u);
  std::uint32_t length = (static_cast<unsigned char>(out[0]) << 24) |
                         (static_cast<unsigned char>(out[1]) << 16) |
                         (static_cast<unsigned char>(out[2]) << 8) |
                         static_cast<unsigned char>(out[3]);
  EXPECT_EQ(length, out.size() - 4);
  return decode_binary(oid, out.data() + 4, out.size() - 4);
}

TEST(PgTypesTest, BinaryCopyFieldsDecodeToTheSameValues) {
  for (const char* text : {"0", "0.00", "-12.30", "12.3", "10000", "100000000", "0.12345",
                           "0.00000012", "5.1", "-0.0001", "99999999.99999999",
                           "123456789012345678901234567890.123456789012345678901234567890",
                           "NaN", "Infinity", "-Infinity"}) {
    EXPECT_EQ(through_binary(Cell{std::string(text)}, BinaryField::Numeric, 1700),
              Cell{std::string(text)})
        << text;
  }
  // The other spellings numeric's text input takes come out as it would store them: the scale
  // is the digits after the point once the exponent is applied; negative zero is zero.
  const std::vector<std::pair<std::string, std::string>> spelled = {
      {"007.50", "7.50"},  {"-0.00", "0.00"},  {".5", "0.5"},       {"5.", "5"},
      {"+1.5", "1.5"},     {" 12 ", "12"},     {"1.5e3", "1500"},   {"1.50E1", "15.0"},
      {"15e-1", "1.5"},    {"1e-5", "0.00001"}, {"-2.5e+2", "-250"}, {"inf", "Infinity"},
      {"-INF", "-Infinity"}, {"nan", "NaN"},
  };
  for (const auto& [text, expected] : spelled) {
    EXPECT_EQ(through_binary(Cell{text}, BinaryField::Numeric, 1700), Cell{expected}) << text;
  }
  for (const char* bad : {"", "-", ".", "1.2.3", "0x10", "1,5", "1e", "e5", "--1", "1e+", "abc"}) {
    std::string out;
    EXPECT_THROW(append_copy_binary(out, Cell{std::string(bad)}, BinaryField::Numeric, "c"),
                 DriverError)
        << bad;
  }

  EXPECT_EQ(through_binary(Cell{INT64_MIN}, BinaryField::Int8, 20), Cell{INT64_MIN});
  EXPECT_EQ(through_binary(Cell{std::int64_t{-32768}}, BinaryField::Int2, 21),
            Cell{std::int64_t{-32768}});
  EXPECT_EQ(through_binary(Cell{std::uint64_t{42}}, BinaryField::Int4, 23), Cell{std::int64_t{42}});
  for (Cell too_big : {Cell{std::int64_t{32768}}, Cell{std::uint64_t{1} << 63}}) {
    std::string out;
    BinaryField field = std::holds_alternative<std::uint64_t>(too_big) ? BinaryField::Int8
                                                                      : BinaryField::Int2;
    try {
      append_copy_binary(out, too_big, field, "qty");
      ADD_FAILURE() << "no error";
    } catch (const DriverError& e) {
      EXPECT_NE(std::string(e.what()).find("\"qty\""), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("out of range"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(through_binary(Cell{0.1}, BinaryField::Float8, 701), Cell{0.1});
  EXPECT_EQ(through_binary(Cell{1.5}, BinaryField::Float4, 700), Cell{1.5});
  EXPECT_EQ(through_binary(Cell{true}, BinaryField::Bool, 16), Cell{true});

  // Dates and timestamps on both sides of 1970 and of 2000; the infinities keep their sentinels.
  for (std::int64_t days : {std::int64_t{-1}, std::int64_t{0}, std::int64_t{10956},
                            std::int64_t{10958}}) {
    EXPECT_EQ(through_binary(Cell{days}, BinaryField::Date, 1082), Cell{days});
  }
  for (std::int64_t micros : {std::int64_t{-500000}, std::int64_t{0}, std::int64_t{1},
                              INT64_MAX, INT64_MIN}) {
    EXPECT_EQ(through_binary(Cell{micros}, BinaryField::Timestamp, 1114), Cell{micros});
  }
  std::string out;
  EXPECT_THROW(append_copy_binary(out, Cell{INT64_MIN + 1}, BinaryField::Timestamp, "c"),
               DriverError);
  EXPECT_EQ(through_binary(Cell{std::int64_t{86399999999}}, BinaryField::Time, 1083),
            Cell{std::int64_t{86399999999}});

  const std::string uuid = "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11";
  EXPECT_EQ(through_binary(Cell{uuid}, BinaryField::Uuid, 2950), Cell{uuid});
  // The other spellings uuid's input takes.
  for (const char* text : {"A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11", "a0eebc999c0b4ef8bb6d6bb9bd380a11",
                           "{a0eebc99-9c0b4ef8-bb6d6bb9-bd380a11}"}) {
    EXPECT_EQ(through_binary(Cell{std::string(text)}, BinaryField::Uuid, 2950), Cell{uuid}) << text;
  }
  for (const char* bad : {"a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a1", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a111",
                          "g0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11", "-a0eebc999c0b4ef8bb6d6bb9bd380a11",
                          "a0eeb-c999c0b4ef8bb6d6bb9bd380a11", "a0eebc99--9c0b4ef8bb6d6bb9bd380a11",
                          "{a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11", ""}) {
    EXPECT_THROW(append_copy_binary(out, Cell{std::string(bad)}, BinaryField::Uuid, "c"),
                 DriverError)
        << bad;
  }
  EXPECT_EQ(through_binary(Cell{std::string("{\"a\": 1}")}, BinaryField::Jsonb, 3802),
            Cell{std::string("{\"a\": 1}")});
  EXPECT_EQ(through_binary(Cell{std::string("\0\xff", 2)}, BinaryField::Bytea, 17),
            Cell{std::string("\0\xff", 2)});
}

// Only pairs whose binary input equals the text input's go binary; the rest go through text.
TEST(PgTypesTest, BinaryFieldsOnlyForTypesThatTakeTheCellsAsTheyAre) {
  EXPECT_EQ(binary_field(of(TypeId::Int32), 21), BinaryField::Int2);
  EXPECT_EQ(binary_field(of(TypeId::UInt64), 20), BinaryField::Int8);
  EXPECT_EQ(binary_field(of(TypeId::Float32), 700), BinaryField::Float4);
  EXPECT_EQ(binary_field(of(TypeId::Float32), 701), BinaryField::Float8);
  EXPECT_EQ(binary_field(of(TypeId::Float64), 700), std::nullopt);  // double rounding
  EXPECT_EQ(binary_field(of(TypeId::Decimal), 1700), BinaryField::Numeric);
  EXPECT_EQ(binary_field(of(TypeId::Int64), 1700), std::nullopt);
  EXPECT_EQ(binary_field(of(TypeId::String), 1043), BinaryField::Text);
  EXPECT_EQ(binary_field(of(TypeId::String), 2950), std::nullopt);  // uuid_in reads more forms
  EXPECT_EQ(binary_field(of(TypeId::Timestamp), 1184), std::nullopt);  // the session's zone
  EXPECT_EQ(binary_field(of(TypeId::Interval), 1186), std::nullopt);
  EXPECT_EQ(binary_field(of(TypeId::List), 25), std::nullopt);  // text writes an array literal
  EXPECT_EQ(binary_field(of(TypeId::Uuid), 114), std::nullopt);
}

TEST(PgTypesTest, RendersCopyTextAndLiterals) {
  std::string out;
  append_copy_text(out, Cell{std::string("a\tb\\c\nd")}, of(TypeId::String));
  EXPECT_EQ(out, "a\\tb\\\\c\\nd");
  out.clear();
  append_copy_text(out, Cell{std::string("\x01\xff", 2)}, of(TypeId::Blob));
  EXPECT_EQ(out, "\\\\x01ff");
  out.clear();
  append_copy_text(out, Cell{std::int64_t{0}}, of(TypeId::TimestampTz));
  EXPECT_EQ(out, "1970-01-01 00:00:00+00");

  out.clear();
  append_literal(out, Cell{std::string("it's")}, of(TypeId::String));
  append_literal(out, Cell{}, of(TypeId::String));
  append_literal(out, Cell{true}, of(TypeId::Boolean));
  append_literal(out, Cell{std::int64_t{19723}}, of(TypeId::Date));
  append_literal(out, Cell{1.0 / 0.0}, of(TypeId::Float64));
  EXPECT_EQ(out, "'it''s'NULLTRUE'2024-01-01''Infinity'");
}

TEST(PgTypesTest, JsonArraysBecomeArrayLiterals) {
  EXPECT_EQ(array_literal("[]"), "{}");
  EXPECT_EQ(array_literal("[1, null, 2.50]"), "{\"1\",NULL,\"2.50\"}");
  EXPECT_EQ(array_literal(R"(["a,b", "q\"x", "back\\slash", "NULL", {"k": [1]}])"),
            R"({"a,b","q\"x","back\\slash","NULL","{\"k\": [1]}"})");
  EXPECT_EQ(array_literal("[[1,2],[3,4]]"), "{{\"1\",\"2\"},{\"3\",\"4\"}}");
  // In COPY's text format the literal's backslashes are escaped once more.
  ColumnType list = of(TypeId::List);
  list.element.push_back(of(TypeId::String));
  std::string out;
  append_copy_text(out, Cell{std::string(R"(["a\tb"])")}, list);
  EXPECT_EQ(out, "{\"a\\tb\"}");
}

}  // namespace
}  // namespace zyl::drivers::postgres
