#include "drivers/temporal.h"

#include <cstdio>
#include <cstdlib>

namespace zyl::drivers::temporal {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

bool read_int(std::string_view s, size_t& pos, size_t digits, int& out) {
  if (pos + digits > s.size()) return false;
  int v = 0;
  for (size_t i = 0; i < digits; ++i) {
    char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  pos += digits;
  out = v;
  return true;
}

bool parse_date_at(std::string_view s, size_t& pos, std::int64_t& days) {
  int y, m, d;
  bool negative = pos < s.size() && s[pos] == '-';
  if (negative) ++pos;
  size_t start = pos;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') ++pos;
  size_t year_digits = pos - start;
  if (year_digits < 4) return false;
  pos = start;
  if (!read_int(s, pos, year_digits, y)) return false;
  if (negative) y = -y;
  if (pos >= s.size() || s[pos] != '-') return false;
  ++pos;
  if (!read_int(s, pos, 2, m) || pos >= s.size() || s[pos] != '-') return false;
  ++pos;
  if (!read_int(s, pos, 2, d)) return false;
  if (m < 1 || m > 12 || d < 1 || d > 31) return false;
  days = days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
  return true;
}

bool parse_time_at(std::string_view s, size_t& pos, std::int64_t& micros) {
  int h, mi, sec = 0;
  if (!read_int(s, pos, 2, h) || pos >= s.size() || s[pos] != ':') return false;
  ++pos;
  if (!read_int(s, pos, 2, mi)) return false;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!read_int(s, pos, 2, sec)) return false;
  }
  std::int64_t frac = 0;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    std::int64_t scale = 100000;
    size_t digits = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      if (digits < 6) frac += (s[pos] - '0') * scale;
      scale /= 10;
      ++digits;
      ++pos;
    }
    if (digits == 0) return false;
  }
  if (h > 24 || mi > 59 || sec > 60) return false;
  micros = ((h * 60LL + mi) * 60LL + sec) * kMicrosPerSecond + frac;
  return true;
}

std::string two(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02u", v);
  return buf;
}

// Writes `v` (below 10^width) as exactly `width` digits at `out`; returns the end.
char* put_digits(char* out, unsigned v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return out + width;
}

}  // namespace

Civil civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int>(y + (m <= 2)), m, d};
}

std::int64_t days_from_civil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::string format_date(std::int64_t days) {
  Civil c = civil_from_days(days);
  char buf[32];
  if (c.year < 0 || c.year > 9999) {
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", c.year, c.month, c.day);
    return buf;
  }
  char* end = put_digits(buf, static_cast<unsigned>(c.year), 4);
  *end++ = '-';
  end = put_digits(end, c.month, 2);
  *end++ = '-';
  end = put_digits(end, c.day, 2);
  return std::string(buf, end);
}

std::string format_time(std::int64_t micros) {
  std::int64_t secs = micros / kMicrosPerSecond;
  std::int64_t frac = micros % kMicrosPerSecond;
  if (secs < 0 || frac < 0 || secs / 3600 > 99) {
    std::string out = two(static_cast<unsigned>(secs / 3600)) + ":" +
                      two(static_cast<unsigned>(secs / 60 % 60)) + ":" +
                      two(static_cast<unsigned>(secs % 60));
    if (frac != 0) {
      char buf[16];
      std::snprintf(buf, sizeof buf, ".%06lld", static_cast<long long>(frac));
      out += buf;
    }
    return out;
  }
  char buf[16];
  char* end = put_digits(buf, static_cast<unsigned>(secs / 3600), 2);
  *end++ = ':';
  end = put_digits(end, static_cast<unsigned>(secs / 60 % 60), 2);
  *end++ = ':';
  end = put_digits(end, static_cast<unsigned>(secs % 60), 2);
  if (frac != 0) {
    *end++ = '.';
    end = put_digits(end, static_cast<unsigned>(frac), 6);
  }
  return std::string(buf, end);
}

std::string format_timestamp(std::int64_t micros) {
  std::int64_t days = floor_div(micros, kMicrosPerDay);
  std::int64_t rest = micros - days * kMicrosPerDay;
  return format_date(days) + " " + format_time(rest);
}

std::string format_timestamptz(std::int64_t micros) { return format_timestamp(micros) + "+00"; }

std::optional<std::int64_t> parse_date(std::string_view text) {
  size_t pos = 0;
  std::int64_t days;
  if (!parse_date_at(text, pos, days) || pos != text.size()) return std::nullopt;
  return days;
}

std::optional<std::int64_t> parse_time(std::string_view text) {
  size_t pos = 0;
  std::int64_t micros;
  if (!parse_time_at(text, pos, micros) || pos != text.size()) return std::nullopt;
  return micros;
}

std::optional<std::int64_t> parse_timestamp(std::string_view text) {
  size_t pos = 0;
  std::int64_t days;
  if (!parse_date_at(text, pos, days)) return std::nullopt;
  std::int64_t micros = 0;
  if (pos < text.size() && (text[pos] == ' ' || text[pos] == 'T')) {
    ++pos;
    if (!parse_time_at(text, pos, micros)) return std::nullopt;
  }
  std::int64_t offset = 0;
  if (pos < text.size()) {
    char sign = text[pos];
    if (sign == 'Z' && pos + 1 == text.size()) {
      ++pos;
    } else if (sign == '+' || sign == '-') {
      ++pos;
      int oh = 0, om = 0;
      if (!read_int(text, pos, 2, oh)) return std::nullopt;
      if (pos < text.size() && text[pos] == ':') ++pos;
      if (pos < text.size() && !read_int(text, pos, 2, om)) return std::nullopt;
      offset = (oh * 60LL + om) * 60LL * kMicrosPerSecond * (sign == '-' ? -1 : 1);
    }
  }
  if (pos != text.size()) return std::nullopt;
  return days * kMicrosPerDay + micros - offset;
}

namespace {

std::string count_of(std::int64_t n, const char* unit) {
  return std::to_string(n) + " " + unit + (n == 1 || n == -1 ? "" : "s");
}

}  // namespace

std::string format_interval(std::int32_t months, std::int32_t days, std::int64_t micros) {
  std::string out;
  auto add = [&out](const std::string& part) { out += (out.empty() ? "" : " ") + part; };
  if (months / 12) add(count_of(months / 12, "year"));
  if (months % 12) add(count_of(months % 12, "month"));
  if (days) add(count_of(days, "day"));
  if (micros == 0 && !out.empty()) return out;
  // The time part may exceed a day (the parts are not folded into each other); hours are then
  // written beyond 24. The magnitude is taken unsigned so that the smallest value is safe.
  std::uint64_t magnitude =
      micros < 0 ? 0 - static_cast<std::uint64_t>(micros) : static_cast<std::uint64_t>(micros);
  std::uint64_t hours = magnitude / 3600000000ULL;
  std::string rest = format_time(static_cast<std::int64_t>(magnitude % 3600000000ULL));
  char head[32];
  std::snprintf(head, sizeof head, "%s%02llu", micros < 0 ? "-" : "",
                static_cast<unsigned long long>(hours));
  add(head + rest.substr(2));
  return out;
}

}  // namespace zyl::drivers::temporal
