#include "brek/task/materialize.h"

#include <stdexcept>

#include "core/text.h"
#include "core/value.h"
#include "drivers/dialect.h"
#include "drivers/relation.h"

namespace brek::materialize {
namespace {

bool is_mysql(const std::string& type) { return type == "mysql" || type == "mariadb"; }
bool is_clickhouse(const std::string& type) { return type == "clickhouse"; }

// The model SQL without trailing semicolons and blanks, ready to be wrapped.
std::string body_of(const std::string& sql) {
  size_t end = sql.size();
  while (end > 0) {
    char c = sql[end - 1];
    if (c == ';' || c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      --end;
    } else {
      break;
    }
  }
  if (end == 0) throw std::invalid_argument("the model's SQL is empty");
  return sql.substr(0, end);
}

// The catalog part a relation is written with: only DuckDB reaches other catalogs by name.
std::string database_of(const std::string& type, const Relation& relation) {
  return type == "duckdb" ? relation.database : "";
}

class Session {
 public:
  explicit Session(Adapter& adapter)
      : adapter_(adapter), type_(adapter.type()), dialect_(zyl::drivers::dialect_of(type_)) {}

  const std::string& type() const { return type_; }
  const zyl::drivers::Dialect& dialect() const { return dialect_; }
  // Whether a transaction can hold DDL here: the driver says so and the engine has them.
  bool transactional_ddl() const { return dialect_.transactions && adapter_.transactional_ddl(); }
  void run(const std::string& sql) { adapter_.execute(sql, false); }
  void run_all(const std::vector<std::string>& statements) {
    for (const std::string& sql : statements) run(sql);
  }
  Table fetch(const std::string& sql) { return adapter_.execute(sql, true).second; }
  std::string q(const std::string& identifier) const { return quote(type_, identifier); }
  std::string rel(const Relation& relation) const { return quote_relation(type_, relation); }
  std::string alias(const std::string& name) const {
    return zyl::drivers::table_alias(type_, name);
  }
  std::string cascade() const { return dialect_.drop_cascade ? " CASCADE" : ""; }

  // Engines without transactions (ClickHouse) run every statement on its own.
  void begin() {
    if (!dialect_.transactions) return;
    adapter_.begin();
    in_transaction_ = true;
  }
  void commit() {
    if (!in_transaction_) return;
    adapter_.commit();
    in_transaction_ = false;
  }
  // Never throws: used on the failure path.
  void rollback() noexcept {
    if (!in_transaction_) return;
    in_transaction_ = false;
    adapter_.rollback();
  }
  // Never throws: used on the failure path.
  void drop_quietly(const Relation& relation) noexcept {
    try {
      run(zyl::drivers::drop_if_exists_sql(type_, "TABLE", rel(relation)));
    } catch (...) {
    }
  }

  void ensure_schema(const Relation& relation) {
    std::string sql =
        zyl::drivers::create_schema_sql(type_, database_of(type_, relation), relation.schema);
    if (!sql.empty()) run(sql);
  }

  void create_table_as(const Relation& relation, const std::string& sql) {
    body_of(sql);  // refuses an empty model
    run_all(zyl::drivers::create_table_as_sql(type_, database_of(type_, relation), relation.schema,
                                              relation.identifier, sql));
  }

  // Gives `from` the name of `to`, in the same schema.
  void rename(const Relation& from, const std::string& to) {
    run(zyl::drivers::rename_sql(type_, database_of(type_, from), from.schema, from.identifier,
                                 to));
  }

  long long count(const Relation& relation) {
    Table table = fetch("SELECT COUNT(*) FROM " + rel(relation));
    if (table.rows.empty() || table.rows[0].empty()) return 0;
    const zyl::Value& cell = table.rows[0][0];
    if (cell.is_number()) return cell.get<long long>();
    return std::stoll(zyl::text_form(cell));
  }

  std::vector<std::string> columns(const Relation& relation) {
    return fetch("SELECT * FROM " + rel(relation) + " WHERE 1 = 0").column_names;
  }

 private:
  Adapter& adapter_;
  std::string type_;
  const zyl::drivers::Dialect& dialect_;
  bool in_transaction_ = false;
};

std::string drop_view(Session& s, const Relation& relation) {
  return "DROP " + zyl::drivers::drop_word(s.type(), "VIEW") + " " + s.rel(relation) + s.cascade();
}

Relation sibling(const Relation& relation, const std::string& suffix) {
  Relation other = relation;
  other.identifier += suffix;
  return other;
}

// Puts the table `temp` in the place of `relation` (a table when `exists`), dropping the old
// one: one RENAME TABLE where the engine renames several tables at once, one SWAP WITH where it
// exchanges two, otherwise two renames by way of `backup` (atomic inside a transaction).
void put_in_place(Session& s, const Relation& temp, const Relation& relation,
                  const Relation& backup, bool exists) {
  const zyl::drivers::Dialect& d = s.dialect();
  if (!exists) {
    s.rename(temp, relation.identifier);
    return;
  }
  if (d.rename == zyl::drivers::RenameForm::RenameTable) {
    s.drop_quietly(backup);
    s.run("RENAME TABLE " + s.rel(relation) + " TO " + s.rel(backup) + ", " + s.rel(temp) + " TO " +
          s.rel(relation));
    s.run("DROP TABLE " + s.rel(backup));
    return;
  }
  if (d.swap_with) {
    s.run("ALTER TABLE " + s.rel(temp) + " SWAP WITH " + s.rel(relation));
    s.run("DROP TABLE " + s.rel(temp));
    return;
  }
  s.run(zyl::drivers::drop_if_exists_sql(s.type(), "TABLE", s.rel(backup)));
  s.rename(relation, backup.identifier);
  s.rename(temp, relation.identifier);
  s.run("DROP TABLE " + s.rel(backup) + s.cascade());
}

// Builds `relation` as a table: the rows go into a temporary table, which then takes the
// relation's name; whatever had the name before is dropped. Returns the row count.
long long build_table(Session& s, const Relation& relation, RelationKind existing,
                      const std::string& sql) {
  const Relation temp = sibling(relation, "__brek_tmp");
  const Relation backup = sibling(relation, "__brek_backup");
  s.ensure_schema(relation);
  s.drop_quietly(temp);
  try {
    if (s.transactional_ddl()) s.begin();
    s.create_table_as(temp, sql);
    long long rows = s.count(temp);
    if (existing == RelationKind::View) s.run(drop_view(s, relation));
    put_in_place(s, temp, relation, backup, existing == RelationKind::Table);
    s.commit();
    return rows;
  } catch (...) {
    s.rollback();
    s.drop_quietly(temp);
    throw;
  }
}

void build_view(Session& s, const Relation& relation, RelationKind existing,
                const std::string& sql) {
  s.ensure_schema(relation);
  const std::string body = " AS\n" + body_of(sql) + "\n";
  if (!s.transactional_ddl()) {
    // Each statement commits on its own: the view is replaced in one where the engine can.
    const char* replace = s.dialect().replace_view;
    if (replace != nullptr) {
      if (existing == RelationKind::Table) s.run("DROP TABLE " + s.rel(relation));
      s.run(replace + (" " + s.rel(relation)) + body);
      return;
    }
    // ClickHouse 18.16 has no CREATE OR REPLACE VIEW; a view holds no rows.
    if (existing != RelationKind::None) s.run(drop_view(s, relation));
    s.run("CREATE VIEW " + s.rel(relation) + body);
    return;
  }
  try {
    s.begin();
    if (existing == RelationKind::Table) s.run("DROP TABLE " + s.rel(relation) + s.cascade());
    if (existing == RelationKind::View) s.run(drop_view(s, relation));
    s.run("CREATE VIEW " + s.rel(relation) + body);
    s.commit();
  } catch (...) {
    s.rollback();
    throw;
  }
}

std::string key_match(Session& s, const std::vector<std::string>& keys, const std::string& left,
                      const std::string& right) {
  std::vector<std::string> parts;
  for (const auto& key : keys) {
    parts.push_back(left + "." + s.q(key) + " = " + right + "." + s.q(key));
  }
  return zyl::text::join(parts, " AND ");
}

std::string column_list(Session& s, const std::vector<std::string>& columns,
                        const std::string& prefix = "") {
  std::vector<std::string> parts;
  for (const auto& column : columns) parts.push_back(prefix + s.q(column));
  return zyl::text::join(parts, ", ");
}

// On MySQL, CREATE TABLE ... AS sizes a text column by the values of its first run ('open' makes
// a VARCHAR(4)), so a later, longer value would not fit the table ("Data too long"). Text columns
// of `target` shorter than the same column of `incoming` are widened to its length first.
void widen_text_columns(Session& s, const Relation& target, const Relation& incoming) {
  auto mysql_literal = [&](const std::string& text) {
    return zyl::drivers::string_literal_for(s.type(), text);
  };
  auto describe = [&](const Relation& r) {
    std::string schema = r.schema.empty() ? "DATABASE()" : mysql_literal(r.schema);
    return s.fetch(
        "SELECT COLUMN_NAME, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH, IS_NULLABLE, COLLATION_NAME "
        "FROM information_schema.columns WHERE table_schema = " +
        schema + " AND table_name = " + mysql_literal(r.identifier));
  };
  auto length = [](const zyl::Value& v) -> long long {
    return v.is_number() ? v.get<long long>() : (v.is_null() ? 0 : std::stoll(zyl::text_form(v)));
  };
  Table old_columns = describe(target);
  Table new_columns = describe(incoming);
  for (const auto& old_column : old_columns.rows) {
    std::string old_type = zyl::text::to_lower(zyl::text_form(old_column[1]));
    if (old_type != "varchar" && old_type != "char") continue;
    for (const auto& new_column : new_columns.rows) {
      if (zyl::text::to_lower(zyl::text_form(new_column[0])) !=
          zyl::text::to_lower(zyl::text_form(old_column[0]))) {
        continue;
      }
      long long needed = length(new_column[2]);
      if (needed <= length(old_column[2])) break;
      std::string new_type = zyl::text::to_lower(zyl::text_form(new_column[1]));
      std::string type_sql;
      if (new_type == "varchar" || new_type == "char") {
        type_sql = "VARCHAR(" + std::to_string(needed) + ")";
      } else if (new_type == "tinytext" || new_type == "text" || new_type == "mediumtext" ||
                 new_type == "longtext") {
        type_sql = zyl::text::to_upper(new_type);
      } else {
        break;  // binary, enum, set: not text to widen into
      }
      std::string sql = "ALTER TABLE " + s.rel(target) + " MODIFY COLUMN " +
                        s.q(zyl::text_form(old_column[0])) + " " + type_sql;
      if (zyl::text_form(old_column[3]) == "NO") sql += " NOT NULL";
      if (old_column[4].is_string()) sql += " COLLATE " + zyl::text_form(old_column[4]);
      s.run(sql);
      break;
    }
  }
}

// The columns of the table `relation` that the rows in `temp` also have, in the table's order.
// Throws when there are none, or when a key column is not among them.
std::vector<std::string> shared_columns(Session& s, const Relation& relation, const Relation& temp,
                                        const std::vector<std::string>& keys) {
  std::vector<std::string> target_columns = s.columns(relation);
  std::vector<std::string> new_columns = s.columns(temp);
  std::vector<std::string> shared;
  for (const auto& column : target_columns) {
    for (const auto& candidate : new_columns) {
      if (zyl::text::to_lower(candidate) == zyl::text::to_lower(column)) {
        shared.push_back(column);
        break;
      }
    }
  }
  if (shared.empty()) {
    throw std::runtime_error("the model's columns share none with the existing table " +
                             relation.identifier);
  }
  for (const auto& key : keys) {
    bool found = false;
    for (const auto& column : shared) found = found || zyl::text::to_lower(column) ==
                                                           zyl::text::to_lower(key);
    if (!found) throw std::runtime_error("unique_key column '" + key + "' is not a column of " +
                                         relation.identifier);
  }
  return shared;
}

// The ClickHouse type of `column` in the table `relation`.
std::string clickhouse_type(Session& s, const Relation& relation, const std::string& column) {
  auto literal_of = [&](const std::string& text) {
    return zyl::drivers::string_literal_for(s.type(), text);
  };
  std::string database =
      relation.schema.empty() ? "currentDatabase()" : literal_of(relation.schema);
  Table types = s.fetch("SELECT type FROM system.columns WHERE database = " + database +
                        " AND table = " + literal_of(relation.identifier) +
                        " AND name = " + literal_of(column));
  if (types.rows.empty() || types.rows[0].empty()) {
    throw std::runtime_error("unique_key column '" + column + "' is not a column of " +
                             relation.identifier);
  }
  return zyl::text_form(types.rows[0][0]);
}

// ClickHouse has neither UPDATE nor transactions: the increment builds a new table of the
// target's own structure from the old rows it keeps (all of them when appending, those
// without a new key otherwise) and the new rows, and one RENAME TABLE puts it in the target's
// place. Returns the number of new rows the model produced.
long long rebuild_increment(Session& s, const Relation& relation, const std::string& sql,
                            const std::string& strategy, const std::vector<std::string>& keys) {
  const Relation temp = sibling(relation, "__brek_tmp");
  const Relation rebuilt = sibling(relation, "__brek_new");
  const Relation backup = sibling(relation, "__brek_backup");
  for (const Relation* r : {&temp, &rebuilt, &backup}) s.drop_quietly(*r);
  try {
    s.create_table_as(temp, sql);
    long long rows = s.count(temp);
    std::vector<std::string> shared = shared_columns(s, relation, temp, keys);
    const std::string target = s.rel(relation);
    s.run("CREATE TABLE " + s.rel(rebuilt) + " AS " + target);
    std::string kept = "INSERT INTO " + s.rel(rebuilt) + " SELECT * FROM " + target;
    if (strategy != "append") {
      std::vector<std::string> nulls, new_keys;
      for (const auto& key : keys) {
        nulls.push_back("isNull(" + s.q(key) + ")");
        // 18.16 compares tuples only of the same types.
        new_keys.push_back("CAST(" + s.q(key) + " AS " + clickhouse_type(s, relation, key) + ")");
      }
      kept += " WHERE " + zyl::text::join(nulls, " OR ") + " OR (" + column_list(s, keys) +
              ") NOT IN (SELECT " + zyl::text::join(new_keys, ", ") + " FROM " + s.rel(temp) + ")";
    }
    s.run(kept);
    s.run("INSERT INTO " + s.rel(rebuilt) + " (" + column_list(s, shared) + ") SELECT " +
          column_list(s, shared) + " FROM " + s.rel(temp));
    s.run("RENAME TABLE " + target + " TO " + s.rel(backup) + ", " + s.rel(rebuilt) + " TO " +
          target);
    s.drop_quietly(backup);
    s.drop_quietly(temp);
    return rows;
  } catch (...) {
    s.drop_quietly(rebuilt);
    s.drop_quietly(temp);
    throw;
  }
}

// The merge of the staged rows into `target` by `keys`, in the engine's form.
zyl::drivers::MergeStatements merge_of(Session& s, const std::string& target,
                                       const std::string& staged,
                                       const std::vector<std::string>& shared,
                                       const std::vector<std::string>& keys) {
  zyl::drivers::MergeSpec spec;
  spec.target = target;
  spec.source = staged;
  spec.target_alias = "brek_old";
  spec.source_alias = "brek_new";
  spec.target_columns = shared;
  spec.source_columns = shared;
  for (size_t i = 0; i < shared.size(); ++i) {
    for (const auto& key : keys) {
      if (zyl::text::to_lower(key) == zyl::text::to_lower(shared[i])) spec.keys.push_back(i);
    }
  }
  return zyl::drivers::merge_statements(
      s.type(), spec, [&](std::string_view name) { return s.q(std::string(name)); });
}

// Adds the rows of `sql` to the existing table `relation` by `strategy`. Returns the number of
// new rows the model produced.
long long apply_increment(Session& s, const Relation& relation, const std::string& sql,
                          const std::string& strategy, const std::vector<std::string>& keys) {
  const Relation temp = sibling(relation, "__brek_tmp");
  s.drop_quietly(temp);
  try {
    // Where the CREATE commits on its own (MySQL), the changes to the target still go in one
    // transaction after it.
    if (s.transactional_ddl()) s.begin();
    s.create_table_as(temp, sql);
    if (is_mysql(s.type())) widen_text_columns(s, relation, temp);
    if (!s.transactional_ddl()) s.begin();
    long long rows = s.count(temp);
    std::vector<std::string> shared = shared_columns(s, relation, temp, keys);

    const std::string target = s.rel(relation);
    const std::string staged = s.rel(temp);
    const std::string insert_columns = column_list(s, shared);
    const std::string insert_all = "INSERT INTO " + target + " (" + insert_columns + ") SELECT " +
                                   insert_columns + " FROM " + staged;
    if (strategy == "delete+insert") {
      s.run("DELETE FROM " + target + " WHERE EXISTS (SELECT 1 FROM " + staged +
            s.alias("brek_new") + " WHERE " + key_match(s, keys, "brek_new", target) + ")");
      s.run(insert_all);
    } else if (strategy == "merge") {
      zyl::drivers::MergeStatements merge = merge_of(s, target, staged, shared, keys);
      for (const std::string* sql : {&merge.update, &merge.insert, &merge.merge}) {
        if (!sql->empty()) s.run(*sql);
      }
    } else {
      s.run(insert_all);
    }
    s.run("DROP TABLE " + staged);
    s.commit();
    return rows;
  } catch (...) {
    s.rollback();
    s.drop_quietly(temp);
    throw;
  }
}

std::string strategy_of(const IncrementalOptions& options) {
  std::string strategy = options.strategy;
  if (strategy.empty()) strategy = options.unique_key.empty() ? "append" : "merge";
  if (strategy != "append" && strategy != "merge" && strategy != "delete+insert") {
    throw std::invalid_argument("unknown incremental_strategy '" + strategy +
                                "' (expected append, merge or delete+insert)");
  }
  if (strategy != "append" && options.unique_key.empty()) {
    throw std::invalid_argument("incremental_strategy '" + strategy + "' needs a unique_key");
  }
  return strategy;
}

}  // namespace

std::string quote(const std::string& adapter_type, const std::string& identifier) {
  return zyl::drivers::quote_identifier_for(adapter_type, identifier);
}

std::string quote_relation(const std::string& adapter_type, const Relation& relation) {
  // A connection reaches the other catalogs of its DuckDB file by name; elsewhere the database
  // is the connection's own and is left out.
  std::string database = adapter_type == "duckdb" ? relation.database : "";
  return zyl::drivers::relation_text(adapter_type, database, relation.schema, relation.identifier);
}

RelationKind relation_kind(Adapter& adapter, const Relation& relation) {
  std::string sql = zyl::drivers::relation_kind_query(adapter.type(), relation.database,
                                                      relation.schema, relation.identifier);
  Table table = adapter.execute(sql, true).second;
  if (table.rows.empty() || table.rows[0].empty()) return RelationKind::None;
  bool view = zyl::drivers::relation_kind_from(zyl::text_form(table.rows[0][0])) ==
              zyl::drivers::RelationKind::View;
  return view ? RelationKind::View : RelationKind::Table;
}

Materialized materialize(Adapter& adapter, const Relation& relation,
                         const std::string& materialization, const std::string& sql,
                         const IncrementalOptions& options) {
  if (materialization == "ephemeral") return {"EPHEMERAL", -1};
  if (materialization != "view" && materialization != "table" &&
      materialization != "incremental") {
    throw std::invalid_argument("unknown materialization '" + materialization +
                                "' (expected view, table, incremental or ephemeral)");
  }
  if (relation.identifier.empty()) throw std::invalid_argument("the model has no name");
  Session session(adapter);
  RelationKind existing = relation_kind(adapter, relation);
  if (materialization == "view") {
    build_view(session, relation, existing, sql);
    return {"CREATE VIEW", -1};
  }
  if (materialization == "incremental") {
    std::string strategy = strategy_of(options);
    if (!options.full_refresh && existing == RelationKind::Table) {
      long long rows =
          is_clickhouse(adapter.type())
              ? rebuild_increment(session, relation, sql, strategy, options.unique_key)
              : apply_increment(session, relation, sql, strategy, options.unique_key);
      return {"SELECT " + std::to_string(rows), rows};
    }
  }
  long long rows = build_table(session, relation, existing, sql);
  return {"SELECT " + std::to_string(rows), rows};
}

}  // namespace brek::materialize
