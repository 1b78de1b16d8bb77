#include "drivers/relation.h"

#include "core/text.h"
#include "drivers/driver.h"

namespace zyl::drivers {
namespace {

bool is_mysql(std::string_view engine) { return engine == "mysql" || engine == "mariadb"; }
bool is_clickhouse(std::string_view engine) { return engine == "clickhouse"; }
// Engines that read a backslash in a literal or a quoted name as an escape.
bool backslash_escapes(std::string_view engine) {
  return is_mysql(engine) || is_clickhouse(engine);
}

}  // namespace

std::string string_literal_for(std::string_view engine, std::string_view text) {
  if (backslash_escapes(engine)) {
    return sql_string_literal(text::replace_all(text, "\\", "\\\\"));
  }
  return sql_string_literal(text);
}

std::string quote_identifier_for(std::string_view engine, std::string_view name) {
  if (is_clickhouse(engine)) {
    std::string escaped = text::replace_all(name, "\\", "\\\\");
    return "`" + text::replace_all(escaped, "`", "``") + "`";
  }
  const char* quote = is_mysql(engine) ? "`" : "\"";
  const char* doubled = is_mysql(engine) ? "``" : "\"\"";
  return quote + text::replace_all(name, quote, doubled) + quote;
}

bool has_database_level(std::string_view engine) {
  return !is_mysql(engine) && !is_clickhouse(engine) && engine != "sqlite";
}

std::string relation_text(std::string_view engine, std::string_view database,
                          std::string_view schema, std::string_view identifier) {
  std::string out;
  if (!database.empty() && !schema.empty() && has_database_level(engine)) {
    out = quote_identifier_for(engine, database) + ".";
  }
  if (!schema.empty()) out += quote_identifier_for(engine, schema) + ".";
  return out + quote_identifier_for(engine, identifier);
}

std::string relation_kind_query(std::string_view engine, std::string_view database,
                                std::string_view schema, std::string_view identifier) {
  if (engine == "sqlite") {
    std::string file = schema.empty() ? "main" : std::string(schema);
    return "SELECT type FROM " + quote_identifier_for(engine, file) +
           ".sqlite_master WHERE name = " + string_literal_for(engine, identifier) +
           " AND type IN ('table', 'view')";
  }
  if (is_clickhouse(engine)) {
    std::string database_test =
        schema.empty() ? std::string("currentDatabase()") : string_literal_for(engine, schema);
    return "SELECT engine FROM system.tables WHERE database = " + database_test +
           " AND name = " + string_literal_for(engine, identifier);
  }
  std::string schema_test = !schema.empty()    ? string_literal_for(engine, schema)
                            : is_mysql(engine) ? std::string("DATABASE()")
                                               : std::string("current_schema()");
  std::string sql =
      "SELECT table_type FROM information_schema.tables WHERE table_schema = " + schema_test +
      " AND table_name = " + string_literal_for(engine, identifier);
  if (engine == "duckdb") {
    sql += " AND table_catalog = " +
           (database.empty() ? std::string("current_database()") : string_literal_for(engine, database));
  }
  return sql;
}

std::string drop_word(std::string_view engine, std::string_view object_word) {
  if (is_clickhouse(engine) && object_word == "VIEW") return "TABLE";
  return std::string(object_word);
}

RelationKind relation_kind_from(std::string_view catalog_type) {
  if (catalog_type.empty()) return RelationKind::None;
  return text::to_lower(catalog_type) == "view" ? RelationKind::View : RelationKind::Table;
}

RelationKind relation_kind(Connection& connection, std::string_view schema,
                           std::string_view identifier) {
  std::unique_ptr<QueryResult> result =
      connection.query(relation_kind_query(connection.engine(), "", schema, identifier));
  RowBatch batch;
  while (result->next(batch)) {
    if (batch.rows() == 0) continue;
    const Cell& cell = batch.at(0, 0);
    const std::string* type = std::get_if<std::string>(&cell);
    return relation_kind_from(type != nullptr ? *type : std::string("table"));
  }
  return RelationKind::None;
}

}  // namespace zyl::drivers
