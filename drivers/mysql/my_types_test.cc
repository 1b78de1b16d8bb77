#include "drivers/mysql/my_types.h"

#include <gtest/gtest.h>
#include <mysql.h>

namespace zyl::drivers::mysql {
namespace {

ColumnType of(TypeId id, std::string native = "") {
  ColumnType type;
  type.id = id;
  type.native = std::move(native);
  return type;
}

TEST(MySqlTypesTest, FieldsMapWithTheirDeclaredSizes) {
  FieldInfo dec;
  dec.type = MYSQL_TYPE_NEWDECIMAL;
  dec.length = 14;  // decimal(12,3): 12 digits, a point and a sign
  dec.decimals = 3;
  ColumnType d = plan_field(dec);
  EXPECT_EQ(d.precision, 12);
  EXPECT_EQ(d.scale, 3);
  dec.flags = UNSIGNED_FLAG;
  dec.length = 13;  // decimal(12,3) unsigned: no sign
  EXPECT_EQ(plan_field(dec).precision, 12);

  FieldInfo text;
  text.type = MYSQL_TYPE_VAR_STRING;
  text.length = 20;  // varchar(5) in utf8mb4
  text.char_maxlen = 4;
  text.charsetnr = 45;
  EXPECT_EQ(plan_field(text).length, 5);
  text.charsetnr = 63;
  EXPECT_EQ(plan_field(text).id, TypeId::Blob);  // varbinary
  text.charsetnr = 45;
  text.flags = ENUM_FLAG;
  EXPECT_EQ(plan_field(text).native, "enum");

  FieldInfo tiny;
  tiny.type = MYSQL_TYPE_TINY;
  tiny.length = 1;  // BOOLEAN is TINYINT(1) and stays an integer
  EXPECT_EQ(plan_field(tiny).id, TypeId::Int8);
  FieldInfo json;
  json.type = MYSQL_TYPE_BLOB;
  json.format_name = "json";
  EXPECT_EQ(plan_field(json).id, TypeId::Json);
}

TEST(MySqlTypesTest, TextValuesParseOrRefuse) {
  EXPECT_EQ(parse_text(of(TypeId::UInt64, "bit"), "\x0a\x01", 2), Cell{std::uint64_t{0xA01}});
  EXPECT_EQ(parse_text(of(TypeId::UInt64), "18446744073709551615", 20),
            Cell{std::uint64_t{18446744073709551615u}});
  EXPECT_EQ(parse_text(of(TypeId::Date), "0000-00-00", 10), Cell{});  // zero date is no date
  EXPECT_EQ(parse_text(of(TypeId::Timestamp), "0000-00-00 00:00:00", 19), Cell{});
  EXPECT_THROW(parse_text(of(TypeId::Time), "-01:00:00", 9), DriverError);
  EXPECT_THROW(parse_text(of(TypeId::Time), "100:00:00", 9), DriverError);
  EXPECT_THROW(parse_text(of(TypeId::Int32), "12x", 3), DriverError);
}

TEST(MySqlTypesTest, LiteralsAndServerTypes) {
  auto escape = [](std::string& out, std::string_view s) {
    for (char c : s) {
      if (c == '\'') out += '\\';
      out += c;
    }
  };
  std::string out;
  append_literal(out, Cell{std::string("it's")}, of(TypeId::String), escape);
  append_literal(out, Cell{std::string("\x00\xff", 2)}, of(TypeId::Blob), escape);
  append_literal(out, Cell{std::string()}, of(TypeId::Blob), escape);
  append_literal(out, Cell{std::int64_t{0}}, of(TypeId::TimestampTz), escape);
  append_literal(out, Cell{}, of(TypeId::Json), escape);
  EXPECT_EQ(out, "'it\\'s'X'00ff''''1970-01-01 00:00:00'NULL");
  EXPECT_THROW(append_literal(out, Cell{0.0 / 0.0}, of(TypeId::Float64), escape), DriverError);

  ColumnType wide = of(TypeId::String);
  wide.length = 70000;  // beyond VARCHAR's limit in utf8mb4
  EXPECT_EQ(type_sql(wide, true), "longtext");
  EXPECT_EQ(type_sql(of(TypeId::Uuid), false), "char(36)");
  EXPECT_EQ(type_sql(of(TypeId::Uuid), true), "uuid");
  EXPECT_EQ(type_sql(of(TypeId::Decimal), true), "decimal(65,30)");
}

}  // namespace
}  // namespace zyl::drivers::mysql
