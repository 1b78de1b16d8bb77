// The MySQL / MariaDB driver on libmariadb.
//
// Reads stream with mysql_use_result: rows come off the socket as the caller asks for them, so
// no result is held whole in memory. Writes are multi-row INSERT statements of about 1 MiB,
// which need no server setting (LOAD DATA LOCAL INFILE is off on many servers). The session
// speaks utf8mb4 and runs in UTC, so TIMESTAMP values read and write as UTC.
#include <algorithm>
#include <memory>

#include <mysql.h>

#include "core/log.h"
#include "core/text.h"
#include "drivers/engines.h"
#include "drivers/mysql/my_types.h"

namespace zyl::drivers {
namespace {

constexpr size_t kInsertBytes = 1 << 20;

struct Session {
  MYSQL* conn = nullptr;
  std::string engine;
  std::string password;
  bool busy = false;
  bool native_uuid = false;

  ~Session() {
    if (conn) mysql_close(conn);
  }
  MYSQL* live() const {
    if (!conn) throw DriverError(engine + ": the connection is closed");
    return conn;
  }
  [[noreturn]] void fail(const std::string& context) const {
    std::string message = engine + ": " + context + ": ";
    if (conn) {
      message += std::string("error ") + std::to_string(mysql_errno(conn)) + " (" +
                 mysql_sqlstate(conn) + "): " + mysql_error(conn);
    }
    if (!password.empty()) message = text::redact(message, {password});
    throw DriverError(message);
  }
  // Runs `sql` and reads past every result it produces. Returns the rows the first statement
  // changed (UPDATE: matched, as the connection asks for found rows); -1 for one with a result.
  std::int64_t run(const std::string& sql, const std::string& context) {
    MYSQL* c = live();
    if (busy) throw DriverError(engine + ": the connection is still reading a result");
    if (mysql_real_query(c, sql.data(), sql.size()) != 0) fail(context);
    std::int64_t changed =
        mysql_field_count(c) == 0 ? static_cast<std::int64_t>(mysql_affected_rows(c)) : -1;
    for (;;) {
      if (MYSQL_RES* res = mysql_store_result(c)) {
        mysql_free_result(res);
      } else if (mysql_field_count(c) != 0) {
        fail(context);
      }
      int more = mysql_next_result(c);
      if (more > 0) fail(context);
      if (more < 0) break;
    }
    return changed;
  }
  void escape(std::string& out, std::string_view s) const {
    size_t at = out.size();
    out.resize(at + s.size() * 2 + 1);
    unsigned long n = mysql_real_escape_string(conn, out.data() + at, s.data(), s.size());
    out.resize(at + n);
  }
};

using SessionPtr = std::shared_ptr<Session>;

std::string quote_ident(std::string_view name) {
  return "`" + text::replace_all(name, "`", "``") + "`";
}

std::vector<Column> describe(MYSQL_RES* res) {
  std::vector<Column> columns;
  unsigned n = mysql_num_fields(res);
  MYSQL_FIELD* fields = mysql_fetch_fields(res);
  for (unsigned i = 0; i < n; ++i) {
    mysql::FieldInfo info;
    info.type = fields[i].type;
    info.flags = fields[i].flags;
    info.charsetnr = fields[i].charsetnr;
    info.length = fields[i].length;
    info.decimals = fields[i].decimals;
    if (const MARIADB_CHARSET_INFO* cs = mariadb_get_charset_by_nr(fields[i].charsetnr)) {
      info.char_maxlen = std::max(1u, cs->char_maxlen);
    }
    // Extended metadata: JSON comes as a format name, UUID as a data type name.
    for (auto kind : {MARIADB_FIELD_ATTR_FORMAT_NAME, MARIADB_FIELD_ATTR_DATA_TYPE_NAME}) {
      MARIADB_CONST_STRING attr;
      if (info.format_name.empty() && mariadb_field_attr(&attr, &fields[i], kind) == 0 &&
          attr.length > 0) {
        info.format_name = text::to_lower(std::string_view(attr.str, attr.length));
      }
    }
    columns.push_back({std::string(fields[i].name, fields[i].name_length),
                       mysql::plan_field(info)});
  }
  return columns;
}

class MySqlQueryResult final : public QueryResult {
 public:
  MySqlQueryResult(SessionPtr session, MYSQL_RES* res)
      : session_(std::move(session)), res_(res), columns_(describe(res)) {
    session_->busy = true;
  }
  ~MySqlQueryResult() override { release(); }

  const std::vector<Column>& columns() const override { return columns_; }

  bool next(RowBatch& batch, size_t max_rows) override {
    batch.column_count = columns_.size();
    batch.cells.clear();
    if (!res_) return false;
    if (max_rows == 0) max_rows = 1;
    const size_t width = columns_.size();
    while (batch.rows() < max_rows) {
      MYSQL_ROW row = mysql_fetch_row(res_);
      if (!row) {
        bool failed = session_->conn && mysql_errno(session_->conn) != 0;
        if (failed) {
          std::string message;
          try {
            session_->fail("reading rows failed");
          } catch (const DriverError& e) {
            message = e.what();
          }
          release();
          throw DriverError(message);
        }
        release();
        break;
      }
      unsigned long* lengths = mysql_fetch_lengths(res_);
      for (size_t c = 0; c < width; ++c) {
        if (!row[c]) {
          batch.cells.emplace_back();
        } else {
          batch.cells.push_back(mysql::parse_text(columns_[c].type, row[c], lengths[c]));
        }
      }
    }
    return batch.rows() > 0;
  }

 private:
  void release() {
    if (!res_) return;
    // Freeing an unfinished result reads and drops its remaining rows, leaving the connection
    // in step with the server.
    mysql_free_result(res_);
    res_ = nullptr;
    session_->busy = false;
    if (session_->conn) {
      while (mysql_next_result(session_->conn) == 0) {
        if (MYSQL_RES* more = mysql_store_result(session_->conn)) mysql_free_result(more);
      }
    }
  }

  SessionPtr session_;
  MYSQL_RES* res_;
  std::vector<Column> columns_;
};

class EmptyResult final : public QueryResult {
 public:
  const std::vector<Column>& columns() const override { return columns_; }
  bool next(RowBatch& batch, size_t) override {
    batch.column_count = 0;
    batch.cells.clear();
    return false;
  }

 private:
  std::vector<Column> columns_;
};

class MySqlInsertWriter final : public BulkWriter {
 public:
  MySqlInsertWriter(SessionPtr session, std::string prefix, std::vector<Column> columns)
      : session_(std::move(session)), prefix_(std::move(prefix)), columns_(std::move(columns)) {
    sql_.reserve(kInsertBytes + 65536);
  }

  void write(const RowBatch& batch) override {
    if (finished_) throw DriverError(session_->engine + ": bulk writer already finished");
    if (batch.column_count != columns_.size()) {
      throw DriverError(session_->engine + ": batch has " + std::to_string(batch.column_count) +
                        " columns, the writer " + std::to_string(columns_.size()));
    }
    auto escape = [this](std::string& out, std::string_view s) { session_->escape(out, s); };
    for (size_t r = 0; r < batch.rows(); ++r) {
      if (sql_.empty()) sql_ = prefix_;
      sql_ += rows_ ? ",(" : "(";
      for (size_t c = 0; c < columns_.size(); ++c) {
        if (c) sql_ += ',';
        mysql::append_literal(sql_, batch.at(r, c), columns_[c].type, escape);
      }
      sql_ += ')';
      ++rows_;
      if (sql_.size() >= kInsertBytes) flush();
    }
  }

  void finish() override {
    if (finished_) throw DriverError(session_->engine + ": bulk writer already finished");
    flush();
    finished_ = true;
  }

  std::int64_t rows_written() const override { return rows_written_; }

 private:
  void flush() {
    if (rows_ == 0) return;
    std::int64_t taken = session_->run(sql_, "bulk write failed");
    rows_written_ = taken < 0 || rows_written_ < 0 ? -1 : rows_written_ + taken;
    sql_.clear();
    rows_ = 0;
  }

  SessionPtr session_;
  std::string prefix_;
  std::vector<Column> columns_;
  std::string sql_;
  size_t rows_ = 0;
  bool finished_ = false;
  std::int64_t rows_written_ = 0;
};

// Where a second connection reaches the server of a connection, to stop its running statement.
struct KillRoute {
  std::string host;
  std::string user;
  std::string password;
  unsigned port = 0;
  std::string socket;
  unsigned long thread_id = 0;
};

class MySqlConnection final : public Connection {
 public:
  // `killer` reaches the same server as `session` on a connection of its own.
  MySqlConnection(SessionPtr session, KillRoute killer)
      : session_(std::move(session)), killer_(std::move(killer)) {
    killer_.thread_id = mysql_thread_id(session_->conn);
    accept_interrupts();
  }
  ~MySqlConnection() override { close(); }

  std::string engine() const override { return session_->engine; }
  bool transactional_ddl() const override { return false; }

  void execute(const std::string& sql) override { session_->run(sql, "statement failed"); }

  std::int64_t execute_counted(const std::string& sql) override {
    return session_->run(sql, "statement failed");
  }

  std::vector<std::string> table_names(const std::string& schema) override {
    auto result = query(
        "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = " +
        schema_expr(TableRef{schema, ""}) + " AND TABLE_TYPE = 'BASE TABLE'");
    std::vector<std::string> names;
    RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) names.push_back(std::get<std::string>(batch.at(r, 0)));
    }
    return names;
  }

  std::unique_ptr<QueryResult> query(const std::string& sql) override {
    MYSQL* c = session_->live();
    if (session_->busy) {
      throw DriverError(session_->engine + ": the connection is still reading a result");
    }
    if (mysql_real_query(c, sql.data(), sql.size()) != 0) session_->fail("query failed");
    MYSQL_RES* res = mysql_use_result(c);
    if (!res) {
      if (mysql_field_count(c) != 0) session_->fail("query failed");
      return std::make_unique<EmptyResult>();
    }
    return std::make_unique<MySqlQueryResult>(session_, res);
  }

  void begin() override { execute("START TRANSACTION"); }
  void commit() override { execute("COMMIT"); }
  void rollback() override {
    if (!session_->conn || session_->busy) return;
    mysql_rollback(session_->conn);
  }

  std::string quote_identifier(std::string_view name) const override { return quote_ident(name); }

  std::string type_sql(const ColumnType& type) const override {
    return mysql::type_sql(type, session_->native_uuid);
  }

  bool table_exists(const TableRef& table) override {
    std::string sql =
        "SELECT 1 FROM information_schema.TABLES WHERE TABLE_SCHEMA = " + schema_expr(table) +
        " AND TABLE_NAME = " + literal(table.name);
    auto result = query(sql);
    RowBatch batch;
    bool found = result->next(batch, 1);
    while (result->next(batch)) {
    }
    return found;
  }

  std::vector<Column> table_columns(const TableRef& table) override {
    if (!table_exists(table)) return {};
    // The result metadata of an empty select maps types exactly as query() does.
    auto result = query("SELECT * FROM " + quote_table(table) + " LIMIT 0");
    std::vector<Column> columns = result->columns();
    RowBatch batch;
    while (result->next(batch)) {
    }
    return columns;
  }

  void ensure_schema(const std::string& schema) override {
    if (schema.empty()) return;
    execute("CREATE DATABASE IF NOT EXISTS " + quote_ident(schema));
  }

  std::unique_ptr<BulkWriter> bulk_writer(const TableRef& table,
                                          const std::vector<Column>& columns) override {
    session_->live();
    std::string names;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i) names += ",";
      names += quote_ident(columns[i].name);
    }
    return std::make_unique<MySqlInsertWriter>(
        session_, "INSERT INTO " + quote_table(table) + " (" + names + ") VALUES ", columns);
  }

  void close() override {
    refuse_interrupts();
    if (session_->conn) {
      mysql_close(session_->conn);
      session_->conn = nullptr;
    }
  }

  // The server stops a statement on KILL QUERY sent from a second connection.
  void interrupt() noexcept override {
    MYSQL* conn = mysql_init(nullptr);
    if (!conn) return;
    unsigned timeout = 2;
    mysql_optionsv(conn, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    const KillRoute& k = killer_;
    if (mysql_real_connect(conn, k.host.c_str(), k.user.c_str(), k.password.c_str(), nullptr,
                           k.port, k.socket.empty() ? nullptr : k.socket.c_str(), 0)) {
      std::string kill = "KILL QUERY " + std::to_string(k.thread_id);
      if (mysql_real_query(conn, kill.data(), kill.size()) != 0) {
        log::get("zyl.drivers.mysql").debug("KILL QUERY failed: {}", mysql_error(conn));
      }
    } else {
      std::string error = mysql_error(conn);
      if (!k.password.empty()) error = text::redact(error, {k.password});
      log::get("zyl.drivers.mysql").debug("cannot connect to cancel a query: {}", error);
    }
    mysql_close(conn);
  }

 private:
  std::string literal(std::string_view s) {
    std::string out = "'";
    session_->escape(out, s);
    return out + "'";
  }
  std::string schema_expr(const TableRef& table) {
    return table.schema.empty() ? std::string("DATABASE()") : literal(table.schema);
  }

  SessionPtr session_;
  KillRoute killer_;
};

}  // namespace

std::unique_ptr<Connection> open_mysql(const Value& config) {
  auto session = std::make_shared<Session>();
  session->engine = get_text(config, "type", "mysql") == "mariadb" ? "mariadb" : "mysql";
  std::string user = connection_setting(config, {"user", "username"}, "");
  session->password = connection_setting(config, {"password", "pass"}, "");
  std::string host = connection_setting(config, {"host", "server"}, "localhost");
  std::string port_text = connection_setting(config, {"port"}, "3306");
  std::string database = connection_setting(config, {"database", "schema"}, "");
  std::string socket = connection_setting(config, {"socket"}, "");
  unsigned port = 0;
  try {
    port = static_cast<unsigned>(std::stoul(port_text));
  } catch (const std::exception&) {
    throw DriverError(session->engine + ": port '" + port_text + "' is not a number");
  }

  session->conn = mysql_init(nullptr);
  if (!session->conn) throw DriverError(session->engine + ": out of memory while connecting");
  unsigned timeout = 10;
  mysql_optionsv(session->conn, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_optionsv(session->conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  mysql_optionsv(session->conn, MYSQL_INIT_COMMAND, "SET time_zone = '+00:00'");
  if (!mysql_real_connect(session->conn, host.c_str(), user.c_str(), session->password.c_str(),
                          database.empty() ? nullptr : database.c_str(), port,
                          socket.empty() ? nullptr : socket.c_str(),
                          CLIENT_MULTI_STATEMENTS | CLIENT_FOUND_ROWS)) {
    session->fail("could not connect to " + host + ":" + port_text);
  }
  // Strict: a value a column cannot hold is an error, never a clipped or zeroed value.
  session->run(
      "SET SESSION sql_mode = 'STRICT_ALL_TABLES,NO_ZERO_IN_DATE,NO_ZERO_DATE,"
      "ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION'",
      "could not set a strict sql_mode");
  // String literals take the connection's collation and columns their database's. When the two
  // differ (the client library's utf8mb4 default against the server's), comparing a column with
  // a value from a literal fails with "Illegal mix of collations"; so speak the database's
  // utf8mb4 collation (a database of another character set keeps the connection as it is).
  session->run(
      "SET collation_connection = IF(@@character_set_database = 'utf8mb4', "
      "@@collation_database, @@collation_connection)",
      "could not set the connection's collation");
  std::string version = mysql_get_server_info(session->conn);
  unsigned long number = mysql_get_server_version(session->conn);
  session->native_uuid = version.find("MariaDB") != std::string::npos && number >= 100700;
  KillRoute killer{host, user, session->password, port, socket, 0};
  return std::make_unique<MySqlConnection>(session, std::move(killer));
}

}  // namespace zyl::drivers
