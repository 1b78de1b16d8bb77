#include "drivers/sqlite/sqlite_driver.h"

#include <sqlite3.h>

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/text.h"
#include "drivers/engines.h"
#include "drivers/temporal.h"

namespace zyl::drivers {
namespace sqlite {
namespace {

// ---- owners of C handles ----------------------------------------------------------------------

class Database {
 public:
  static std::shared_ptr<Database> open(const std::string& path) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      sqlite3_close(db);
      throw DriverError("cannot open SQLite file '" + path + "': " + message);
    }
    sqlite3_busy_timeout(db, 10000);
    sqlite3_extended_result_codes(db, 1);
    return std::shared_ptr<Database>(new Database(db));
  }
  ~Database() { sqlite3_close_v2(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  sqlite3* get() const { return db_; }

  [[noreturn]] void fail(const std::string& what) const {
    throw DriverError("SQLite: " + what + (what.empty() ? "" : ": ") + sqlite3_errmsg(db_));
  }

 private:
  explicit Database(sqlite3* db) : db_(db) {}
  sqlite3* db_;
};

class Statement {
 public:
  Statement(const Database& db, const std::string& sql) {
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), static_cast<int>(sql.size()), &stmt_, &tail) !=
        SQLITE_OK) {
      db.fail("");
    }
    if (!stmt_) throw DriverError("SQLite: no statement in the query text");
    for (; tail && *tail; ++tail) {
      if (!std::isspace(static_cast<unsigned char>(*tail)) && *tail != ';') {
        sqlite3_finalize(stmt_);
        throw DriverError("SQLite: a query must be a single statement");
      }
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(const Database& db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db.get());
    sqlite3_free(error);
    throw DriverError("SQLite: " + message);
  }
}

std::string quote(std::string_view name) {
  return "\"" + text::replace_all(name, "\"", "\"\"") + "\"";
}

// ---- type mapping -----------------------------------------------------------------------------

bool contains(const std::string& s, std::string_view part) {
  return s.find(part) != std::string::npos;
}

// (p,s) or (n) after a type name.
std::vector<int> type_arguments(const std::string& decl) {
  std::vector<int> args;
  size_t open = decl.find('(');
  if (open == std::string::npos) return args;
  size_t pos = open + 1;
  while (pos < decl.size()) {
    while (pos < decl.size() && std::isspace(static_cast<unsigned char>(decl[pos]))) ++pos;
    int v = 0;
    auto [end, ec] = std::from_chars(decl.data() + pos, decl.data() + decl.size(), v);
    if (ec != std::errc()) break;
    args.push_back(v);
    pos = static_cast<size_t>(end - decl.data());
    while (pos < decl.size() && std::isspace(static_cast<unsigned char>(decl[pos]))) ++pos;
    if (pos >= decl.size() || decl[pos] != ',') break;
    ++pos;
  }
  return args;
}

// The logical type of a declared type; nullopt when the declared type says nothing useful.
std::optional<ColumnType> from_declared(const char* declared) {
  if (!declared || !*declared) return std::nullopt;
  std::string decl = text::to_upper(declared);
  std::string base = decl.substr(0, decl.find('('));
  while (!base.empty() && std::isspace(static_cast<unsigned char>(base.back()))) base.pop_back();
  ColumnType t;
  t.native = declared;
  std::vector<int> args = type_arguments(decl);
  if (contains(base, "BOOL")) {
    t.id = TypeId::Boolean;
  } else if (base == "TINYINT") {
    t.id = TypeId::Int8;
  } else if (base == "SMALLINT") {
    t.id = TypeId::Int16;
  } else if (base == "MEDIUMINT") {
    t.id = TypeId::Int32;
  } else if (contains(base, "INTERVAL")) {
    t.id = TypeId::Interval;
  } else if (contains(base, "INT")) {
    t.id = TypeId::Int64;
  } else if (text::starts_with(base, "DECIMAL") || text::starts_with(base, "NUMERIC")) {
    t.id = TypeId::Decimal;
    t.precision = args.size() > 0 ? args[0] : 0;
    t.scale = args.size() > 1 ? args[1] : 0;
  } else if (contains(base, "REAL") || contains(base, "FLOA") || contains(base, "DOUB")) {
    t.id = TypeId::Float64;
  } else if (base == "DATE") {
    t.id = TypeId::Date;
  } else if (base == "TIME") {
    t.id = TypeId::Time;
  } else if (base == "TIMESTAMPTZ" || base == "TIMESTAMP WITH TIME ZONE") {
    t.id = TypeId::TimestampTz;
  } else if (base == "DATETIME" || text::starts_with(base, "TIMESTAMP")) {
    t.id = TypeId::Timestamp;
  } else if (contains(base, "BLOB")) {
    t.id = TypeId::Blob;
  } else if (base == "UUID") {
    t.id = TypeId::Uuid;
  } else if (text::starts_with(base, "JSON")) {
    t.id = TypeId::Json;
  } else if (contains(base, "CHAR") || contains(base, "CLOB") || contains(base, "TEXT")) {
    t.id = TypeId::String;
    t.length = args.empty() ? 0 : args[0];
    t.fixed_length = text::starts_with(base, "CHAR") || text::starts_with(base, "NCHAR");
  } else {
    return std::nullopt;
  }
  return t;
}

ColumnType from_storage(int storage_class) {
  ColumnType t;
  switch (storage_class) {
    case SQLITE_INTEGER: t.id = TypeId::Int64; break;
    case SQLITE_FLOAT: t.id = TypeId::Float64; break;
    case SQLITE_BLOB: t.id = TypeId::Blob; break;
    default: t.id = TypeId::String; break;
  }
  t.native = std::string(type_name(t.id));
  return t;
}

// The shortest text that reads back as `d`.
std::string double_text(double d) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return ec == std::errc() ? std::string(buf, end) : std::to_string(d);
}

std::string stored_text(sqlite3_stmt* stmt, int col) {
  const unsigned char* text = sqlite3_column_text(stmt, col);
  return std::string(reinterpret_cast<const char*>(text ? text : reinterpret_cast<const unsigned char*>("")),
                     static_cast<size_t>(sqlite3_column_bytes(stmt, col)));
}

[[noreturn]] void unreadable(const Column& column, const std::string& value) {
  throw DriverError("SQLite: column " + quote(column.name) + " holds '" + text::prefix(value, 40) +
                    "', which is not a " + std::string(type_name(column.type.id)));
}

std::optional<std::int64_t> parse_integer(const std::string& s) {
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// The decimal text of an integer or real stored in a Decimal column, with the column's scale.
std::string decimal_from_number(sqlite3_stmt* stmt, int col, int storage, int scale) {
  if (storage == SQLITE_INTEGER) {
    std::string s = std::to_string(sqlite3_column_int64(stmt, col));
    if (scale > 0) s += "." + std::string(static_cast<size_t>(scale), '0');
    return s;
  }
  double d = sqlite3_column_double(stmt, col);
  if (scale <= 0) return double_text(d);
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", scale, d);
  return buf;
}

Cell read_cell(sqlite3_stmt* stmt, int col, const Column& column) {
  int storage = sqlite3_column_type(stmt, col);
  if (storage == SQLITE_NULL) return std::monostate{};
  switch (column.type.id) {
    case TypeId::Boolean:
      if (storage == SQLITE_INTEGER) return sqlite3_column_int64(stmt, col) != 0;
      if (storage == SQLITE_FLOAT) return sqlite3_column_double(stmt, col) != 0;
      {
        std::string s = text::to_lower(stored_text(stmt, col));
        if (s == "true" || s == "t" || s == "1") return true;
        if (s == "false" || s == "f" || s == "0") return false;
        unreadable(column, s);
      }
    case TypeId::Int8: case TypeId::Int16: case TypeId::Int32: case TypeId::Int64:
    case TypeId::UInt8: case TypeId::UInt16: case TypeId::UInt32:
      if (storage == SQLITE_INTEGER) return sqlite3_column_int64(stmt, col);
      if (storage == SQLITE_FLOAT) {
        double d = sqlite3_column_double(stmt, col);
        if (d == std::trunc(d) && std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
        unreadable(column, double_text(d));
      }
      {
        std::string s = stored_text(stmt, col);
        if (auto v = parse_integer(s)) return *v;
        unreadable(column, s);
      }
    case TypeId::UInt64:
      if (storage == SQLITE_INTEGER && sqlite3_column_int64(stmt, col) >= 0) {
        return static_cast<std::uint64_t>(sqlite3_column_int64(stmt, col));
      }
      unreadable(column, stored_text(stmt, col));
    case TypeId::Float32: case TypeId::Float64:
      if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) {
        return sqlite3_column_double(stmt, col);
      }
      {
        std::string s = stored_text(stmt, col);
        char* end = nullptr;
        double d = std::strtod(s.c_str(), &end);
        if (!s.empty() && end == s.c_str() + s.size()) return d;
        unreadable(column, s);
      }
    case TypeId::Decimal:
    case TypeId::HugeInt:
    case TypeId::UHugeInt:
      if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) {
        return decimal_from_number(stmt, col, storage, column.type.scale);
      }
      return stored_text(stmt, col);
    case TypeId::Date: case TypeId::Time: case TypeId::Timestamp: case TypeId::TimestampTz: {
      bool is_timestamp =
          column.type.id == TypeId::Timestamp || column.type.id == TypeId::TimestampTz;
      if (storage == SQLITE_INTEGER && is_timestamp) {
        return sqlite3_column_int64(stmt, col) * 1000000;  // Unix seconds
      }
      std::string s = stored_text(stmt, col);
      std::optional<std::int64_t> v;
      if (column.type.id == TypeId::Date) {
        v = temporal::parse_date(s);
      } else if (column.type.id == TypeId::Time) {
        v = temporal::parse_time(s);
      } else {
        v = temporal::parse_timestamp(s);
        if (!v) {
          if (auto days = temporal::parse_date(s)) v = *days * 86400LL * 1000000;
        }
      }
      if (!v) unreadable(column, s);
      return *v;
    }
    case TypeId::Blob:
      if (storage == SQLITE_BLOB || storage == SQLITE_TEXT) {
        const void* data = sqlite3_column_blob(stmt, col);
        return std::string(static_cast<const char*>(data),
                           static_cast<size_t>(sqlite3_column_bytes(stmt, col)));
      }
      return stored_text(stmt, col);
    default:  // String, Interval, Uuid, Json
      if (storage == SQLITE_FLOAT) return double_text(sqlite3_column_double(stmt, col));
      if (storage == SQLITE_BLOB) {
        const void* data = sqlite3_column_blob(stmt, col);
        return std::string(static_cast<const char*>(data),
                           static_cast<size_t>(sqlite3_column_bytes(stmt, col)));
      }
      return stored_text(stmt, col);
  }
}

// ---- results ----------------------------------------------------------------------------------

class SQLiteResult final : public QueryResult {
 public:
  SQLiteResult(std::shared_ptr<Database> db, const std::string& sql)
      : db_(std::move(db)), statement_(*db_, sql) {
    sqlite3_stmt* stmt = statement_.get();
    step();  // the first row, whose storage classes type the columns without a declared type
    int n = sqlite3_column_count(stmt);
    for (int i = 0; i < n; ++i) {
      Column column;
      const char* name = sqlite3_column_name(stmt, i);
      column.name = name ? name : "";
      std::optional<ColumnType> declared = from_declared(sqlite3_column_decltype(stmt, i));
      column.type = declared ? *declared
                             : from_storage(has_row_ ? sqlite3_column_type(stmt, i) : SQLITE_NULL);
      columns_.push_back(std::move(column));
    }
  }

  const std::vector<Column>& columns() const override { return columns_; }

  bool next(RowBatch& batch, size_t max_rows) override {
    batch.column_count = columns_.size();
    batch.cells.clear();
    if (max_rows == 0) max_rows = 1;
    sqlite3_stmt* stmt = statement_.get();
    while (has_row_ && batch.rows() < max_rows && !columns_.empty()) {
      for (size_t c = 0; c < columns_.size(); ++c) {
        batch.cells.push_back(read_cell(stmt, static_cast<int>(c), columns_[c]));
      }
      step();
    }
    if (columns_.empty()) has_row_ = false;
    return batch.rows() > 0;
  }

 private:
  void step() {
    int rc = sqlite3_step(statement_.get());
    if (rc == SQLITE_ROW) {
      has_row_ = true;
    } else if (rc == SQLITE_DONE) {
      has_row_ = false;
    } else {
      has_row_ = false;
      db_->fail("");
    }
  }

  std::shared_ptr<Database> db_;
  Statement statement_;
  std::vector<Column> columns_;
  bool has_row_ = false;
};

// ---- writes -----------------------------------------------------------------------------------

void bind_cell(sqlite3_stmt* stmt, int index, const Cell& cell, const ColumnType& type) {
  if (std::holds_alternative<std::monostate>(cell)) {
    sqlite3_bind_null(stmt, index);
  } else if (const bool* b = std::get_if<bool>(&cell)) {
    sqlite3_bind_int64(stmt, index, *b ? 1 : 0);
  } else if (const double* d = std::get_if<double>(&cell)) {
    sqlite3_bind_double(stmt, index, *d);
  } else if (const std::uint64_t* u = std::get_if<std::uint64_t>(&cell)) {
    if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      sqlite3_bind_int64(stmt, index, static_cast<std::int64_t>(*u));
    } else {
      std::string s = std::to_string(*u);
      sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
  } else if (const std::int64_t* i = std::get_if<std::int64_t>(&cell)) {
    std::string s;
    switch (type.id) {
      case TypeId::Date: s = temporal::format_date(*i); break;
      case TypeId::Time: s = temporal::format_time(*i); break;
      case TypeId::Timestamp: s = temporal::format_timestamp(*i); break;
      case TypeId::TimestampTz: s = temporal::format_timestamptz(*i); break;
      default: sqlite3_bind_int64(stmt, index, *i); return;
    }
    sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
  } else {
    const std::string& s = std::get<std::string>(cell);
    if (type.id == TypeId::Blob) {
      sqlite3_bind_blob64(stmt, index, s.data(), s.size(), SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_text64(stmt, index, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
  }
}

class SQLiteWriter final : public BulkWriter {
 public:
  SQLiteWriter(std::shared_ptr<Database> db, const std::string& table_sql,
               const std::vector<Column>& columns)
      : db_(std::move(db)), columns_(columns) {
    std::vector<std::string> names, marks;
    for (const Column& c : columns_) {
      names.push_back(quote(c.name));
      marks.push_back("?");
    }
    exec(*db_, "SAVEPOINT zyl_bulk");
    open_ = true;
    try {
      insert_ = std::make_unique<Statement>(*db_, "INSERT INTO " + table_sql + " (" +
                                                      text::join(names, ", ") + ") VALUES (" +
                                                      text::join(marks, ", ") + ")");
    } catch (...) {
      abandon();
      throw;
    }
  }
  ~SQLiteWriter() override { abandon(); }

  void write(const RowBatch& batch) override {
    if (!open_) throw DriverError("SQLite: the writer is finished");
    if (batch.column_count != columns_.size()) {
      throw DriverError("SQLite: a batch of " + std::to_string(batch.column_count) +
                        " columns written to " + std::to_string(columns_.size()) + " columns");
    }
    sqlite3_stmt* stmt = insert_->get();
    for (size_t row = 0; row < batch.rows(); ++row) {
      for (size_t c = 0; c < columns_.size(); ++c) {
        bind_cell(stmt, static_cast<int>(c + 1), batch.at(row, c), columns_[c].type);
      }
      int rc = sqlite3_step(stmt);
      sqlite3_reset(stmt);
      if (rc != SQLITE_DONE) db_->fail("cannot insert a row");
      rows_written_ += sqlite3_changes64(db_->get());
    }
  }

  std::int64_t rows_written() const override { return rows_written_; }

  void finish() override {
    if (!open_) throw DriverError("SQLite: the writer is finished");
    insert_.reset();
    exec(*db_, "RELEASE zyl_bulk");
    open_ = false;
  }

 private:
  void abandon() noexcept {
    if (!open_) return;
    open_ = false;
    insert_.reset();
    sqlite3_exec(db_->get(), "ROLLBACK TO zyl_bulk; RELEASE zyl_bulk", nullptr, nullptr, nullptr);
  }

  std::shared_ptr<Database> db_;
  std::vector<Column> columns_;
  std::unique_ptr<Statement> insert_;
  bool open_ = false;
  std::int64_t rows_written_ = 0;
};

// ---- the connection ---------------------------------------------------------------------------

class SQLiteConnection final : public Connection {
 public:
  explicit SQLiteConnection(std::shared_ptr<Database> db) : db_(std::move(db)) {
    refresh_attached();
    accept_interrupts();
  }
  ~SQLiteConnection() override { close(); }

  std::string engine() const override { return "sqlite"; }

  void execute(const std::string& sql) override {
    exec(live(), sql);
    if (text::to_upper(sql).find("ATTACH") != std::string::npos) refresh_attached();
  }

  std::unique_ptr<QueryResult> query(const std::string& sql) override {
    live();
    return std::make_unique<SQLiteResult>(db_, sql);
  }

  std::int64_t execute_counted(const std::string& sql) override {
    exec(live(), sql);
    return sqlite3_changes64(db_->get());
  }

  std::vector<std::string> table_names(const std::string& schema_name) override {
    std::string schema = schema_of(TableRef{schema_name, ""});
    std::string master = (schema.empty() ? "" : quote(schema) + ".") + "sqlite_master";
    auto result = query("SELECT name FROM " + master + " WHERE type = 'table'");
    std::vector<std::string> names;
    RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) names.push_back(std::get<std::string>(batch.at(r, 0)));
    }
    return names;
  }

  void begin() override { exec(live(), "BEGIN IMMEDIATE"); }
  void commit() override {
    if (!sqlite3_get_autocommit(live().get())) exec(live(), "COMMIT");
  }
  void rollback() override {
    if (db_ && !sqlite3_get_autocommit(db_->get())) {
      sqlite3_exec(db_->get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }

  std::string quote_identifier(std::string_view name) const override { return quote(name); }

  std::string quote_table(const TableRef& table) const override {
    std::string schema = schema_of(table);
    return schema.empty() ? quote(table.name) : quote(schema) + "." + quote(table.name);
  }

  std::string type_sql(const ColumnType& type) const override {
    switch (type.id) {
      case TypeId::Boolean: return "BOOLEAN";
      case TypeId::Int8: return "TINYINT";
      case TypeId::Int16: return "SMALLINT";
      case TypeId::Int32: case TypeId::UInt8: case TypeId::UInt16: return "INTEGER";
      case TypeId::Int64: case TypeId::UInt32: return "BIGINT";
      case TypeId::UInt64: return "DECIMAL_TEXT(20,0)";
      case TypeId::HugeInt: return "DECIMAL_TEXT(38,0)";
      case TypeId::UHugeInt:
        return "DECIMAL_TEXT(39,0)";
      case TypeId::Float32: return "FLOAT";
      case TypeId::Float64: return "DOUBLE";
      case TypeId::Decimal:
        if (type.precision == 0) return "DECIMAL_TEXT";
        return "DECIMAL_TEXT(" + std::to_string(type.precision) + "," +
               std::to_string(type.scale) + ")";
      case TypeId::String:
        if (type.length > 0) {
          return std::string(type.fixed_length ? "CHAR(" : "VARCHAR(") +
                 std::to_string(type.length) + ")";
        }
        return "TEXT";
      case TypeId::Blob: return "BLOB";
      case TypeId::Date: return "DATE";
      case TypeId::Time: return "TIME";
      case TypeId::Timestamp: return "TIMESTAMP";
      case TypeId::TimestampTz: return "TIMESTAMPTZ";
      case TypeId::Interval: return "INTERVAL";
      case TypeId::Uuid: return "UUID";
      case TypeId::Json:
      case TypeId::List:
        return "JSON_TEXT";
    }
    return "TEXT";
  }

  bool table_exists(const TableRef& table) override {
    std::string schema = schema_of(table);
    std::string master = (schema.empty() ? "" : quote(schema) + ".") + "sqlite_master";
    auto result = query("SELECT count(*) FROM " + master + " WHERE type IN ('table', 'view') "
                        "AND name = " + sql_string_literal(table.name));
    RowBatch batch;
    return result->next(batch) && std::get<std::int64_t>(batch.at(0, 0)) > 0;
  }

  std::vector<Column> table_columns(const TableRef& table) override {
    if (!table_exists(table)) return {};
    std::string schema = schema_of(table);
    auto result = query("SELECT name, type FROM pragma_table_info(" +
                        sql_string_literal(table.name) +
                        (schema.empty() ? "" : ", " + sql_string_literal(schema)) + ")");
    std::vector<Column> columns;
    RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) {
        Column column;
        column.name = std::get<std::string>(batch.at(r, 0));
        const Cell& type = batch.at(r, 1);
        std::string declared =
            std::holds_alternative<std::string>(type) ? std::get<std::string>(type) : "";
        column.type = from_declared(declared.c_str()).value_or(from_storage(SQLITE_NULL));
        column.type.native = declared;
        columns.push_back(std::move(column));
      }
    }
    return columns;
  }

  void ensure_schema(const std::string&) override {}

  std::unique_ptr<BulkWriter> bulk_writer(const TableRef& table,
                                          const std::vector<Column>& columns) override {
    live();
    return std::make_unique<SQLiteWriter>(db_, quote_table(table), columns);
  }

  void close() override {
    refuse_interrupts();
    rollback();
    db_.reset();
  }

  void interrupt() noexcept override {
    if (db_) sqlite3_interrupt(db_->get());
  }

 private:
  const Database& live() const {
    if (!db_) throw DriverError("SQLite: the connection is closed");
    return *db_;
  }

  std::string schema_of(const TableRef& table) const {
    return attached_.count(text::to_lower(table.schema)) ? table.schema : "";
  }

  void refresh_attached() {
    attached_.clear();
    Statement list(live(), "SELECT name FROM pragma_database_list");
    while (sqlite3_step(list.get()) == SQLITE_ROW) {
      attached_.insert(text::to_lower(stored_text(list.get(), 0)));
    }
  }

  std::shared_ptr<Database> db_;
  std::set<std::string> attached_;  // lower-case names of main, temp and attached databases
};

std::filesystem::path resolve(const std::string& path, const std::filesystem::path& base_dir) {
  if (path == ":memory:" || path.empty()) return ":memory:";
  std::filesystem::path p = path;
  return p.is_relative() ? base_dir / p : p;
}

}  // namespace

std::unique_ptr<Connection> open_file(const std::filesystem::path& path) {
  return std::make_unique<SQLiteConnection>(Database::open(path.string()));
}

}  // namespace sqlite

// A SQLite output: "path", else "database" (relative paths against base_dir); "schemas_and_paths"
// maps schema names to further files, attached under those names.
std::unique_ptr<Connection> open_sqlite(const Value& config, const std::filesystem::path& base_dir) {
  const Value* path_value = lookup(config, {"path", "database"});
  if (!is_set(path_value)) {
    throw DriverError("sqlite output has no 'path' or 'database' naming its file");
  }
  auto conn = sqlite::open_file(sqlite::resolve(text_form(*path_value), base_dir));
  if (const Value* attach = find(config, "schemas_and_paths"); attach && attach->is_object()) {
    for (const auto& [schema, file] : attach->items()) {
      if (schema == "main") continue;
      conn->execute("ATTACH DATABASE " +
                    sql_string_literal(sqlite::resolve(text_form(file), base_dir).string()) +
                    " AS " + conn->quote_identifier(schema));
    }
  }
  return conn;
}

}  // namespace zyl::drivers
