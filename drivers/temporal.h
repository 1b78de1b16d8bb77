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

// Parse ISO text; nullopt when the text is not of that form. Timestamps accept a "T" or a blank
// between date and time, optional fractional seconds and an optional offset ("Z", "+02",
// "+02:00", "-0530"), which is applied (the result is UTC).
std::optional<std::int64_t> parse_date(std::string_view text);
std::optional<std::int64_t> parse_time(std::string_view text);
std::optional<std::int64_t> parse_timestamp(std::string_view text);

}  // namespace zyl::drivers::temporal
