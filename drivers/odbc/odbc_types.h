// ODBC's SQL types and the logical column types, both ways.
//
// Reading, the SQL type a driver describes a result column with gives its logical type
// (column_type). Writing, the type names come from what the driver lists in SQLGetTypeInfo
// (TypeCatalog): for each logical type a list of ODBC data types in order of preference, and
// among a data type's names the one of the right signedness (and, for the long types, the
// largest). The few things drivers misstate are kept in one table here: MariaDB lists DATETIME
// and TIME without their fractional seconds.
#pragma once

#include <string>
#include <vector>

#include "drivers/driver.h"

namespace zyl::drivers::odbc {

// One row of SQLGetTypeInfo.
struct TypeInfoRow {
  std::string name;           // TYPE_NAME
  int data_type = 0;          // DATA_TYPE (SQL_INTEGER, SQL_WVARCHAR, ...)
  long long column_size = 0;  // COLUMN_SIZE; 0 when the driver gives none
  std::string create_params;  // CREATE_PARAMS: "precision,scale", "length", or empty
  bool is_unsigned = false;   // UNSIGNED_ATTRIBUTE
};

// The type a logical type is written as: its name for CREATE TABLE and the ODBC data type that
// parameters of it are bound with.
struct TypeChoice {
  std::string sql;
  int data_type = 0;
  long long column_size = 0;  // for binding: the length or precision
  int decimal_digits = 0;     // for binding: the scale or fractional digits
};

class TypeCatalog {
 public:
  TypeCatalog() = default;
  // `dbms` is SQLGetInfo(SQL_DBMS_NAME) ("PostgreSQL", "MariaDB", "SQLite", ...).
  TypeCatalog(std::vector<TypeInfoRow> rows, std::string dbms);

  // The type for `type`. Never throws: a type the driver lists nothing for is written as the
  // driver's longest text type, holding the value's text.
  TypeChoice choose(const ColumnType& type) const;

 private:
  enum class Sign { Signed, Unsigned, Any };
  const TypeInfoRow* pick(std::initializer_list<int> data_types, Sign sign, bool largest) const;
  TypeChoice integer(const ColumnType& type) const;
  TypeChoice decimal(int precision, int scale) const;
  TypeChoice text(int length, bool fixed) const;
  TypeChoice long_text() const;
  TypeChoice binary() const;

  std::vector<TypeInfoRow> rows_;
  std::string dbms_;
};

// The logical type of a result column that the driver describes as `sql_type` with `size`
// (length or precision) and `digits` (scale). `is_unsigned` from SQL_DESC_UNSIGNED.
ColumnType column_type(int sql_type, long long size, int digits, bool is_unsigned);

// Whether a column of `type` is read with SQLGetData rather than bound into the row array: its
// values have no bound the driver knows (long text and binary, or a length over 64 KiB).
bool reads_in_parts(int sql_type, long long size);

}  // namespace zyl::drivers::odbc
