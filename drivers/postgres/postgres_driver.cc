// The PostgreSQL / Redshift driver on libpq.
//
// Reads: the query is described first (column names and types), then its rows stream through
// `COPY (query) TO STDOUT WITH (FORMAT binary)`, decoded without text parsing. Redshift has no
// COPY to the client, and statements COPY cannot wrap (SHOW, EXPLAIN, ...) return few rows: both
// stream through single-row mode with binary results, which share the decoder.
// Writes: `COPY table (columns) FROM STDIN`, in the binary format when every column's server type
// takes its cells in binary exactly as it would take their text (postgres::binary_field), which
// spares the server most of its parsing; else in the text format, so the server converts each
// field to whatever type the target column has. Redshift gets multi-row INSERT statements.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <variant>

#include <libpq-fe.h>

#include "core/log.h"
#include "core/text.h"
#include "drivers/engines.h"
#include "drivers/postgres/pg_types.h"

namespace zyl::drivers {
namespace {

using postgres::ColumnPlan;
using postgres::Oid;
using postgres::Read;

constexpr size_t kCopyChunk = 1 << 20;      // bytes handed to PQputCopyData at once
constexpr size_t kInsertBytes = 1 << 20;    // Redshift: statement size of one INSERT batch
constexpr size_t kInsertRows = 1000;        // Redshift: rows of one INSERT batch

// What a connection and its open result or writer share: the libpq handle and who uses it.
struct Session {
  PGconn* conn = nullptr;
  std::string engine;
  std::string password;      // only to keep it out of messages
  bool busy = false;         // a result or writer is using the protocol
  bool in_transaction = false;

  ~Session() {
    if (conn) PQfinish(conn);
  }
  PGconn* live() const {
    if (!conn) throw DriverError(engine + ": the connection is closed");
    return conn;
  }
  std::string clean(std::string message) const {
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    if (password.empty()) return message;
    return text::redact(message, {password});
  }
  [[noreturn]] void fail(const std::string& context) const {
    throw DriverError(clean(engine + ": " + context + ": " + PQerrorMessage(conn)));
  }
  // Throws with SQLSTATE and message unless `res` has one of the two wanted statuses.
  void check(PGresult* res, ExecStatusType want, ExecStatusType also,
             const std::string& context) const {
    ExecStatusType status = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (status == want || status == also) return;
    std::string message;
    if (res) {
      const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
      const char* primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
      if (state) message = std::string("SQLSTATE ") + state + ": ";
      message += primary ? primary : PQresultErrorMessage(res);
      if (message.empty()) message = PQresStatus(status);
    } else {
      message = PQerrorMessage(conn);
    }
    if (res) PQclear(res);
    throw DriverError(clean(engine + ": " + context + ": " + message));
  }
  // Reads and discards results until the connection is idle.
  void drain() {
    while (PGresult* res = PQgetResult(conn)) PQclear(res);
  }
};

using SessionPtr = std::shared_ptr<Session>;

struct ResultOwner {
  PGresult* res;
  explicit ResultOwner(PGresult* r) : res(r) {}
  ~ResultOwner() {
    if (res) PQclear(res);
  }
  ResultOwner(const ResultOwner&) = delete;
  ResultOwner& operator=(const ResultOwner&) = delete;
};

// The row count of a finished command ("COPY 5", "INSERT 0 5", "UPDATE 5"); -1 when it has
// none.
std::int64_t command_rows(PGresult* res) {
  const char* tuples = PQcmdTuples(res);
  if (tuples == nullptr || *tuples == '\0') return -1;
  return std::strtoll(tuples, nullptr, 10);
}

std::string trim_statement(std::string_view sql) {
  size_t end = sql.size();
  while (end > 0 && (std::isspace(static_cast<unsigned char>(sql[end - 1])) || sql[end - 1] == ';')) {
    --end;
  }
  return std::string(sql.substr(0, end));
}

// The first keyword of a statement, lower case, past blanks, comments and parentheses.
std::string first_keyword(std::string_view sql) {
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (std::isspace(static_cast<unsigned char>(c)) || c == '(') {
      ++i;
    } else if (sql.substr(i, 2) == "--") {
      i = sql.find('\n', i);
      if (i == std::string_view::npos) return "";
    } else if (sql.substr(i, 2) == "/*") {
      i = sql.find("*/", i);
      if (i == std::string_view::npos) return "";
      i += 2;
    } else {
      break;
    }
  }
  size_t start = i;
  while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i]))) ++i;
  return text::to_lower(sql.substr(start, i - start));
}

std::string quote_ident(std::string_view name) {
  return "\"" + text::replace_all(name, "\"", "\"\"") + "\"";
}

// ---- reading -------------------------------------------------------------------------------

class PgQueryResult final : public QueryResult {
 public:
  enum class Mode { Copy, SingleRow, Empty };

  PgQueryResult(SessionPtr session, std::vector<Column> columns, std::vector<ColumnPlan> plans,
                Mode mode)
      : session_(std::move(session)), columns_(std::move(columns)), plans_(std::move(plans)),
        mode_(mode), done_(mode == Mode::Empty) {
    if (!done_) session_->busy = true;
  }

  ~PgQueryResult() override {
    if (done_ || !session_->conn) return;
    // Leave the connection usable: outside a transaction the query is cancelled; inside one a
    // cancel would abort the transaction, so the remaining rows are read and dropped.
    PGconn* conn = session_->conn;
    if (!session_->in_transaction) {
      if (PGcancel* cancel = PQgetCancel(conn)) {
        char buffer[256];
        PQcancel(cancel, buffer, sizeof buffer);
        PQfreeCancel(cancel);
      }
    }
    if (mode_ == Mode::Copy) {
      char* data = nullptr;
      while (PQgetCopyData(conn, &data, 0) > 0) PQfreemem(data);
    }
    session_->drain();
    session_->busy = false;
  }

  const std::vector<Column>& columns() const override { return columns_; }

  bool next(RowBatch& batch, size_t max_rows) override {
    batch.column_count = columns_.size();
    batch.cells.clear();
    if (done_) return false;
    if (max_rows == 0) max_rows = 1;
    batch.cells.reserve(std::min<size_t>(max_rows, 4096) * columns_.size());
    if (mode_ == Mode::Copy) {
      read_copy(batch, max_rows);
    } else {
      read_rows(batch, max_rows);
    }
    return batch.rows() > 0;
  }

 private:
  void finish() {
    done_ = true;
    session_->busy = false;
  }

  void read_copy(RowBatch& batch, size_t max_rows) {
    PGconn* conn = session_->live();
    while (batch.rows() < max_rows) {
      char* data = nullptr;
      int n = PQgetCopyData(conn, &data, 0);
      if (n > 0) {
        if (pending_.empty()) {
          size_t used = parse(data, static_cast<size_t>(n), batch);
          pending_.assign(data + used, static_cast<size_t>(n) - used);
        } else {
          pending_.append(data, static_cast<size_t>(n));
          size_t used = parse(pending_.data(), pending_.size(), batch);
          pending_.erase(0, used);
        }
        PQfreemem(data);
        continue;
      }
      if (n == -2) {
        finish();
        session_->fail("reading COPY data failed");
      }
      // n == -1: the copy is over; its result says whether it succeeded.
      PGresult* res = PQgetResult(conn);
      finish();
      session_->check(res, PGRES_COMMAND_OK, PGRES_COMMAND_OK, "query failed");
      PQclear(res);
      session_->drain();
      if (!trailer_seen_) throw DriverError(session_->engine + ": COPY data ended early");
      return;
    }
  }

  // Decodes whole tuples of the binary COPY stream from [p, p+n); returns the bytes used.
  size_t parse(const char* p, size_t n, RowBatch& batch) {
    size_t pos = 0;
    if (!header_seen_) {
      if (n < 19) return 0;
      if (std::memcmp(p, "PGCOPY\n\377\r\n\0", 11) != 0) {
        throw DriverError(session_->engine + ": unexpected COPY header");
      }
      std::uint32_t ext = be32(p + 15);
      if (n < 19 + ext) return 0;
      pos = 19 + ext;
      header_seen_ = true;
    }
    const size_t width = columns_.size();
    while (pos + 2 <= n) {
      auto fields = static_cast<std::int16_t>((static_cast<unsigned char>(p[pos]) << 8) |
                                              static_cast<unsigned char>(p[pos + 1]));
      if (fields == -1) {
        trailer_seen_ = true;
        return n;
      }
      if (static_cast<size_t>(fields) != width) {
        throw DriverError(session_->engine + ": COPY row has an unexpected field count");
      }
      // Check the whole tuple is here before decoding any of it.
      size_t q = pos + 2;
      for (size_t c = 0; c < width; ++c) {
        if (q + 4 > n) return pos;
        auto len = static_cast<std::int32_t>(be32(p + q));
        q += 4;
        if (len > 0) q += static_cast<size_t>(len);
        if (q > n) return pos;
      }
      q = pos + 2;
      for (size_t c = 0; c < width; ++c) {
        auto len = static_cast<std::int32_t>(be32(p + q));
        q += 4;
        if (len < 0) {
          batch.cells.emplace_back();
        } else {
          batch.cells.push_back(postgres::decode_binary(plans_[c].oid, p + q, len));
          q += static_cast<size_t>(len);
        }
      }
      pos = q;
    }
    return pos;
  }

  static std::uint32_t be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (std::uint32_t{u[0]} << 24) | (std::uint32_t{u[1]} << 16) | (std::uint32_t{u[2]} << 8) |
           u[3];
  }

  void read_rows(RowBatch& batch, size_t max_rows) {
    PGconn* conn = session_->live();
    while (batch.rows() < max_rows) {
      PGresult* res = PQgetResult(conn);
      if (!res) {
        finish();
        return;
      }
      ExecStatusType status = PQresultStatus(res);
      if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
        int rows = PQntuples(res);
        for (int r = 0; r < rows; ++r) {
          for (size_t c = 0; c < columns_.size(); ++c) {
            int ci = static_cast<int>(c);
            if (PQgetisnull(res, r, ci)) {
              batch.cells.emplace_back();
            } else {
              batch.cells.push_back(postgres::decode_binary(
                  plans_[c].oid, PQgetvalue(res, r, ci), PQgetlength(res, r, ci)));
            }
          }
        }
        PQclear(res);
        continue;
      }
      finish();
      session_->drain();
      session_->check(res, PGRES_TUPLES_OK, PGRES_COMMAND_OK, "query failed");
      PQclear(res);
    }
  }

  SessionPtr session_;
  std::vector<Column> columns_;
  std::vector<ColumnPlan> plans_;
  Mode mode_;
  bool done_;
  bool header_seen_ = false;
  bool trailer_seen_ = false;
  std::string pending_;
};

// ---- writing -------------------------------------------------------------------------------

class PgCopyWriter final : public BulkWriter {
 public:
  // `binary`: one field kind per column for the binary format; empty for the text format.
  PgCopyWriter(SessionPtr session, const std::string& sql, std::vector<Column> columns,
               std::vector<postgres::BinaryField> binary)
      : session_(std::move(session)), columns_(std::move(columns)), binary_(std::move(binary)) {
    PGconn* conn = session_->live();
    PGresult* res = PQexec(conn, sql.c_str());
    session_->check(res, PGRES_COPY_IN, PGRES_COPY_IN, "bulk write failed");
    PQclear(res);
    session_->busy = true;
    open_ = true;
    buffer_.reserve(kCopyChunk + 65536);
    if (!binary_.empty()) {
      buffer_.append("PGCOPY\n\377\r\n\0", 11);
      buffer_.append(8, '\0');  // no flags, no header extension
    }
  }

  ~PgCopyWriter() override {
    if (!open_ || !session_->conn) return;
    PQputCopyEnd(session_->conn, "bulk write abandoned");
    session_->drain();
    session_->busy = false;
  }

  void write(const RowBatch& batch) override {
    if (!open_) throw DriverError(session_->engine + ": bulk writer already finished");
    if (batch.column_count != columns_.size()) {
      throw DriverError(session_->engine + ": batch has " + std::to_string(batch.column_count) +
                        " columns, the writer " + std::to_string(columns_.size()));
    }
    const size_t rows = batch.rows();
    for (size_t r = 0; r < rows; ++r) {
      if (binary_.empty()) {
        append_text_row(batch, r);
      } else {
        append_binary_row(batch, r);
      }
      if (buffer_.size() >= kCopyChunk) flush();
    }
  }

  void finish() override {
    if (!open_) throw DriverError(session_->engine + ": bulk writer already finished");
    if (!binary_.empty()) buffer_.append("\xff\xff", 2);  // the trailer: a field count of -1
    flush();
    open_ = false;
    session_->busy = false;
    PGconn* conn = session_->live();
    if (PQputCopyEnd(conn, nullptr) != 1) session_->fail("ending COPY failed");
    PGresult* res = PQgetResult(conn);
    session_->drain();
    session_->check(res, PGRES_COMMAND_OK, PGRES_COMMAND_OK, "bulk write failed");
    rows_written_ = command_rows(res);
    PQclear(res);
  }

  std::int64_t rows_written() const override { return rows_written_; }

 private:
  void append_text_row(const RowBatch& batch, size_t r) {
    for (size_t c = 0; c < columns_.size(); ++c) {
      if (c) buffer_ += '\t';
      const Cell& cell = batch.at(r, c);
      if (std::holds_alternative<std::monostate>(cell)) {
        buffer_ += "\\N";
      } else {
        postgres::append_copy_text(buffer_, cell, columns_[c].type);
      }
    }
    buffer_ += '\n';
  }

  void append_binary_row(const RowBatch& batch, size_t r) {
    const size_t n = columns_.size();
    buffer_ += static_cast<char>(n >> 8);
    buffer_ += static_cast<char>(n & 0xff);
    for (size_t c = 0; c < n; ++c) {
      const Cell& cell = batch.at(r, c);
      if (std::holds_alternative<std::monostate>(cell)) {
        buffer_.append("\xff\xff\xff\xff", 4);  // NULL: a length of -1
        continue;
      }
      try {
        postgres::append_copy_binary(buffer_, cell, binary_[c], columns_[c].name);
      } catch (const std::bad_variant_access&) {
        throw DriverError(session_->engine + ": column \"" + columns_[c].name +
                          "\": a value of another kind than its type " +
                          std::string(type_name(columns_[c].type.id)));
      }
    }
  }

  void flush() {
    if (buffer_.empty()) return;
    if (PQputCopyData(session_->live(), buffer_.data(), static_cast<int>(buffer_.size())) != 1) {
      session_->fail("sending COPY data failed");
    }
    buffer_.clear();
  }

  SessionPtr session_;
  std::vector<Column> columns_;
  std::vector<postgres::BinaryField> binary_;
  std::string buffer_;
  bool open_ = false;
  std::int64_t rows_written_ = -1;
};

class PgInsertWriter final : public BulkWriter {
 public:
  PgInsertWriter(SessionPtr session, std::string prefix, std::vector<Column> columns)
      : session_(std::move(session)), prefix_(std::move(prefix)), columns_(std::move(columns)) {}

  void write(const RowBatch& batch) override {
    if (finished_) throw DriverError(session_->engine + ": bulk writer already finished");
    for (size_t r = 0; r < batch.rows(); ++r) {
      sql_ += rows_ ? ",(" : "(";
      for (size_t c = 0; c < columns_.size(); ++c) {
        if (c) sql_ += ',';
        postgres::append_literal(sql_, batch.at(r, c), columns_[c].type);
      }
      sql_ += ')';
      if (++rows_ >= kInsertRows || sql_.size() >= kInsertBytes) flush();
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
    std::string statement = prefix_ + sql_;
    sql_.clear();
    rows_ = 0;
    if (session_->busy) throw DriverError(session_->engine + ": a query result is still open");
    PGresult* res = PQexec(session_->live(), statement.c_str());
    session_->check(res, PGRES_COMMAND_OK, PGRES_COMMAND_OK, "bulk write failed");
    std::int64_t rows = command_rows(res);
    PQclear(res);
    rows_written_ = rows < 0 || rows_written_ < 0 ? -1 : rows_written_ + rows;
  }

  SessionPtr session_;
  std::string prefix_;
  std::vector<Column> columns_;
  std::string sql_;
  size_t rows_ = 0;
  bool finished_ = false;
  std::int64_t rows_written_ = 0;
};

// ---- the connection ------------------------------------------------------------------------

class PostgresConnection final : public Connection {
 public:
  explicit PostgresConnection(SessionPtr session)
      : session_(std::move(session)), cancel_(PQgetCancel(session_->conn)) {
    accept_interrupts();
  }
  ~PostgresConnection() override { close(); }

  std::string engine() const override { return session_->engine; }

  void execute(const std::string& sql) override {
    PGresult* res = PQexec(idle(), sql.c_str());
    session_->check(res, PGRES_COMMAND_OK, PGRES_TUPLES_OK, "statement failed");
    PQclear(res);
  }

  std::int64_t execute_counted(const std::string& sql) override {
    PGresult* res = PQexec(idle(), sql.c_str());
    session_->check(res, PGRES_COMMAND_OK, PGRES_TUPLES_OK, "statement failed");
    std::int64_t rows = command_rows(res);
    PQclear(res);
    return rows;
  }

  std::vector<std::string> table_names(const std::string& schema) override {
    ResultOwner res(catalog_query(
        "SELECT tablename FROM pg_catalog.pg_tables "
        "WHERE schemaname = COALESCE(NULLIF($1, ''), current_schema())",
        {schema}));
    std::vector<std::string> names;
    for (int r = 0; r < PQntuples(res.res); ++r) names.emplace_back(PQgetvalue(res.res, r, 0));
    return names;
  }

  std::unique_ptr<QueryResult> query(const std::string& raw_sql) override {
    PGconn* conn = idle();
    std::string sql = trim_statement(raw_sql);
    PGresult* prepared = PQprepare(conn, "", sql.c_str(), 0, nullptr);
    session_->check(prepared, PGRES_COMMAND_OK, PGRES_COMMAND_OK, "query failed");
    PQclear(prepared);
    ResultOwner described(PQdescribePrepared(conn, ""));
    session_->check(described.res, PGRES_COMMAND_OK, PGRES_COMMAND_OK, "query failed");

    const int fields = PQnfields(described.res);
    std::vector<Oid> unknown;
    for (int i = 0; i < fields; ++i) {
      Oid oid = PQftype(described.res, i);
      if (!postgres::known_oid(oid)) unknown.push_back(oid);
    }
    auto catalog = describe_types(unknown);

    std::vector<Column> columns;
    std::vector<ColumnPlan> plans;
    bool wrap = false;
    for (int i = 0; i < fields; ++i) {
      Oid oid = PQftype(described.res, i);
      TypeInfo info;
      if (auto it = catalog.find(oid); it != catalog.end()) info = it->second;
      ColumnPlan plan = postgres::plan_column(oid, PQfmod(described.res, i), info.typtype,
                                              info.typcategory, info.typname, info.typelem);
      wrap = wrap || plan.read != Read::Binary;
      columns.push_back({PQfname(described.res, i), plan.type});
      plans.push_back(std::move(plan));
    }

    if (fields == 0) {
      execute(sql);
      return std::make_unique<PgQueryResult>(session_, std::move(columns), std::move(plans),
                                             PgQueryResult::Mode::Empty);
    }
    std::string keyword = first_keyword(sql);
    bool copyable = keyword == "select" || keyword == "with" || keyword == "values" ||
                    keyword == "table";
    std::string select = sql;
    if (wrap && copyable) {
      // Cast what the decoder does not read natively; positional aliases sidestep duplicate or
      // odd output names.
      std::string list, aliases;
      for (size_t i = 0; i < plans.size(); ++i) {
        std::string alias = "c" + std::to_string(i + 1);
        if (i) {
          list += ", ";
          aliases += ", ";
        }
        aliases += alias;
        if (plans[i].read == Read::AsJson) {
          list += "to_jsonb(q." + alias + ")::text";
        } else if (plans[i].read == Read::AsText) {
          list += "q." + alias + "::text";
        } else {
          list += "q." + alias;
        }
      }
      // The line breaks end a trailing "-- comment" of the query before the parenthesis.
      select = "SELECT " + list + " FROM (\n" + sql + "\n) AS q(" + aliases + ")";
    } else if (wrap) {
      // Not wrappable (SHOW, EXPLAIN, ...): such columns come as text already or are read raw.
      for (auto& plan : plans) {
        if (plan.read != Read::Binary) plan.read = Read::Binary;
      }
    }

    if (session_->engine == "postgres" && copyable) {
      std::string copy = "COPY (\n" + select + "\n) TO STDOUT WITH (FORMAT binary)";
      PGresult* res = PQexec(conn, copy.c_str());
      session_->check(res, PGRES_COPY_OUT, PGRES_COPY_OUT, "query failed");
      PQclear(res);
      return std::make_unique<PgQueryResult>(session_, std::move(columns), std::move(plans),
                                             PgQueryResult::Mode::Copy);
    }
    if (!PQsendQueryParams(conn, select.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1)) {
      session_->fail("query failed");
    }
    if (!PQsetSingleRowMode(conn)) {
      session_->drain();
      session_->fail("query failed");
    }
    return std::make_unique<PgQueryResult>(session_, std::move(columns), std::move(plans),
                                           PgQueryResult::Mode::SingleRow);
  }

  void begin() override {
    execute("BEGIN");
    session_->in_transaction = true;
  }
  void commit() override {
    execute("COMMIT");
    session_->in_transaction = false;
  }
  void rollback() override {
    session_->in_transaction = false;
    if (!session_->conn || session_->busy) return;
    PQclear(PQexec(session_->conn, "ROLLBACK"));
  }

  std::string quote_identifier(std::string_view name) const override { return quote_ident(name); }

  std::string type_sql(const ColumnType& type) const override {
    return postgres::type_sql(type, session_->engine == "redshift");
  }

  bool table_exists(const TableRef& table) override {
    ResultOwner res(catalog_query(
        "SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
        "ON n.oid = c.relnamespace WHERE n.nspname = COALESCE(NULLIF($1, ''), current_schema()) "
        "AND c.relname = $2 AND c.relkind IN ('r', 'v', 'm', 'p', 'f')",
        {table.schema, table.name}));
    return PQntuples(res.res) > 0;
  }

  std::vector<Column> table_columns(const TableRef& table) override {
    ResultOwner res(catalog_query(kColumnsOf, {table.schema, table.name}));
    std::vector<Column> columns;
    for (int r = 0; r < PQntuples(res.res); ++r) {
      ColumnPlan plan =
          postgres::plan_column(static_cast<Oid>(std::stoul(PQgetvalue(res.res, r, 1))),
                                std::stoi(PQgetvalue(res.res, r, 2)), PQgetvalue(res.res, r, 3)[0],
                                PQgetvalue(res.res, r, 4)[0], PQgetvalue(res.res, r, 5),
                                static_cast<Oid>(std::stoul(PQgetvalue(res.res, r, 6))));
      columns.push_back({PQgetvalue(res.res, r, 0), plan.type});
    }
    return columns;
  }

  void ensure_schema(const std::string& schema) override {
    if (schema.empty()) return;
    execute("CREATE SCHEMA IF NOT EXISTS " + quote_ident(schema));
  }

  std::unique_ptr<BulkWriter> bulk_writer(const TableRef& table,
                                          const std::vector<Column>& columns) override {
    idle();
    std::string names;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i) names += ", ";
      names += quote_ident(columns[i].name);
    }
    std::string target = quote_table(table) + " (" + names + ")";
    if (session_->engine == "redshift") {
      return std::make_unique<PgInsertWriter>(session_, "INSERT INTO " + target + " VALUES ",
                                              columns);
    }
    std::vector<postgres::BinaryField> binary = binary_fields(table, columns);
    return std::make_unique<PgCopyWriter>(
        session_, "COPY " + target + " FROM STDIN" + (binary.empty() ? "" : " WITH (FORMAT binary)"),
        columns, std::move(binary));
  }

  void close() override {
    refuse_interrupts();
    if (cancel_) {
      PQfreeCancel(cancel_);
      cancel_ = nullptr;
    }
    if (session_->conn) {
      PQfinish(session_->conn);
      session_->conn = nullptr;
    }
  }

  // PQcancel opens its own connection to the server and is safe to call from another thread.
  void interrupt() noexcept override {
    if (!cancel_) return;
    char error[256];
    if (!PQcancel(cancel_, error, sizeof error)) {
      log::get("zyl.drivers.postgres").debug("cancel request failed: {}", error);
    }
  }

 private:
  struct TypeInfo {
    char typtype = 0;
    char typcategory = 0;
    std::string typname;
    Oid typelem = 0;
  };

  PGconn* idle() {
    PGconn* conn = session_->live();
    if (session_->busy) {
      throw DriverError(session_->engine +
                        ": the connection is still reading a result or writing rows");
    }
    return conn;
  }

  // The columns of the table $2 in the schema $1 (the current one when empty), in order.
  static constexpr const char* kColumnsOf =
      "SELECT a.attname, a.atttypid::bigint, a.atttypmod, t.typtype, t.typcategory, "
      "t.typname, t.typelem::bigint FROM pg_catalog.pg_attribute a "
      "JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
      "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
      "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
      "WHERE n.nspname = COALESCE(NULLIF($1, ''), current_schema()) AND c.relname = $2 "
      "AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum";

  // The binary field of each written column, by the server type of the table's column of that
  // name; empty when any of them has none (or the table is not found), for the text format.
  std::vector<postgres::BinaryField> binary_fields(const TableRef& table,
                                                   const std::vector<Column>& columns) {
    ResultOwner res(catalog_query(kColumnsOf, {table.schema, table.name}));
    std::map<std::string, Oid> oids;
    for (int r = 0; r < PQntuples(res.res); ++r) {
      oids[PQgetvalue(res.res, r, 0)] = static_cast<Oid>(std::stoul(PQgetvalue(res.res, r, 1)));
    }
    std::vector<postgres::BinaryField> fields;
    for (const Column& column : columns) {
      auto found = oids.find(column.name);
      std::optional<postgres::BinaryField> field;
      if (found != oids.end()) field = postgres::binary_field(column.type, found->second);
      if (!field) return {};
      fields.push_back(*field);
    }
    return fields;
  }

  PGresult* catalog_query(const char* sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    PGresult* res = PQexecParams(idle(), sql, static_cast<int>(values.size()), nullptr,
                                 values.data(), nullptr, nullptr, 0);
    session_->check(res, PGRES_TUPLES_OK, PGRES_TUPLES_OK, "catalog query failed");
    return res;
  }

  std::map<Oid, TypeInfo> describe_types(const std::vector<Oid>& oids) {
    std::map<Oid, TypeInfo> out;
    if (oids.empty()) return out;
    std::string list = "{";
    for (size_t i = 0; i < oids.size(); ++i) {
      if (i) list += ',';
      list += std::to_string(oids[i]);
    }
    list += '}';
    ResultOwner res(
        catalog_query("SELECT oid::bigint, typtype, typcategory, typname, typelem::bigint "
                      "FROM pg_catalog.pg_type "
                      "WHERE oid = ANY($1::oid[])",
                      {list}));
    for (int r = 0; r < PQntuples(res.res); ++r) {
      TypeInfo info{PQgetvalue(res.res, r, 1)[0], PQgetvalue(res.res, r, 2)[0],
                    PQgetvalue(res.res, r, 3),
                    static_cast<Oid>(std::stoul(PQgetvalue(res.res, r, 4)))};
      out[static_cast<Oid>(std::stoul(PQgetvalue(res.res, r, 0)))] = info;
    }
    return out;
  }

  SessionPtr session_;
  PGcancel* cancel_ = nullptr;  // for interrupt(), from any thread
};

}  // namespace

std::unique_ptr<Connection> open_postgres(const Value& config) {
  auto session = std::make_shared<Session>();
  session->engine = get_text(config, "type", "postgres");
  if (session->engine != "redshift") session->engine = "postgres";
  bool redshift = session->engine == "redshift";

  std::vector<std::pair<std::string, std::string>> params = {
      {"host", connection_setting(config, {"host"}, redshift ? "" : "localhost")},
      {"port", connection_setting(config, {"port"}, redshift ? "5439" : "5432")},
      {"user", connection_setting(config, {"user"}, "")},
      {"password", connection_setting(config, {"password", "pass"}, "")},
      {"dbname", connection_setting(config, {"dbname", "database"}, "")},
      {"sslmode", connection_setting(config, {"sslmode"}, redshift ? "require" : "disable")},
      {"connect_timeout", connection_setting(config, {"connect_timeout"}, "10")},
      {"application_name", connection_setting(config, {"application_name"}, "zyl")},
      {"client_encoding", "UTF8"},
  };
  session->password = params[3].second;
  std::vector<const char*> keywords, values;
  for (const auto& [k, v] : params) {
    if (v.empty()) continue;  // libpq's own default applies
    keywords.push_back(k.c_str());
    values.push_back(v.c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  session->conn = PQconnectdbParams(keywords.data(), values.data(), 0);
  if (!session->conn) throw DriverError(session->engine + ": out of memory while connecting");
  if (PQstatus(session->conn) != CONNECTION_OK) {
    std::string where = params[0].second + ":" + params[1].second;
    session->fail("could not connect to " + where);
  }
  // Server notices ("relation already exists, skipping") go to the debug log, not stderr.
  PQsetNoticeProcessor(
      session->conn,
      [](void*, const char* message) {
        std::string line = message;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        log::get("zyl.drivers.postgres").debug("{}", line);
      },
      nullptr);
  auto connection = std::make_unique<PostgresConnection>(session);
  connection->execute("SET TIME ZONE 'UTC'");
  // Intervals (inside arrays, and those written) in one known text form whatever the server's
  // default; plain interval columns are read in their binary form.
  if (!redshift) connection->execute("SET IntervalStyle = 'postgres'");
  std::string schema = connection_setting(config, {"schema"}, "");
  if (!schema.empty()) connection->execute("SET search_path TO " + quote_ident(schema));
  return connection;
}

}  // namespace zyl::drivers
