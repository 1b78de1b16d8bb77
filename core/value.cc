#include "core/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace zyl {
namespace {

// Python-style repr of a double: the shortest round-trip digits, fixed notation for decimal
// exponents in [-4, 16), scientific otherwise.
std::string float_text(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string sci(buf, res.ptr);  // e.g. "-1.2345e+03"
  bool negative = !sci.empty() && sci[0] == '-';
  if (negative) sci.erase(0, 1);
  auto e_pos = sci.find('e');
  std::string mantissa = sci.substr(0, e_pos);
  int exponent = std::stoi(sci.substr(e_pos + 1));
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out;
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out = "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    } else if (static_cast<int>(digits.size()) <= exponent + 1) {
      out = digits + std::string(static_cast<size_t>(exponent + 1 - digits.size()), '0') + ".0";
    } else {
      out = digits.substr(0, static_cast<size_t>(exponent + 1)) + "." +
            digits.substr(static_cast<size_t>(exponent + 1));
    }
  } else {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char exp_buf[16];
    std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out += exp_buf;
  }
  return negative ? "-" + out : out;
}

std::string repr_string(const std::string& s) {
  // Python repr: single quotes unless the text holds a single quote and no double quote.
  char quote = (s.find('\'') != std::string::npos && s.find('"') == std::string::npos) ? '"' : '\'';
  std::string out(1, quote);
  for (char c : s) {
    if (c == quote || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  out += quote;
  return out;
}

std::string nested_text(const Value& v) {
  if (v.is_string()) return repr_string(v.get_ref<const std::string&>());
  return text_form(v);
}

}  // namespace

std::string text_form(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      return "None";
    case Value::value_t::string:
      return value.get_ref<const std::string&>();
    case Value::value_t::boolean:
      return value.get<bool>() ? "True" : "False";
    case Value::value_t::number_integer:
      return std::to_string(value.get<std::int64_t>());
    case Value::value_t::number_unsigned:
      return std::to_string(value.get<std::uint64_t>());
    case Value::value_t::number_float:
      return float_text(value.get<double>());
    case Value::value_t::array: {
      std::string out = "[";
      bool first = true;
      for (const auto& item : value) {
        if (!first) out += ", ";
        first = false;
        out += nested_text(item);
      }
      return out + "]";
    }
    case Value::value_t::object: {
      std::string out = "{";
      bool first = true;
      for (const auto& [k, item] : value.items()) {
        if (!first) out += ", ";
        first = false;
        out += repr_string(k) + ": " + nested_text(item);
      }
      return out + "}";
    }
    case Value::value_t::binary:
      return "<binary>";
  }
  return "";
}

bool is_set(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      return false;
    case Value::value_t::boolean:
      return value.get<bool>();
    case Value::value_t::number_integer:
      return value.get<std::int64_t>() != 0;
    case Value::value_t::number_unsigned:
      return value.get<std::uint64_t>() != 0;
    case Value::value_t::number_float:
      return value.get<double>() != 0.0;
    case Value::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Value::value_t::array:
    case Value::value_t::object:
    case Value::value_t::binary:
      return !value.empty();
  }
  return false;
}

bool is_set(const Value* value) { return value != nullptr && is_set(*value); }

const Value* find(const Value& map, std::string_view key) {
  if (!map.is_object()) return nullptr;
  auto it = map.find(key);
  return it == map.end() ? nullptr : &*it;
}

Value* find(Value& map, std::string_view key) {
  if (!map.is_object()) return nullptr;
  auto it = map.find(key);
  return it == map.end() ? nullptr : &*it;
}

const Value* lookup(const Value& map, std::initializer_list<std::string_view> keys) {
  for (auto key : keys) {
    if (const Value* v = find(map, key)) return v;
  }
  return nullptr;
}

std::string get_text(const Value& map, std::string_view key, std::string_view fallback) {
  const Value* v = find(map, key);
  if (v == nullptr || v->is_null()) return std::string(fallback);
  return text_form(*v);
}

std::optional<std::string> as_string(const Value* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace zyl
