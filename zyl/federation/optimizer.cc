#include "zyl/federation/optimizer.h"

#include <algorithm>
#include <exception>
#include <set>
#include <stdexcept>

#include "core/log.h"
#include "core/text.h"
#include "core/value.h"
#include "drivers/duckdb/duckdb_driver.h"
#include "drivers/temporal.h"
#include "zyl/federation/internal/plan_reader.h"

namespace zyl::federation::optimizer {
namespace {

using drivers::TypeId;
using internal::Scan;

spdlog::logger& logger() {
  static spdlog::logger& l = log::get("zyl.federation.optimizer");
  return l;
}

const Value& member(const Value& node, const char* key) {
  static const Value kNull;
  if (!node.is_object()) return kNull;
  auto it = node.find(key);
  return it == node.end() ? kNull : *it;
}

std::string text_of(const Value& node, const char* key) {
  const Value& v = member(node, key);
  return v.is_string() ? v.get<std::string>() : "";
}

// Strings compare as text only in plain character types: not in char(n) (blank-padded), enums,
// network addresses or other types that a driver reads as text.
bool is_plain_text(const drivers::ColumnType& type) {
  std::string native = text::to_lower(type.native);
  for (const char* prefix : {"character varying", "varchar", "nvarchar", "text", "clob"}) {
    if (text::starts_with(native, prefix)) return !type.fixed_length;
  }
  return false;
}

ValueClass class_of(const drivers::ColumnType& type) {
  switch (type.id) {
    case TypeId::Int8:
    case TypeId::Int16:
    case TypeId::Int32:
    case TypeId::Int64:
    case TypeId::UInt8:
    case TypeId::UInt16:
    case TypeId::UInt32:
    case TypeId::UInt64:
      return ValueClass::Integer;
    case TypeId::Decimal:
      return ValueClass::Decimal;
    case TypeId::Boolean:
      return ValueClass::Boolean;
    case TypeId::String:
      return is_plain_text(type) ? ValueClass::Text : ValueClass::Other;
    case TypeId::Date:
      return ValueClass::Date;
    case TypeId::Timestamp:
      return ValueClass::Timestamp;
    default:
      return ValueClass::Other;
  }
}

// "-12345" with scale 2 -> "-123.45".
std::string scaled_text(std::string digits, int scale) {
  bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.erase(0, 1);
  if (scale <= 0) return (negative ? "-" : "") + digits;
  if (digits.size() <= static_cast<std::size_t>(scale)) {
    digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
  }
  digits.insert(digits.size() - static_cast<std::size_t>(scale), ".");
  return (negative ? "-" : "") + digits;
}

bool in_calendar(long long days) { return days >= -719162 && days <= 2932896; }  // years 1..9999

// A constant of the plan as a literal; nullopt for NULL and for types left to DuckDB.
std::optional<Literal> literal_of(const Value& constant) {
  const Value& value = member(constant, "value");
  if (member(constant, "is_null") != Value(false)) return std::nullopt;
  std::string type = text_of(member(constant, "type"), "id");
  bool integral = value.is_number_integer() || value.is_number_unsigned();
  if (type == "BOOLEAN" && value.is_boolean()) {
    return Literal{ValueClass::Boolean, value.get<bool>() ? "true" : "false"};
  }
  if (type == "VARCHAR" && value.is_string())
    return Literal{ValueClass::Text, value.get<std::string>()};
  if (!integral) return std::nullopt;
  static const std::set<std::string> kIntegers = {"TINYINT",  "SMALLINT",  "INTEGER",  "BIGINT",
                                                  "UTINYINT", "USMALLINT", "UINTEGER", "UBIGINT"};
  if (kIntegers.count(type)) return Literal{ValueClass::Integer, value.dump()};
  if (type == "DECIMAL") {
    const Value& scale = member(member(member(constant, "type"), "type_info"), "scale");
    if (!scale.is_number_integer()) return std::nullopt;
    return Literal{ValueClass::Decimal, scaled_text(value.dump(), scale.get<int>())};
  }
  if (value.is_number_unsigned() && value.get<unsigned long long>() > (1ULL << 62)) {
    return std::nullopt;
  }
  long long n = value.get<long long>();
  constexpr long long kMicrosPerDay = 86'400'000'000LL;
  if (type == "DATE" && in_calendar(n))
    return Literal{ValueClass::Date, drivers::temporal::format_date(n)};
  if (type == "TIMESTAMP" && in_calendar(n / kMicrosPerDay)) {
    return Literal{ValueClass::Timestamp, drivers::temporal::format_timestamp(n)};
  }
  return std::nullopt;
}

std::optional<Predicate::Op> comparison_op(const std::string& type, bool flipped) {
  using Op = Predicate::Op;
  if (type == "COMPARE_EQUAL") return Op::Eq;
  if (type == "COMPARE_NOTEQUAL") return Op::Ne;
  if (type == "COMPARE_LESSTHAN") return flipped ? Op::Gt : Op::Lt;
  if (type == "COMPARE_GREATERTHAN") return flipped ? Op::Lt : Op::Gt;
  if (type == "COMPARE_LESSTHANOREQUALTO") return flipped ? Op::Ge : Op::Le;
  if (type == "COMPARE_GREATERTHANOREQUALTO") return flipped ? Op::Le : Op::Ge;
  return std::nullopt;
}

struct ColumnInfo {
  std::string name;
  ValueClass value_class;
};

Predicate leaf(Predicate::Op op, const ColumnInfo& column, std::vector<Literal> values = {}) {
  return Predicate{op, column.name, column.value_class, std::move(values), {}};
}

std::optional<Predicate> comparison(const std::string& type, const Value& constant, bool flipped,
                                    const ColumnInfo& column) {
  std::optional<Predicate::Op> op = comparison_op(type, flipped);
  std::optional<Literal> value = literal_of(constant);
  if (!op || !value) return std::nullopt;
  return leaf(*op, column, {*value});
}

// AND keeps what it can (leaving a condition out only widens); OR needs every branch.
std::optional<Predicate> junction(Predicate::Op op, std::vector<std::optional<Predicate>> parts) {
  Predicate out{op, "", ValueClass::Other, {}, {}};
  for (auto& part : parts) {
    if (!part && op == Predicate::Op::Or) return std::nullopt;
    if (part) out.children.push_back(std::move(*part));
  }
  if (out.children.empty()) return std::nullopt;
  if (out.children.size() == 1) return std::move(out.children.front());
  return out;
}

bool is_column_ref(const Value& e) { return text_of(e, "expression_class") == "BOUND_REF"; }
bool is_constant(const Value& e) { return text_of(e, "expression_class") == "BOUND_CONSTANT"; }

std::optional<Predicate> from_expression(const Value& e, const ColumnInfo& column);

std::optional<Predicate> from_operator(const Value& e, const ColumnInfo& column) {
  std::string type = text_of(e, "type");
  const Value& children = member(e, "children");
  if (!children.is_array() || children.empty() || !is_column_ref(children[0])) return std::nullopt;
  if (type == "OPERATOR_IS_NULL") return leaf(Predicate::Op::IsNull, column);
  if (type == "OPERATOR_IS_NOT_NULL") return leaf(Predicate::Op::IsNotNull, column);
  if (type != "COMPARE_IN" && type != "COMPARE_NOT_IN") return std::nullopt;
  std::vector<Literal> values;
  for (std::size_t i = 1; i < children.size(); ++i) {
    std::optional<Literal> value =
        is_constant(children[i]) ? literal_of(member(children[i], "value")) : std::nullopt;
    if (!value) return std::nullopt;
    values.push_back(*value);
  }
  if (values.empty()) return std::nullopt;
  return leaf(type == "COMPARE_IN" ? Predicate::Op::In : Predicate::Op::NotIn, column, values);
}

std::optional<Predicate> from_comparison(const Value& e, const ColumnInfo& column) {
  const Value& left = member(e, "left");
  const Value& right = member(e, "right");
  if (is_column_ref(left) && is_constant(right)) {
    return comparison(text_of(e, "type"), member(right, "value"), false, column);
  }
  if (is_constant(left) && is_column_ref(right)) {
    return comparison(text_of(e, "type"), member(left, "value"), true, column);
  }
  return std::nullopt;
}

std::optional<Predicate> from_between(const Value& e, const ColumnInfo& column) {
  const Value& input = member(e, "input");
  const Value& lower = member(e, "lower");
  const Value& upper = member(e, "upper");
  if (!is_column_ref(input) || !is_constant(lower) || !is_constant(upper)) return std::nullopt;
  bool lower_inclusive = member(e, "lower_inclusive") == Value(true);
  bool upper_inclusive = member(e, "upper_inclusive") == Value(true);
  return junction(
      Predicate::Op::And,
      {comparison(lower_inclusive ? "COMPARE_GREATERTHANOREQUALTO" : "COMPARE_GREATERTHAN",
                  member(lower, "value"), false, column),
       comparison(upper_inclusive ? "COMPARE_LESSTHANOREQUALTO" : "COMPARE_LESSTHAN",
                  member(upper, "value"), false, column)});
}

// An expression filter on one column (the column is its only column reference).
std::optional<Predicate> from_expression(const Value& e, const ColumnInfo& column) {
  std::string kind = text_of(e, "expression_class");
  if (kind == "BOUND_REF" && text_of(member(e, "return_type"), "id") == "BOOLEAN") {
    return leaf(Predicate::Op::Eq, column, {Literal{ValueClass::Boolean, "true"}});
  }
  if (kind == "BOUND_COMPARISON") return from_comparison(e, column);
  if (kind == "BOUND_OPERATOR") return from_operator(e, column);
  if (kind == "BOUND_BETWEEN") return from_between(e, column);
  if (kind != "BOUND_CONJUNCTION") return std::nullopt;
  std::string type = text_of(e, "type");
  if (type != "CONJUNCTION_AND" && type != "CONJUNCTION_OR") return std::nullopt;
  std::vector<std::optional<Predicate>> parts;
  for (const auto& child : member(e, "children")) parts.push_back(from_expression(child, column));
  return junction(type == "CONJUNCTION_AND" ? Predicate::Op::And : Predicate::Op::Or,
                  std::move(parts));
}

// A filter DuckDB pushed into a scan, for the rows it keeps; nullopt when it is not one of the
// conditions written on sources (dynamic filters of the join and top-n operators among them).
std::optional<Predicate> from_filter(const Value& f, const ColumnInfo& column) {
  std::string type = text_of(f, "filter_type");
  if (type == "CONSTANT_COMPARISON") {
    return comparison(text_of(f, "comparison_type"), member(f, "constant"), false, column);
  }
  if (type == "IS_NULL") return leaf(Predicate::Op::IsNull, column);
  if (type == "IS_NOT_NULL") return leaf(Predicate::Op::IsNotNull, column);
  if (type == "OPTIONAL_FILTER") return from_filter(member(f, "child_filter"), column);
  if (type == "EXPRESSION_FILTER") return from_expression(member(f, "expr"), column);
  if (type == "IN_FILTER") {
    std::vector<Literal> values;
    for (const auto& v : member(f, "values")) {
      std::optional<Literal> literal = literal_of(Value{{"type", member(v, "type")},
                                                        {"is_null", member(v, "is_null")},
                                                        {"value", member(v, "value")}});
      if (!literal) return std::nullopt;
      values.push_back(*literal);
    }
    if (values.empty()) return std::nullopt;
    return leaf(Predicate::Op::In, column, values);
  }
  if (type != "CONJUNCTION_AND" && type != "CONJUNCTION_OR") return std::nullopt;
  std::vector<std::optional<Predicate>> parts;
  for (const auto& child : member(f, "child_filters")) parts.push_back(from_filter(child, column));
  return junction(type == "CONJUNCTION_AND" ? Predicate::Op::And : Predicate::Op::Or,
                  std::move(parts));
}

using Columns = std::vector<drivers::Column>;

ColumnInfo info_of(const Columns& columns, std::size_t index) {
  return {columns.at(index).name, class_of(columns.at(index).type)};
}

std::vector<Predicate> scan_predicates(const Scan& scan, const Columns& columns) {
  std::vector<Predicate> out;
  for (const auto& [column, filter] : scan.filters) {
    if (std::optional<Predicate> p = from_filter(filter, info_of(columns, column))) {
      out.push_back(std::move(*p));
    }
  }
  return out;
}

// Rows any of the scans may need: one scan's conditions, or the OR of every scan's.
std::vector<Predicate> rows_needed(const std::vector<const Scan*>& scans, const Columns& columns) {
  std::vector<std::vector<Predicate>> per_scan;
  for (const Scan* scan : scans) {
    per_scan.push_back(scan_predicates(*scan, columns));
    if (per_scan.back().empty()) return {};
  }
  bool all_same = std::all_of(per_scan.begin(), per_scan.end(),
                              [&](const auto& p) { return p == per_scan.front(); });
  if (all_same) return per_scan.front();
  Predicate any{Predicate::Op::Or, "", ValueClass::Other, {}, {}};
  for (auto& conjunction : per_scan) {
    any.children.push_back(Predicate{Predicate::Op::And, "", ValueClass::Other, {}, conjunction});
  }
  return {any};
}

std::vector<std::string> columns_needed(const std::vector<const Scan*>& scans,
                                        const Columns& columns) {
  std::set<std::size_t> used;
  for (const Scan* scan : scans) used.insert(scan->columns.begin(), scan->columns.end());
  if (used.size() == columns.size()) return {};  // every column: SELECT *
  if (used.empty()) used.insert(0);              // the row count alone: one column will do
  std::vector<std::string> names;
  for (std::size_t index : used) names.push_back(columns.at(index).name);
  return names;
}

std::optional<Optimization> optimization_for(const std::vector<const Scan*>& scans,
                                             const Columns& columns) {
  Optimization o;
  o.columns = columns_needed(scans, columns);
  o.predicates = rows_needed(scans, columns);
  if (scans.size() == 1 && scans.front()->limit) {
    o.limit = *scans.front()->limit;
    for (const auto& key : scans.front()->order) {
      ColumnInfo column = info_of(columns, key.column);
      o.order_by.push_back({column.name, column.value_class, key.descending, key.nulls_first});
    }
  }
  if (!o.restricts()) return std::nullopt;
  return o;
}

void create_scratch_table(drivers::Connection& scratch, const std::string& table,
                          const Columns& columns) {
  std::vector<std::string> definitions;
  for (const auto& c : columns) {
    definitions.push_back(scratch.quote_identifier(c.name) + " " + scratch.type_sql(c.type));
  }
  scratch.execute("CREATE TABLE " + scratch.quote_identifier(table) + " (" +
                  text::join(definitions, ", ") + ")");
}

Value serialised_plan(drivers::Connection& scratch, const std::string& sql) {
  auto result = scratch.query("SELECT json_serialize_plan(" + drivers::sql_string_literal(sql) +
                              ", optimize := true)");
  drivers::RowBatch batch;
  std::string json;
  while (result->next(batch)) {
    if (batch.rows() > 0 && std::holds_alternative<std::string>(batch.at(0, 0))) {
      json = std::get<std::string>(batch.at(0, 0));
    }
  }
  return Value::parse(json);
}

// The optimised plan of `sql`. Statistics of empty tables would prove every filter false and
// remove the scans, so they are always off. Some rearrangements of joins and limits leave plans
// the serialiser cannot bind again (an internal error); the plan is then taken again with other
// ones off. None of them changes which columns, filters or limits reach a scan.
Value optimised_plan(drivers::Connection& scratch, const std::string& sql) {
  static const char* const kDisabled[] = {
      "statistics_propagation,late_materialization,limit_pushdown",
      "statistics_propagation,late_materialization,limit_pushdown,join_order,build_side_probe_side",
      "statistics_propagation,late_materialization,build_side_probe_side"};
  Value plan;
  for (const char* disabled : kDisabled) {
    scratch.execute(std::string("SET disabled_optimizers = '") + disabled + "'");
    plan = serialised_plan(scratch, sql);
    if (text_of(plan, "error_type") != "internal") break;
  }
  return plan;
}

Optimizations analyse(const std::string& sql,
                      const OrderedMap<std::string, std::string>& source_table_map,
                      const SourceColumns& columns) {
  std::unique_ptr<drivers::Connection> scratch = drivers::duckdb::open_file(":memory:");
  std::map<std::string, std::string> by_lower_name;  // DuckDB names are case-insensitive
  for (const auto& [table, ignored] : source_table_map) {
    auto found = columns.find(table);
    if (found == columns.end() || found->second.empty()) continue;
    create_scratch_table(*scratch, table, found->second);
    by_lower_name[text::to_lower(table)] = table;
  }
  std::map<std::string, std::vector<Scan>> scans;
  for (auto& scan : internal::read_scans(optimised_plan(*scratch, sql))) {
    auto known = by_lower_name.find(text::to_lower(scan.table));
    if (known != by_lower_name.end()) scans[known->second].push_back(std::move(scan));
  }
  Optimizations out;
  for (const auto& [table, table_scans] : scans) {
    std::vector<const Scan*> pointers;
    for (const auto& scan : table_scans) pointers.push_back(&scan);
    if (auto o = optimization_for(pointers, columns.at(table))) out[table] = std::move(*o);
  }
  return out;
}

}  // namespace

const std::map<std::string, std::string> ADAPTER_TO_SQLGLOT_DIALECT = {
    {"postgres", "postgres"},     {"redshift", "redshift"},     {"mysql", "mysql"},
    {"mariadb", "mysql"},         {"sqlserver", "tsql"},        {"snowflake", "snowflake"},
    {"bigquery", "bigquery"},     {"databricks", "databricks"}, {"oracle", "oracle"},
    {"clickhouse", "clickhouse"}, {"trino", "trino"},           {"duckdb", "duckdb"},
    {"sqlite", "sqlite"},
};

Optimizations optimize_extractions(const std::string& rewritten_sql,
                                   const OrderedMap<std::string, std::string>& source_table_map,
                                   const SourceColumns& columns) {
  try {
    return analyse(rewritten_sql, source_table_map, columns);
  } catch (const std::exception& e) {
    logger().debug("ZYL: extraction not optimised, every source is read whole: {}", e.what());
  }
  return {};
}

std::vector<drivers::Column> probe_columns(drivers::Connection& source, const std::string& schema,
                                           const std::string& identifier) {
  std::string table = schema.empty() ? identifier : schema + "." + identifier;
  auto result = source.query("SELECT * FROM " + table + " WHERE 1 = 0");
  std::vector<drivers::Column> columns = result->columns();
  drivers::RowBatch batch;
  while (result->next(batch)) {
  }
  return columns;
}

}  // namespace zyl::federation::optimizer
