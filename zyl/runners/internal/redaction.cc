#include "zyl/runners/internal/redaction.h"

#include <algorithm>

#include "core/text.h"

namespace zyl::runners::internal {

bool is_secret_key(std::string_view key) {
  std::string lower = text::to_lower(key);
  // "password" contains "pass"; it is listed for the reader.
  for (std::string_view word : {"password", "pass", "token", "key", "secret"}) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

void Secrets::add(const Value& config) {
  if (config.is_object()) {
    for (const auto& [key, value] : config.items()) {
      if (is_secret_key(key)) {
        add_all_scalars(value);
      } else {
        add(value);
      }
    }
  } else if (config.is_array()) {
    for (const auto& item : config) add(item);
  }
}

void Secrets::add_all_scalars(const Value& value) {
  if (value.is_object() || value.is_array()) {
    for (const auto& item : value) add_all_scalars(item);
    return;
  }
  if (!value.is_string() && !value.is_number()) return;
  std::string text = text_form(value);
  if (text.empty()) return;
  if (std::find(values_.begin(), values_.end(), text) == values_.end()) values_.push_back(text);
}

std::string Secrets::redact(std::string_view text) const { return text::redact(text, values_); }

}  // namespace zyl::runners::internal
