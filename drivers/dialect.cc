#include "drivers/dialect.h"

#include <array>

#include "core/text.h"
#include "drivers/driver.h"
#include "drivers/relation.h"

namespace zyl::drivers {
namespace {

Dialect standard(std::string_view engine) {
  Dialect d;
  d.engine = engine;
  return d;
}

Dialect make_mysql(std::string_view engine) {
  Dialect d = standard(engine);
  d.quote = '`';
  d.backslash_in_literals = true;
  d.database_level = false;
  d.rename = RenameForm::RenameTable;
  d.merge = MergeForm::UpdateJoin;
  d.schema = SchemaForm::DatabaseIfNotExists;
  d.create_as = CreateAsForm::SubqueryAs;
  d.current_schema = "DATABASE()";
  return d;
}

Dialect make_postgres(std::string_view engine) {
  Dialect d = standard(engine);
  d.drop_cascade = true;
  return d;
}

Dialect make_sqlite() {
  Dialect d = standard("sqlite");
  d.database_level = false;
  d.replace_view = nullptr;
  d.schema = SchemaForm::None;
  d.catalog = CatalogForm::SqliteMaster;
  return d;
}

Dialect make_duckdb() {
  Dialect d = standard("duckdb");
  return d;
}

Dialect make_clickhouse() {
  Dialect d = standard("clickhouse");
  d.quote = '`';
  d.backslash_in_names = true;
  d.backslash_in_literals = true;
  d.database_level = false;
  d.transactions = false;
  d.views_are_tables = true;
  d.replace_view = nullptr;  // 18.16 has no CREATE OR REPLACE VIEW
  d.rename = RenameForm::RenameTable;
  d.schema = SchemaForm::DatabaseIfNotExists;
  d.catalog = CatalogForm::ClickHouseSystem;
  d.create_as = CreateAsForm::MergeTreeAs;
  d.current_schema = "currentDatabase()";
  return d;
}

// T-SQL: sp_rename, UPDATE ... FROM with a join, SELECT ... INTO, N'' literals, no CREATE
// SCHEMA IF NOT EXISTS. Double quotes name identifiers (QUOTED_IDENTIFIER is on in ODBC).
Dialect make_sqlserver() {
  Dialect d = standard("sqlserver");
  d.unicode_literals = true;
  d.replace_view = "CREATE OR ALTER VIEW";
  d.rename = RenameForm::SpRename;
  d.merge = MergeForm::UpdateFromJoin;
  d.schema = SchemaForm::CheckedCreate;
  d.create_as = CreateAsForm::SelectInto;
  d.current_schema = "SCHEMA_NAME()";
  return d;
}

// Snowflake reads backslash escapes in string literals; an unqualified RENAME TO target lands
// in the session's current schema, so the schema is named again; SWAP WITH exchanges two
// tables in one statement.
Dialect make_snowflake() {
  Dialect d = standard("snowflake");
  d.backslash_in_literals = true;
  d.qualified_rename_target = true;
  d.swap_with = true;
  d.current_schema = "CURRENT_SCHEMA()";
  return d;
}

// Oracle: no AS before a table alias, no IF EXISTS before 23c, schemas are users (made by an
// administrator), MERGE INTO, ALL_TABLES / ALL_VIEWS.
Dialect make_oracle() {
  Dialect d = standard("oracle");
  d.database_level = false;
  d.alias_takes_as = false;
  d.drop_if_exists = false;
  d.merge = MergeForm::MergeInto;
  d.schema = SchemaForm::None;
  d.catalog = CatalogForm::OracleAll;
  d.current_schema = "SYS_CONTEXT('USERENV', 'CURRENT_SCHEMA')";
  return d;
}

// Trino: an unqualified RENAME TO target is taken in the session's schema; MERGE INTO.
Dialect make_trino() {
  Dialect d = standard("trino");
  d.qualified_rename_target = true;
  d.merge = MergeForm::MergeInto;
  d.current_schema = "current_schema";
  return d;
}

// Databricks (Spark SQL): backticks, backslash escapes in literals (where '' would join two
// literals into one and lose the quote), no multi-statement transactions, MERGE INTO.
Dialect make_databricks() {
  Dialect d = standard("databricks");
  d.quote = '`';
  d.backslash_in_literals = true;
  d.quote_by_backslash = true;
  d.transactions = false;
  d.qualified_rename_target = true;
  d.merge = MergeForm::MergeInto;
  return d;
}

// BigQuery: backticks with backslash escapes in names and literals, datasets as schemas with
// an INFORMATION_SCHEMA each, no transactions across statements here, MERGE INTO. A RENAME TO
// target stays in the table's dataset and takes no qualification.
Dialect make_bigquery() {
  Dialect d = standard("bigquery");
  d.quote = '`';
  d.backslash_in_names = true;
  d.backslash_in_literals = true;
  d.quote_by_backslash = true;
  d.transactions = false;
  d.merge = MergeForm::MergeInto;
  d.catalog = CatalogForm::DatasetSchema;
  d.current_schema = "";
  return d;
}

const std::array<Dialect, 13>& dialects() {
  static const std::array<Dialect, 13> all = {make_postgres("postgres"),
                                              make_postgres("redshift"),
                                              make_duckdb(),
                                              make_sqlite(),
                                              make_mysql("mysql"),
                                              make_mysql("mariadb"),
                                              make_clickhouse(),
                                              make_sqlserver(),
                                              make_snowflake(),
                                              make_oracle(),
                                              make_trino(),
                                              make_databricks(),
                                              make_bigquery()};
  return all;
}

std::string bracketed(std::string_view name) {
  return "[" + text::replace_all(name, "]", "]]") + "]";
}

std::string join_columns(const std::vector<std::string>& names, const std::string& prefix,
                         const std::function<std::string(std::string_view)>& quote) {
  std::vector<std::string> parts;
  for (const std::string& name : names) parts.push_back(prefix + quote(name));
  return text::join(parts, ", ");
}

}  // namespace

const Dialect& dialect_of(std::string_view engine) {
  for (const Dialect& d : dialects()) {
    if (d.engine == engine) return d;
  }
  static const Dialect fallback = standard("");
  return fallback;
}

std::string table_alias(std::string_view engine, std::string_view alias) {
  return (dialect_of(engine).alias_takes_as ? " AS " : " ") + std::string(alias);
}

std::string rename_sql(std::string_view engine, std::string_view database, std::string_view schema,
                       std::string_view from, std::string_view to) {
  const Dialect& d = dialect_of(engine);
  std::string old_name = relation_text(engine, database, schema, from);
  switch (d.rename) {
    case RenameForm::RenameTable:
      return "RENAME TABLE " + old_name + " TO " + relation_text(engine, database, schema, to);
    case RenameForm::SpRename: {
      std::string object =
          schema.empty() ? bracketed(from) : bracketed(schema) + "." + bracketed(from);
      if (!database.empty() && !schema.empty()) object = bracketed(database) + "." + object;
      return "EXEC sp_rename " + string_literal_for(engine, object) + ", " +
             string_literal_for(engine, to);
    }
    case RenameForm::AlterTable:
      break;
  }
  std::string new_name = d.qualified_rename_target ? relation_text(engine, database, schema, to)
                                                   : quote_identifier_for(engine, to);
  return "ALTER TABLE " + old_name + " RENAME TO " + new_name;
}

std::string drop_if_exists_sql(std::string_view engine, std::string_view object_word,
                               const std::string& relation_text) {
  const Dialect& d = dialect_of(engine);
  std::string word = d.views_are_tables ? "TABLE" : std::string(object_word);
  std::string cascade = d.drop_cascade ? " CASCADE" : "";
  if (d.drop_if_exists) return "DROP " + word + " IF EXISTS " + relation_text + cascade;
  // ORA-00942: table or view does not exist.
  return "BEGIN EXECUTE IMMEDIATE " +
         string_literal_for(engine, "DROP " + word + " " + relation_text) +
         "; EXCEPTION WHEN OTHERS THEN IF SQLCODE != -942 THEN RAISE; END IF; END;";
}

std::string create_schema_sql(std::string_view engine, std::string_view database,
                              std::string_view schema) {
  const Dialect& d = dialect_of(engine);
  if (schema.empty()) return "";
  std::string name = quote_identifier_for(engine, schema);
  if (d.database_level && !database.empty()) {
    name = quote_identifier_for(engine, database) + "." + name;
  }
  switch (d.schema) {
    case SchemaForm::IfNotExists:
      return "CREATE SCHEMA IF NOT EXISTS " + name;
    case SchemaForm::DatabaseIfNotExists:
      return "CREATE DATABASE IF NOT EXISTS " + name;
    case SchemaForm::CheckedCreate:
      return "IF SCHEMA_ID(" + string_literal_for(engine, schema) + ") IS NULL EXEC(" +
             string_literal_for(engine, "CREATE SCHEMA " + name) + ")";
    case SchemaForm::None:
      break;
  }
  return "";
}

std::vector<std::string> create_table_as_sql(std::string_view engine, std::string_view database,
                                             std::string_view schema, std::string_view identifier,
                                             const std::string& sql) {
  const Dialect& d = dialect_of(engine);
  std::string table = relation_text(engine, database, schema, identifier);
  std::string body = strip_statement_end(sql);
  switch (d.create_as) {
    case CreateAsForm::SubqueryAs:
      return {"CREATE TABLE " + table + " AS SELECT * FROM (\n" + body + "\n)" +
              table_alias(engine, "brek_subquery")};
    case CreateAsForm::MergeTreeAs:
      return {"CREATE TABLE " + table + " ENGINE = MergeTree ORDER BY tuple() AS\n" + body + "\n"};
    case CreateAsForm::SelectInto: {
      std::string view = relation_text(engine, database, schema, std::string(identifier) + "__src");
      return {drop_if_exists_sql(engine, "VIEW", view),
              "CREATE VIEW " + view + " AS\n" + body + "\n",
              "SELECT * INTO " + table + " FROM " + view, "DROP VIEW " + view};
    }
    case CreateAsForm::CreateAs:
      break;
  }
  return {"CREATE TABLE " + table + " AS\n" + body + "\n"};
}

MergeStatements merge_statements(std::string_view engine, const MergeSpec& spec,
                                 const std::function<std::string(std::string_view)>& quote) {
  const Dialect& d = dialect_of(engine);
  const std::string t = spec.target_alias + ".";
  const std::string s = spec.source_alias + ".";
  std::vector<std::string> match, sets, sets_qualified;
  for (size_t k : spec.keys) {
    match.push_back(t + quote(spec.target_columns[k]) + " = " + s + quote(spec.source_columns[k]));
  }
  for (size_t i = 0; i < spec.target_columns.size(); ++i) {
    bool is_key = false;
    for (size_t k : spec.keys) is_key = is_key || k == i;
    if (is_key) continue;
    std::string value = " = " + s + quote(spec.source_columns[i]);
    sets.push_back(quote(spec.target_columns[i]) + value);
    sets_qualified.push_back(t + quote(spec.target_columns[i]) + value);
  }
  const std::string on = text::join(match, " AND ");
  const std::string target_as = table_alias(engine, spec.target_alias);
  const std::string source_as = table_alias(engine, spec.source_alias);
  const std::string columns = join_columns(spec.target_columns, "", quote);
  const std::string values = join_columns(spec.source_columns, s, quote);
  MergeStatements out;
  if (d.merge == MergeForm::MergeInto) {
    out.merge = "MERGE INTO " + spec.target + target_as + " USING " + spec.source + source_as +
                " ON (" + on + ")";
    if (!sets.empty()) out.merge += " WHEN MATCHED THEN UPDATE SET " + text::join(sets, ", ");
    out.merge += " WHEN NOT MATCHED THEN INSERT (" + columns + ") VALUES (" + values + ")";
    return out;
  }
  if (!sets.empty()) {
    switch (d.merge) {
      case MergeForm::UpdateJoin:
        out.update = "UPDATE " + spec.target + target_as + " JOIN " + spec.source + source_as +
                     " ON " + on + " SET " + text::join(sets_qualified, ", ");
        break;
      case MergeForm::UpdateFromJoin:
        out.update = "UPDATE " + spec.target_alias + " SET " + text::join(sets, ", ") + " FROM " +
                     spec.target + target_as + " JOIN " + spec.source + source_as + " ON " + on;
        break;
      default:
        out.update = "UPDATE " + spec.target + target_as + " SET " + text::join(sets, ", ") +
                     " FROM " + spec.source + source_as + " WHERE " + on;
    }
  }
  out.insert = "INSERT INTO " + spec.target + " (" + columns + ") SELECT " + values + " FROM " +
               spec.source + source_as + " WHERE NOT EXISTS (SELECT 1 FROM " + spec.target +
               target_as + " WHERE " + on + ")";
  return out;
}

}  // namespace zyl::drivers
