#include "drivers/postgres/pg_types.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <span>
#include <vector>

#include "core/text.h"
#include "drivers/json_array.h"
#include "drivers/temporal.h"

namespace zyl::drivers::postgres {
namespace {

// Days and microseconds between 1970-01-01 and PostgreSQL's epoch, 2000-01-01.
constexpr std::int64_t kEpochDays = 10957;
constexpr std::int64_t kEpochMicros = kEpochDays * 86400LL * 1000000LL;

struct TypeRow {
  Oid oid;
  const char* native;
  TypeId id;
};

// The one table of server types the driver reads natively. Every other type goes through
// plan_column's casts.
constexpr TypeRow kTypes[] = {
    {16, "boolean", TypeId::Boolean},
    {17, "bytea", TypeId::Blob},
    {18, "\"char\"", TypeId::String},
    {19, "name", TypeId::String},
    {20, "bigint", TypeId::Int64},
    {21, "smallint", TypeId::Int16},
    {23, "integer", TypeId::Int32},
    {25, "text", TypeId::String},
    {26, "oid", TypeId::UInt32},
    {114, "json", TypeId::Json},
    {700, "real", TypeId::Float32},
    {701, "double precision", TypeId::Float64},
    {1042, "character", TypeId::String},
    {1043, "character varying", TypeId::String},
    {1082, "date", TypeId::Date},
    {1083, "time", TypeId::Time},
    {1114, "timestamp", TypeId::Timestamp},
    {1184, "timestamptz", TypeId::TimestampTz},
    {1186, "interval", TypeId::Interval},
    {1700, "numeric", TypeId::Decimal},
    {2950, "uuid", TypeId::Uuid},
    {3802, "jsonb", TypeId::Json},
};

// Read as text by the server: their binary forms are not worth decoding here.
constexpr TypeRow kTextTypes[] = {
    {1266, "timetz", TypeId::String}, {790, "money", TypeId::String},
    {142, "xml", TypeId::String},     {869, "inet", TypeId::String},
    {650, "cidr", TypeId::String},    {829, "macaddr", TypeId::String},
    {1560, "bit", TypeId::String},    {1562, "varbit", TypeId::String},
};

const TypeRow* find_row(const TypeRow* begin, const TypeRow* end, Oid oid) {
  for (const TypeRow* r = begin; r != end; ++r) {
    if (r->oid == oid) return r;
  }
  return nullptr;
}

std::uint16_t be16(const char* p) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(p[0]) << 8) |
                                    static_cast<unsigned char>(p[1]));
}
std::uint32_t be32(const char* p) {
  return (std::uint32_t{be16(p)} << 16) | be16(p + 2);
}
std::uint64_t be64(const char* p) { return (std::uint64_t{be32(p)} << 32) | be32(p + 4); }

void need(size_t size, size_t want, const char* what) {
  if (size != want) {
    throw DriverError(std::string("postgres: malformed binary ") + what + " value");
  }
}

void append_double(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
  } else if (std::isinf(d)) {
    out += d > 0 ? "Infinity" : "-Infinity";
  } else {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, d);
    out.append(buf, res.ptr);
  }
}

template <typename T>
void append_integer(std::string& out, T v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

// The plain text of a non-null cell as the server's input functions read it (no escaping).
void append_plain(std::string& out, const Cell& cell, const ColumnType& type) {
  switch (cell.index()) {
    case 1: out += std::get<bool>(cell) ? "t" : "f"; return;
    case 2: {
      std::int64_t v = std::get<std::int64_t>(cell);
      switch (type.id) {
        case TypeId::Date: out += temporal::format_date(v); return;
        case TypeId::Time: out += temporal::format_time(v); return;
        case TypeId::Timestamp: out += temporal::format_timestamp(v); return;
        case TypeId::TimestampTz: out += temporal::format_timestamptz(v); return;
        default: append_integer(out, v); return;
      }
    }
    case 3: append_integer(out, std::get<std::uint64_t>(cell)); return;
    case 4: append_double(out, std::get<double>(cell)); return;
    default: out += std::get<std::string>(cell); return;
  }
}

void append_hex(std::string& out, std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
}

}  // namespace

std::string array_literal(std::string_view json) {
  return json_array_to(json, kPostgresArray)
      .value_or(std::string(json));  // else the server refuses
}

bool known_oid(Oid oid) {
  return find_row(std::begin(kTypes), std::end(kTypes), oid) ||
         find_row(std::begin(kTextTypes), std::end(kTextTypes), oid);
}

ColumnPlan plan_column(Oid oid, int typmod, char typtype, char typcategory,
                       std::string_view typname, Oid element) {
  ColumnPlan plan;
  plan.oid = oid;
  if (const TypeRow* row = find_row(std::begin(kTypes), std::end(kTypes), oid)) {
    plan.type.id = row->id;
    plan.type.native = row->native;
    if (oid == 1700 && typmod >= 4) {
      plan.type.precision = ((typmod - 4) >> 16) & 0xffff;
      plan.type.scale = (typmod - 4) & 0xffff;
      plan.type.native += "(" + std::to_string(plan.type.precision) + "," +
                          std::to_string(plan.type.scale) + ")";
    } else if ((oid == 1042 || oid == 1043) && typmod >= 4) {
      plan.type.length = typmod - 4;
      plan.type.fixed_length = oid == 1042;
      plan.type.native += "(" + std::to_string(plan.type.length) + ")";
    } else if (oid == 1042) {
      plan.type.fixed_length = true;  // bare "bpchar"
    }
    return plan;
  }
  plan.oid = 25;
  if (const TypeRow* row = find_row(std::begin(kTextTypes), std::end(kTextTypes), oid)) {
    plan.type.id = row->id;
    plan.type.native = row->native;
    plan.read = Read::AsText;
    return plan;
  }
  plan.type.native = std::string(typname);
  if (typcategory == 'A') {
    // An array's typmod is its element's. Elements of types the tables do not know are text.
    plan.type.id = TypeId::List;
    plan.type.element.push_back(plan_column(element, typmod, 0, 0, "", 0).type);
    plan.read = Read::AsJson;
  } else {
    // Enums, domains, ranges, composites, geometric and extension types: their text form.
    plan.type.id = TypeId::String;
    plan.read = Read::AsText;
  }
  (void)typtype;
  return plan;
}

std::string type_sql(const ColumnType& type, bool redshift) {
  switch (type.id) {
    case TypeId::Boolean: return "boolean";
    case TypeId::Int8:
    case TypeId::Int16:
    case TypeId::UInt8: return "smallint";
    case TypeId::Int32:
    case TypeId::UInt16: return "integer";
    case TypeId::Int64:
    case TypeId::UInt32: return "bigint";
    case TypeId::UInt64: return "numeric(20,0)";
    case TypeId::HugeInt:
    case TypeId::UHugeInt:
      return redshift ? "numeric(38,0)" : "numeric(39,0)";
    case TypeId::Float32: return "real";
    case TypeId::Float64: return "double precision";
    case TypeId::Decimal:
      // DuckDB's widest decimal is what an unbounded numeric (or a sum) becomes in the cache;
      // it goes back as numeric without a typmod, which holds every such value.
      if (type.precision <= 0 || (type.precision == 38 && !redshift)) {
        return redshift ? "numeric(38,10)" : "numeric";
      }
      return "numeric(" + std::to_string(type.precision) + "," + std::to_string(type.scale) + ")";
    case TypeId::String:
      if (type.length > 0) {
        return std::string(type.fixed_length ? "char(" : "varchar(") +
               std::to_string(type.length) + ")";
      }
      return redshift ? "varchar(65535)" : "text";
    case TypeId::Blob: return redshift ? "varbyte" : "bytea";
    case TypeId::Date: return "date";
    case TypeId::Time: return "time";
    case TypeId::Timestamp: return "timestamp";
    case TypeId::TimestampTz: return "timestamptz";
    case TypeId::Interval: return redshift ? "varchar(64)" : "interval";
    case TypeId::Uuid: return redshift ? "char(36)" : "uuid";
    case TypeId::Json: return redshift ? "super" : "jsonb";
    case TypeId::List:
      // Redshift has no arrays: the JSON text.
      if (redshift || type.element.empty()) return redshift ? "varchar(65535)" : "text[]";
      return type_sql(type.element.front(), false) + "[]";
  }
  return "text";
}

std::string numeric_to_text(const char* data, size_t size) {
  if (size < 8) throw DriverError("postgres: malformed binary numeric value");
  int ndigits = static_cast<std::int16_t>(be16(data));
  int weight = static_cast<std::int16_t>(be16(data + 2));
  std::uint16_t sign = be16(data + 4);
  int dscale = be16(data + 6);
  if (ndigits < 0 || size != 8 + 2 * static_cast<size_t>(ndigits)) {
    throw DriverError("postgres: malformed binary numeric value");
  }
  if (sign == 0xC000) return "NaN";
  if (sign == 0xD000) return "Infinity";
  if (sign == 0xF000) return "-Infinity";
  auto digit = [&](int i) -> int { return i >= 0 && i < ndigits ? be16(data + 8 + 2 * i) : 0; };

  // Each base-10000 digit is four decimal digits; the leading one drops its leading zeros.
  auto put_group = [](std::string& to, int group, bool pad) {
    char four[4];
    for (int i = 3; i >= 0; --i, group /= 10) four[i] = static_cast<char>('0' + group % 10);
    int from = 0;
    if (!pad) {
      while (from < 3 && four[from] == '0') ++from;
    }
    to.append(four + from, 4 - from);
  };
  std::string out;
  out.reserve(2 + 4 * static_cast<size_t>(std::max(weight + 1, 1)) + dscale + 4);
  if (sign == 0x4000) out += '-';
  if (weight < 0) {
    out += '0';
  } else {
    for (int i = 0; i <= weight; ++i) put_group(out, digit(i), i != 0);
  }
  if (dscale > 0) {
    out += '.';
    size_t start = out.size();
    for (int i = weight + 1; static_cast<int>(out.size() - start) < dscale; ++i) {
      put_group(out, digit(i), true);
    }
    out.resize(start + dscale);
  }
  if (out == "-0" || (out.size() > 1 && out[0] == '-' && out.find_first_not_of("-0.") ==
                                                            std::string::npos)) {
    out.erase(0, 1);  // negative zero prints as zero
  }
  return out;
}

Cell decode_binary(Oid oid, const char* data, size_t size) {
  switch (oid) {
    case 16: need(size, 1, "boolean"); return data[0] != 0;
    case 21:
      need(size, 2, "smallint");
      return std::int64_t{static_cast<std::int16_t>(be16(data))};
    case 23:
      need(size, 4, "integer");
      return std::int64_t{static_cast<std::int32_t>(be32(data))};
    case 26: need(size, 4, "oid"); return std::int64_t{be32(data)};
    case 20: need(size, 8, "bigint"); return static_cast<std::int64_t>(be64(data));
    case 700: {
      need(size, 4, "real");
      std::uint32_t bits = be32(data);
      float f;
      std::memcpy(&f, &bits, 4);
      return static_cast<double>(f);
    }
    case 701: {
      need(size, 8, "double precision");
      std::uint64_t bits = be64(data);
      double d;
      std::memcpy(&d, &bits, 8);
      return d;
    }
    case 1082:
      need(size, 4, "date");
      return std::int64_t{static_cast<std::int32_t>(be32(data))} + kEpochDays;
    case 1083: need(size, 8, "time"); return static_cast<std::int64_t>(be64(data));
    case 1114:
    case 1184: {
      need(size, 8, "timestamp");
      std::int64_t v = static_cast<std::int64_t>(be64(data));
      // +-infinity keep their sentinels rather than wrapping around.
      if (v == INT64_MAX || v == INT64_MIN) return v;
      return v + kEpochMicros;
    }
    case 1700: return numeric_to_text(data, size);
    case 1186:
      need(size, 16, "interval");
      return temporal::format_interval(static_cast<std::int32_t>(be32(data + 12)),
                                       static_cast<std::int32_t>(be32(data + 8)),
                                       static_cast<std::int64_t>(be64(data)));
    case 2950: {
      need(size, 16, "uuid");
      std::string out;
      out.reserve(36);
      for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        append_hex(out, std::string_view(data + i, 1));
      }
      return out;
    }
    case 3802:
      // jsonb's binary form is a version byte followed by the JSON text.
      if (size < 1 || data[0] != 1) throw DriverError("postgres: unsupported jsonb version");
      return std::string(data + 1, size - 1);
    default:
      // bytea, text-like types and everything cast to text: the raw bytes.
      return std::string(data, size);
  }
}

void append_copy_text(std::string& out, const Cell& cell, const ColumnType& type) {
  if (type.id == TypeId::Blob && std::holds_alternative<std::string>(cell)) {
    out += "\\\\x";  // the COPY escape of the backslash in bytea's "\x" hex form
    append_hex(out, std::get<std::string>(cell));
    return;
  }
  if (!std::holds_alternative<std::string>(cell)) {
    append_plain(out, cell, type);
    return;
  }
  std::string array;
  if (type.id == TypeId::List) array = array_literal(std::get<std::string>(cell));
  const std::string& s = type.id == TypeId::List ? array : std::get<std::string>(cell);
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char* escape = nullptr;
    switch (s[i]) {
      case '\\': escape = "\\\\"; break;
      case '\n': escape = "\\n"; break;
      case '\r': escape = "\\r"; break;
      case '\t': escape = "\\t"; break;
      default: continue;
    }
    out.append(s, start, i - start);
    out += escape;
    start = i + 1;
  }
  out.append(s, start, std::string::npos);
}

namespace {

void put16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v & 0xff);
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v >> 16));
  put16(out, static_cast<std::uint16_t>(v & 0xffff));
}
void put64(std::string& out, std::uint64_t v) {
  put32(out, static_cast<std::uint32_t>(v >> 32));
  put32(out, static_cast<std::uint32_t>(v & 0xffffffffu));
}
// A field of `size` bytes follows.
void put_length(std::string& out, size_t size) { put32(out, static_cast<std::uint32_t>(size)); }

[[noreturn]] void refuse(std::string_view column, const std::string& what) {
  throw DriverError("postgres: column \"" + std::string(column) + "\": " + what);
}

void put_integer(std::string& out, std::int64_t v, BinaryField field, std::string_view column) {
  auto out_of_range = [&](const char* type) {
    refuse(column, "value " + std::to_string(v) + " is out of range for type " + type);
  };
  switch (field) {
    case BinaryField::Int2:
      if (v < INT16_MIN || v > INT16_MAX) out_of_range("smallint");
      put_length(out, 2);
      put16(out, static_cast<std::uint16_t>(v));
      return;
    case BinaryField::Int4:
      if (v < INT32_MIN || v > INT32_MAX) out_of_range("integer");
      put_length(out, 4);
      put32(out, static_cast<std::uint32_t>(v));
      return;
    default:
      put_length(out, 8);
      put64(out, static_cast<std::uint64_t>(v));
      return;
  }
}

// Decimal text as PostgreSQL's numeric input reads it: blanks around it, a sign, digits with at
// most one point, an exponent; the digits come out on either side of the point, the exponent
// applied. nullopt for anything else.
struct DecimalText {
  bool negative = false;
  std::string whole;     // digits before the point
  std::string fraction;  // digits after it: the value's scale
};

std::optional<DecimalText> parse_decimal(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  DecimalText out;
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) out.negative = text[i++] == '-';
  std::string digits;
  size_t point = std::string::npos;
  for (; i < text.size() && (digit(text[i]) || (text[i] == '.' && point == std::string::npos));
       ++i) {
    if (text[i] == '.') {
      point = digits.size();
    } else {
      digits += text[i];
    }
  }
  if (digits.empty()) return std::nullopt;
  if (point == std::string::npos) point = digits.size();
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool minus = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    if (i == text.size()) return std::nullopt;
    for (; i < text.size() && digit(text[i]); ++i) {
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > 100000) return std::nullopt;  // far beyond what numeric holds
    }
    if (minus) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;
  long moved = static_cast<long>(point) + exponent;  // the point's place among the digits
  if (moved <= 0) {
    out.fraction = std::string(static_cast<size_t>(-moved), '0') + digits;
  } else if (static_cast<size_t>(moved) >= digits.size()) {
    out.whole = digits + std::string(static_cast<size_t>(moved) - digits.size(), '0');
  } else {
    out.whole = digits.substr(0, static_cast<size_t>(moved));
    out.fraction = digits.substr(static_cast<size_t>(moved));
  }
  return out;
}

// The special values numeric's input takes, in any case; 0 for none.
std::uint16_t special_numeric(std::string_view text) {
  std::string lower = text::to_lower(std::string(text));
  if (lower == "nan") return 0xC000;
  if (lower == "infinity" || lower == "+infinity" || lower == "inf" || lower == "+inf") return 0xD000;
  if (lower == "-infinity" || lower == "-inf") return 0xF000;
  return 0;
}

// Decimal text ("-12.340", "7", "1.5e3", "NaN", "Infinity") as a binary numeric: base-10000
// digits around the decimal point, the scale as written (as numeric's text input sets it).
void put_numeric(std::string& out, std::string_view text, std::string_view column) {
  std::vector<std::uint16_t> groups;
  int weight = 0;
  int scale = 0;
  std::uint16_t sign = special_numeric(text);
  if (sign == 0) {
    std::optional<DecimalText> parts = parse_decimal(text);
    if (!parts) refuse(column, "\"" + std::string(text) + "\" is not a decimal number");
    if (parts->fraction.size() > 0x3FFF) refuse(column, "\"" + std::string(text) + "\" has too many digits");
    sign = parts->negative ? 0x4000 : 0x0000;
    scale = static_cast<int>(parts->fraction.size());
    // The digits padded to whole groups of four on both sides of the point.
    std::string digits((4 - parts->whole.size() % 4) % 4, '0');
    digits += parts->whole;
    int whole_groups = static_cast<int>(digits.size() / 4);
    digits += parts->fraction;
    digits.append((4 - parts->fraction.size() % 4) % 4, '0');
    for (size_t i = 0; i < digits.size(); i += 4) {
      groups.push_back(static_cast<std::uint16_t>((digits[i] - '0') * 1000 +
                                                  (digits[i + 1] - '0') * 100 +
                                                  (digits[i + 2] - '0') * 10 + (digits[i + 3] - '0')));
    }
    weight = whole_groups - 1;
    size_t first = 0;
    while (first < groups.size() && groups[first] == 0) {
      ++first;
      --weight;
    }
    groups.erase(groups.begin(), groups.begin() + static_cast<std::ptrdiff_t>(first));
    while (!groups.empty() && groups.back() == 0) groups.pop_back();
    if (groups.empty()) {
      weight = 0;
      sign = 0x0000;  // no negative zero
    }
    if (weight > 0x7FFF || weight < -0x8000) refuse(column, "\"" + std::string(text) + "\" is out of numeric's range");
  }
  put_length(out, 8 + 2 * groups.size());
  put16(out, static_cast<std::uint16_t>(groups.size()));
  put16(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(weight)));
  put16(out, sign);
  put16(out, static_cast<std::uint16_t>(scale));
  for (std::uint16_t g : groups) put16(out, g);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A UUID's text as uuid's input reads it: 32 hex digits in either case, hyphens between groups
// of four, optionally in braces.
void put_uuid(std::string& out, std::string_view text, std::string_view column) {
  std::string_view body = text;
  if (body.size() >= 2 && body.front() == '{' && body.back() == '}') {
    body = body.substr(1, body.size() - 2);
  }
  std::string bytes;
  size_t digits = 0;
  bool valid = !body.empty() && body.front() != '-' && body.back() != '-';
  for (size_t i = 0; valid && i < body.size(); ++i) {
    if (body[i] == '-') {
      valid = digits % 4 == 0 && body[i + 1] != '-';
      continue;
    }
    int value = hex_value(body[i]);
    valid = value >= 0 && digits < 32;
    if (!valid) break;
    if (digits % 2 == 0) {
      bytes += static_cast<char>(value << 4);
    } else {
      bytes.back() = static_cast<char>(bytes.back() | value);
    }
    ++digits;
  }
  if (!valid || digits != 32) refuse(column, "\"" + std::string(text) + "\" is not a UUID");
  put_length(out, 16);
  out += bytes;
}

// Microseconds since 1970 as PostgreSQL's microseconds since 2000; the infinities keep their
// sentinels, as on the way in.
void put_timestamp(std::string& out, std::int64_t micros, std::string_view column) {
  std::int64_t v = micros;
  if (micros != INT64_MAX && micros != INT64_MIN &&
      __builtin_sub_overflow(micros, kEpochMicros, &v)) {
    refuse(column, "timestamp out of range");
  }
  put_length(out, 8);
  put64(out, static_cast<std::uint64_t>(v));
}

void put_text(std::string& out, std::string_view bytes) {
  put_length(out, bytes.size());
  out.append(bytes);
}

}  // namespace

std::optional<BinaryField> binary_field(const ColumnType& type, Oid oid) {
  struct Pair {
    TypeId id;
    Oid oid;
    BinaryField field;
  };
  // Every pair whose binary input takes the cell as the text input would take its text. Not
  // here, so through text: a double into real (rounded twice), a naive timestamp into
  // timestamptz (read in the session's zone), text into uuid (more spellings), lists, intervals.
  static constexpr Pair kPairs[] = {
      {TypeId::Boolean, 16, BinaryField::Bool},
      {TypeId::Float32, 700, BinaryField::Float4},
      {TypeId::Float32, 701, BinaryField::Float8},
      {TypeId::Float64, 701, BinaryField::Float8},
      {TypeId::Decimal, 1700, BinaryField::Numeric},
      {TypeId::HugeInt, 1700, BinaryField::Numeric},
      {TypeId::UHugeInt, 1700, BinaryField::Numeric},
      {TypeId::String, 25, BinaryField::Text},
      {TypeId::String, 1043, BinaryField::Text},
      {TypeId::String, 1042, BinaryField::Text},
      {TypeId::String, 114, BinaryField::Text},
      {TypeId::String, 3802, BinaryField::Jsonb},
      {TypeId::Json, 25, BinaryField::Text},
      {TypeId::Json, 1043, BinaryField::Text},
      {TypeId::Json, 1042, BinaryField::Text},
      {TypeId::Json, 114, BinaryField::Text},
      {TypeId::Json, 3802, BinaryField::Jsonb},
      {TypeId::Uuid, 25, BinaryField::Text},
      {TypeId::Uuid, 1043, BinaryField::Text},
      {TypeId::Uuid, 1042, BinaryField::Text},
      {TypeId::Uuid, 2950, BinaryField::Uuid},
      {TypeId::Blob, 17, BinaryField::Bytea},
      {TypeId::Date, 1082, BinaryField::Date},
      {TypeId::Time, 1083, BinaryField::Time},
      {TypeId::Timestamp, 1114, BinaryField::Timestamp},
      {TypeId::TimestampTz, 1184, BinaryField::TimestampTz},
  };
  // Integers of every width go into any of the three integer types, checked against its range.
  static constexpr Pair kIntegerTargets[] = {{TypeId::Int16, 21, BinaryField::Int2},
                                             {TypeId::Int32, 23, BinaryField::Int4},
                                             {TypeId::Int64, 20, BinaryField::Int8}};
  static constexpr TypeId kIntegers[] = {TypeId::Int8,  TypeId::Int16,  TypeId::Int32,
                                         TypeId::Int64, TypeId::UInt8,  TypeId::UInt16,
                                         TypeId::UInt32, TypeId::UInt64};
  bool integer = std::find(std::begin(kIntegers), std::end(kIntegers), type.id) !=
                 std::end(kIntegers);
  for (const Pair& pair : integer ? std::span<const Pair>(kIntegerTargets)
                                  : std::span<const Pair>(kPairs)) {
    if ((integer || pair.id == type.id) && pair.oid == oid) return pair.field;
  }
  return std::nullopt;
}

void append_copy_binary(std::string& out, const Cell& cell, BinaryField field,
                        std::string_view column) {
  switch (field) {
    case BinaryField::Bool:
      put_length(out, 1);
      out += std::get<bool>(cell) ? '\1' : '\0';
      return;
    case BinaryField::Int2: case BinaryField::Int4: case BinaryField::Int8:
      if (const auto* u = std::get_if<std::uint64_t>(&cell)) {
        if (*u > static_cast<std::uint64_t>(INT64_MAX)) {
          refuse(column, "value " + std::to_string(*u) + " is out of range for type bigint");
        }
        put_integer(out, static_cast<std::int64_t>(*u), field, column);
      } else {
        put_integer(out, std::get<std::int64_t>(cell), field, column);
      }
      return;
    case BinaryField::Float4: {
      float f = static_cast<float>(std::get<double>(cell));
      std::uint32_t bits;
      std::memcpy(&bits, &f, 4);
      put_length(out, 4);
      put32(out, bits);
      return;
    }
    case BinaryField::Float8: {
      double d = std::get<double>(cell);
      std::uint64_t bits;
      std::memcpy(&bits, &d, 8);
      put_length(out, 8);
      put64(out, bits);
      return;
    }
    case BinaryField::Numeric: put_numeric(out, std::get<std::string>(cell), column); return;
    case BinaryField::Text: case BinaryField::Bytea: put_text(out, std::get<std::string>(cell)); return;
    case BinaryField::Jsonb: {
      const std::string& text = std::get<std::string>(cell);
      put_length(out, text.size() + 1);
      out += '\1';  // the version of jsonb's binary form: the JSON text follows
      out += text;
      return;
    }
    case BinaryField::Uuid: put_uuid(out, std::get<std::string>(cell), column); return;
    case BinaryField::Date: {
      std::int64_t days = std::get<std::int64_t>(cell) - kEpochDays;
      if (days < INT32_MIN || days > INT32_MAX) refuse(column, "date out of range");
      put_length(out, 4);
      put32(out, static_cast<std::uint32_t>(days));
      return;
    }
    case BinaryField::Time:
      put_length(out, 8);
      put64(out, static_cast<std::uint64_t>(std::get<std::int64_t>(cell)));
      return;
    case BinaryField::Timestamp: case BinaryField::TimestampTz:
      put_timestamp(out, std::get<std::int64_t>(cell), column);
      return;
  }
}

void append_literal(std::string& out, const Cell& cell, const ColumnType& type) {
  switch (cell.index()) {
    case 0: out += "NULL"; return;
    case 1: out += std::get<bool>(cell) ? "TRUE" : "FALSE"; return;
    case 3: append_integer(out, std::get<std::uint64_t>(cell)); return;
    case 2:
      if (type.id != TypeId::Date && type.id != TypeId::Time && type.id != TypeId::Timestamp &&
          type.id != TypeId::TimestampTz) {
        append_integer(out, std::get<std::int64_t>(cell));
        return;
      }
      break;
    case 4: {
      double d = std::get<double>(cell);
      if (std::isfinite(d)) {
        append_double(out, d);
        return;
      }
      break;
    }
    default: break;
  }
  std::string text;
  if (type.id == TypeId::Blob && std::holds_alternative<std::string>(cell)) {
    text = "\\x";
    append_hex(text, std::get<std::string>(cell));
  } else {
    append_plain(text, cell, type);
  }
  out += '\'';
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
}

}  // namespace zyl::drivers::postgres
