// Small text helpers shared by the modules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zyl::text {

bool starts_with(std::string_view s, std::string_view prefix);
bool ends_with(std::string_view s, std::string_view suffix);
std::string to_lower(std::string_view s);
std::string to_upper(std::string_view s);
std::string join(const std::vector<std::string>& parts, std::string_view separator);
// Replaces every occurrence of `from` (non-empty) in `s` by `to`, scanning left to right.
std::string replace_all(std::string_view s, std::string_view from, std::string_view to);
// The first `n` characters (UTF-8 code points) of `s`.
std::string prefix(std::string_view s, size_t n);
// Removes every occurrence of each secret (non-empty strings only) from `s`, replacing it by
// "****". Used before an error text reaches a message or a log line.
std::string redact(std::string_view s, const std::vector<std::string>& secrets);
// ISO-8601 text in UTC of `seconds` since the Unix epoch: "2024-01-31T13:45:00Z". Goes through
// the C library's time_t, which 32-bit builds make 64 bits wide, so times past 2038-01-19 hold.
std::string iso_utc(std::int64_t seconds);

}  // namespace zyl::text
