#include "drivers/relation.h"

#include "core/text.h"
#include "drivers/dialect.h"
#include "drivers/driver.h"

namespace zyl::drivers {

std::string string_literal_for(std::string_view engine, std::string_view text) {
  const Dialect& d = dialect_of(engine);
  std::string escaped =
      d.backslash_in_literals ? text::replace_all(text, "\\", "\\\\") : std::string(text);
  std::string literal = d.quote_by_backslash ? "'" + text::replace_all(escaped, "'", "\\'") + "'"
                                             : sql_string_literal(escaped);
  return d.unicode_literals ? "N" + literal : literal;
}

std::string quote_identifier_for(std::string_view engine, std::string_view name) {
  const Dialect& d = dialect_of(engine);
  const std::string quote(1, d.quote);
  std::string escaped =
      d.backslash_in_names ? text::replace_all(name, "\\", "\\\\") : std::string(name);
  // BigQuery reads `\`` as a backtick inside a name; the others double the quote.
  std::string inner_quote =
      d.backslash_in_names && d.quote_by_backslash ? "\\" + quote : quote + quote;
  return quote + text::replace_all(escaped, quote, inner_quote) + quote;
}

bool has_database_level(std::string_view engine) { return dialect_of(engine).database_level; }

std::string relation_text(std::string_view engine, std::string_view database,
                          std::string_view schema, std::string_view identifier) {
  std::string out;
  if (!database.empty() && !schema.empty() && has_database_level(engine)) {
    out = quote_identifier_for(engine, database) + ".";
  }
  if (!schema.empty()) out += quote_identifier_for(engine, schema) + ".";
  return out + quote_identifier_for(engine, identifier);
}

namespace {

std::string information_schema_query(std::string_view engine, std::string_view database,
                                     std::string_view schema, std::string_view identifier) {
  const Dialect& d = dialect_of(engine);
  std::string schema_test =
      schema.empty() ? std::string(d.current_schema) : string_literal_for(engine, schema);
  std::string sql =
      "SELECT table_type FROM information_schema.tables WHERE table_schema = " + schema_test +
      " AND table_name = " + string_literal_for(engine, identifier);
  if (engine == "duckdb") {
    sql += " AND table_catalog = " + (database.empty() ? std::string("current_database()")
                                                       : string_literal_for(engine, database));
  }
  return sql;
}

}  // namespace

std::string relation_kind_query(std::string_view engine, std::string_view database,
                                std::string_view schema, std::string_view identifier) {
  const Dialect& d = dialect_of(engine);
  const std::string name = string_literal_for(engine, identifier);
  switch (d.catalog) {
    case CatalogForm::SqliteMaster: {
      std::string file = schema.empty() ? "main" : std::string(schema);
      return "SELECT type FROM " + quote_identifier_for(engine, file) +
             ".sqlite_master WHERE name = " + name + " AND type IN ('table', 'view')";
    }
    case CatalogForm::ClickHouseSystem: {
      std::string database_test =
          schema.empty() ? std::string(d.current_schema) : string_literal_for(engine, schema);
      return "SELECT engine FROM system.tables WHERE database = " + database_test +
             " AND name = " + name;
    }
    case CatalogForm::OracleAll: {
      std::string owner =
          schema.empty() ? std::string(d.current_schema) : string_literal_for(engine, schema);
      return "SELECT 'table' FROM ALL_TABLES WHERE OWNER = " + owner + " AND TABLE_NAME = " + name +
             " UNION ALL SELECT 'view' FROM ALL_VIEWS WHERE OWNER = " + owner +
             " AND VIEW_NAME = " + name;
    }
    case CatalogForm::DatasetSchema: {
      // Each dataset has its own INFORMATION_SCHEMA; without one, the connection's default.
      std::string views = schema.empty() ? std::string("INFORMATION_SCHEMA.TABLES")
                                         : relation_text(engine, "", database, schema) +
                                               ".INFORMATION_SCHEMA.TABLES";
      return "SELECT table_type FROM " + views + " WHERE table_name = " + name;
    }
    case CatalogForm::InformationSchema:
      break;
  }
  return information_schema_query(engine, database, schema, identifier);
}

std::string drop_word(std::string_view engine, std::string_view object_word) {
  if (dialect_of(engine).views_are_tables && object_word == "VIEW") return "TABLE";
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
