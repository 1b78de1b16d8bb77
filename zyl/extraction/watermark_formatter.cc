#include "zyl/extraction/watermark_formatter.h"

#include <cmath>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "drivers/temporal.h"

namespace zyl::extraction::watermark_formatter {
namespace {

namespace temporal = drivers::temporal;

// How a dialect writes a temporal literal that compares with its timestamp and date columns.
enum class Temporal {
  kQuoted,     // '2024-01-31 13:45:00': the engine casts the string to the column's type
  kTyped,      // TIMESTAMP '...' / DATE '...': the engine does not cast strings implicitly
  kCast,       // CAST('...' AS DATETIME2) / CAST('...' AS DATE): language-independent parsing
  kClickHouse  // toDateTime64('...', 6, 'UTC') / toDate('...'): fractions and UTC are explicit
};

struct Dialect {
  Temporal temporal;
  bool keeps_offset;      // "+00" is accepted; otherwise the value is written in UTC without it
  bool backslash_escape;  // "\" escapes inside string literals and must be doubled
  bool numeric_booleans;  // 1/0 instead of TRUE/FALSE
};

// Adapter type -> dialect. Why each one:
//
// | type                       | timestamp literal                 | offset | "\" | booleans   |
// |----------------------------|-----------------------------------|--------|-----|------------|
// | duckdb, postgres, redshift | '2024-01-31 13:45:00[+00]'        | kept   |     | TRUE/FALSE |
// | snowflake                  | '2024-01-31 13:45:00[+00]'        | kept   | yes | TRUE/FALSE |
// | mysql, mariadb             | '2024-01-31 13:45:00' (UTC)       |        | yes | TRUE/FALSE |
// | sqlite                     | '2024-01-31 13:45:00' (UTC)       |        |     | 1/0        |
// | sqlserver                  | CAST('...' AS DATETIME2)          |        |     | 1/0        |
// | oracle                     | TIMESTAMP '...'                   |        |     | 1/0        |
// | trino                      | TIMESTAMP '...'                   |        |     | TRUE/FALSE |
// | clickhouse                 | toDateTime64('...', 6, 'UTC')     |        | yes | TRUE/FALSE |
// | bigquery, databricks       | '2024-01-31 13:45:00' (UTC)       |        | yes | TRUE/FALSE |
// | s3, gcs, azure, other, ""  | as duckdb (files are read by DuckDB)                      |
//
// A quoted string is the most forgiving literal where the engine casts it to the column's type
// (timestamp, timestamptz, datetime, date): it fits every one of them. SQLite keeps timestamps
// as text; the blank-separated form sorts before the "T" form of the same instant, so rows
// stored either way are never skipped (at worst read again). SQL Server's DATETIME parses
// 'YYYY-MM-DD hh:mm:ss' by the session's date format, DATETIME2 does not. Trino and Oracle
// compare a timestamp with a string only through an explicit literal. MySQL and SQL Server do
// not accept an offset everywhere, so those dialects get the instant in UTC.
const Dialect kStandard{Temporal::kQuoted, true, false, false};

const std::map<std::string, Dialect, std::less<>>& dialects() {
  static const std::map<std::string, Dialect, std::less<>> table = {
      {"duckdb", kStandard},
      {"postgres", kStandard},
      {"redshift", kStandard},
      {"snowflake", {Temporal::kQuoted, true, true, false}},
      {"mysql", {Temporal::kQuoted, false, true, false}},
      {"mariadb", {Temporal::kQuoted, false, true, false}},
      {"sqlite", {Temporal::kQuoted, false, false, true}},
      {"sqlserver", {Temporal::kCast, false, false, true}},
      {"oracle", {Temporal::kTyped, false, false, true}},
      {"trino", {Temporal::kTyped, false, false, false}},
      {"clickhouse", {Temporal::kClickHouse, false, true, false}},
      {"bigquery", {Temporal::kQuoted, false, true, false}},
      {"databricks", {Temporal::kQuoted, false, true, false}},
  };
  return table;
}

const Dialect& dialect_for(std::string_view source_type) {
  auto it = dialects().find(source_type);
  return it == dialects().end() ? kStandard : it->second;
}

std::string quote(std::string_view text, const Dialect& dialect) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    if (c == '\\' && dialect.backslash_escape) out += '\\';
    out += c;
  }
  out += '\'';
  return out;
}

// A temporal value read from text: whole days or microseconds since the epoch (UTC when the
// text carried an offset).
struct Instant {
  bool date_only = false;
  bool had_offset = false;
  std::int64_t days = 0;
  std::int64_t micros = 0;
};

std::optional<Instant> parse_instant(std::string_view text) {
  Instant out;
  if (auto days = temporal::parse_date(text)) {
    out.date_only = true;
    out.days = *days;
    return out;
  }
  auto micros = temporal::parse_timestamp(text);
  if (!micros) return std::nullopt;
  out.micros = *micros;
  // The offset follows the time part; a "-" before it belongs to the date.
  std::size_t time_at = text.find_first_of(" T");
  out.had_offset = (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) ||
                   (time_at != std::string_view::npos &&
                    text.find_first_of("+-", time_at) != std::string_view::npos) ||
                   text.find('+') != std::string_view::npos;
  return out;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::string temporal_literal(const Instant& instant, bool as_date, const Dialect& dialect) {
  constexpr std::int64_t kMicrosPerDay = 86'400'000'000;
  bool date = instant.date_only || as_date;
  std::string body;
  if (date) {
    body = temporal::format_date(instant.date_only ? instant.days
                                                   : floor_div(instant.micros, kMicrosPerDay));
  } else if (instant.had_offset && dialect.keeps_offset) {
    body = temporal::format_timestamptz(instant.micros);
  } else {
    body = temporal::format_timestamp(instant.micros);
  }
  std::string quoted = quote(body, dialect);
  switch (dialect.temporal) {
    case Temporal::kQuoted:
      return quoted;
    case Temporal::kTyped:
      return (date ? "DATE " : "TIMESTAMP ") + quoted;
    case Temporal::kCast:
      return "CAST(" + quoted + (date ? " AS DATE)" : " AS DATETIME2)");
    case Temporal::kClickHouse:
      return date ? "toDate(" + quoted + ")" : "toDateTime64(" + quoted + ", 6, 'UTC')";
  }
  return quoted;
}

std::string number_literal(const Value& value) {
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!std::isfinite(d)) throw std::invalid_argument("watermark value is not a finite number");
  }
  return text_form(value);
}

// Whether `text` is a plain decimal number: optional sign, digits, optional fraction, optional
// exponent.
bool is_decimal_text(std::string_view text) {
  std::size_t i = 0, n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == n;
}

}  // namespace

std::string format_watermark(const Value& value, const std::string& source_type,
                             const std::string& kind) {
  if (kind != "timestamp" && kind != "date" && kind != "number" && kind != "string") {
    throw std::invalid_argument("unknown watermark kind '" + kind + "'");
  }
  if (value.is_object() || value.is_array()) {
    throw std::invalid_argument("a watermark value must be a single value, not a list or map");
  }
  const Dialect& dialect = dialect_for(source_type);
  if (value.is_null()) return "NULL";
  if (kind == "string") return quote(text_form(value), dialect);
  if (value.is_boolean()) {
    if (kind == "number" || dialect.numeric_booleans) return value.get<bool>() ? "1" : "0";
    return value.get<bool>() ? "TRUE" : "FALSE";
  }
  if (value.is_number()) return number_literal(value);

  const std::string& text = value.get_ref<const std::string&>();
  if (kind == "number") {
    if (!is_decimal_text(text)) {
      throw std::invalid_argument("watermark value is not a number");
    }
    return text;
  }
  if (auto instant = parse_instant(text)) {
    return temporal_literal(*instant, kind == "date", dialect);
  }
  return quote(text, dialect);
}

}  // namespace zyl::extraction::watermark_formatter
