// Calendar arithmetic shared by the drivers: days and microseconds since the Unix epoch to and
// from ISO-8601 text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zyl::drivers::temporal {

struct Civil {
  int year;
  unsigned month;
  unsigned day;
};

Civil civil_from_days(std::int64_t days);
std::int64_t days_from_civil(int year, unsigned month, unsigned day);

std::string format_date(std::int64_t days);                 // "2024-01-31"
std::string format_time(std::int64_t micros);               // "13:45:00" or "13:45:00.250000"
std::string format_timestamp(std::int64_t micros);          // "2024-01-31 13:45:00[.ffffff]"
std::string format_timestamptz(std::int64_t micros);        // the same in UTC with "+00"
// An interval with its three parts kept apart, in the text both DuckDB and PostgreSQL (in the
// IntervalStyle "postgres" the driver sets) read back to the same parts:
// "1 year 2 months -3 days -25:00:00.5"; a zero interval is "00:00:00".
std::string format_interval(std::int32_t months, std::int32_t days, std::int64_t micros);

// Parse ISO text; nullopt when the text is not of that form. Timestamps accept a "T" or a blank
// between date and time, optional fractional seconds and an optional offset ("Z", "+02",
// "+02:00", "-0530"), which is applied (the result is UTC).
std::optional<std::int64_t> parse_date(std::string_view text);
std::optional<std::int64_t> parse_time(std::string_view text);
std::optional<std::int64_t> parse_timestamp(std::string_view text);

}  // namespace zyl::drivers::temporal
