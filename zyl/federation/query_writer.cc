// Optimization::build_query: an optimisation written in one source dialect.
#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "core/value.h"
#include "zyl/extraction/watermark_formatter.h"
#include "zyl/federation/optimizer.h"

namespace zyl::federation::optimizer {
namespace {

enum class Quote { Double, Backtick, Bracket };
enum class NullsOrder { Keyword, IsNullKey, None };

// What a dialect evaluates exactly as DuckDB does. Anything not listed here stays with DuckDB.
struct Rules {
  std::string adapter;  // adapter type whose literals the watermark formatter writes
  Quote quote = Quote::Double;
  bool text = false;    // strings compared byte by byte (with `collate` appended)
  std::string collate;  // " COLLATE ..." that makes string comparison bytewise
  bool temporal = false;
  bool booleans = false;
  bool numeric_booleans = false;
  NullsOrder nulls = NullsOrder::None;  // None: no ORDER BY is pushed
};

// Why each: DuckDB compares strings by bytes. PostgreSQL and SQLite do too under the "C" and
// BINARY collations, which the query names because a column or database may have another one;
// MySQL's collations ignore case and trailing blanks, so its strings stay with DuckDB, and so
// do its booleans, which are integers (2 is true to DuckDB but not equal to TRUE there). SQLite
// keeps dates as text of several shapes, so they stay with DuckDB as well. Dialects not tested
// here get numbers and NULL tests only, and no ORDER BY.
Rules rules_for(const std::string& dialect) {
  if (dialect == "duckdb")
    return {"duckdb", Quote::Double, true, "", true, true, false, NullsOrder::Keyword};
  if (dialect == "postgres") {
    return {"postgres", Quote::Double, true,  " COLLATE \"C\"",
            true,       true,          false, NullsOrder::Keyword};
  }
  if (dialect == "sqlite") {
    return {"sqlite", Quote::Double, true, " COLLATE BINARY",
            false,    true,          true, NullsOrder::Keyword};
  }
  if (dialect == "mysql") {
    return {"mysql", Quote::Backtick, false, "", true, false, false, NullsOrder::IsNullKey};
  }
  Rules numbers_only{"", Quote::Double, false, "", false, false, false, NullsOrder::None};
  if (dialect == "bigquery" || dialect == "databricks") numbers_only.quote = Quote::Backtick;
  if (dialect == "tsql") numbers_only.quote = Quote::Bracket;
  return numbers_only;
}

std::string quote_name(const std::string& name, Quote quote) {
  switch (quote) {
    case Quote::Backtick:
      return "`" + text::replace_all(name, "`", "``") + "`";
    case Quote::Bracket:
      return "[" + text::replace_all(name, "]", "]]") + "]";
    case Quote::Double:
      break;
  }
  return "\"" + text::replace_all(name, "\"", "\"\"") + "\"";
}

bool comparable(ValueClass column, const Rules& rules) {
  switch (column) {
    case ValueClass::Integer:
    case ValueClass::Decimal:
      return true;
    case ValueClass::Boolean:
      return rules.booleans;
    case ValueClass::Text:
      return rules.text;
    case ValueClass::Date:
    case ValueClass::Timestamp:
      return rules.temporal;
    case ValueClass::Other:
      break;
  }
  return false;
}

std::optional<std::string> literal_sql(const Literal& literal, ValueClass column,
                                       const Rules& rules) {
  bool numeric_column = column == ValueClass::Integer || column == ValueClass::Decimal;
  bool numeric_literal = literal.kind == ValueClass::Integer || literal.kind == ValueClass::Decimal;
  if (numeric_column && numeric_literal) return literal.text;
  if (literal.kind != column) return std::nullopt;
  switch (literal.kind) {
    case ValueClass::Boolean:
      if (rules.numeric_booleans) return literal.text == "true" ? "1" : "0";
      return literal.text == "true" ? "TRUE" : "FALSE";
    case ValueClass::Text:
      if (literal.text.find('\0') != std::string::npos) return std::nullopt;
      return "'" + text::replace_all(literal.text, "'", "''") + "'";
    case ValueClass::Date:
    case ValueClass::Timestamp:
      return extraction::watermark_formatter::format_watermark(Value(literal.text), rules.adapter,
                                                               "timestamp");
    default:
      break;
  }
  return std::nullopt;
}

// The column as it is compared: quoted, with the bytewise collation for strings.
std::string operand(const Predicate& p, const Rules& rules) {
  std::string out = quote_name(p.column, rules.quote);
  if (p.column_class == ValueClass::Text) out += rules.collate;
  return out;
}

const char* comparison_sql(Predicate::Op op) {
  switch (op) {
    case Predicate::Op::Eq:
      return " = ";
    case Predicate::Op::Ne:
      return " <> ";
    case Predicate::Op::Lt:
      return " < ";
    case Predicate::Op::Le:
      return " <= ";
    case Predicate::Op::Gt:
      return " > ";
    case Predicate::Op::Ge:
      return " >= ";
    default:
      return nullptr;
  }
}

std::optional<std::string> render(const Predicate& p, const Rules& rules);

// nullopt stands for "no condition": AND leaves such a child out, OR becomes no condition.
std::optional<std::string> render_junction(const Predicate& p, const Rules& rules) {
  bool is_and = p.op == Predicate::Op::And;
  std::vector<std::string> parts;
  for (const auto& child : p.children) {
    std::optional<std::string> sql = render(child, rules);
    if (!sql && !is_and) return std::nullopt;
    if (sql) parts.push_back("(" + *sql + ")");
  }
  if (parts.empty()) return std::nullopt;
  if (parts.size() == 1) return parts.front().substr(1, parts.front().size() - 2);
  return text::join(parts, is_and ? " AND " : " OR ");
}

std::optional<std::string> render_list(const Predicate& p, const Rules& rules) {
  if (p.values.empty() || !comparable(p.column_class, rules)) return std::nullopt;
  std::vector<std::string> items;
  for (const auto& value : p.values) {
    std::optional<std::string> sql = literal_sql(value, p.column_class, rules);
    if (!sql) return std::nullopt;
    items.push_back(*sql);
  }
  std::string keyword = p.op == Predicate::Op::In ? " IN (" : " NOT IN (";
  return operand(p, rules) + keyword + text::join(items, ", ") + ")";
}

std::optional<std::string> render(const Predicate& p, const Rules& rules) {
  switch (p.op) {
    case Predicate::Op::And:
    case Predicate::Op::Or:
      return render_junction(p, rules);
    case Predicate::Op::IsNull:
      return quote_name(p.column, rules.quote) + " IS NULL";
    case Predicate::Op::IsNotNull:
      return quote_name(p.column, rules.quote) + " IS NOT NULL";
    case Predicate::Op::In:
    case Predicate::Op::NotIn:
      return render_list(p, rules);
    default:
      break;
  }
  if (p.values.size() != 1 || !comparable(p.column_class, rules)) return std::nullopt;
  std::optional<std::string> value = literal_sql(p.values.front(), p.column_class, rules);
  if (!value) return std::nullopt;
  return operand(p, rules) + comparison_sql(p.op) + *value;
}

std::optional<std::string> order_key_sql(const OrderKey& key, const Rules& rules) {
  bool orderable = key.column_class != ValueClass::Boolean && comparable(key.column_class, rules);
  if (!orderable || rules.nulls == NullsOrder::None) return std::nullopt;
  std::string column = quote_name(key.column, rules.quote);
  std::string value = column + (key.column_class == ValueClass::Text ? rules.collate : "");
  std::string direction = key.descending ? " DESC" : " ASC";
  if (rules.nulls == NullsOrder::Keyword) {
    return value + direction + (key.nulls_first ? " NULLS FIRST" : " NULLS LAST");
  }
  // (column IS NULL) is 1 for NULL: DESC puts NULLs first.
  return "(" + column + " IS NULL)" + (key.nulls_first ? " DESC" : " ASC") + ", " + value +
         direction;
}

// " ORDER BY ..." for the keys, "" without keys, nullopt when a key cannot be written.
std::optional<std::string> order_by_sql(const std::vector<OrderKey>& keys, const Rules& rules) {
  std::vector<std::string> parts;
  for (const auto& key : keys) {
    std::optional<std::string> sql = order_key_sql(key, rules);
    if (!sql) return std::nullopt;
    parts.push_back(*sql);
  }
  return parts.empty() ? "" : " ORDER BY " + text::join(parts, ", ");
}

std::string where_sql(const Optimization& o, const Rules& rules) {
  std::vector<std::string> conditions;
  for (const auto& p : o.predicates) {
    if (std::optional<std::string> sql = render(p, rules)) conditions.push_back("(" + *sql + ")");
  }
  for (const auto& raw : o.raw_conditions) conditions.push_back("(" + raw + ")");
  return conditions.empty() ? "" : " WHERE " + text::join(conditions, " AND ");
}

}  // namespace

std::string Optimization::build_query(const std::string& src_schema,
                                      const std::string& src_identifier,
                                      const std::string& source_dialect) const {
  Rules rules = rules_for(source_dialect);
  std::string table = quote_name(src_identifier, rules.quote);
  if (!src_schema.empty()) table = quote_name(src_schema, rules.quote) + "." + table;
  std::vector<std::string> quoted;
  for (const auto& c : columns) quoted.push_back(quote_name(c, rules.quote));
  std::string cols = quoted.empty() ? "*" : text::join(quoted, ", ");

  std::optional<long long> rows = limit;
  std::optional<std::string> order = order_by_sql(order_by, rules);
  if (!order) rows.reset();
  bool top = source_dialect == "tsql";

  std::string sql = "SELECT ";
  if (top && rows) sql += "TOP " + std::to_string(*rows) + " ";
  sql += cols + " FROM " + table + where_sql(*this, rules);
  if (rows) sql += *order;
  if (rows && !top) {
    sql += source_dialect == "oracle" ? " FETCH FIRST " + std::to_string(*rows) + " ROWS ONLY"
                                      : " LIMIT " + std::to_string(*rows);
  }
  return sql;
}

}  // namespace zyl::federation::optimizer
