// How each engine names a relation: the quoting of identifiers, the text of a qualified relation
// and the catalog query that tells a table from a view. Every module that writes a relation name
// into SQL takes it from here, so a name such as `Orders`, `order` or `a"b` means the same
// relation everywhere.
//
//   relation_text("postgres", "db", "an", "Orders")   // "db"."an"."Orders"
//   relation_text("mysql", "", "an", "order")          // `an`.`order`
#pragma once

#include <string>
#include <string_view>

namespace zyl::drivers {

class Connection;

// `name` quoted for `engine` (an adapter type): backticks for MySQL and MariaDB, double quotes
// everywhere else, the quote character doubled inside (ClickHouse, which reads a backslash in a
// name as an escape, also gets every backslash doubled). Thread-safe.
std::string quote_identifier_for(std::string_view engine, std::string_view name);

// `text` as a string literal of `engine`: in single quotes, quotes doubled; MySQL, MariaDB and
// ClickHouse also read a backslash as an escape, so it is doubled there. Thread-safe.
std::string string_literal_for(std::string_view engine, std::string_view text);

// Whether relation names of `engine` carry a database (catalog) part. MySQL, MariaDB and
// ClickHouse call their schemas databases; SQLite has attached files, named as schemas.
bool has_database_level(std::string_view engine);

// The relation `database`.`schema`.`identifier` as `engine` writes it, every part quoted. The
// database part is left out when empty or when the engine has none, the schema part when empty.
std::string relation_text(std::string_view engine, std::string_view database,
                          std::string_view schema, std::string_view identifier);

// The word a DROP statement of `engine` names an object of the kind `object_word` ("TABLE",
// "VIEW") with: ClickHouse drops a view as a table (18.16 has no DROP VIEW).
std::string drop_word(std::string_view engine, std::string_view object_word);

// What a relation is on its database.
enum class RelationKind { None, Table, View };

// The catalog query whose first cell names the kind of `schema`.`identifier` ("table", "view",
// "BASE TABLE", "VIEW", ClickHouse's engine name "MergeTree", "View", ...); no row when there is
// no such relation. An empty schema means the connection's current one. `database` narrows the
// DuckDB catalog when non-empty.
std::string relation_kind_query(std::string_view engine, std::string_view database,
                                std::string_view schema, std::string_view identifier);

// The kind named by the first cell of relation_kind_query: View for "view" in any case, Table
// for anything else that is not empty, None for an empty text.
RelationKind relation_kind_from(std::string_view catalog_type);

// Asks `connection` what `schema`.`identifier` is. Throws DriverError when the catalog cannot be
// read.
RelationKind relation_kind(Connection& connection, std::string_view schema,
                           std::string_view identifier);

}  // namespace zyl::drivers
