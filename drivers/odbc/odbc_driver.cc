// The ODBC driver on unixODBC: one Connection for every engine that has an ODBC driver.
//
// What the driver says about itself decides: the identifier quote (SQL_IDENTIFIER_QUOTE_CHAR),
// the type names of CREATE TABLE (SQLGetTypeInfo) and whether DDL is transactional
// (SQL_TXN_CAPABLE). Reads fetch arrays of rows into column-wise bound buffers; a column of long
// values (text or binary without a bound) is read with SQLGetData, one row per fetch. Writes
// bind arrays of parameters to one prepared INSERT. Text travels as UTF-16 (SQL_C_WCHAR), so
// no driver converts it through the process's locale.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "core/text.h"
#include "drivers/dialect.h"
#include "drivers/engines.h"
#include "drivers/odbc/odbc_connect.h"
#include "drivers/odbc/odbc_types.h"
#include "drivers/odbc/utf16.h"
#include "drivers/relation.h"
#include "drivers/temporal.h"

namespace zyl::drivers {
namespace {

using odbc::TypeChoice;

constexpr SQLULEN kFetchRows = 1024;
constexpr size_t kParamRows = 1024;

SQLHENV environment() {
  static SQLHENV env = [] {
    SQLHENV e = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &e))) {
      throw DriverError("odbc: could not start the ODBC driver manager");
    }
    SQLSetEnvAttr(e, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return e;
  }();
  return env;
}

// Every diagnostic record of `handle`, "[SQLSTATE] message" joined by "; ".
std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<std::string> parts;
  for (SQLSMALLINT i = 1; i <= 8; ++i) {
    SQLCHAR state[6] = {0};
    SQLCHAR message[1024] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length);
    if (!SQL_SUCCEEDED(rc)) break;
    parts.push_back("[" + std::string(reinterpret_cast<char*>(state)) + "] " +
                    std::string(reinterpret_cast<char*>(message)));
  }
  return parts.empty() ? std::string("no diagnostic from the driver") : text::join(parts, "; ");
}

// The installed drivers, as odbcinst.ini names them.
std::vector<std::string> installed_drivers() {
  std::vector<std::string> names;
  SQLCHAR name[256];
  SQLCHAR attributes[1024];
  SQLSMALLINT name_length = 0, attributes_length = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDrivers(environment(), direction, name, sizeof name, &name_length,
                                  attributes, sizeof attributes, &attributes_length))) {
    names.emplace_back(reinterpret_cast<char*>(name));
    direction = SQL_FETCH_NEXT;
  }
  return names;
}

struct Session {
  SQLHDBC dbc = SQL_NULL_HDBC;
  std::string engine;
  std::string driver;  // the driver name or "DSN x", for messages and log lines
  std::vector<std::string> secrets;
  std::string quote = "\"";
  bool transactional_ddl = true;
  bool in_transaction = false;
  // The SQLite ODBC driver takes the length of every binary value of a parameter array from the
  // first row's; with it, rows holding binary values go one parameter set at a time.
  bool binary_arrays = true;
  // MariaDB's driver leaks the date structure of every row of a parameter array; dates and
  // timestamps go to it as their ISO text instead (UTC, as the session runs in).
  bool temporal_as_text = false;
  // The SQLite ODBC driver hands out every value through SQLite's text form, which keeps 15
  // significant digits of a REAL (0.1 + 0.2 reads as 0.3); such columns are asked for as the
  // exact text of their double instead, and read back as doubles.
  bool exact_reals_as_text = false;
  odbc::TypeCatalog types;

  ~Session() {
    if (dbc == SQL_NULL_HDBC) return;
    if (in_transaction) SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  SQLHDBC live() const {
    if (dbc == SQL_NULL_HDBC) throw DriverError(engine + " (ODBC): the connection is closed");
    return dbc;
  }
  [[noreturn]] void fail(SQLSMALLINT type, SQLHANDLE handle, const std::string& context) const {
    std::string message = engine + " (ODBC, " + driver + "): " + context + ": " +
                          diagnostics(type, handle);
    throw DriverError(text::redact(message, secrets));
  }
  void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const std::string& context) const {
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) fail(type, handle, context);
  }
};

using SessionPtr = std::shared_ptr<Session>;

// One statement handle, freed with its owner.
class Statement {
 public:
  explicit Statement(const SessionPtr& session) : session_(session) {
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, session->live(), &handle_);
    session->check(rc, SQL_HANDLE_DBC, session->dbc, "could not make a statement");
  }
  ~Statement() {
    if (handle_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  SQLHSTMT get() const { return handle_; }
  void check(SQLRETURN rc, const std::string& context) const {
    session_->check(rc, SQL_HANDLE_STMT, handle_, context);
  }
  void set(SQLINTEGER attribute, SQLULEN value, const std::string& context) {
    check(SQLSetStmtAttr(handle_, attribute, reinterpret_cast<SQLPOINTER>(value), 0), context);
  }
  void set_pointer(SQLINTEGER attribute, void* value, const std::string& context) {
    check(SQLSetStmtAttr(handle_, attribute, value, 0), context);
  }
  // Runs `sql`; returns false when it produced no result set.
  void exec(const std::string& sql, const std::string& context) {
    std::u16string wide = odbc::to_utf16(sql);
    SQLRETURN rc = SQLExecDirectW(handle_, odbc::wide_ptr(wide), static_cast<SQLINTEGER>(wide.size()));
    if (rc == SQL_NO_DATA) return;  // a DELETE or UPDATE that matched no row
    check(rc, context);
  }
  SQLLEN row_count() const {
    SQLLEN count = -1;
    if (!SQL_SUCCEEDED(SQLRowCount(handle_, &count))) return -1;
    return count;
  }

 private:
  SessionPtr session_;
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

std::int64_t micros_of(const SQL_TIMESTAMP_STRUCT& ts) {
  std::int64_t days = temporal::days_from_civil(ts.year, ts.month, ts.day);
  std::int64_t seconds = days * 86400 + ts.hour * 3600 + ts.minute * 60 + ts.second;
  return seconds * 1000000 + ts.fraction / 1000;
}

SQL_TIMESTAMP_STRUCT timestamp_of(std::int64_t micros) {
  std::int64_t days = micros >= 0 ? micros / 86400000000LL : -((-micros + 86399999999LL) / 86400000000LL);
  std::int64_t rest = micros - days * 86400000000LL;
  temporal::Civil civil = temporal::civil_from_days(days);
  SQL_TIMESTAMP_STRUCT ts{};
  ts.year = static_cast<SQLSMALLINT>(civil.year);
  ts.month = static_cast<SQLUSMALLINT>(civil.month);
  ts.day = static_cast<SQLUSMALLINT>(civil.day);
  std::int64_t seconds = rest / 1000000;
  ts.hour = static_cast<SQLUSMALLINT>(seconds / 3600);
  ts.minute = static_cast<SQLUSMALLINT>(seconds / 60 % 60);
  ts.second = static_cast<SQLUSMALLINT>(seconds % 60);
  ts.fraction = static_cast<SQLUINTEGER>(rest % 1000000 * 1000);
  return ts;
}

// A decimal's text as cells hold it: no leading "+", at least `scale` fractional digits.
std::string decimal_text(std::string text, int scale) {
  if (!text.empty() && text.front() == '+') text.erase(0, 1);
  if (text.empty() || scale <= 0 || !std::isdigit(static_cast<unsigned char>(text.back()))) {
    return text;
  }
  size_t point = text.find('.');
  size_t digits = point == std::string::npos ? 0 : text.size() - point - 1;
  if (point == std::string::npos) text += '.';
  if (digits < static_cast<size_t>(scale)) text.append(scale - digits, '0');
  if (text.front() == '.') text.insert(0, "0");
  if (text.rfind("-.", 0) == 0) text.insert(1, "0");
  return text;
}

// How the cells of one result column are fetched: the C type, the buffer and its indicators.
struct ColumnBuffer {
  SQLSMALLINT c_type = SQL_C_WCHAR;
  SQLLEN width = 0;  // bytes of one element
  bool in_parts = false;
  std::vector<char> data;
  std::vector<SQLLEN> indicators;
};

ColumnBuffer plan_buffer(const ColumnType& type, int sql_type, long long size) {
  ColumnBuffer b;
  b.in_parts = odbc::reads_in_parts(sql_type, size);
  switch (type.id) {
    case TypeId::Boolean: b.c_type = SQL_C_BIT; b.width = 1; break;
    case TypeId::Int8: case TypeId::Int16: case TypeId::Int32: case TypeId::Int64:
    case TypeId::UInt8: case TypeId::UInt16: case TypeId::UInt32:
      b.c_type = SQL_C_SBIGINT; b.width = 8; break;
    case TypeId::UInt64: b.c_type = SQL_C_UBIGINT; b.width = 8; break;
    case TypeId::Float32: case TypeId::Float64: b.c_type = SQL_C_DOUBLE; b.width = 8; break;
    case TypeId::Date: b.c_type = SQL_C_TYPE_DATE; b.width = sizeof(SQL_DATE_STRUCT); break;
    case TypeId::Timestamp: case TypeId::TimestampTz:
      b.c_type = SQL_C_TYPE_TIMESTAMP; b.width = sizeof(SQL_TIMESTAMP_STRUCT); break;
    case TypeId::Decimal:
      b.c_type = SQL_C_CHAR; b.width = std::max(type.precision + 3, 80); break;
    case TypeId::Time: case TypeId::Uuid: b.c_type = SQL_C_CHAR; b.width = 64; break;
    case TypeId::Blob:
      b.c_type = SQL_C_BINARY; b.width = static_cast<SQLLEN>(std::max(size, 1LL)); break;
    default:
      // Up to two UTF-16 units a character, and the terminator.
      b.c_type = SQL_C_WCHAR;
      b.width = static_cast<SQLLEN>((std::max(size, 1LL) * 2 + 1) * sizeof(SQLWCHAR));
      break;
  }
  return b;
}

class OdbcQueryResult final : public QueryResult {
 public:
  // `forced` (when not empty) holds, for each column, a type to read it as instead of the one
  // the driver describes (nullopt: the described one).
  OdbcQueryResult(SessionPtr session, std::unique_ptr<Statement> statement, SQLSMALLINT count,
                  std::vector<std::optional<ColumnType>> forced = {})
      : session_(std::move(session)), statement_(std::move(statement)), forced_(std::move(forced)) {
    describe(count);
    bind();
  }

  const std::vector<Column>& columns() const override { return columns_; }

  bool next(RowBatch& batch, size_t max_rows) override {
    batch.column_count = columns_.size();
    batch.cells.clear();
    if (done_) return false;
    max_rows = std::max<size_t>(max_rows, 1);
    while (batch.rows() < max_rows) {
      if (at_ >= fetched_ && !fetch()) break;
      for (; at_ < fetched_ && batch.rows() < max_rows; ++at_) {
        if (statuses_[at_] == SQL_ROW_NOROW) continue;
        if (statuses_[at_] == SQL_ROW_ERROR) {
          session_->fail(SQL_HANDLE_STMT, statement_->get(), "reading a row failed");
        }
        for (size_t c = 0; c < columns_.size(); ++c) batch.cells.push_back(cell(c, at_));
      }
    }
    return batch.rows() > 0;
  }

 private:
  void describe(SQLSMALLINT count) {
    for (SQLUSMALLINT i = 1; i <= count; ++i) {
      SQLWCHAR name[512];
      SQLSMALLINT name_length = 0, sql_type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      statement_->check(SQLDescribeColW(statement_->get(), i, name, 512, &name_length, &sql_type,
                                        &size, &digits, &nullable),
                        "describing the result failed");
      SQLLEN is_unsigned = SQL_FALSE;
      SQLColAttribute(statement_->get(), i, SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &is_unsigned);
      bool numeric_unsigned = is_unsigned == SQL_TRUE && sql_type != SQL_BIT &&
                              (sql_type == SQL_TINYINT || sql_type == SQL_SMALLINT ||
                               sql_type == SQL_INTEGER || sql_type == SQL_BIGINT);
      ColumnType type = odbc::column_type(sql_type, static_cast<long long>(size), digits,
                                          numeric_unsigned);
      type.native = "ODBC type " + std::to_string(sql_type);
      bool forced = i <= forced_.size() && forced_[i - 1];
      if (forced) type = *forced_[i - 1];
      std::u16string wide(reinterpret_cast<const char16_t*>(name),
                          std::min<size_t>(name_length, 511));
      columns_.push_back({odbc::to_utf8(wide), type});
      buffers_.push_back(plan_buffer(type, sql_type, static_cast<long long>(size)));
      if (forced) {
        // The exact text of a double, parsed here: the driver's own conversion may round.
        buffers_.back().c_type = SQL_C_CHAR;
        buffers_.back().width = 64;
        buffers_.back().in_parts = false;
      }
    }
  }

  void bind() {
    bool any_in_parts = std::any_of(buffers_.begin(), buffers_.end(),
                                    [](const ColumnBuffer& b) { return b.in_parts; });
    rows_ = any_in_parts ? 1 : kFetchRows;
    statuses_.assign(rows_, SQL_ROW_NOROW);
    statement_->set(SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN, "column-wise binding");
    statement_->set(SQL_ATTR_ROW_ARRAY_SIZE, rows_, "setting the row array size");
    statement_->set_pointer(SQL_ATTR_ROW_STATUS_PTR, statuses_.data(), "row status array");
    statement_->set_pointer(SQL_ATTR_ROWS_FETCHED_PTR, &fetched_, "rows fetched");
    for (size_t c = 0; c < buffers_.size(); ++c) {
      ColumnBuffer& b = buffers_[c];
      if (b.in_parts) continue;
      b.data.assign(static_cast<size_t>(b.width) * rows_, 0);
      b.indicators.assign(rows_, 0);
      statement_->check(SQLBindCol(statement_->get(), static_cast<SQLUSMALLINT>(c + 1), b.c_type,
                                   b.data.data(), b.width, b.indicators.data()),
                        "binding column " + columns_[c].name);
    }
  }

  bool fetch() {
    at_ = 0;
    fetched_ = 0;
    SQLRETURN rc = SQLFetch(statement_->get());
    if (rc == SQL_NO_DATA) {
      done_ = true;
      return false;
    }
    statement_->check(rc, "fetching rows failed");
    for (size_t c = 0; c < buffers_.size(); ++c) {
      if (buffers_[c].in_parts) read_parts(c);
    }
    return fetched_ > 0;
  }

  // The whole value of a long column of the current row, in `parts_[c]`.
  void read_parts(size_t c) {
    ColumnBuffer& b = buffers_[c];
    if (parts_.size() < buffers_.size()) parts_.resize(buffers_.size());
    std::string& out = parts_[c].value;
    out.clear();
    parts_[c].null = false;
    char chunk[32768];
    for (;;) {
      SQLLEN length = 0;
      SQLRETURN rc = SQLGetData(statement_->get(), static_cast<SQLUSMALLINT>(c + 1), b.c_type,
                                chunk, sizeof chunk, &length);
      if (rc == SQL_NO_DATA) break;
      statement_->check(rc, "reading column " + columns_[c].name);
      if (length == SQL_NULL_DATA) {
        parts_[c].null = true;
        return;
      }
      size_t terminator = b.c_type == SQL_C_WCHAR ? sizeof(SQLWCHAR) : 0;
      size_t room = sizeof chunk - terminator;
      if (b.c_type == SQL_C_WCHAR) room -= room % sizeof(SQLWCHAR);
      size_t got = (length == SQL_NO_TOTAL || static_cast<size_t>(length) > room)
                       ? room
                       : static_cast<size_t>(length);
      out.append(chunk, got);
      if (rc == SQL_SUCCESS) break;
    }
  }

  Cell cell(size_t c, size_t row) {
    const ColumnBuffer& b = buffers_[c];
    const ColumnType& type = columns_[c].type;
    if (b.in_parts) {
      if (parts_[c].null) return std::monostate{};
      if (b.c_type == SQL_C_WCHAR) return odbc::utf8_of_bytes(parts_[c].value);
      return parts_[c].value;
    }
    SQLLEN length = b.indicators[row];
    if (length == SQL_NULL_DATA) return std::monostate{};
    const char* p = b.data.data() + static_cast<size_t>(b.width) * row;
    switch (b.c_type) {
      case SQL_C_BIT: return *reinterpret_cast<const unsigned char*>(p) != 0;
      case SQL_C_SBIGINT: {
        std::int64_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
      }
      case SQL_C_UBIGINT: {
        std::uint64_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
      }
      case SQL_C_DOUBLE: {
        double v;
        std::memcpy(&v, p, sizeof v);
        return v;
      }
      case SQL_C_TYPE_DATE: {
        SQL_DATE_STRUCT d;
        std::memcpy(&d, p, sizeof d);
        return temporal::days_from_civil(d.year, d.month, d.day);
      }
      case SQL_C_TYPE_TIMESTAMP: {
        SQL_TIMESTAMP_STRUCT ts;
        std::memcpy(&ts, p, sizeof ts);
        return micros_of(ts);
      }
      default: break;
    }
    if (length == SQL_NO_TOTAL || length >= b.width) {
      throw DriverError(session_->engine + " (ODBC): a value of column " + columns_[c].name +
                        " is longer than the driver described it");
    }
    if (b.c_type == SQL_C_BINARY) return std::string(p, static_cast<size_t>(length));
    if (b.c_type == SQL_C_WCHAR) {
      return odbc::utf8_of_bytes(std::string_view(p, static_cast<size_t>(length)));
    }
    std::string text(p, static_cast<size_t>(length));
    return char_cell(type, std::move(text));
  }

  Cell char_cell(const ColumnType& type, std::string text) {
    if (type.id == TypeId::Decimal) return decimal_text(std::move(text), type.scale);
    if (type.id == TypeId::Float64 || type.id == TypeId::Float32) return double_text(text);
    if (type.id == TypeId::Uuid) return text::to_lower(text);
    if (type.id == TypeId::Time) {
      if (auto micros = temporal::parse_time(text)) return *micros;
      throw DriverError(session_->engine + " (ODBC): '" + text + "' is not a time of day");
    }
    return text;
  }

  double double_text(const std::string& text) const {
    double v = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (error != std::errc() || end != text.data() + text.size()) {
      throw DriverError(session_->engine + " (ODBC): '" + text + "' is not a number");
    }
    return v;
  }

  struct Part {
    std::string value;
    bool null = false;
  };

  SessionPtr session_;
  std::unique_ptr<Statement> statement_;
  std::vector<std::optional<ColumnType>> forced_;
  std::vector<Column> columns_;
  std::vector<ColumnBuffer> buffers_;
  std::vector<Part> parts_;
  std::vector<SQLUSMALLINT> statuses_;
  SQLULEN rows_ = 1;
  SQLULEN fetched_ = 0;
  SQLULEN at_ = 0;
  bool done_ = false;
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

// How the cells of one parameter column are bound, from the ODBC data type its column has.
enum class Form { Bit, Integer, Unsigned, Double, Date, Timestamp, Chars, Wide, Binary };

Form form_of(const TypeChoice& choice, const ColumnType& type, bool temporal_as_text) {
  bool temporal = choice.data_type == SQL_TYPE_DATE || choice.data_type == SQL_TYPE_TIMESTAMP;
  if (temporal && temporal_as_text) return Form::Chars;
  switch (choice.data_type) {
    case SQL_BIT: return Form::Bit;
    case SQL_TINYINT: case SQL_SMALLINT: case SQL_INTEGER: case SQL_BIGINT:
      return type.id == TypeId::UInt64 ? Form::Unsigned : Form::Integer;
    case SQL_REAL: case SQL_FLOAT: case SQL_DOUBLE: return Form::Double;
    case SQL_TYPE_DATE: return Form::Date;
    case SQL_TYPE_TIMESTAMP: return Form::Timestamp;
    case SQL_DECIMAL: case SQL_NUMERIC: case SQL_TYPE_TIME: case SQL_GUID: return Form::Chars;
    case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY: return Form::Binary;
    default: return Form::Wide;
  }
}

// The text a column of text takes for a cell that is not text (a number into a decimal, a date
// of a type the driver has no name for, ...).
std::string cell_text(const Cell& cell, const ColumnType& type) {
  if (const auto* s = std::get_if<std::string>(&cell)) return *s;
  if (const auto* b = std::get_if<bool>(&cell)) return *b ? "1" : "0";
  if (const auto* u = std::get_if<std::uint64_t>(&cell)) return std::to_string(*u);
  if (const auto* d = std::get_if<double>(&cell)) {
    Value v = *d;
    return text_form(v);
  }
  std::int64_t v = std::get<std::int64_t>(cell);
  switch (type.id) {
    case TypeId::Date: return temporal::format_date(v);
    case TypeId::Time: return temporal::format_time(v);
    case TypeId::Timestamp: return temporal::format_timestamp(v);
    case TypeId::TimestampTz: return temporal::format_timestamptz(v);
    default: return std::to_string(v);
  }
}

class OdbcParamWriter final : public BulkWriter {
 public:
  OdbcParamWriter(SessionPtr session, const std::string& sql, std::vector<Column> columns)
      : session_(std::move(session)),
        statement_(std::make_unique<Statement>(session_)),
        columns_(std::move(columns)) {
    std::u16string wide = odbc::to_utf16(sql);
    statement_->check(SQLPrepareW(statement_->get(), odbc::wide_ptr(wide),
                                  static_cast<SQLINTEGER>(wide.size())),
                      "preparing the INSERT failed");
    statement_->set(SQL_ATTR_PARAM_BIND_TYPE, SQL_PARAM_BIND_BY_COLUMN, "column-wise parameters");
    statement_->set_pointer(SQL_ATTR_PARAMS_PROCESSED_PTR, &processed_, "parameters processed");
    for (const Column& c : columns_) {
      TypeChoice choice = session_->types.choose(c.type);
      Form form = form_of(choice, c.type, session_->temporal_as_text);
      if (form == Form::Chars && (choice.data_type == SQL_TYPE_DATE ||
                                  choice.data_type == SQL_TYPE_TIMESTAMP)) {
        choice.data_type = SQL_VARCHAR;  // the server converts the text on assignment
        choice.column_size = 32;
        choice.decimal_digits = 0;
      }
      params_.push_back({choice, form, {}, {}, 0});
    }
  }

  void write(const RowBatch& batch) override {
    if (finished_) throw DriverError(session_->engine + " (ODBC): bulk writer already finished");
    if (batch.column_count != columns_.size()) {
      throw DriverError(session_->engine + " (ODBC): batch has " +
                        std::to_string(batch.column_count) + " columns, the writer " +
                        std::to_string(columns_.size()));
    }
    size_t step = kParamRows;
    if (!session_->binary_arrays &&
        std::any_of(params_.begin(), params_.end(),
                    [](const Param& p) { return p.form == Form::Binary; })) {
      step = 1;
    }
    for (size_t from = 0; from < batch.rows(); from += step) {
      execute(batch, from, std::min(batch.rows(), from + step));
    }
  }

  void finish() override {
    if (finished_) throw DriverError(session_->engine + " (ODBC): bulk writer already finished");
    finished_ = true;
  }

  std::int64_t rows_written() const override { return written_; }

 private:
  struct Param {
    TypeChoice choice;
    Form form;
    std::vector<char> data;
    std::vector<SQLLEN> indicators;
    SQLLEN width;
  };

  // One execution of the INSERT for the rows [from, to) of `batch`.
  void execute(const RowBatch& batch, size_t from, size_t to) {
    size_t n = to - from;
    for (size_t c = 0; c < params_.size(); ++c) fill(params_[c], batch, c, from, n);
    statuses_.assign(n, SQL_PARAM_UNUSED);
    statement_->set(SQL_ATTR_PARAMSET_SIZE, n, "setting the parameter array size");
    statement_->set_pointer(SQL_ATTR_PARAM_STATUS_PTR, statuses_.data(), "parameter statuses");
    for (size_t c = 0; c < params_.size(); ++c) bind(params_[c], c);
    processed_ = 0;
    SQLRETURN rc = SQLExecute(statement_->get());
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
      session_->fail(SQL_HANDLE_STMT, statement_->get(), "bulk write failed");
    }
    for (size_t i = 0; i < n; ++i) {
      if (statuses_[i] == SQL_PARAM_ERROR) {
        throw DriverError(session_->engine + " (ODBC, " + session_->driver +
                          "): bulk write failed at row " + std::to_string(from + i + 1));
      }
    }
    if (processed_ != n) {
      throw DriverError(session_->engine + " (ODBC, " + session_->driver + "): the driver took " +
                        std::to_string(processed_) + " of " + std::to_string(n) + " rows");
    }
    written_ += static_cast<std::int64_t>(n);
  }

  static SQLLEN fixed_width(Form form) {
    switch (form) {
      case Form::Bit: return 1;
      case Form::Integer: case Form::Unsigned: case Form::Double: return 8;
      case Form::Date: return sizeof(SQL_DATE_STRUCT);
      case Form::Timestamp: return sizeof(SQL_TIMESTAMP_STRUCT);
      default: return 0;
    }
  }

  // The bytes `cell` is bound as in a column of variable width.
  static std::string variable_bytes(const Param& p, const Cell& cell, const ColumnType& type) {
    if (p.form == Form::Binary) return cell_text(cell, type);
    std::string text = cell_text(cell, type);
    if (p.form == Form::Chars) {
      // A UTC instant as text for a column without a time zone: no offset.
      if (type.id == TypeId::TimestampTz && std::holds_alternative<std::int64_t>(cell)) {
        return temporal::format_timestamp(std::get<std::int64_t>(cell));
      }
      return text;
    }
    std::u16string wide = odbc::to_utf16(text);
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  }

  void fill(Param& p, const RowBatch& batch, size_t c, size_t from, size_t n) {
    const ColumnType& type = columns_[c].type;
    p.indicators.assign(n, SQL_NULL_DATA);
    p.width = fixed_width(p.form);
    if (p.width > 0) {
      p.data.assign(static_cast<size_t>(p.width) * n, 0);
      for (size_t r = 0; r < n; ++r) {
        const Cell& cell = batch.at(from + r, c);
        if (std::holds_alternative<std::monostate>(cell)) continue;
        put_fixed(p, cell, type, p.data.data() + r * static_cast<size_t>(p.width));
        p.indicators[r] = p.form == Form::Bit || p.form == Form::Integer ||
                                  p.form == Form::Unsigned || p.form == Form::Double
                              ? 0
                              : p.width;
      }
      return;
    }
    std::vector<std::string> values(n);
    size_t widest = 0;
    for (size_t r = 0; r < n; ++r) {
      const Cell& cell = batch.at(from + r, c);
      if (std::holds_alternative<std::monostate>(cell)) continue;
      values[r] = variable_bytes(p, cell, type);
      widest = std::max(widest, values[r].size());
      p.indicators[r] = static_cast<SQLLEN>(values[r].size());
    }
    p.width = static_cast<SQLLEN>(widest + 2);  // room for a terminator the driver may want
    p.data.assign(static_cast<size_t>(p.width) * n, 0);
    for (size_t r = 0; r < n; ++r) {
      std::memcpy(p.data.data() + r * static_cast<size_t>(p.width), values[r].data(),
                  values[r].size());
    }
  }

  void put_fixed(const Param& p, const Cell& cell, const ColumnType& type, char* out) {
    switch (p.form) {
      case Form::Bit: {
        bool v = std::holds_alternative<bool>(cell) ? std::get<bool>(cell)
                                                    : cell_text(cell, type) != "0";
        *out = v ? 1 : 0;
        return;
      }
      case Form::Integer: case Form::Unsigned: {
        std::int64_t v = 0;
        if (const auto* i = std::get_if<std::int64_t>(&cell)) v = *i;
        if (const auto* u = std::get_if<std::uint64_t>(&cell)) v = static_cast<std::int64_t>(*u);
        if (const auto* b = std::get_if<bool>(&cell)) v = *b;
        std::memcpy(out, &v, sizeof v);
        return;
      }
      case Form::Double: {
        double v = 0;
        if (const auto* d = std::get_if<double>(&cell)) v = *d;
        if (const auto* i = std::get_if<std::int64_t>(&cell)) v = static_cast<double>(*i);
        std::memcpy(out, &v, sizeof v);
        return;
      }
      case Form::Date: {
        temporal::Civil civil = temporal::civil_from_days(std::get<std::int64_t>(cell));
        SQL_DATE_STRUCT d{static_cast<SQLSMALLINT>(civil.year),
                          static_cast<SQLUSMALLINT>(civil.month),
                          static_cast<SQLUSMALLINT>(civil.day)};
        std::memcpy(out, &d, sizeof d);
        return;
      }
      case Form::Timestamp: {
        std::int64_t micros = std::get<std::int64_t>(cell);
        if (type.id == TypeId::Date) micros *= 86400000000LL;
        SQL_TIMESTAMP_STRUCT ts = timestamp_of(micros);
        std::memcpy(out, &ts, sizeof ts);
        return;
      }
      default: return;
    }
  }

  void bind(Param& p, size_t c) {
    static const SQLSMALLINT c_types[] = {SQL_C_BIT,  SQL_C_SBIGINT,      SQL_C_UBIGINT,
                                          SQL_C_DOUBLE, SQL_C_TYPE_DATE, SQL_C_TYPE_TIMESTAMP,
                                          SQL_C_CHAR, SQL_C_WCHAR,        SQL_C_BINARY};
    SQLSMALLINT c_type = c_types[static_cast<int>(p.form)];
    SQLULEN size = p.choice.column_size > 0 ? static_cast<SQLULEN>(p.choice.column_size)
                                            : static_cast<SQLULEN>(std::max<SQLLEN>(p.width, 1));
    if (p.form == Form::Wide) size = std::max<SQLULEN>(size, p.width / 2);
    SQLRETURN rc = SQLBindParameter(statement_->get(), static_cast<SQLUSMALLINT>(c + 1),
                                    SQL_PARAM_INPUT, c_type,
                                    static_cast<SQLSMALLINT>(p.choice.data_type), size,
                                    static_cast<SQLSMALLINT>(p.choice.decimal_digits),
                                    p.data.data(), p.width, p.indicators.data());
    statement_->check(rc, "binding parameter " + columns_[c].name);
  }

  SessionPtr session_;
  std::unique_ptr<Statement> statement_;
  std::vector<Column> columns_;
  std::vector<Param> params_;
  std::vector<SQLUSMALLINT> statuses_;
  SQLULEN processed_ = 0;
  std::int64_t written_ = 0;
  bool finished_ = false;
};

class OdbcConnection final : public Connection {
 public:
  explicit OdbcConnection(SessionPtr session) : session_(std::move(session)) {}
  ~OdbcConnection() override { close(); }

  std::string engine() const override { return session_->engine; }
  bool transactional_ddl() const override { return session_->transactional_ddl; }
  std::string route() const override { return "ODBC driver '" + session_->driver + "'"; }

  void execute(const std::string& sql) override { execute_counted(sql); }

  // The count is the first statement's; the results of the others are read through, so that a
  // failing later statement fails the call.
  std::int64_t execute_counted(const std::string& sql) override {
    Statement statement(session_);
    statement.exec(sql, "statement failed");
    std::int64_t count = statement.row_count();
    for (;;) {
      SQLRETURN rc = SQLMoreResults(statement.get());
      if (rc == SQL_NO_DATA) break;
      statement.check(rc, "statement failed");
    }
    return count;
  }

  std::unique_ptr<QueryResult> query(const std::string& sql) override {
    std::unique_ptr<QueryResult> result = run_query(sql);
    if (!session_->exact_reals_as_text) return result;
    std::vector<std::string> selected;
    std::vector<std::optional<ColumnType>> forced;
    for (const Column& c : result->columns()) {
      std::string name = quote_identifier(c.name);
      bool real = c.type.id == TypeId::Float64 || c.type.id == TypeId::Float32;
      selected.push_back(real ? "CASE WHEN " + name + " IS NULL THEN NULL ELSE printf('%!.17g', " +
                                    name + ") END AS " + name
                              : name);
      forced.push_back(real ? std::optional<ColumnType>(c.type) : std::nullopt);
    }
    if (std::none_of(forced.begin(), forced.end(), [](const auto& f) { return f.has_value(); })) {
      return result;
    }
    result.reset();
    return run_query("SELECT " + text::join(selected, ", ") + " FROM (\n" +
                         strip_statement_end(sql) + "\n) AS zyl_q",
                     std::move(forced));
  }

  std::unique_ptr<QueryResult> run_query(const std::string& sql,
                                         std::vector<std::optional<ColumnType>> forced = {}) {
    auto statement = std::make_unique<Statement>(session_);
    statement->exec(sql, "query failed");
    SQLSMALLINT count = 0;
    statement->check(SQLNumResultCols(statement->get(), &count), "query failed");
    if (count == 0) return std::make_unique<EmptyResult>();
    return std::make_unique<OdbcQueryResult>(session_, std::move(statement), count,
                                             std::move(forced));
  }

  void begin() override {
    set_autocommit(false);
    session_->in_transaction = true;
  }
  void commit() override {
    if (!session_->in_transaction) return;
    session_->check(SQLEndTran(SQL_HANDLE_DBC, session_->live(), SQL_COMMIT), SQL_HANDLE_DBC,
                    session_->dbc, "commit failed");
    session_->in_transaction = false;
    set_autocommit(true);
  }
  void rollback() override {
    if (!session_->in_transaction || session_->dbc == SQL_NULL_HDBC) return;
    SQLEndTran(SQL_HANDLE_DBC, session_->dbc, SQL_ROLLBACK);
    session_->in_transaction = false;
    SQLSetConnectAttr(session_->dbc, SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  }

  std::string quote_identifier(std::string_view name) const override {
    const std::string& q = session_->quote;
    if (q.empty() || q == " ") return std::string(name);  // the driver quotes nothing
    return q + text::replace_all(name, q, q + q) + q;
  }

  std::string type_sql(const ColumnType& type) const override {
    return session_->types.choose(type).sql;
  }

  bool table_exists(const TableRef& table) override {
    return relation_kind(*this, table.schema, table.name) == RelationKind::Table;
  }

  std::vector<Column> table_columns(const TableRef& table) override {
    if (!table_exists(table)) return {};
    auto result = query("SELECT * FROM " + quote_table(table) + " WHERE 1 = 0");
    std::vector<Column> columns = result->columns();
    RowBatch batch;
    while (result->next(batch)) {
    }
    return columns;
  }

  // SQLTables: the catalog of the driver, whatever the engine keeps it in.
  std::vector<std::string> table_names(const std::string& schema) override {
    Statement statement(session_);
    std::u16string wide_schema = odbc::to_utf16(schema);
    std::u16string kind = u"TABLE";
    SQLWCHAR* schema_ptr = schema.empty() ? nullptr : odbc::wide_ptr(wide_schema);
    bool catalogs = engine() == "mysql" || engine() == "mariadb";
    statement.check(
        SQLTablesW(statement.get(), catalogs ? schema_ptr : nullptr,
                   catalogs && schema_ptr ? SQL_NTS : 0, catalogs ? nullptr : schema_ptr,
                   !catalogs && schema_ptr ? SQL_NTS : 0, nullptr, 0, odbc::wide_ptr(kind),
                   SQL_NTS),
        "listing tables failed");
    std::vector<std::string> names;
    SQLWCHAR name[512];
    SQLLEN length = 0;
    while (SQL_SUCCEEDED(SQLFetch(statement.get()))) {
      statement.check(SQLGetData(statement.get(), 3, SQL_C_WCHAR, name, sizeof name, &length),
                      "listing tables failed");
      if (length > 0) {
        names.push_back(odbc::utf8_of_bytes(std::string_view(
            reinterpret_cast<const char*>(name),
            std::min<size_t>(static_cast<size_t>(length), sizeof name - sizeof(SQLWCHAR)))));
      }
    }
    return names;
  }

  // In the engine's form: CREATE DATABASE on MySQL, a checked CREATE SCHEMA on SQL Server,
  // nothing on SQLite or Oracle (whose schemas are users).
  void ensure_schema(const std::string& schema) override {
    std::string sql = create_schema_sql(engine(), "", schema);
    if (!sql.empty()) execute(sql);
  }

  std::unique_ptr<BulkWriter> bulk_writer(const TableRef& table,
                                          const std::vector<Column>& columns) override {
    std::vector<std::string> names, marks;
    for (const Column& c : columns) {
      names.push_back(quote_identifier(c.name));
      marks.push_back("?");
    }
    return std::make_unique<OdbcParamWriter>(
        session_,
        "INSERT INTO " + quote_table(table) + " (" + text::join(names, ", ") + ") VALUES (" +
            text::join(marks, ", ") + ")",
        columns);
  }

  void close() override {
    if (session_->dbc == SQL_NULL_HDBC) return;
    rollback();
    SQLDisconnect(session_->dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, session_->dbc);
    session_->dbc = SQL_NULL_HDBC;
  }

 private:
  void set_autocommit(bool on) {
    SQLRETURN rc = SQLSetConnectAttr(
        session_->live(), SQL_ATTR_AUTOCOMMIT,
        reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
    session_->check(rc, SQL_HANDLE_DBC, session_->dbc, "could not set autocommit");
  }

  SessionPtr session_;
};

// The first of the plan's drivers that is installed; throws, naming them, when none is.
std::string installed_driver(const odbc::ConnectPlan& plan) {
  std::vector<std::string> installed = installed_drivers();
  for (const std::string& wanted : plan.drivers) {
    for (const std::string& name : installed) {
      if (text::to_lower(name) == text::to_lower(wanted)) return name;
    }
  }
  std::string what = plan.drivers.size() == 1
                         ? "the ODBC driver '" + plan.drivers[0] + "' is not installed"
                         : "none of the ODBC drivers '" + text::join(plan.drivers, "', '") +
                               "' is installed";
  throw DriverError(
      plan.type + ": " + what + ". Install the vendor's ODBC driver and register " +
      "it in odbcinst.ini (odbcinst -i -d), or set odbc_driver to the name of an installed " +
      "driver (installed: " + (installed.empty() ? "none" : text::join(installed, ", ")) + ")");
}

std::string text_info(SQLHDBC dbc, SQLUSMALLINT kind) {
  SQLCHAR buffer[256] = {0};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(dbc, kind, buffer, sizeof buffer, &length))) return "";
  return std::string(reinterpret_cast<char*>(buffer));
}

// What the driver says about itself: its quote, whether DDL is transactional, its types.
void learn(Session& s) {
  s.quote = text_info(s.dbc, SQL_IDENTIFIER_QUOTE_CHAR);
  SQLUSMALLINT capable = SQL_TC_NONE;
  if (SQL_SUCCEEDED(SQLGetInfo(s.dbc, SQL_TXN_CAPABLE, &capable, sizeof capable, nullptr))) {
    s.transactional_ddl = capable == SQL_TC_ALL;
  }
  std::vector<odbc::TypeInfoRow> rows;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  s.check(SQLAllocHandle(SQL_HANDLE_STMT, s.dbc, &statement), SQL_HANDLE_DBC, s.dbc,
          "could not make a statement");
  if (SQL_SUCCEEDED(SQLGetTypeInfo(statement, SQL_ALL_TYPES))) {
    while (SQL_SUCCEEDED(SQLFetch(statement))) {
      odbc::TypeInfoRow row;
      char name[256] = {0}, params[256] = {0};
      SQLSMALLINT data_type = 0, is_unsigned = 0;
      SQLINTEGER size = 0;
      SQLLEN ind = 0;
      SQLGetData(statement, 1, SQL_C_CHAR, name, sizeof name, &ind);
      row.name = ind > 0 ? std::string(name) : "";
      SQLGetData(statement, 2, SQL_C_SSHORT, &data_type, 0, &ind);
      row.data_type = data_type;
      SQLGetData(statement, 3, SQL_C_SLONG, &size, 0, &ind);
      row.column_size = ind == SQL_NULL_DATA ? 0 : size;
      SQLGetData(statement, 6, SQL_C_CHAR, params, sizeof params, &ind);
      row.create_params = ind > 0 ? std::string(params) : "";
      SQLGetData(statement, 10, SQL_C_SSHORT, &is_unsigned, 0, &ind);
      row.is_unsigned = ind != SQL_NULL_DATA && is_unsigned == SQL_TRUE;
      if (!row.name.empty()) rows.push_back(std::move(row));
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  std::string dbms = text_info(s.dbc, SQL_DBMS_NAME);
  s.binary_arrays = text::to_lower(dbms) != "sqlite";
  s.exact_reals_as_text = text::to_lower(dbms) == "sqlite";
  s.temporal_as_text = text::to_lower(dbms).find("mariadb") != std::string::npos ||
                       text::to_lower(dbms).find("mysql") != std::string::npos;
  s.types = odbc::TypeCatalog(std::move(rows), dbms);
}

}  // namespace

std::unique_ptr<Connection> open_odbc(const Value& config, const std::filesystem::path& base_dir) {
  odbc::ConnectPlan plan = odbc::plan_connection(config, base_dir);
  auto session = std::make_shared<Session>();
  session->engine = plan.type.empty() ? "odbc" : plan.type;
  session->secrets = odbc::secret_values(plan);
  if (plan.dsn.empty() && plan.drivers.empty() &&
      text::to_lower(plan.attributes).find("driver=") == std::string::npos) {
    throw DriverError(session->engine + ": no ODBC driver known for this type; set odbc_driver " +
                      "to an installed driver's name, or odbc_dsn to a DSN");
  }
  std::string driver = plan.dsn.empty() && !plan.drivers.empty() ? installed_driver(plan) : "";
  if (!driver.empty()) plan = odbc::plan_connection(config, base_dir, driver);
  session->driver = plan.dsn.empty() ? driver : "DSN " + plan.dsn;
  if (session->driver.empty()) session->driver = "named in odbc_connection_string";
  SQLHENV env = environment();
  session->check(SQLAllocHandle(SQL_HANDLE_DBC, env, &session->dbc), SQL_HANDLE_ENV, env,
                 "could not make a connection handle");
  SQLSetConnectAttr(session->dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
  std::u16string full = odbc::to_utf16(odbc::connection_string(plan, driver));
  SQLRETURN rc = SQLDriverConnectW(session->dbc, nullptr, odbc::wide_ptr(full),
                                   static_cast<SQLSMALLINT>(full.size()), nullptr, 0, nullptr,
                                   SQL_DRIVER_NOPROMPT);
  std::fill(full.begin(), full.end(), u'\0');
  if (!SQL_SUCCEEDED(rc)) {
    std::string message = session->engine + " (ODBC, " + session->driver +
                          "): could not connect: " + diagnostics(SQL_HANDLE_DBC, session->dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, session->dbc);
    session->dbc = SQL_NULL_HDBC;
    throw DriverError(text::redact(message, session->secrets));
  }
  learn(*session);
  return std::make_unique<OdbcConnection>(session);
}

}  // namespace zyl::drivers
