// The ClickHouse driver over the server's HTTP interface (libcurl).
//
// Reads ask for TabSeparatedWithNamesAndTypes, which every server version since 18.16 writes,
// and parse rows as they come off the socket. Writes are `INSERT ... FORMAT TabSeparated`
// bodies of about 4 MiB each, one sent while the next is rendered. ClickHouse has no transactions: begin(), commit() and rollback()
// do nothing, and loads stay atomic by building a table aside and swapping it in with one
// RENAME TABLE (zyl/extraction/sling_client.cc).
//
// A DateTime with a time zone other than UTC prints its wall clock in that zone, which is
// ambiguous around a change of clocks; such a result is read again with those columns moved to
// UTC on the server, so every TimestampTz cell holds the exact instant.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <mutex>

#include "core/text.h"
#include "drivers/clickhouse/ch_types.h"
#include "drivers/clickhouse/http.h"
#include "drivers/engines.h"
#include "drivers/relation.h"

namespace zyl::drivers {
namespace {

using clickhouse::HttpRequest;

constexpr size_t kInsertBytes = 4 << 20;
constexpr std::string_view kReadFormat = "TabSeparatedWithNamesAndTypes";

std::string quote_ident(std::string_view name) { return quote_identifier_for("clickhouse", name); }

std::string literal(std::string_view text) { return string_literal_for("clickhouse", text); }

// The statement without trailing semicolons and blanks (the HTTP interface takes one statement
// per request).
std::string_view strip_end(std::string_view sql) {
  while (!sql.empty() && (sql.back() == ';' || sql.back() == ' ' || sql.back() == '\n' ||
                          sql.back() == '\r' || sql.back() == '\t')) {
    sql.remove_suffix(1);
  }
  return sql;
}

// `sql` split into statements at the semicolons outside quotes and comments; pieces that hold
// only blanks and comments are left out.
std::vector<std::string> split_statements(std::string_view sql) {
  std::vector<std::string> statements;
  size_t start = 0;
  char quote = 0;
  bool code = false;
  auto cut = [&](size_t end) {
    if (code) statements.emplace_back(sql.substr(start, end - start));
    start = end + 1;
    code = false;
  };
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (quote) {
      if (c == '\\') ++i;
      else if (c == quote) quote = 0;
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      while (i < sql.size() && sql[i] != '\n') ++i;
    } else if (c == ';') {
      cut(i);
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      code = true;
      if (c == '\'' || c == '"' || c == '`') quote = c;
    }
  }
  cut(sql.size());
  return statements;
}

// Unique among the requests of this process and among processes: "zyl_<pid>_<n>".
std::string next_query_id() {
  static std::atomic<unsigned long> counter{0};
  return "zyl_" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
}

struct Session {
  clickhouse::Endpoint endpoint;
  std::string database;
  clickhouse::ServerFeatures features;
  // The requests started, each with its query id, for interrupt().
  mutable std::mutex flight_mutex;
  mutable std::vector<std::pair<std::string, std::weak_ptr<clickhouse::Canceller>>> in_flight;

  // The URL parameters of a request in the connection's database (`in_database`), or in the
  // server's default one (for statements that must work before the database exists).
  std::string parameters(std::string_view extra = "", bool in_database = true) const {
    std::vector<std::string> p;
    if (in_database && !database.empty()) p.push_back("database=" + HttpRequest::escape(database));
    if (!extra.empty()) p.emplace_back(extra);
    return text::join(p, "&");
  }
  std::string redacted(std::string text) const {
    if (endpoint.password.empty()) return text;
    return text::redact(text, {endpoint.password});
  }
  // Fails with the server's message unless the request succeeded.
  void check(HttpRequest& request, const std::string& context) const {
    long status = request.status();
    if (status == 200) return;
    std::string body = request.read_rest(64 << 10);
    while (!body.empty() && (body.back() == '\n' || body.back() == ' ')) body.pop_back();
    if (body.empty()) body = "HTTP status " + std::to_string(status);
    throw DriverError(redacted("clickhouse: " + context + ": " + body));
  }
  // Starts a request under a query id of its own, which interrupt() can stop.
  std::unique_ptr<HttpRequest> start(const std::string& parameters, std::string body) const {
    std::string id = next_query_id();
    auto request = std::make_unique<HttpRequest>(endpoint, parameters, std::move(body), id);
    std::lock_guard lock(flight_mutex);
    std::erase_if(in_flight, [](const auto& entry) { return entry.second.expired(); });
    in_flight.emplace_back(id, request->canceller());
    return request;
  }

  // Stops every request of this session in flight, and asks the server to kill their queries
  // (the server may go on with a query whose client has gone). Never throws.
  void interrupt() const noexcept {
    std::vector<std::string> ids;
    {
      std::lock_guard lock(flight_mutex);
      for (const auto& [id, weak] : in_flight) {
        if (auto canceller = weak.lock()) {
          canceller->cancel();
          ids.push_back(id);
        }
      }
    }
    clickhouse::kill_queries(endpoint, ids);
  }
  // Runs one statement and reads past its response. Returns the request, for its headers.
  std::unique_ptr<HttpRequest> run(const std::string& sql, const std::string& context,
                                   bool in_database = true) const {
    auto request = start(this->parameters("", in_database), std::string(strip_end(sql)));
    check(*request, context);
    request->read_rest(SIZE_MAX);
    return request;
  }
};

using SessionPtr = std::shared_ptr<Session>;

// The rows written, from the summary header newer servers send; -1 without one.
std::int64_t written_rows(const HttpRequest& request) {
  std::string summary = request.header("X-ClickHouse-Summary");
  if (summary.empty()) return -1;
  try {
    Value parsed = Value::parse(summary);
    const Value* rows = find(parsed, "written_rows");
    if (!rows) return -1;
    return rows->is_string() ? std::stoll(rows->get<std::string>()) : rows->get<std::int64_t>();
  } catch (const std::exception&) {
    return -1;
  }
}

class ClickHouseQueryResult final : public QueryResult {
 public:
  ClickHouseQueryResult(SessionPtr session, std::unique_ptr<HttpRequest> request)
      : session_(std::move(session)), request_(std::move(request)) {
    session_->check(*request_, "query failed");
    std::vector<std::string> names = header_line("names");
    std::vector<std::string> types = header_line("types");
    if (names.size() != types.size()) fail_malformed();
    for (size_t i = 0; i < names.size(); ++i) {
      columns_.push_back({names[i], clickhouse::plan_type(types[i])});
    }
  }

  const std::vector<Column>& columns() const override { return columns_; }

  bool next(RowBatch& batch, size_t max_rows) override {
    batch.column_count = columns_.size();
    batch.cells.clear();
    if (max_rows == 0) max_rows = 1;
    std::string_view line;
    while (batch.rows() < max_rows && next_line(line)) parse_row(line, batch);
    return batch.rows() > 0;
  }

 private:
  // The next complete line of the body (without its newline); false at the end of the body.
  bool next_line(std::string_view& line) {
    for (;;) {
      size_t end = buffer_.find('\n', pos_);
      if (end != std::string::npos) {
        line = std::string_view(buffer_).substr(pos_, end - pos_);
        pos_ = end + 1;
        return true;
      }
      if (done_) {
        if (pos_ < buffer_.size()) fail_row(std::string_view(buffer_).substr(pos_));
        return false;
      }
      if (pos_ > 0) {
        buffer_.erase(0, pos_);
        pos_ = 0;
      }
      if (!request_->read(buffer_)) done_ = true;
    }
  }

  std::vector<std::string> header_line(const char* what) {
    std::string_view line;
    if (!next_line(line)) {
      throw DriverError("clickhouse: the result has no " + std::string(what) + " line");
    }
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      size_t tab = line.find('\t', start);
      fields.push_back(clickhouse::unescape(line.substr(start, tab - start)));
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    return fields;
  }

  void parse_row(std::string_view line, RowBatch& batch) {
    if (is_server_error(line)) fail_row(line);
    size_t start = 0;
    size_t first = batch.cells.size();
    for (size_t c = 0; c < columns_.size(); ++c) {
      size_t tab = line.find('\t', start);
      bool last = c + 1 == columns_.size();
      if ((tab == std::string_view::npos) != last) {
        batch.cells.resize(first);
        fail_row(line);
      }
      std::string_view field = line.substr(start, tab - start);
      batch.cells.push_back(clickhouse::parse_field(columns_[c].type, field));
      start = tab + 1;
    }
  }

  // Whether `line` is the error a server writes into a body it has begun to send (a one-column
  // text result could otherwise take it for a row).
  static bool is_server_error(std::string_view line) {
    return text::starts_with(line, "Code: ") &&
           line.find("DB::Exception") != std::string_view::npos;
  }

  // A line that is not a row: the error a server writes into a body it has begun to send, or
  // a body cut short.
  [[noreturn]] void fail_row(std::string_view line) {
    if (is_server_error(line)) {
      std::string message(line);
      message += request_->read_rest(64 << 10);
      throw DriverError(session_->redacted("clickhouse: query failed while sending rows: " +
                                           message));
    }
    fail_malformed();
  }
  [[noreturn]] void fail_malformed() {
    throw DriverError("clickhouse: the server's response is not the TabSeparated result asked "
                      "for (cut short?)");
  }

  SessionPtr session_;
  std::unique_ptr<HttpRequest> request_;
  std::vector<Column> columns_;
  std::string buffer_;
  size_t pos_ = 0;
  bool done_ = false;
};

class ClickHouseWriter final : public BulkWriter {
 public:
  ClickHouseWriter(SessionPtr session, std::string insert, std::vector<Column> columns)
      : session_(std::move(session)), insert_(std::move(insert)), columns_(std::move(columns)) {
    body_.reserve(kInsertBytes + 65536);
  }

  void write(const RowBatch& batch) override {
    if (finished_) throw DriverError("clickhouse: bulk writer already finished");
    if (batch.column_count != columns_.size()) {
      throw DriverError("clickhouse: batch has " + std::to_string(batch.column_count) +
                        " columns, the writer " + std::to_string(columns_.size()));
    }
    for (size_t r = 0; r < batch.rows(); ++r) {
      for (size_t c = 0; c < columns_.size(); ++c) {
        if (c) body_ += '\t';
        clickhouse::append_field(body_, batch.at(r, c), columns_[c].type, session_->features);
      }
      body_ += '\n';
      ++rows_;
      if (body_.size() >= kInsertBytes) flush();
    }
  }

  void finish() override {
    if (finished_) throw DriverError("clickhouse: bulk writer already finished");
    flush();
    collect();
    finished_ = true;
  }

  std::int64_t rows_written() const override { return rows_written_; }

 private:
  // Sends the rows so far while the caller renders the next ones: one body is on its way (on a
  // thread of its own) while the next one fills. The failure of a body is thrown by the flush
  // or the finish after it.
  void flush() {
    if (rows_ == 0) return;
    collect();
    pending_ = std::async(std::launch::async, [session = session_, insert = insert_,
                                               body = std::move(body_)] {
      auto request = session->start(session->parameters("query=" + HttpRequest::escape(insert)),
                                    body);
      session->check(*request, "bulk write failed");
      request->read_rest(SIZE_MAX);
      return written_rows(*request);
    });
    body_ = std::string();
    body_.reserve(kInsertBytes + 65536);
    rows_ = 0;
  }

  // Waits for the body on its way; throws its failure.
  void collect() {
    if (!pending_.valid()) return;
    std::int64_t taken = pending_.get();
    rows_written_ = taken < 0 || rows_written_ < 0 ? -1 : rows_written_ + taken;
  }

  SessionPtr session_;
  std::string insert_;
  std::vector<Column> columns_;
  std::string body_;
  size_t rows_ = 0;
  bool finished_ = false;
  std::int64_t rows_written_ = 0;
  std::future<std::int64_t> pending_;  // waited for on destruction, its failure dropped
};

class ClickHouseConnection final : public Connection {
 public:
  explicit ClickHouseConnection(SessionPtr session) : session_(std::move(session)) {
    accept_interrupts();
  }
  ~ClickHouseConnection() override { close(); }

  std::string engine() const override { return "clickhouse"; }

  void execute(const std::string& sql) override {
    for (const std::string& statement : split_statements(sql)) {
      session_->run(statement, "statement failed");
    }
  }

  std::unique_ptr<QueryResult> query(const std::string& sql) override {
    auto result = stream(std::string(strip_end(sql)));
    std::optional<std::string> in_utc = utc_query(sql, result->columns());
    if (!in_utc) return result;
    result.reset();
    return stream(*in_utc);
  }

  void begin() override {}
  void commit() override {}
  void rollback() override {}

  std::string quote_identifier(std::string_view name) const override { return quote_ident(name); }

  std::string type_sql(const ColumnType& type) const override {
    return clickhouse::type_sql(type, session_->features);
  }

  std::string create_table_sql(const TableRef& table, const std::vector<Column>& columns,
                               const std::vector<std::string>& keys) const override {
    std::vector<std::string> defs, order;
    for (const Column& c : columns) {
      bool is_key = std::find(keys.begin(), keys.end(), c.name) != keys.end();
      std::string type = type_sql(c.type);
      defs.push_back(quote_ident(c.name) + " " + (is_key ? clickhouse::not_null(type) : type));
    }
    for (const std::string& k : keys) order.push_back(quote_ident(k));
    return "CREATE TABLE " + quote_table(table) + " (" + text::join(defs, ", ") +
           ") ENGINE = MergeTree ORDER BY " +
           (order.empty() ? std::string("tuple()") : "(" + text::join(order, ", ") + ")");
  }

  bool table_exists(const TableRef& table) override {
    return !first_column("SELECT name FROM system.tables WHERE database = " +
                         database_expr(table.schema) + " AND name = " + literal(table.name))
                .empty();
  }

  std::vector<Column> table_columns(const TableRef& table) override {
    if (!table_exists(table)) return {};
    return stream("SELECT * FROM " + quote_table(table) + " LIMIT 0")->columns();
  }

  std::vector<std::string> table_names(const std::string& schema) override {
    return first_column("SELECT name FROM system.tables WHERE database = " +
                        database_expr(schema) + " AND engine NOT LIKE '%View'");
  }

  void ensure_schema(const std::string& schema) override {
    if (schema.empty()) return;
    // Also when it is the connection's own database, which does not exist yet.
    session_->run("CREATE DATABASE IF NOT EXISTS " + quote_ident(schema), "statement failed",
                  /*in_database=*/false);
  }

  std::unique_ptr<BulkWriter> bulk_writer(const TableRef& table,
                                          const std::vector<Column>& columns) override {
    std::vector<std::string> names;
    for (const Column& c : columns) names.push_back(quote_ident(c.name));
    return std::make_unique<ClickHouseWriter>(
        session_,
        "INSERT INTO " + quote_table(table) + " (" + text::join(names, ", ") +
            ") FORMAT TabSeparated",
        columns);
  }

  void close() override { refuse_interrupts(); }

  void interrupt() noexcept override { session_->interrupt(); }

 private:
  std::unique_ptr<QueryResult> stream(const std::string& sql) {
    auto request = session_->start(
        session_->parameters("default_format=" + std::string(kReadFormat)), sql);
    return std::make_unique<ClickHouseQueryResult>(session_, std::move(request));
  }

  // The query again with its DateTime columns of other time zones moved to UTC; nullopt when
  // it has none.
  static std::optional<std::string> utc_query(const std::string& sql,
                                              const std::vector<Column>& columns) {
    std::vector<std::string> items;
    bool moved = false;
    for (const Column& c : columns) {
      std::string name = quote_ident(c.name);
      auto zone = clickhouse::time_zone_of(c.type.native);
      if (zone && *zone != "UTC") {
        items.push_back("toTimeZone(" + name + ", 'UTC') AS " + name);
        moved = true;
      } else {
        items.push_back(name);
      }
    }
    if (!moved) return std::nullopt;
    return "SELECT " + text::join(items, ", ") + " FROM (\n" + std::string(strip_end(sql)) +
           "\n)";
  }

  std::string database_expr(const std::string& schema) const {
    return schema.empty() ? std::string("currentDatabase()") : literal(schema);
  }

  std::vector<std::string> first_column(const std::string& sql) {
    auto result = stream(sql);
    std::vector<std::string> values;
    RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) {
        values.push_back(std::get<std::string>(batch.at(r, 0)));
      }
    }
    return values;
  }

  SessionPtr session_;
};

}  // namespace

std::unique_ptr<Connection> open_clickhouse(const Value& config) {
  auto session = std::make_shared<Session>();
  bool secure = is_set(find(config, "secure"));
  std::string host = connection_setting(config, {"host"}, "localhost");
  std::string port = connection_setting(config, {"port"}, secure ? "8443" : "8123");
  session->endpoint.base_url =
      std::string(secure ? "https" : "http") + "://" + host + ":" + port + "/";
  session->endpoint.user = connection_setting(config, {"user", "username"}, "default");
  session->endpoint.password = connection_setting(config, {"password", "pass"}, "");
  session->database = connection_setting(config, {"schema", "database"}, "default");
  auto conn = std::make_unique<ClickHouseConnection>(session);
  try {
    // Asked outside the connection's database, which a load may still have to create.
    auto request = session->start(session->parameters("", false), "SELECT version()");
    session->check(*request, "query failed");
    std::string version = request->read_rest(4096);
    session->features = clickhouse::features_of(version);
  } catch (const DriverError& e) {
    throw DriverError(session->redacted(std::string("clickhouse: could not connect to ") + host +
                                        ":" + port + ": " + e.what()));
  }
  return conn;
}

}  // namespace zyl::drivers
