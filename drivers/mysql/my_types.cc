#include "drivers/mysql/my_types.h"

#include <charconv>
#include <cmath>

#include <mysql.h>

#include "drivers/temporal.h"

namespace zyl::drivers::mysql {
namespace {

constexpr unsigned kBinaryCharset = 63;

ColumnType make(TypeId id, std::string native) {
  ColumnType type;
  type.id = id;
  type.native = std::move(native);
  return type;
}

template <typename T>
T parse_number(const char* data, size_t size, const char* what) {
  T value{};
  auto res = std::from_chars(data, data + size, value);
  if (res.ec != std::errc() || res.ptr != data + size) {
    throw DriverError("mysql: cannot read '" + std::string(data, size) + "' as " + what);
  }
  return value;
}

bool zero_date(std::string_view text) { return text.substr(0, 10) == "0000-00-00"; }

}  // namespace

ColumnType plan_field(const FieldInfo& f) {
  const bool is_unsigned = f.flags & UNSIGNED_FLAG;
  const bool binary = f.charsetnr == kBinaryCharset;
  if (f.format_name == "json") return make(TypeId::Json, "json");
  if (f.format_name == "uuid") return make(TypeId::Uuid, "uuid");
  switch (f.type) {
    case MYSQL_TYPE_TINY:
      return is_unsigned ? make(TypeId::UInt8, "tinyint unsigned") : make(TypeId::Int8, "tinyint");
    case MYSQL_TYPE_SHORT:
      return is_unsigned ? make(TypeId::UInt16, "smallint unsigned")
                         : make(TypeId::Int16, "smallint");
    case MYSQL_TYPE_INT24:
      return is_unsigned ? make(TypeId::UInt32, "mediumint unsigned")
                         : make(TypeId::Int32, "mediumint");
    case MYSQL_TYPE_LONG:
      return is_unsigned ? make(TypeId::UInt32, "int unsigned") : make(TypeId::Int32, "int");
    case MYSQL_TYPE_LONGLONG:
      return is_unsigned ? make(TypeId::UInt64, "bigint unsigned") : make(TypeId::Int64, "bigint");
    case MYSQL_TYPE_YEAR: return make(TypeId::Int16, "year");
    case MYSQL_TYPE_BIT: return make(TypeId::UInt64, "bit");
    case MYSQL_TYPE_FLOAT: return make(TypeId::Float32, "float");
    case MYSQL_TYPE_DOUBLE: return make(TypeId::Float64, "double");
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL: {
      ColumnType t = make(TypeId::Decimal, "decimal");
      t.scale = static_cast<int>(f.decimals);
      t.precision = static_cast<int>(f.length) - (f.decimals > 0 ? 1 : 0) - (is_unsigned ? 0 : 1);
      if (t.precision < t.scale || t.precision <= 0) t.precision = std::max(t.scale, 1);
      t.native += "(" + std::to_string(t.precision) + "," + std::to_string(t.scale) + ")";
      return t;
    }
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE: return make(TypeId::Date, "date");
    case MYSQL_TYPE_TIME: return make(TypeId::Time, "time");
    case MYSQL_TYPE_DATETIME: return make(TypeId::Timestamp, "datetime");
    case MYSQL_TYPE_TIMESTAMP: return make(TypeId::TimestampTz, "timestamp");
    case MYSQL_TYPE_JSON: return make(TypeId::Json, "json");
    case MYSQL_TYPE_GEOMETRY: return make(TypeId::Blob, "geometry");
    case MYSQL_TYPE_ENUM: return make(TypeId::String, "enum");
    case MYSQL_TYPE_SET: return make(TypeId::String, "set");
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
      return binary ? make(TypeId::Blob, "blob") : make(TypeId::String, "text");
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_STRING: {
      if (f.flags & ENUM_FLAG) return make(TypeId::String, "enum");
      if (f.flags & SET_FLAG) return make(TypeId::String, "set");
      bool fixed = f.type == MYSQL_TYPE_STRING;
      if (binary) return make(TypeId::Blob, fixed ? "binary" : "varbinary");
      ColumnType t = make(TypeId::String, fixed ? "char" : "varchar");
      t.length = static_cast<int>(f.length / std::max(1u, f.char_maxlen));
      t.fixed_length = fixed;
      t.native += "(" + std::to_string(t.length) + ")";
      return t;
    }
    default: return make(TypeId::String, "unknown");
  }
}

std::string type_sql(const ColumnType& type, bool native_uuid) {
  switch (type.id) {
    case TypeId::Boolean: return "boolean";
    case TypeId::Int8: return "tinyint";
    case TypeId::Int16: return "smallint";
    case TypeId::Int32: return "int";
    case TypeId::Int64: return "bigint";
    case TypeId::UInt8: return "tinyint unsigned";
    case TypeId::UInt16: return "smallint unsigned";
    case TypeId::UInt32: return "int unsigned";
    case TypeId::UInt64: return "bigint unsigned";
    case TypeId::HugeInt:
    case TypeId::UHugeInt:
      return "decimal(39,0)";
    case TypeId::Float32: return "float";
    case TypeId::Float64: return "double";
    case TypeId::Decimal:
      if (type.precision <= 0) return "decimal(65,30)";
      return "decimal(" + std::to_string(std::min(type.precision, 65)) + "," +
             std::to_string(std::min(type.scale, 30)) + ")";
    case TypeId::String:
      if (type.length > 0 && type.length <= (type.fixed_length ? 255 : 16383)) {
        return std::string(type.fixed_length ? "char(" : "varchar(") +
               std::to_string(type.length) + ")";
      }
      return "longtext";
    case TypeId::Blob: return "longblob";
    case TypeId::Date: return "date";
    case TypeId::Time: return "time(6)";
    case TypeId::Timestamp:
    case TypeId::TimestampTz: return "datetime(6)";
    case TypeId::Interval: return "varchar(64)";
    case TypeId::Uuid: return native_uuid ? "uuid" : "char(36)";
    case TypeId::Json:
    case TypeId::List:
      return "json";  // a list as its JSON array
  }
  return "longtext";
}

Cell parse_text(const ColumnType& type, const char* data, size_t size) {
  std::string_view text(data, size);
  switch (type.id) {
    case TypeId::Int8:
    case TypeId::Int16:
    case TypeId::Int32:
    case TypeId::Int64:
    case TypeId::UInt8:
    case TypeId::UInt16:
    case TypeId::UInt32:
      return parse_number<std::int64_t>(data, size, "an integer");
    case TypeId::UInt64: {
      if (type.native == "bit") {
        // BIT comes as its raw bytes, most significant first.
        std::uint64_t v = 0;
        for (unsigned char c : text) v = (v << 8) | c;
        return v;
      }
      return parse_number<std::uint64_t>(data, size, "an unsigned integer");
    }
    case TypeId::Float32:
    case TypeId::Float64: return parse_number<double>(data, size, "a number");
    case TypeId::Boolean: return text != "0";
    case TypeId::Date: {
      if (zero_date(text)) return std::monostate{};
      if (auto days = temporal::parse_date(text)) return *days;
      break;
    }
    case TypeId::Time: {
      if (auto micros = temporal::parse_time(text)) return *micros;
      throw DriverError("mysql: TIME value '" + std::string(text) +
                        "' is not a time of day (durations outside 00:00:00-23:59:59 are not "
                        "supported)");
    }
    case TypeId::Timestamp:
    case TypeId::TimestampTz: {
      if (zero_date(text)) return std::monostate{};
      if (auto micros = temporal::parse_timestamp(text)) return *micros;
      break;
    }
    default: return std::string(text);
  }
  throw DriverError("mysql: cannot read '" + std::string(text) + "' as " +
                    std::string(type_name(type.id)));
}

std::string scalar_text(const Cell& cell, const ColumnType& type) {
  if (const bool* b = std::get_if<bool>(&cell)) return *b ? "TRUE" : "FALSE";
  if (const auto* u = std::get_if<std::uint64_t>(&cell)) return std::to_string(*u);
  if (const double* d = std::get_if<double>(&cell)) {
    if (!std::isfinite(*d)) {
      throw DriverError("mysql: cannot store " + std::to_string(*d) +
                        ": MySQL and MariaDB have no NaN or infinity");
    }
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, *d);
    return std::string(buf, res.ptr);
  }
  std::int64_t v = std::get<std::int64_t>(cell);
  switch (type.id) {
    case TypeId::Date: return temporal::format_date(v);
    case TypeId::Time: return temporal::format_time(v);
    case TypeId::Timestamp:
    case TypeId::TimestampTz: return temporal::format_timestamp(v);  // UTC, no offset suffix
    default: return std::to_string(v);
  }
}

void append_hex_literal(std::string& out, std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  if (bytes.empty()) {
    out += "''";
    return;
  }
  out += "X'";
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  out += '\'';
}

}  // namespace zyl::drivers::mysql
