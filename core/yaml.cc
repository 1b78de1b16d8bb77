#include "core/yaml.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace zyl::yaml {
namespace {

constexpr int kMaxDepth = 256;
// Aliases are shared in yaml-cpp's tree but copied into values, so a small file of nested
// aliases ("billion laughs") could expand without bound. Every node of a document without
// aliases takes at least one byte of text, so the values produced are capped relative to the
// text's size, with room for ordinary alias use.
size_t node_budget(size_t text_size) { return 100'000 + 2 * text_size; }

struct Budget {
  const std::string& source;
  size_t max_nodes;
  size_t nodes = 0;
};

bool all_of(std::string_view s, size_t from, bool (*pred)(char)) {
  if (from >= s.size()) return false;
  for (size_t i = from; i < s.size(); ++i) {
    if (!pred(s[i])) return false;
  }
  return true;
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_octal(char c) { return c >= '0' && c <= '7'; }
bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

Value integer_value(const std::string& digits, int base, bool negative, const std::string& text) {
  errno = 0;
  unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, base);
  if (errno == ERANGE) return Value(std::stod(text));
  if (negative) {
    if (magnitude > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()) + 1ULL) {
      return Value(-static_cast<double>(magnitude));
    }
    return Value(static_cast<std::int64_t>(0ULL - magnitude));
  }
  if (magnitude > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
    return Value(static_cast<std::uint64_t>(magnitude));
  }
  return Value(static_cast<std::int64_t>(magnitude));
}

bool is_core_float(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

Value convert(const YAML::Node& node, Budget& budget, int depth) {
  const std::string& source = budget.source;
  if (++budget.nodes > budget.max_nodes) {
    throw YamlError(source, 0, "document too large once aliases are expanded");
  }
  if (depth > kMaxDepth) {
    throw YamlError(source, node.Mark().line + 1, "document nested too deeply");
  }
  switch (node.Type()) {
    case YAML::NodeType::Undefined:
    case YAML::NodeType::Null:
      return Value(nullptr);
    case YAML::NodeType::Scalar: {
      const std::string& text = node.Scalar();
      const std::string& tag = node.Tag();
      if (tag == "!" || tag == "tag:yaml.org,2002:str") return Value(text);
      return resolve_plain_scalar(text);
    }
    case YAML::NodeType::Sequence: {
      Value out = Value::array();
      for (const auto& item : node) out.push_back(convert(item, budget, depth + 1));
      return out;
    }
    case YAML::NodeType::Map: {
      Value out = Value::object();
      for (const auto& kv : node) {
        std::string key = kv.first.IsScalar() ? kv.first.Scalar() : text_form(convert(kv.first, budget, depth + 1));
        out[key] = convert(kv.second, budget, depth + 1);
      }
      return out;
    }
  }
  return Value(nullptr);
}

}  // namespace

YamlError::YamlError(const std::string& source, int line, const std::string& message)
    : std::runtime_error(line > 0 ? source + ":" + std::to_string(line) + ": " + message
                                  : source + ": " + message),
      source_(source),
      line_(line) {}

Value resolve_plain_scalar(const std::string& s) {
  if (s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL") return Value(nullptr);
  if (s == "true" || s == "True" || s == "TRUE") return Value(true);
  if (s == "false" || s == "False" || s == "FALSE") return Value(false);
  bool negative = s[0] == '-';
  size_t start = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (all_of(s, start, is_digit)) return integer_value(s.substr(start), 10, negative, s);
  if (s.size() > 2 && s[0] == '0' && s[1] == 'o' && all_of(s, 2, is_octal)) {
    return integer_value(s.substr(2), 8, false, s);
  }
  if (s.size() > 2 && s[0] == '0' && s[1] == 'x' && all_of(s, 2, is_hex)) {
    return integer_value(s.substr(2), 16, false, s);
  }
  std::string_view body = std::string_view(s).substr(start);
  if (body == ".inf" || body == ".Inf" || body == ".INF") {
    return Value(negative ? -std::numeric_limits<double>::infinity()
                          : std::numeric_limits<double>::infinity());
  }
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return Value(std::numeric_limits<double>::quiet_NaN());
  if (is_core_float(s)) return Value(std::strtod(s.c_str(), nullptr));
  return Value(s);
}

Value parse(std::string_view text, std::string_view source_name) {
  std::string source(source_name);
  try {
    YAML::Node root = YAML::Load(std::string(text));
    Budget budget{source, node_budget(text.size())};
    return convert(root, budget, 0);
  } catch (const YAML::Exception& e) {
    throw YamlError(source, e.mark.is_null() ? 0 : e.mark.line + 1, e.msg);
  }
}

Value load_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read " + path.string());
  return parse(buffer.str(), path.string());
}

}  // namespace zyl::yaml
