#include "zyl/federation/optimizer.h"

#include "core/text.h"

namespace zyl::federation::optimizer {

const std::map<std::string, std::string> ADAPTER_TO_SQLGLOT_DIALECT = {
    {"postgres", "postgres"},   {"redshift", "redshift"}, {"mysql", "mysql"},
    {"mariadb", "mysql"},       {"sqlserver", "tsql"},    {"snowflake", "snowflake"},
    {"bigquery", "bigquery"},   {"databricks", "databricks"}, {"oracle", "oracle"},
    {"clickhouse", "clickhouse"}, {"trino", "trino"},     {"duckdb", "duckdb"},
    {"sqlite", "sqlite"},
};

std::string Optimization::build_query(const std::string& src_schema,
                                      const std::string& src_identifier,
                                      const std::string& source_dialect) const {
  std::string table = src_schema.empty() ? src_identifier : src_schema + "." + src_identifier;
  std::string cols = columns.empty() ? "*" : text::join(columns, ", ");
  bool top = source_dialect == "tsql";
  std::string sql = "SELECT ";
  if (top && limit) sql += "TOP " + std::to_string(*limit) + " ";
  sql += cols + " FROM " + table;
  if (!predicates.empty()) {
    std::vector<std::string> wrapped;
    for (const auto& p : predicates) wrapped.push_back("(" + p + ")");
    sql += " WHERE " + text::join(wrapped, " AND ");
  }
  if (limit && !top) {
    sql += source_dialect == "oracle" ? " FETCH FIRST " + std::to_string(*limit) + " ROWS ONLY"
                                      : " LIMIT " + std::to_string(*limit);
  }
  return sql;
}

Optimizations optimize_extractions(const std::string& rewritten_sql,
                                   const OrderedMap<std::string, std::string>& source_table_map) {
  // Pushing columns or predicates into the source needs a SQL parser; until one exists every
  // source is read whole, which is always correct.
  return {};
}

}  // namespace zyl::federation::optimizer
