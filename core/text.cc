#include "core/text.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace zyl::text {

bool starts_with(std::string_view s, std::string_view prefix) { return s.starts_with(prefix); }
bool ends_with(std::string_view s, std::string_view suffix) { return s.ends_with(suffix); }

std::string to_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string to_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

std::string replace_all(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

std::string prefix(std::string_view s, size_t n) {
  // Counts UTF-8 code points: a byte that is not a continuation byte starts a character.
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == n) return std::string(s.substr(0, i));
      ++chars;
    }
  }
  return std::string(s);
}

std::string redact(std::string_view s, const std::vector<std::string>& secrets) {
  std::vector<std::string> sorted;
  for (const auto& secret : secrets) {
    if (!secret.empty()) sorted.push_back(secret);
  }
  // Longest first, so a secret that contains another is removed whole.
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  std::string out(s);
  for (const auto& secret : sorted) out = replace_all(out, secret, "****");
  return out;
}

std::string iso_utc(std::int64_t seconds) {
  static_assert(sizeof(std::time_t) == 8, "time_t must be 64 bits (_TIME_BITS=64 on 32-bit)");
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&time, &tm) == nullptr) return "";
  char buffer[40];
  std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(buffer, n);
}

}  // namespace zyl::text
