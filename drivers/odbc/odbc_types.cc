#include "drivers/odbc/odbc_types.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>

#include "core/text.h"

namespace zyl::drivers::odbc {
namespace {

constexpr long long kLongValue = 65536;

std::string with_args(const TypeInfoRow& row, const std::string& args) {
  if (row.create_params.empty() || args.empty()) return row.name;
  return row.name + "(" + args + ")";
}

ColumnType of(TypeId id) {
  ColumnType t;
  t.id = id;
  return t;
}

bool is_mysql_family(const std::string& dbms) {
  std::string lower = text::to_lower(dbms);
  return lower.find("mariadb") != std::string::npos || lower.find("mysql") != std::string::npos;
}

}  // namespace

TypeCatalog::TypeCatalog(std::vector<TypeInfoRow> rows, std::string dbms)
    : rows_(std::move(rows)), dbms_(std::move(dbms)) {}

const TypeInfoRow* TypeCatalog::pick(std::initializer_list<int> data_types, Sign sign,
                                     bool largest) const {
  for (int data_type : data_types) {
    const TypeInfoRow* found = nullptr;
    for (const TypeInfoRow& row : rows_) {
      if (row.data_type != data_type) continue;
      if (sign == Sign::Signed && row.is_unsigned) continue;
      if (sign == Sign::Unsigned && !row.is_unsigned) continue;
      if (!found || (largest && row.column_size > found->column_size)) found = &row;
    }
    if (found) return found;
  }
  return nullptr;
}

TypeChoice TypeCatalog::long_text() const {
  if (const TypeInfoRow* row = pick({SQL_WLONGVARCHAR, SQL_LONGVARCHAR}, Sign::Any, true)) {
    return {row->name, row->data_type, 0, 0};
  }
  if (const TypeInfoRow* row = pick({SQL_WVARCHAR, SQL_VARCHAR}, Sign::Any, true)) {
    return {with_args(*row, std::to_string(row->column_size)), row->data_type, row->column_size,
            0};
  }
  return {"TEXT", SQL_WLONGVARCHAR, 0, 0};
}

TypeChoice TypeCatalog::text(int length, bool fixed) const {
  if (length > 0) {
    // Each list is made in the call itself: a list kept in a variable would outlive its array.
    const TypeInfoRow* row = fixed ? pick({SQL_WCHAR, SQL_CHAR}, Sign::Any, false)
                                   : pick({SQL_WVARCHAR, SQL_VARCHAR}, Sign::Any, false);
    if (row && !row->create_params.empty() && length <= row->column_size) {
      return {with_args(*row, std::to_string(length)), row->data_type, length, 0};
    }
  }
  return long_text();
}

TypeChoice TypeCatalog::binary() const {
  if (const TypeInfoRow* row = pick({SQL_LONGVARBINARY, SQL_VARBINARY}, Sign::Any, true)) {
    return {row->name, row->data_type, 0, 0};
  }
  return long_text();
}

TypeChoice TypeCatalog::decimal(int precision, int scale) const {
  const TypeInfoRow* row = pick({SQL_DECIMAL, SQL_NUMERIC}, Sign::Any, false);
  if (!row) return long_text();  // the exact digits, as text
  if (precision <= 0) {
    // An unbounded decimal: the widest the driver states, half of it for the fraction.
    precision = static_cast<int>(std::max(38LL, row->column_size));
    scale = precision / 2;
  }
  return {with_args(*row, std::to_string(precision) + "," + std::to_string(scale)),
          row->data_type, precision, scale};
}

TypeChoice TypeCatalog::integer(const ColumnType& type) const {
  struct Plan {
    TypeId id;
    std::initializer_list<int> kinds;
    Sign sign;
  };
  // Unsigned types take the driver's unsigned type of their width, else a wider signed one.
  static const Plan plans[] = {
      {TypeId::Int8, {SQL_TINYINT, SQL_SMALLINT, SQL_INTEGER}, Sign::Signed},
      {TypeId::Int16, {SQL_SMALLINT, SQL_INTEGER}, Sign::Signed},
      {TypeId::Int32, {SQL_INTEGER, SQL_BIGINT}, Sign::Signed},
      {TypeId::Int64, {SQL_BIGINT}, Sign::Signed},
      {TypeId::UInt8, {SQL_TINYINT}, Sign::Unsigned},
      {TypeId::UInt16, {SQL_SMALLINT}, Sign::Unsigned},
      {TypeId::UInt32, {SQL_INTEGER}, Sign::Unsigned},
      {TypeId::UInt64, {SQL_BIGINT}, Sign::Unsigned},
  };
  for (const Plan& plan : plans) {
    if (plan.id != type.id) continue;
    if (const TypeInfoRow* row = pick(plan.kinds, plan.sign, true)) {
      return {row->name, row->data_type, 0, 0};
    }
  }
  switch (type.id) {
    case TypeId::UInt8: return integer(of(TypeId::Int16));
    case TypeId::UInt16: return integer(of(TypeId::Int32));
    case TypeId::UInt32: return integer(of(TypeId::Int64));
    case TypeId::UInt64: return decimal(20, 0);
    case TypeId::Int8: case TypeId::Int16: case TypeId::Int32: return integer(of(TypeId::Int64));
    default: return decimal(19, 0);
  }
}

TypeChoice TypeCatalog::choose(const ColumnType& type) const {
  bool mysql = is_mysql_family(dbms_);
  auto simple = [&](std::initializer_list<int> kinds) -> TypeChoice {
    if (const TypeInfoRow* row = pick(kinds, Sign::Any, false)) {
      return {row->name, row->data_type, row->column_size, 0};
    }
    return long_text();
  };
  switch (type.id) {
    case TypeId::Boolean: return simple({SQL_BIT});
    case TypeId::Int8: case TypeId::Int16: case TypeId::Int32: case TypeId::Int64:
    case TypeId::UInt8: case TypeId::UInt16: case TypeId::UInt32: case TypeId::UInt64:
      return integer(type);
    case TypeId::HugeInt: case TypeId::UHugeInt: return decimal(39, 0);
    case TypeId::Float32: return simple({SQL_REAL, SQL_DOUBLE, SQL_FLOAT});
    case TypeId::Float64: return simple({SQL_DOUBLE, SQL_FLOAT});
    case TypeId::Decimal: return decimal(type.precision, type.scale);
    case TypeId::String: return text(type.length, type.fixed_length);
    case TypeId::Blob: return binary();
    case TypeId::Date: return simple({SQL_TYPE_DATE});
    case TypeId::Time:
      if (mysql) return {"TIME(6)", SQL_TYPE_TIME, 15, 6};
      return simple({SQL_TYPE_TIME});
    case TypeId::Timestamp: case TypeId::TimestampTz: {
      if (mysql) return {"DATETIME(6)", SQL_TYPE_TIMESTAMP, 26, 6};
      TypeChoice choice = simple({SQL_TYPE_TIMESTAMP});
      choice.column_size = 26;
      choice.decimal_digits = 6;
      return choice;
    }
    case TypeId::Uuid: {
      if (pick({SQL_GUID}, Sign::Any, false)) return simple({SQL_GUID});
      return text(36, true);
    }
    case TypeId::Interval: case TypeId::Json: case TypeId::List: return long_text();
  }
  return long_text();
}

ColumnType column_type(int sql_type, long long size, int digits, bool is_unsigned) {
  ColumnType t;
  auto id = [&](TypeId s, TypeId u) { return is_unsigned ? u : s; };
  switch (sql_type) {
    case SQL_BIT: t.id = TypeId::Boolean; break;
    case SQL_TINYINT: t.id = id(TypeId::Int8, TypeId::UInt8); break;
    case SQL_SMALLINT: t.id = id(TypeId::Int16, TypeId::UInt16); break;
    case SQL_INTEGER: t.id = id(TypeId::Int32, TypeId::UInt32); break;
    case SQL_BIGINT: t.id = id(TypeId::Int64, TypeId::UInt64); break;
    case SQL_REAL: t.id = TypeId::Float32; break;
    case SQL_FLOAT: case SQL_DOUBLE: t.id = TypeId::Float64; break;
    case SQL_DECIMAL: case SQL_NUMERIC:
      t.id = TypeId::Decimal;
      t.precision = static_cast<int>(std::clamp(size, 0LL, 1000LL));
      t.scale = std::clamp(digits, 0, t.precision);
      break;
    case SQL_CHAR: case SQL_WCHAR: case SQL_VARCHAR: case SQL_WVARCHAR:
      t.id = TypeId::String;
      if (size > 0 && size < kLongValue) t.length = static_cast<int>(size);
      t.fixed_length = t.length > 0 && (sql_type == SQL_CHAR || sql_type == SQL_WCHAR);
      break;
    case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY: t.id = TypeId::Blob; break;
    case SQL_TYPE_DATE: case SQL_DATE: t.id = TypeId::Date; break;
    case SQL_TYPE_TIME: case SQL_TIME: t.id = TypeId::Time; break;
    case SQL_TYPE_TIMESTAMP: case SQL_TIMESTAMP: t.id = TypeId::Timestamp; break;
    case SQL_GUID: t.id = TypeId::Uuid; break;
    default: t.id = TypeId::String; break;  // long text, intervals and the rest: their text
  }
  return t;
}

bool reads_in_parts(int sql_type, long long size) {
  switch (sql_type) {
    case SQL_LONGVARCHAR: case SQL_WLONGVARCHAR: case SQL_LONGVARBINARY: return true;
    case SQL_BIT: case SQL_TINYINT: case SQL_SMALLINT: case SQL_INTEGER: case SQL_BIGINT:
    case SQL_REAL: case SQL_FLOAT: case SQL_DOUBLE: case SQL_DECIMAL: case SQL_NUMERIC:
    case SQL_TYPE_DATE: case SQL_DATE: case SQL_TYPE_TIME: case SQL_TIME:
    case SQL_TYPE_TIMESTAMP: case SQL_TIMESTAMP: case SQL_GUID:
      return false;
    default: return size <= 0 || size >= kLongValue;
  }
}

}  // namespace zyl::drivers::odbc
