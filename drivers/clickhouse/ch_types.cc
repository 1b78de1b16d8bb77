#include "drivers/clickhouse/ch_types.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/text.h"
#include "drivers/json_array.h"
#include "drivers/temporal.h"

namespace zyl::drivers::clickhouse {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// The text between the parentheses of `name` when it is `wrapper(...)`.
std::optional<std::string_view> inside(std::string_view name, std::string_view wrapper) {
  if (name.size() < wrapper.size() + 2 || name.substr(0, wrapper.size()) != wrapper ||
      name[wrapper.size()] != '(' || name.back() != ')') {
    return std::nullopt;
  }
  return trim(name.substr(wrapper.size() + 1, name.size() - wrapper.size() - 2));
}

// The arguments of a type, split at the top-level commas outside quotes.
std::vector<std::string_view> arguments(std::string_view args) {
  std::vector<std::string_view> out;
  int depth = 0;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    char c = args[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '\'') quoted = false;
    } else if (c == '\'') {
      quoted = true;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      --depth;
    } else if (c == ',' && depth == 0) {
      out.push_back(trim(args.substr(start, i - start)));
      start = i + 1;
    }
  }
  out.push_back(trim(args.substr(start)));
  return out;
}

int number(std::string_view text) { return std::atoi(std::string(text).c_str()); }

std::string unquote(std::string_view text) {
  if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') {
    return unescape(text.substr(1, text.size() - 2));
  }
  return std::string(text);
}

ColumnType make(TypeId id, std::string_view native) {
  ColumnType type;
  type.id = id;
  type.native = std::string(native);
  return type;
}

ColumnType decimal(std::string_view native, int precision, int scale) {
  ColumnType type = make(TypeId::Decimal, native);
  type.precision = precision;
  type.scale = scale;
  return type;
}

std::optional<ColumnType> plan_decimal(std::string_view name) {
  if (auto args = inside(name, "Decimal")) {
    auto parts = arguments(*args);
    return decimal(name, number(parts[0]), parts.size() > 1 ? number(parts[1]) : 0);
  }
  static const std::pair<std::string_view, int> kSized[] = {
      {"Decimal32", 9}, {"Decimal64", 18}, {"Decimal128", 38}, {"Decimal256", 76}};
  for (const auto& [family, precision] : kSized) {
    if (auto scale = inside(name, family)) return decimal(name, precision, number(*scale));
  }
  return std::nullopt;
}

std::optional<ColumnType> plan_plain(std::string_view name) {
  static const std::pair<std::string_view, TypeId> kPlain[] = {
      {"Int8", TypeId::Int8},       {"Int16", TypeId::Int16},     {"Int32", TypeId::Int32},
      {"Int64", TypeId::Int64},     {"UInt8", TypeId::UInt8},     {"UInt16", TypeId::UInt16},
      {"UInt32", TypeId::UInt32},   {"UInt64", TypeId::UInt64},   {"Int128", TypeId::HugeInt},
      {"UInt128", TypeId::UHugeInt}, {"Float32", TypeId::Float32}, {"Float64", TypeId::Float64},
      {"Bool", TypeId::Boolean},    {"String", TypeId::String},   {"UUID", TypeId::Uuid},
      {"Date", TypeId::Date},       {"Date32", TypeId::Date},     {"DateTime", TypeId::Timestamp},
  };
  for (const auto& [family, id] : kPlain) {
    if (name == family) return make(id, name);
  }
  if (name == "Int256") return decimal(name, 76, 0);
  if (name == "UInt256") return decimal(name, 78, 0);
  return std::nullopt;
}

template <typename T>
T parse_number(std::string_view text, const char* what) {
  T value{};
  auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) {
    throw DriverError("clickhouse: cannot read '" + std::string(text) + "' as " + what);
  }
  return value;
}

double parse_float(std::string_view text) {
  if (text == "inf" || text == "+inf") return HUGE_VAL;
  if (text == "-inf") return -HUGE_VAL;
  if (text == "nan" || text == "-nan") return std::nan("");
  return parse_number<double>(text, "a number");
}

// `text` with exactly `scale` digits after the point (newer servers drop trailing zeros).
std::string canonical_decimal(std::string_view text, int scale) {
  std::string out(text);
  size_t point = out.find('.');
  int have = point == std::string::npos ? 0 : static_cast<int>(out.size() - point - 1);
  if (scale > 0 && point == std::string::npos) out += '.';
  if (have < scale) out.append(static_cast<size_t>(scale - have), '0');
  return out;
}

// Older servers print the first day and second of their range, the epoch, as zeros.
bool zero_date(std::string_view text) {
  return text == "0000-00-00" || text == "0000-00-00 00:00:00";
}

Cell parse_scalar(const ColumnType& type, std::string_view text) {
  switch (type.id) {
    case TypeId::Boolean: return text == "true" || text == "1";
    case TypeId::Int8:
    case TypeId::Int16:
    case TypeId::Int32:
    case TypeId::Int64:
    case TypeId::UInt8:
    case TypeId::UInt16:
    case TypeId::UInt32: return parse_number<std::int64_t>(text, "an integer");
    case TypeId::UInt64: return parse_number<std::uint64_t>(text, "an unsigned integer");
    case TypeId::Float32:
    case TypeId::Float64: return parse_float(text);
    case TypeId::Decimal: return canonical_decimal(text, type.scale);
    case TypeId::Date:
      if (zero_date(text)) return std::int64_t{0};
      if (auto days = temporal::parse_date(text)) return *days;
      break;
    case TypeId::Timestamp:
    case TypeId::TimestampTz:
      if (zero_date(text)) return std::int64_t{0};
      if (auto micros = temporal::parse_timestamp(text)) return *micros;
      break;
    case TypeId::List:
      if (auto json = array_to_json(text)) return *json;
      break;
    default: return unescape(text);
  }
  throw DriverError("clickhouse: cannot read '" + std::string(text) + "' as " +
                    std::string(type_name(type.id)));
}

std::string sized_decimal(const ColumnType& type, const ServerFeatures& features) {
  int limit = features.wide_types ? 76 : 38;
  if (type.precision <= 0 || type.precision > limit) return "String";
  return "Decimal(" + std::to_string(type.precision) + ", " + std::to_string(type.scale) + ")";
}

std::string base_type_sql(const ColumnType& type, const ServerFeatures& features) {
  bool wide = features.wide_types;
  switch (type.id) {
    case TypeId::Boolean: return wide ? "Bool" : "UInt8";
    case TypeId::Int8: return "Int8";
    case TypeId::Int16: return "Int16";
    case TypeId::Int32: return "Int32";
    case TypeId::Int64: return "Int64";
    case TypeId::UInt8: return "UInt8";
    case TypeId::UInt16: return "UInt16";
    case TypeId::UInt32: return "UInt32";
    case TypeId::UInt64: return "UInt64";
    case TypeId::HugeInt: return wide ? "Int128" : "String";
    case TypeId::UHugeInt: return wide ? "UInt128" : "String";
    case TypeId::Float32: return "Float32";
    case TypeId::Float64: return "Float64";
    case TypeId::Decimal: return sized_decimal(type, features);
    case TypeId::Date: return wide ? "Date32" : "Date";
    case TypeId::Timestamp: return wide ? "DateTime64(6)" : "DateTime";
    case TypeId::TimestampTz: return wide ? "DateTime64(6, 'UTC')" : "DateTime('UTC')";
    case TypeId::Uuid: return "UUID";
    default: return "String";  // String, Blob, Time, Interval, Json
  }
}

// Whether a date or a timestamp fits the column type_sql gives it; the error names the range.
void check_range(std::int64_t value, const ColumnType& type, const ServerFeatures& features) {
  bool is_date = type.id == TypeId::Date;
  std::int64_t micros = is_date ? value * kMicrosPerDay + kMicrosPerDay - 1 : value;
  // Date32 and DateTime64 hold 1900-01-01 to 2299-12-31; Date and DateTime of 18.16 hold
  // 1970-01-01 to 2105-12-31 (newer servers a little more).
  std::int64_t low =
      features.wide_types ? temporal::days_from_civil(1900, 1, 1) * kMicrosPerDay : 0;
  std::int64_t high =
      temporal::days_from_civil(features.wide_types ? 2300 : 2106, 1, 1) * kMicrosPerDay - 1;
  std::string text = is_date ? temporal::format_date(value) : temporal::format_timestamp(value);
  if (micros < low || micros > high) {
    throw DriverError("clickhouse: " + text + " is outside the range of a " +
                      base_type_sql(type, features) + " column");
  }
  if (!is_date && !features.wide_types && value % kMicrosPerSecond != 0) {
    throw DriverError("clickhouse: " + text +
                      " has a fraction of a second, which a DateTime column of this server "
                      "(no DateTime64) cannot hold");
  }
}

void append_scalar(std::string& out, const Cell& cell, const ColumnType& type,
                   const ServerFeatures& features) {
  if (const bool* b = std::get_if<bool>(&cell)) {
    out += *b ? '1' : '0';
  } else if (const auto* u = std::get_if<std::uint64_t>(&cell)) {
    out += std::to_string(*u);
  } else if (const double* d = std::get_if<double>(&cell)) {
    if (std::isnan(*d)) {
      out += "nan";
    } else if (std::isinf(*d)) {
      out += *d > 0 ? "inf" : "-inf";
    } else {
      char buf[32];
      auto res = std::to_chars(buf, buf + sizeof buf, *d);
      out.append(buf, res.ptr);
    }
  } else {
    std::int64_t v = std::get<std::int64_t>(cell);
    switch (type.id) {
      case TypeId::Date:
        check_range(v, type, features);
        out += temporal::format_date(v);
        break;
      case TypeId::Timestamp:
      case TypeId::TimestampTz:
        check_range(v, type, features);
        out += temporal::format_timestamp(v);
        break;
      case TypeId::Time: out += temporal::format_time(v); break;
      default: out += std::to_string(v);
    }
  }
}

// Reads ClickHouse array text and writes the JSON array it stands for.
class ArrayReader {
 public:
  explicit ArrayReader(std::string_view in) : in_(in) {}

  std::optional<std::string> run() {
    if (!array() || pos_ != in_.size()) return std::nullopt;
    return std::move(out_);
  }

 private:
  bool peek(char c) const { return pos_ < in_.size() && in_[pos_] == c; }

  bool array() {
    if (!peek('[')) return false;
    ++pos_;
    out_ += '[';
    if (peek(']')) {
      ++pos_;
      out_ += ']';
      return true;
    }
    for (;;) {
      if (!value()) return false;
      if (peek(',')) {
        ++pos_;
        out_ += ',';
        continue;
      }
      if (!peek(']')) return false;
      ++pos_;
      out_ += ']';
      return true;
    }
  }

  bool value() {
    if (peek('[')) return array();
    if (peek('\'')) return string();
    size_t start = pos_;
    while (pos_ < in_.size() && in_[pos_] != ',' && in_[pos_] != ']') ++pos_;
    std::string_view token = in_.substr(start, pos_ - start);
    if (token.empty()) return false;
    if (token == "NULL") {
      out_ += "null";
    } else if (token == "inf" || token == "-inf" || token == "nan" || token == "-nan") {
      out_ += '"' + std::string(token) + '"';  // JSON has no such numbers
    } else {
      out_ += token;
    }
    return true;
  }

  bool string() {
    size_t start = ++pos_;
    while (pos_ < in_.size() && in_[pos_] != '\'') pos_ += in_[pos_] == '\\' ? 2 : 1;
    if (pos_ >= in_.size()) return false;
    std::string text = unescape(in_.substr(start, pos_ - start));
    ++pos_;
    out_ += Value(text).dump(-1, ' ', false, Value::error_handler_t::replace);
    return true;
  }

  std::string_view in_;
  size_t pos_ = 0;
  std::string out_;
};

}  // namespace

ServerFeatures features_of(std::string_view version) {
  ServerFeatures features;
  features.wide_types = number(version.substr(0, version.find('.'))) >= 22;
  return features;
}

ColumnType plan_type(std::string_view native) {
  native = trim(native);
  for (std::string_view wrapper : {"Nullable", "LowCardinality"}) {
    if (auto inner = inside(native, wrapper)) {
      ColumnType type = plan_type(*inner);
      type.native = std::string(native);
      return type;
    }
  }
  if (auto inner = inside(native, "Array")) {
    ColumnType type = make(TypeId::List, native);
    type.element.push_back(plan_type(*inner));
    return type;
  }
  if (auto length = inside(native, "FixedString")) {
    ColumnType type = make(TypeId::String, native);
    type.length = number(*length);
    type.fixed_length = true;
    return type;
  }
  if (auto decimal_type = plan_decimal(native)) return *decimal_type;
  if (auto plain = plan_plain(native)) return *plain;
  if (time_zone_of(native)) return make(TypeId::TimestampTz, native);
  if (inside(native, "DateTime64")) return make(TypeId::Timestamp, native);
  return make(TypeId::String, native);  // Enum8/16 (its labels), IPv4, Tuple, Map, ...
}

std::optional<std::string> time_zone_of(std::string_view native) {
  native = trim(native);
  if (auto inner = inside(native, "Nullable")) return time_zone_of(*inner);
  if (auto args = inside(native, "DateTime")) return unquote(*args);
  if (auto args = inside(native, "DateTime64")) {
    auto parts = arguments(*args);
    if (parts.size() > 1) return unquote(parts[1]);
  }
  return std::nullopt;
}

std::string type_sql(const ColumnType& type, const ServerFeatures& features) {
  if (type.id == TypeId::List) {
    ColumnType element = type.element.empty() ? ColumnType{} : type.element.front();
    return "Array(" + type_sql(element, features) + ")";
  }
  return "Nullable(" + base_type_sql(type, features) + ")";
}

std::string not_null(std::string_view type_sql) {
  if (auto inner = inside(type_sql, "Nullable")) return std::string(*inner);
  return std::string(type_sql);
}

void append_escaped(std::string& out, std::string_view text) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    const char* escape = c == '\\'   ? "\\\\"
                         : c == '\t' ? "\\t"
                         : c == '\n' ? "\\n"
                         : c == '\r' ? "\\r"
                         : c == '\0' ? "\\0"
                         : c == '\b' ? "\\b"
                         : c == '\f' ? "\\f"
                                     : nullptr;
    if (!escape) continue;
    out.append(text.data() + start, i - start);
    out += escape;
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

std::string unescape(std::string_view field) {
  if (field.find('\\') == std::string_view::npos) return std::string(field);
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c != '\\' || i + 1 == field.size()) {
      out += c;
      continue;
    }
    char e = field[++i];
    switch (e) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case '0': out += '\0'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'a': out += '\a'; break;
      case 'v': out += '\v'; break;
      case 'x':
        if (i + 2 < field.size()) {
          out += static_cast<char>(std::strtol(std::string(field.substr(i + 1, 2)).c_str(),
                                               nullptr, 16));
          i += 2;
          break;
        }
        [[fallthrough]];
      default: out += e;  // \\, \', and any other character stands for itself
    }
  }
  return out;
}

Cell parse_field(const ColumnType& type, std::string_view field) {
  if (field == "\\N") return std::monostate{};
  return parse_scalar(type, field);
}

void append_field(std::string& out, const Cell& cell, const ColumnType& type,
                  const ServerFeatures& features) {
  if (std::holds_alternative<std::monostate>(cell)) {
    if (type.id == TypeId::List) {
      throw DriverError("clickhouse: a NULL list cannot be stored: ClickHouse arrays are never "
                        "NULL (make it an empty list in the model)");
    }
    out += "\\N";
    return;
  }
  const auto* s = std::get_if<std::string>(&cell);
  if (!s) return append_scalar(out, cell, type, features);
  if (type.id == TypeId::List) {
    auto array = json_array_to(*s, kClickHouseArray);
    if (!array) throw DriverError("clickhouse: '" + *s + "' is not a JSON array");
    out += *array;  // array fields stand in the stream unescaped
    return;
  }
  append_escaped(out, *s);
}

std::optional<std::string> array_to_json(std::string_view text) {
  return ArrayReader(text).run();
}

}  // namespace zyl::drivers::clickhouse
