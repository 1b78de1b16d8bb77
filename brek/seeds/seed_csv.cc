#include "brek/seeds/seed_csv.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>

namespace brek::seeds {
namespace {

// Where the first byte of `text` that is not valid UTF-8 is, or npos.
size_t invalid_utf8_at(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80           ? 1
                    : (c >> 5) == 0x6  ? 2
                    : (c >> 4) == 0xE  ? 3
                    : (c >> 3) == 0x1E ? 4
                                       : 0;
    if (length == 0 || i + length > text.size()) return i;
    std::uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return i;
      code = (code << 6) | (next & 0x3F);
    }
    bool overlong = (length == 2 && code < 0x80) || (length == 3 && code < 0x800) ||
                    (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
    i += length;
  }
  return std::string_view::npos;
}

// Splits CSV text into rows of cells, each row with the line it starts on.
class CsvReader {
 public:
  CsvReader(std::string_view text, const std::string& shown) : text_(text), shown_(shown) {}

  // The next row, or false at the end of the text.
  bool next(std::vector<SeedCell>& row, size_t& line) {
    row.clear();
    if (pos_ >= text_.size()) return false;
    line = line_;
    while (true) {
      row.push_back(field());
      if (pos_ >= text_.size()) return true;
      char c = text_[pos_++];
      if (c == ',') continue;
      if (c == '\r' && pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
      ++line_;
      return true;
    }
  }

 private:
  [[noreturn]] void fail(size_t line, const std::string& what) const {
    throw SeedError(shown_ + ":" + std::to_string(line) + ": " + what);
  }

  SeedCell field() {
    if (pos_ < text_.size() && text_[pos_] == '"') return quoted();
    size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '\n' &&
           text_[pos_] != '\r') {
      if (text_[pos_] == '"') fail(line_, "a quote inside an unquoted field");
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return std::string(text_.substr(start, pos_ - start));
  }

  std::string quoted() {
    size_t opened = line_;
    ++pos_;
    std::string out;
    while (true) {
      if (pos_ >= text_.size()) fail(opened, "a quoted field is not closed");
      char c = text_[pos_++];
      if (c == '\n') ++line_;
      if (c != '"') {
        out += c;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '"') {
        out += '"';
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '\n' && text_[pos_] != '\r')
        fail(line_, "text after the closing quote of a field");
      return out;
    }
  }

  std::string_view text_;
  const std::string& shown_;
  size_t pos_ = 0;
  size_t line_ = 1;
};

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

std::string_view unsigned_part(std::string_view s) {
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  return s;
}

// An integer that fits BIGINT.
bool is_integer(std::string_view s) {
  std::string_view digits = unsigned_part(s);
  if (!all_digits(digits)) return false;
  while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
  static constexpr std::string_view kMax = "9223372036854775807";
  return digits.size() < kMax.size() || (digits.size() == kMax.size() && digits <= kMax);
}

// (integer digits, fraction digits) of a plain decimal such as -12.50, or nullopt.
std::optional<std::pair<size_t, size_t>> decimal_shape(std::string_view s) {
  std::string_view body = unsigned_part(s);
  size_t dot = body.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::string_view whole = body.substr(0, dot), fraction = body.substr(dot + 1);
  if (!(whole.empty() || all_digits(whole)) || !all_digits(fraction)) return std::nullopt;
  while (whole.size() > 1 && whole[0] == '0') whole.remove_prefix(1);
  return std::pair{std::max<size_t>(whole.size(), 1), fraction.size()};
}

bool is_boolean(std::string_view s) {
  std::string lower(s);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower == "true" || lower == "false";
}

bool is_date(std::string_view s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  if (!all_digits(s.substr(0, 4)) || !all_digits(s.substr(5, 2)) || !all_digits(s.substr(8, 2)))
    return false;
  int year = std::stoi(std::string(s.substr(0, 4)));
  int month = std::stoi(std::string(s.substr(5, 2)));
  int day = std::stoi(std::string(s.substr(8, 2)));
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return !(month == 2 && day == 29 && !leap);
}

// YYYY-MM-DD HH:MM:SS or with a T, and an optional fraction of up to six digits.
bool is_timestamp(std::string_view s) {
  if (s.size() < 19 || !is_date(s.substr(0, 10)) || (s[10] != ' ' && s[10] != 'T')) return false;
  std::string_view time = s.substr(11, 8);
  if (time[2] != ':' || time[5] != ':' || !all_digits(time.substr(0, 2)) ||
      !all_digits(time.substr(3, 2)) || !all_digits(time.substr(6, 2)))
    return false;
  if (std::stoi(std::string(time.substr(0, 2))) > 23 ||
      std::stoi(std::string(time.substr(3, 2))) > 59 ||
      std::stoi(std::string(time.substr(6, 2))) > 59)
    return false;
  std::string_view rest = s.substr(19);
  if (rest.empty()) return true;
  return rest[0] == '.' && rest.size() >= 2 && rest.size() <= 7 && all_digits(rest.substr(1));
}

bool every(const std::vector<const SeedCell*>& values, bool (*test)(std::string_view)) {
  return std::all_of(values.begin(), values.end(), [&](const SeedCell* v) { return test(**v); });
}

// DECIMAL(p,s) holding every value, when each is an integer or plain decimal and p <= 38.
std::optional<std::string> decimal_type(const std::vector<const SeedCell*>& values) {
  size_t whole = 1, fraction = 0;
  for (const SeedCell* v : values) {
    if (all_digits(unsigned_part(**v))) {  // also integers past BIGINT
      whole = std::max(whole, unsigned_part(**v).size());
      continue;
    }
    auto shape = decimal_shape(**v);
    if (!shape) return std::nullopt;
    whole = std::max(whole, shape->first);
    fraction = std::max(fraction, shape->second);
  }
  if (whole + fraction > 38) return std::nullopt;
  return "DECIMAL(" + std::to_string(std::max<size_t>(whole + fraction, 18)) + "," +
         std::to_string(fraction) + ")";
}

std::vector<SeedColumn> header_columns(const std::vector<SeedCell>& header,
                                       const std::string& shown) {
  std::vector<SeedColumn> columns;
  std::set<std::string> seen;
  for (const SeedCell& name : header) {
    if (!name || name->empty()) throw SeedError(shown + ":1: a column without a name");
    if (!seen.insert(*name).second)
      throw SeedError(shown + ":1: column '" + *name + "' appears twice");
    columns.push_back({*name, ""});
  }
  return columns;
}

void apply_column_types(std::vector<SeedColumn>& columns, const zyl::Value& column_types,
                        const std::string& shown) {
  if (!column_types.is_object()) return;
  for (const auto& [name, type] : column_types.items()) {
    auto it = std::find_if(columns.begin(), columns.end(),
                           [&](const SeedColumn& c) { return c.name == name; });
    if (it == columns.end())
      throw SeedError(shown + ": column_types names '" + name + "', which is not a column");
    it->type = zyl::text_form(type);
  }
}

}  // namespace

std::string infer_type(const std::vector<const SeedCell*>& values) {
  if (values.empty()) return "VARCHAR";
  if (every(values, is_integer)) return "BIGINT";
  if (std::optional<std::string> decimal = decimal_type(values)) return *decimal;
  if (every(values, is_boolean)) return "BOOLEAN";
  if (every(values, is_date)) return "DATE";
  if (every(values, is_timestamp)) return "TIMESTAMP";
  return "VARCHAR";
}

SeedTable read_seed(std::string_view text, const std::string& shown,
                    const zyl::Value& column_types) {
  if (size_t bad = invalid_utf8_at(text); bad != std::string_view::npos) {
    size_t line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(bad), '\n');
    throw SeedError(shown + ":" + std::to_string(line) + ": not valid UTF-8");
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a byte order mark
  CsvReader reader(text, shown);
  std::vector<SeedCell> row;
  size_t line = 0;
  if (!reader.next(row, line)) throw SeedError(shown + ":1: the file is empty (no header row)");
  SeedTable table;
  table.columns = header_columns(row, shown);
  while (reader.next(row, line)) {
    if (row.size() == 1 && !row[0]) continue;  // an empty line
    if (row.size() != table.columns.size()) {
      throw SeedError(shown + ":" + std::to_string(line) + ": the row has " +
                      std::to_string(row.size()) + " fields, the header " +
                      std::to_string(table.columns.size()));
    }
    table.rows.push_back(row);
  }
  for (size_t c = 0; c < table.columns.size(); ++c) {
    std::vector<const SeedCell*> values;
    for (const auto& r : table.rows) {
      if (r[c]) values.push_back(&r[c]);
    }
    table.columns[c].type = infer_type(values);
  }
  apply_column_types(table.columns, column_types, shown);
  return table;
}

}  // namespace brek::seeds
