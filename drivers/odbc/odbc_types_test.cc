#include "drivers/odbc/odbc_types.h"

#include <sql.h>
#include <sqlext.h>

#include <gtest/gtest.h>

namespace zyl::drivers::odbc {
namespace {

// Abridged SQLGetTypeInfo answers of the Debian drivers, in the drivers' own order.
TypeCatalog mariadb() {
  return TypeCatalog(
      {{"BIT", SQL_BIT, 1, "", false},
       {"TINYINT", SQL_TINYINT, 3, "", false},
       {"TINYINT UNSIGNED", SQL_TINYINT, 3, "", true},
       {"BIGINT", SQL_BIGINT, 19, "", false},
       {"BIGINT UNSIGNED", SQL_BIGINT, 20, "", true},
       {"LONG VARBINARY", SQL_LONGVARBINARY, 16777215, "", false},
       {"LONGBLOB", SQL_LONGVARBINARY, 2147483647, "", false},
       {"LONG VARCHAR", SQL_LONGVARCHAR, 16777215, "", false},
       {"LONGTEXT", SQL_LONGVARCHAR, 2147483647, "", false},
       {"CHAR", SQL_CHAR, 255, "length", false},
       {"DECIMAL", SQL_DECIMAL, 65, "precision,scale", false},
       {"INTEGER", SQL_INTEGER, 10, "", false},
       {"INTEGER UNSIGNED", SQL_INTEGER, 10, "", true},
       {"MEDIUMINT", SQL_INTEGER, 7, "", false},
       {"SMALLINT", SQL_SMALLINT, 5, "", false},
       {"DOUBLE", SQL_DOUBLE, 17, "precision,scale", false},
       {"VARCHAR", SQL_VARCHAR, 255, "length", false},
       {"DATE", SQL_TYPE_DATE, 10, "", false},
       {"DATETIME", SQL_TYPE_TIMESTAMP, 16, "", false},
       {"VARCHAR", SQL_WVARCHAR, 255, "length", false}},
      "MariaDB");
}

TypeCatalog postgres() {
  return TypeCatalog({{"int8", SQL_BIGINT, 19, "", false},
                      {"bool", SQL_BIT, 5, "", false},
                      {"char", SQL_CHAR, 255, "max. length", false},
                      {"date", SQL_TYPE_DATE, 10, "", false},
                      {"numeric", SQL_DECIMAL, 28, "precision, scale", false},
                      {"float8", SQL_DOUBLE, 17, "", false},
                      {"int4", SQL_INTEGER, 10, "", false},
                      {"bytea", SQL_LONGVARBINARY, -4, "", false},
                      {"text", SQL_LONGVARCHAR, 8190, "", false},
                      {"float4", SQL_REAL, 9, "", false},
                      {"int2", SQL_SMALLINT, 5, "", false},
                      {"time", SQL_TYPE_TIME, 8, "", false},
                      {"timestamptz", SQL_TYPE_TIMESTAMP, 26, "", false},
                      {"int2", SQL_TINYINT, 5, "", false},
                      {"varchar", SQL_VARCHAR, 255, "max. length", false},
                      {"varchar", SQL_WVARCHAR, 255, "max. length", false},
                      {"text", SQL_WLONGVARCHAR, 8190, "", false},
                      {"uuid", SQL_GUID, 37, "", false}},
                     "PostgreSQL");
}

TypeCatalog sqlite() {
  return TypeCatalog({{"bit", SQL_BIT, 1, "", false},
                      {"bigint", SQL_BIGINT, 19, "", false},
                      {"longvarbinary", SQL_LONGVARBINARY, 65536, "", false},
                      {"text", SQL_LONGVARCHAR, 65536, "length", false},
                      {"integer", SQL_INTEGER, 9, "", false},
                      {"double", SQL_DOUBLE, 15, "", false},
                      {"numeric", SQL_DOUBLE, 15, "", false},
                      {"varchar", SQL_VARCHAR, 255, "length", false},
                      {"timestamp", SQL_TYPE_TIMESTAMP, 32, "", false}},
                     "SQLite");
}

ColumnType of(TypeId id, int precision = 0, int scale = 0, int length = 0, bool fixed = false) {
  ColumnType t;
  t.id = id;
  t.precision = precision;
  t.scale = scale;
  t.length = length;
  t.fixed_length = fixed;
  return t;
}

std::string sql(const TypeCatalog& catalog, const ColumnType& type) {
  return catalog.choose(type).sql;
}

TEST(OdbcTypes, IntegersTakeTheirSignednessAndWidth) {
  TypeCatalog my = mariadb(), pg = postgres(), lite = sqlite();
  EXPECT_EQ(sql(my, of(TypeId::Int8)), "TINYINT");
  EXPECT_EQ(sql(my, of(TypeId::UInt8)), "TINYINT UNSIGNED");
  EXPECT_EQ(sql(my, of(TypeId::Int32)), "INTEGER");  // not the narrower MEDIUMINT
  EXPECT_EQ(sql(my, of(TypeId::UInt32)), "INTEGER UNSIGNED");
  EXPECT_EQ(sql(my, of(TypeId::UInt64)), "BIGINT UNSIGNED");
  // Without unsigned types, the next wider signed one; a UInt64 becomes a decimal.
  EXPECT_EQ(sql(pg, of(TypeId::UInt16)), "int4");
  EXPECT_EQ(sql(pg, of(TypeId::UInt32)), "int8");
  EXPECT_EQ(sql(pg, of(TypeId::UInt64)), "numeric(20,0)");
  EXPECT_EQ(pg.choose(of(TypeId::UInt64)).data_type, SQL_DECIMAL);
  // SQLite lists no TINYINT or SMALLINT: the next wider one.
  EXPECT_EQ(sql(lite, of(TypeId::Int8)), "integer");
  EXPECT_EQ(sql(lite, of(TypeId::UInt32)), "bigint");
}

TEST(OdbcTypes, TextTakesItsLengthOrTheLongestTextType) {
  TypeCatalog my = mariadb(), pg = postgres();
  ColumnType bounded = of(TypeId::String, 0, 0, 40);
  EXPECT_EQ(sql(my, bounded), "VARCHAR(40)");
  EXPECT_EQ(sql(pg, bounded), "varchar(40)");
  ColumnType fixed = of(TypeId::String, 0, 0, 2, true);
  EXPECT_EQ(sql(pg, fixed), "char(2)");
  EXPECT_EQ(sql(my, of(TypeId::String)), "LONGTEXT");  // the largest, not LONG VARCHAR
  EXPECT_EQ(sql(pg, of(TypeId::String)), "text");
  EXPECT_EQ(sql(pg, of(TypeId::String, 0, 0, 5000)), "text");  // over varchar's 255
  EXPECT_EQ(sql(my, of(TypeId::Blob)), "LONGBLOB");
  EXPECT_EQ(sql(my, of(TypeId::Json)), "LONGTEXT");
  EXPECT_EQ(sql(pg, of(TypeId::Uuid)), "uuid");
  EXPECT_EQ(sql(my, of(TypeId::Uuid)), "CHAR(36)");
}

TEST(OdbcTypes, DecimalsAndTemporals) {
  TypeCatalog my = mariadb(), pg = postgres(), lite = sqlite();
  ColumnType money = of(TypeId::Decimal, 18, 2);
  EXPECT_EQ(sql(pg, money), "numeric(18,2)");
  EXPECT_EQ(sql(my, money), "DECIMAL(18,2)");
  EXPECT_EQ(sql(pg, of(TypeId::Decimal, 38, 10)), "numeric(38,10)");  // past the 28 stated
  EXPECT_EQ(sql(my, of(TypeId::HugeInt)), "DECIMAL(39,0)");
  // SQLite's "numeric" is a double: exact digits go in as text instead.
  EXPECT_EQ(sql(lite, money), "text");
  EXPECT_EQ(lite.choose(money).data_type, SQL_LONGVARCHAR);
  EXPECT_EQ(sql(pg, of(TypeId::Timestamp)), "timestamptz");
  // MariaDB states DATETIME and TIME without their microseconds.
  EXPECT_EQ(sql(my, of(TypeId::Timestamp)), "DATETIME(6)");
  EXPECT_EQ(sql(my, of(TypeId::Time)), "TIME(6)");
  EXPECT_EQ(sql(pg, of(TypeId::Float32)), "float4");
  EXPECT_EQ(sql(my, of(TypeId::Float32)), "DOUBLE");
  EXPECT_EQ(sql(my, of(TypeId::Boolean)), "BIT");
}

TEST(OdbcTypes, ResultColumns) {
  EXPECT_EQ(column_type(SQL_INTEGER, 10, 0, true).id, TypeId::UInt32);
  EXPECT_EQ(column_type(SQL_BIGINT, 19, 0, false).id, TypeId::Int64);
  ColumnType d = column_type(SQL_NUMERIC, 12, 3, false);
  EXPECT_EQ(d.id, TypeId::Decimal);
  EXPECT_EQ(d.precision, 12);
  EXPECT_EQ(d.scale, 3);
  ColumnType c = column_type(SQL_WCHAR, 3, 0, false);
  EXPECT_EQ(c.length, 3);
  EXPECT_TRUE(c.fixed_length);
  EXPECT_EQ(column_type(SQL_WLONGVARCHAR, 8190, 0, false).length, 0);
  EXPECT_EQ(column_type(SQL_GUID, 36, 0, false).id, TypeId::Uuid);
  EXPECT_EQ(column_type(SQL_TYPE_TIMESTAMP, 26, 6, false).id, TypeId::Timestamp);
  EXPECT_EQ(column_type(SQL_INTERVAL_DAY, 10, 0, false).id, TypeId::String);
  EXPECT_TRUE(reads_in_parts(SQL_WLONGVARCHAR, 8190));
  EXPECT_TRUE(reads_in_parts(SQL_WVARCHAR, 0));
  EXPECT_FALSE(reads_in_parts(SQL_WVARCHAR, 255));
  EXPECT_FALSE(reads_in_parts(SQL_INTEGER, 0));
}

}  // namespace
}  // namespace zyl::drivers::odbc
