// MySQL / MariaDB types and the logical column types, both ways, in one table; plus the codecs:
// text-protocol field values into cells and cells into SQL literals.
//
// The mapping, stated once: TINYINT (also TINYINT(1) and BOOLEAN, which are the same type) is
// Int8, never a boolean, so no value is lost; a logical Boolean is written as BOOLEAN. TIMESTAMP
// is read as TimestampTz (the session runs in UTC); a logical TimestampTz is written as
// DATETIME(6) holding UTC, which has no 2038 limit. ENUM and SET are String, BIT is UInt64,
// geometry is Blob (its WKB), JSON is Json, MariaDB's UUID is Uuid. DECIMAL(p,s) is Decimal(p,s)
// (a DuckDB cache picks the scale of a decimal wider than its 38 digits from the values, so
// decimal(65,30) stays exact). Types MySQL lacks are written in a documented text form: an
// Interval as varchar(64) holding "1 year 2 months -3 days 04:05:06.5" (months, days and time
// apart), a List as a json column holding the JSON array, HugeInt and UHugeInt as decimal(39,0).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "drivers/driver.h"

namespace zyl::drivers::mysql {

// What the driver knows of one result column (from MYSQL_FIELD and its extended metadata).
struct FieldInfo {
  int type = 0;            // enum_field_types
  unsigned flags = 0;      // UNSIGNED_FLAG, ENUM_FLAG, SET_FLAG, ...
  unsigned charsetnr = 0;  // 63 is binary
  unsigned long length = 0;
  unsigned decimals = 0;
  unsigned char_maxlen = 1;    // bytes per character of the column's character set
  std::string format_name;     // "json", "uuid", ... from extended metadata, may be empty
};

ColumnType plan_field(const FieldInfo& field);

// The server type for a logical type. `native_uuid`: the server has a UUID type (MariaDB 10.7+).
std::string type_sql(const ColumnType& type, bool native_uuid);

// One text-protocol field as a cell of `type`. Throws DriverError when the text does not fit.
Cell parse_text(const ColumnType& type, const char* data, size_t size);

// Appends a cell as a literal. `escape` escapes a string for inside single quotes.
template <typename Escape>
void append_literal(std::string& out, const Cell& cell, const ColumnType& type, Escape&& escape);

// Plain text of a non-null, non-string cell as the server reads it (dates, numbers, ...).
// Throws DriverError for values the server cannot store (NaN, infinities).
std::string scalar_text(const Cell& cell, const ColumnType& type);
void append_hex_literal(std::string& out, std::string_view bytes);

template <typename Escape>
void append_literal(std::string& out, const Cell& cell, const ColumnType& type, Escape&& escape) {
  if (std::holds_alternative<std::monostate>(cell)) {
    out += "NULL";
  } else if (const auto* s = std::get_if<std::string>(&cell)) {
    if (type.id == TypeId::Blob) {
      append_hex_literal(out, *s);
    } else if (type.id == TypeId::Decimal || type.id == TypeId::HugeInt ||
               type.id == TypeId::UHugeInt) {
      out += '\'';
      out += *s;
      out += '\'';
    } else {
      out += '\'';
      escape(out, *s);
      out += '\'';
    }
  } else {
    std::string text = scalar_text(cell, type);
    bool quoted = type.id == TypeId::Date || type.id == TypeId::Time ||
                  type.id == TypeId::Timestamp || type.id == TypeId::TimestampTz;
    if (quoted) out += '\'';
    out += text;
    if (quoted) out += '\'';
  }
}

}  // namespace zyl::drivers::mysql
