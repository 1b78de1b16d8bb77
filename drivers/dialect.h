// The SQL forms that differ between engines and that no driver reports about itself: how a
// table is renamed or swapped, the merge statement, table aliases, CREATE TABLE from a query,
// DROP ... IF EXISTS, CREATE SCHEMA IF NOT EXISTS, the catalog that tells a table from a view,
// identifier quoting and string literals. One table holds these facts per adapter type; the
// loads, the host's materializations and the relation text all write their SQL from it.
//
//   const Dialect& d = dialect_of("sqlserver");
//   rename_sql("sqlserver", "", "dbo", "t__new", "t");   // EXEC sp_rename N'[dbo].[t__new]', N't'
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zyl::drivers {

// How a table gets a new name.
enum class RenameForm {
  AlterTable,   // ALTER TABLE s.a RENAME TO b
  RenameTable,  // RENAME TABLE s.a TO s.b (several pairs in one statement)
  SpRename,     // EXEC sp_rename N's.a', N'b'
};

// How the rows of a staged table update and extend a table by a key.
enum class MergeForm {
  UpdateFrom,      // UPDATE t AS x SET c = y.c FROM s AS y WHERE ..., then INSERT ... NOT EXISTS
  UpdateJoin,      // UPDATE t AS x JOIN s AS y ON ... SET x.c = y.c, then INSERT
  UpdateFromJoin,  // UPDATE x SET c = y.c FROM t AS x JOIN s AS y ON ..., then INSERT
  MergeInto,       // one MERGE INTO t x USING s y ON (...) WHEN MATCHED ... WHEN NOT MATCHED ...
};

// How a schema is made when it is missing.
enum class SchemaForm {
  IfNotExists,          // CREATE SCHEMA IF NOT EXISTS s
  DatabaseIfNotExists,  // CREATE DATABASE IF NOT EXISTS s (schemas are databases)
  CheckedCreate,        // IF SCHEMA_ID(N's') IS NULL EXEC(N'CREATE SCHEMA s')
  None,                 // no schemas to make (SQLite files; Oracle schemas are users)
};

// Where the catalog says what a relation is.
enum class CatalogForm {
  InformationSchema,  // information_schema.tables
  SqliteMaster,       // <file>.sqlite_master
  ClickHouseSystem,   // system.tables
  OracleAll,          // ALL_TABLES and ALL_VIEWS
  DatasetSchema,      // <dataset>.INFORMATION_SCHEMA.TABLES (BigQuery)
};

// How a table is made from the rows of a query.
enum class CreateAsForm {
  CreateAs,     // CREATE TABLE t AS <query>
  SubqueryAs,   // CREATE TABLE t AS SELECT * FROM (<query>) AS x (MySQL: no WITH after AS)
  MergeTreeAs,  // CREATE TABLE t ENGINE = MergeTree ORDER BY tuple() AS <query>
  SelectInto,   // SELECT * INTO t FROM <a view of the query> (T-SQL)
};

struct Dialect {
  std::string_view engine;               // the adapter type; "" for an engine not in the table
  char quote = '"';                      // around identifiers; doubled inside
  bool backslash_in_names = false;       // a backslash inside a quoted name is an escape
  bool backslash_in_literals = false;    // a backslash inside a string literal is an escape
  bool quote_by_backslash = false;       // a quote inside a literal is written \' (not '')
  bool unicode_literals = false;         // string literals take the N prefix
  bool database_level = true;            // relation names carry a database (catalog) part
  bool alias_takes_as = true;            // "t AS x" rather than "t x"
  bool transactions = true;              // statements can be grouped in a transaction at all
  bool qualified_rename_target = false;  // RENAME TO names the schema again
  bool swap_with = false;                // ALTER TABLE a SWAP WITH b (one-statement exchange)
  bool drop_if_exists = true;            // DROP TABLE IF EXISTS
  bool drop_cascade = false;             // DROP TABLE/VIEW ... CASCADE drops dependent views
  bool views_are_tables = false;         // a view is dropped with DROP TABLE
  const char* replace_view = "CREATE OR REPLACE VIEW";  // nullptr: drop and create instead
  RenameForm rename = RenameForm::AlterTable;
  MergeForm merge = MergeForm::UpdateFrom;
  SchemaForm schema = SchemaForm::IfNotExists;
  CatalogForm catalog = CatalogForm::InformationSchema;
  CreateAsForm create_as = CreateAsForm::CreateAs;
  const char* current_schema = "current_schema()";  // the connection's own schema, in SQL
};

// The dialect of an adapter type; engines outside the table get the standard forms (those of
// PostgreSQL). Thread-safe; the reference stays valid for the life of the program.
const Dialect& dialect_of(std::string_view engine);

// ` AS alias` or ` alias`, as `engine` writes a table alias.
std::string table_alias(std::string_view engine, std::string_view alias);

// The statement that gives `schema`.`from` the name `to` in the same schema. `database` is the
// catalog part (left out where the engine has none).
std::string rename_sql(std::string_view engine, std::string_view database, std::string_view schema,
                       std::string_view from, std::string_view to);

// The statement that drops the table (or, with `object_word` "VIEW", the view) named
// `relation_text` when it exists; Oracle before 23c has no IF EXISTS, so it gets a block that
// ignores only "table or view does not exist".
std::string drop_if_exists_sql(std::string_view engine, std::string_view object_word,
                               const std::string& relation_text);

// The statement that makes `schema` when it is missing; "" where there is nothing to make.
std::string create_schema_sql(std::string_view engine, std::string_view database,
                              std::string_view schema);

// The statements that create the table `identifier` (in `schema`, `database`) from the rows of
// `sql`, in order. T-SQL cannot take a query with a WITH clause as a derived table, so there
// the query becomes a view `<identifier>__src` for the SELECT ... INTO and is dropped after.
std::vector<std::string> create_table_as_sql(std::string_view engine, std::string_view database,
                                             std::string_view schema, std::string_view identifier,
                                             const std::string& sql);

// A merge of the rows of `source` into `target` (both quoted relation texts) by key.
struct MergeSpec {
  std::string target;
  std::string source;
  std::string target_alias = "zyl_t";
  std::string source_alias = "zyl_s";
  std::vector<std::string> target_columns;  // unquoted; parallel to source_columns
  std::vector<std::string> source_columns;
  std::vector<size_t> keys;  // indexes into the columns
};

// The statements of a merge: `update` (may be empty: no column besides the keys) then `insert`
// of the rows with new keys; or, where the engine has MERGE, `merge` alone. Identifiers are
// quoted by `quote` (the connection's own quoting).
struct MergeStatements {
  std::string update;
  std::string insert;
  std::string merge;
};
MergeStatements merge_statements(std::string_view engine, const MergeSpec& spec,
                                 const std::function<std::string(std::string_view)>& quote);

}  // namespace zyl::drivers
