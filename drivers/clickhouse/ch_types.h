// ClickHouse types and the logical column types, both ways, in one table; plus the codecs of the
// TabSeparated formats the driver reads and writes.
//
// The mapping, stated once. Nullable(T) and LowCardinality(T) read as T. Int/UInt 8-64 are
// themselves; Int128/UInt128 are HugeInt/UHugeInt; Int256/UInt256 are Decimal(76/78, 0).
// Decimal(P,S) (and Decimal32/64/128/256(S)) is Decimal(P,S); String is String, FixedString(N)
// a String of length N whose bytes are kept as they are (zero padding included). Date and Date32
// are Date. DateTime and DateTime64 without a time zone are Timestamp (the wall clock the server
// prints); with one they are TimestampTz, read as UTC. UUID is Uuid, Bool is Boolean, Enum8/16
// is String (its label), Array(T) is a List of T. Anything else reads as String.
//
// Written columns are Nullable(T) (arrays, which cannot be, excepted) so that NULLs survive.
// Servers with the wide types (22.1 and later) get Bool, Int128/UInt128, Date32 and
// DateTime64(6); older ones (18.16) get UInt8 for a Boolean, a String holding the decimal text
// for a 128-bit integer or a decimal wider than 38 digits, Date (1970 to 2149) and DateTime
// (whole seconds, 1970 to 2106) - a value outside what the column holds is an error, never a
// clipped one. Types ClickHouse lacks are written as String: Time as "13:45:00.25", Interval as
// "1 year 2 months -3 days 04:05:06.5", Json as its text, Blob as its bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "drivers/driver.h"

namespace zyl::drivers::clickhouse {

// What the server offers beyond what 18.16 has.
struct ServerFeatures {
  bool wide_types = false;  // Bool, Int128, Date32, DateTime64
};

// The features of a server reporting `version` ("18.16.1", "23.8.2.7").
ServerFeatures features_of(std::string_view version);

// The logical type of a ClickHouse type name ("Nullable(Decimal(10, 2))").
ColumnType plan_type(std::string_view native);

// The time zone named in a DateTime or DateTime64 type (Nullable or not), if any.
std::optional<std::string> time_zone_of(std::string_view native);

// The ClickHouse type for a logical type, Nullable where ClickHouse allows it.
std::string type_sql(const ColumnType& type, const ServerFeatures& features);

// `type_sql` without its Nullable wrapper (sorting key columns cannot be Nullable).
std::string not_null(std::string_view type_sql);

// TabSeparated escaping of a string value: backslash, tab, newline, carriage return, NUL,
// backspace and form feed escaped by a backslash.
void append_escaped(std::string& out, std::string_view text);
// The value of an escaped TabSeparated field.
std::string unescape(std::string_view field);

// One TabSeparated field (as it stands in the stream, "\N" for NULL) as a cell of `type`.
// Throws DriverError when the text does not fit the type.
Cell parse_field(const ColumnType& type, std::string_view field);

// Appends a cell as a TabSeparated field for a column made by type_sql(type, features). Throws
// DriverError for a value such a column cannot hold.
void append_field(std::string& out, const Cell& cell, const ColumnType& type,
                  const ServerFeatures& features);

// ClickHouse array text ("['a\'b',NULL,[1,2]]") as a JSON array; nullopt when malformed.
std::optional<std::string> array_to_json(std::string_view text);

}  // namespace zyl::drivers::clickhouse
