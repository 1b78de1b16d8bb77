#include "drivers/driver.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <mutex>
#include <set>

#include "core/text.h"
#include "drivers/temporal.h"

namespace zyl::drivers {
namespace {

// A part of a relation name without its quotes; a quote character doubled inside stands for one.
std::string unquote(std::string_view part) {
  if (part.size() >= 2 && (part.front() == '"' || part.front() == '`') &&
      part.back() == part.front()) {
    std::string quote(1, part.front());
    return text::replace_all(part.substr(1, part.size() - 2), quote + quote, quote);
  }
  return std::string(part);
}

// The connections interrupt_all() reaches. The mutex is held while they are interrupted, so
// refuse_interrupts() returning means no interrupt of that connection is still running.
struct Interruptible {
  std::mutex mutex;
  std::set<Connection*> connections;
};

Interruptible& interruptible() {
  static Interruptible* registry = new Interruptible();  // used until the process ends
  return *registry;
}

}  // namespace

void Connection::accept_interrupts() {
  Interruptible& r = interruptible();
  std::lock_guard lock(r.mutex);
  r.connections.insert(this);
  interruptible_ = true;
}

void Connection::refuse_interrupts() noexcept {
  if (!interruptible_) return;
  Interruptible& r = interruptible();
  std::lock_guard lock(r.mutex);
  r.connections.erase(this);
  interruptible_ = false;
}

size_t interrupt_all() noexcept {
  Interruptible& r = interruptible();
  std::lock_guard lock(r.mutex);
  for (Connection* connection : r.connections) connection->interrupt();
  return r.connections.size();
}

std::string_view type_name(TypeId id) {
  switch (id) {
    case TypeId::Boolean: return "BOOLEAN";
    case TypeId::Int8: return "TINYINT";
    case TypeId::Int16: return "SMALLINT";
    case TypeId::Int32: return "INTEGER";
    case TypeId::Int64: return "BIGINT";
    case TypeId::UInt8: return "UTINYINT";
    case TypeId::UInt16: return "USMALLINT";
    case TypeId::UInt32: return "UINTEGER";
    case TypeId::UInt64: return "UBIGINT";
    case TypeId::HugeInt: return "HUGEINT";
    case TypeId::UHugeInt:
      return "UHUGEINT";
    case TypeId::Float32: return "FLOAT";
    case TypeId::Float64: return "DOUBLE";
    case TypeId::Decimal: return "DECIMAL";
    case TypeId::String: return "VARCHAR";
    case TypeId::Blob: return "BLOB";
    case TypeId::Date: return "DATE";
    case TypeId::Time: return "TIME";
    case TypeId::Timestamp: return "TIMESTAMP";
    case TypeId::TimestampTz: return "TIMESTAMPTZ";
    case TypeId::Interval: return "INTERVAL";
    case TypeId::Uuid: return "UUID";
    case TypeId::Json: return "JSON";
    case TypeId::List:
      return "LIST";
  }
  return "VARCHAR";
}

TableRef TableRef::parse(std::string_view text) {
  // Split on the full stops outside double quotes or backticks; a doubled quote inside a quoted
  // part closes and reopens it, which leaves the split points where they belong.
  std::vector<std::string_view> parts;
  size_t begin = 0;
  char quote = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '`') {
      quote = c;
    } else if (c == '.') {
      parts.push_back(text.substr(begin, i - begin));
      begin = i + 1;
    }
  }
  parts.push_back(text.substr(begin));
  // A database part in front ("db"."schema"."name") names the connection's own database.
  if (parts.size() == 1) return {"", unquote(parts[0])};
  return {unquote(parts[parts.size() - 2]), unquote(parts.back())};
}

std::string Connection::quote_table(const TableRef& table) const {
  if (table.schema.empty()) return quote_identifier(table.name);
  return quote_identifier(table.schema) + "." + quote_identifier(table.name);
}

std::string Connection::create_table_sql(const TableRef& table,
                                         const std::vector<Column>& columns,
                                         const std::vector<std::string>&) const {
  std::vector<std::string> defs;
  for (const Column& c : columns) defs.push_back(quote_identifier(c.name) + " " + type_sql(c.type));
  return "CREATE TABLE " + quote_table(table) + " (" + text::join(defs, ", ") + ")";
}

std::string connection_setting(const Value& config, std::initializer_list<std::string_view> keys,
                               std::string_view fallback) {
  const Value* v = lookup(config, keys);
  if (!v || v->is_null()) return std::string(fallback);
  if (v->is_number_float()) {
    double d = v->get<double>();
    if (std::fabs(d) < 9e18 && d == static_cast<double>(static_cast<long long>(d))) {
      return std::to_string(static_cast<long long>(d));
    }
  }
  return text_form(*v);
}

std::string strip_statement_end(std::string sql) {
  while (!sql.empty() &&
         (sql.back() == ';' || std::isspace(static_cast<unsigned char>(sql.back())))) {
    sql.pop_back();
  }
  return sql;
}

std::string sql_string_literal(std::string_view text) {
  return "'" + text::replace_all(text, "'", "''") + "'";
}

Value cell_to_value(const Cell& cell, const ColumnType& type) {
  if (std::holds_alternative<std::monostate>(cell)) return Value(nullptr);
  if (const bool* b = std::get_if<bool>(&cell)) return Value(*b);
  if (const double* d = std::get_if<double>(&cell)) return Value(*d);
  if (const std::uint64_t* u = std::get_if<std::uint64_t>(&cell)) return Value(*u);
  if (const std::int64_t* i = std::get_if<std::int64_t>(&cell)) {
    switch (type.id) {
      case TypeId::Date: return Value(temporal::format_date(*i));
      case TypeId::Time: return Value(temporal::format_time(*i));
      case TypeId::Timestamp: return Value(temporal::format_timestamp(*i));
      case TypeId::TimestampTz: return Value(temporal::format_timestamptz(*i));
      default: return Value(*i);
    }
  }
  return Value(std::get<std::string>(cell));
}

}  // namespace zyl::drivers
