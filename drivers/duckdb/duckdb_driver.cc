#include "drivers/duckdb/duckdb_driver.h"

#include <duckdb.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "drivers/duckdb/database_registry.h"
#include "drivers/duckdb/int128.h"
#include "drivers/engines.h"
#include "drivers/json_array.h"
#include "drivers/temporal.h"

namespace zyl::drivers {
namespace duckdb {
namespace {

using int128 = Int128;

std::string quote(std::string_view name);

// ---- owners of C handles ----------------------------------------------------------------------

// The connection handle, shared by the Connection and the results it streams, so a result that
// outlives close() still reads from a live connection.
class ConnectionHandle {
 public:
  static std::shared_ptr<ConnectionHandle> open(DatabaseShare share) {
    duckdb_connection connection = nullptr;
    if (duckdb_connect(share.get(), &connection) == DuckDBError) {
      throw DriverError("cannot connect to DuckDB database '" + share.key() + "'");
    }
    if (!share.catalog().empty()) {
      // The file is one catalog of the process's shared instance; start in it.
      duckdb_result result;
      std::string use = "USE " + quote(share.catalog());
      if (duckdb_query(connection, use.c_str(), &result) == DuckDBError) {
        std::string message = duckdb_result_error(&result);
        duckdb_destroy_result(&result);
        duckdb_disconnect(&connection);
        throw DriverError("cannot connect to DuckDB database '" + share.key() + "': " + message);
      }
      duckdb_destroy_result(&result);
    }
    return std::shared_ptr<ConnectionHandle>(new ConnectionHandle(std::move(share), connection));
  }
  ~ConnectionHandle() {
    duckdb_disconnect(&connection_);
    share_.release();
  }
  ConnectionHandle(const ConnectionHandle&) = delete;
  ConnectionHandle& operator=(const ConnectionHandle&) = delete;

  duckdb_connection get() const { return connection_; }
  duckdb_database database() const { return share_.get(); }
  const std::string& catalog() const { return share_.catalog(); }
  const std::string& key() const { return share_.key(); }

  // DuckDB ends a streaming result, and may drop appended rows without a word, when the same
  // connection runs anything else while the result is alive. So that is refused instead.
  void stream_opened() { ++streams_; }
  void stream_closed() { --streams_; }
  void check_idle() const {
    if (streams_ > 0) {
      throw DriverError(
          "DuckDB: a query result of this connection is still open; read it to the end and "
          "destroy it, or use a second connection");
    }
  }

 private:
  ConnectionHandle(DatabaseShare share, duckdb_connection connection)
      : share_(std::move(share)), connection_(connection) {}
  DatabaseShare share_;
  duckdb_connection connection_;
  int streams_ = 0;
};

class Prepared {
 public:
  static Prepared open(duckdb_connection connection, const std::string& sql) {
    Prepared p;
    if (duckdb_prepare(connection, sql.c_str(), &p.statement_) == DuckDBError) {
      std::string message = p.statement_ ? duckdb_prepare_error(p.statement_) : "unknown error";
      throw DriverError("DuckDB: " + message);
    }
    return p;
  }
  Prepared() = default;
  Prepared(Prepared&& o) noexcept : statement_(std::exchange(o.statement_, nullptr)) {}
  Prepared& operator=(Prepared&& o) noexcept {
    std::swap(statement_, o.statement_);
    return *this;
  }
  ~Prepared() {
    if (statement_) duckdb_destroy_prepare(&statement_);
  }
  duckdb_prepared_statement get() const { return statement_; }

 private:
  duckdb_prepared_statement statement_ = nullptr;
};

class LogicalType {
 public:
  explicit LogicalType(duckdb_logical_type type) : type_(type) {}
  LogicalType(LogicalType&& o) noexcept : type_(std::exchange(o.type_, nullptr)) {}
  LogicalType& operator=(LogicalType&&) = delete;
  ~LogicalType() {
    if (type_) duckdb_destroy_logical_type(&type_);
  }
  duckdb_logical_type get() const { return type_; }

 private:
  duckdb_logical_type type_;
};

class Chunk {
 public:
  explicit Chunk(duckdb_data_chunk chunk = nullptr) : chunk_(chunk) {}
  Chunk(Chunk&& o) noexcept : chunk_(std::exchange(o.chunk_, nullptr)) {}
  Chunk& operator=(Chunk&& o) noexcept {
    std::swap(chunk_, o.chunk_);
    return *this;
  }
  ~Chunk() {
    if (chunk_) duckdb_destroy_data_chunk(&chunk_);
  }
  duckdb_data_chunk get() const { return chunk_; }

 private:
  duckdb_data_chunk chunk_;
};

std::string take_string(char* text) {
  if (!text) return "";
  std::string s(text);
  duckdb_free(text);
  return s;
}

// ---- text forms -------------------------------------------------------------------------------

std::string int128_text(int128 v) { return v.text(); }

std::string decimal_text(int128 v, int scale) {
  if (scale <= 0) return int128_text(v);
  bool negative = v < 0;
  std::string digits = int128_text(v);
  if (negative) digits.erase(0, 1);
  if (digits.size() <= static_cast<size_t>(scale)) {
    digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
  }
  digits.insert(digits.size() - static_cast<size_t>(scale), ".");
  return negative ? "-" + digits : digits;
}

std::string uuid_text(duckdb_hugeint v) {
  // DuckDB stores a UUID with the top bit flipped so that it sorts like the text.
  std::uint64_t upper = static_cast<std::uint64_t>(v.upper) ^ (std::uint64_t{1} << 63);
  char buf[37];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx",
                static_cast<unsigned>(upper >> 32), static_cast<unsigned>((upper >> 16) & 0xffff),
                static_cast<unsigned>(upper & 0xffff), static_cast<unsigned>(v.lower >> 48),
                static_cast<unsigned long long>(v.lower & 0xffffffffffffULL));
  return buf;
}

std::string interval_text(const duckdb_interval& v) {
  return temporal::format_interval(v.months, v.days, v.micros);
}

// ---- type mapping -----------------------------------------------------------------------------

// How one result column is read out of a vector.
struct ColumnReader {
  std::string name;  // for messages
  duckdb_type type = DUCKDB_TYPE_VARCHAR;
  duckdb_type internal = DUCKDB_TYPE_INVALID;  // DECIMAL and ENUM storage
  int scale = 0;
  std::vector<std::string> enum_values;
};

bool readable(duckdb_type t) {
  switch (t) {
    case DUCKDB_TYPE_BOOLEAN: case DUCKDB_TYPE_TINYINT: case DUCKDB_TYPE_SMALLINT:
    case DUCKDB_TYPE_INTEGER: case DUCKDB_TYPE_BIGINT: case DUCKDB_TYPE_UTINYINT:
    case DUCKDB_TYPE_USMALLINT: case DUCKDB_TYPE_UINTEGER: case DUCKDB_TYPE_UBIGINT:
    case DUCKDB_TYPE_HUGEINT: case DUCKDB_TYPE_UHUGEINT: case DUCKDB_TYPE_FLOAT:
    case DUCKDB_TYPE_DOUBLE: case DUCKDB_TYPE_DECIMAL: case DUCKDB_TYPE_VARCHAR:
    case DUCKDB_TYPE_BLOB: case DUCKDB_TYPE_DATE: case DUCKDB_TYPE_TIME:
    case DUCKDB_TYPE_TIMESTAMP: case DUCKDB_TYPE_TIMESTAMP_S: case DUCKDB_TYPE_TIMESTAMP_MS:
    case DUCKDB_TYPE_TIMESTAMP_NS: case DUCKDB_TYPE_TIMESTAMP_TZ: case DUCKDB_TYPE_INTERVAL:
    case DUCKDB_TYPE_UUID: case DUCKDB_TYPE_ENUM:
      return true;
    default:
      return false;
  }
}

Column describe(const char* name, duckdb_logical_type lt, ColumnReader& reader);

// The logical type of a list's (or array's) elements.
ColumnType element_type(duckdb_logical_type list, bool fixed_size) {
  LogicalType child(fixed_size ? duckdb_array_type_child_type(list)
                               : duckdb_list_type_child_type(list));
  ColumnReader ignored;
  return describe("", child.get(), ignored).type;
}

Column describe(const char* name, duckdb_logical_type lt, ColumnReader& reader) {
  Column column;
  column.name = name ? name : "";
  reader.name = column.name;
  duckdb_type t = duckdb_get_type_id(lt);
  reader.type = t;
  ColumnType& ct = column.type;
  switch (t) {
    case DUCKDB_TYPE_BOOLEAN: ct.id = TypeId::Boolean; break;
    case DUCKDB_TYPE_TINYINT: ct.id = TypeId::Int8; break;
    case DUCKDB_TYPE_SMALLINT: ct.id = TypeId::Int16; break;
    case DUCKDB_TYPE_INTEGER: ct.id = TypeId::Int32; break;
    case DUCKDB_TYPE_BIGINT: ct.id = TypeId::Int64; break;
    case DUCKDB_TYPE_UTINYINT: ct.id = TypeId::UInt8; break;
    case DUCKDB_TYPE_USMALLINT: ct.id = TypeId::UInt16; break;
    case DUCKDB_TYPE_UINTEGER: ct.id = TypeId::UInt32; break;
    case DUCKDB_TYPE_UBIGINT: ct.id = TypeId::UInt64; break;
    case DUCKDB_TYPE_HUGEINT:
      ct.id = TypeId::HugeInt;
      break;
    case DUCKDB_TYPE_UHUGEINT:
      ct.id = TypeId::UHugeInt;
      break;
    case DUCKDB_TYPE_FLOAT: ct.id = TypeId::Float32; break;
    case DUCKDB_TYPE_DOUBLE: ct.id = TypeId::Float64; break;
    case DUCKDB_TYPE_DECIMAL:
      ct.id = TypeId::Decimal;
      ct.precision = duckdb_decimal_width(lt);
      ct.scale = duckdb_decimal_scale(lt);
      reader.scale = ct.scale;
      reader.internal = duckdb_decimal_internal_type(lt);
      break;
    case DUCKDB_TYPE_VARCHAR: {
      std::string alias = take_string(duckdb_logical_type_get_alias(lt));
      ct.id = text::to_upper(alias) == "JSON" ? TypeId::Json : TypeId::String;
      break;
    }
    case DUCKDB_TYPE_ENUM: {
      ct.id = TypeId::String;
      reader.internal = duckdb_enum_internal_type(lt);
      std::uint32_t n = duckdb_enum_dictionary_size(lt);
      for (std::uint32_t i = 0; i < n; ++i) {
        reader.enum_values.push_back(take_string(duckdb_enum_dictionary_value(lt, i)));
      }
      break;
    }
    case DUCKDB_TYPE_BLOB: ct.id = TypeId::Blob; break;
    case DUCKDB_TYPE_DATE: ct.id = TypeId::Date; break;
    case DUCKDB_TYPE_TIME: ct.id = TypeId::Time; break;
    case DUCKDB_TYPE_TIMESTAMP: case DUCKDB_TYPE_TIMESTAMP_S: case DUCKDB_TYPE_TIMESTAMP_MS:
    case DUCKDB_TYPE_TIMESTAMP_NS:
      ct.id = TypeId::Timestamp;
      break;
    case DUCKDB_TYPE_TIMESTAMP_TZ: ct.id = TypeId::TimestampTz; break;
    case DUCKDB_TYPE_INTERVAL: ct.id = TypeId::Interval; break;
    case DUCKDB_TYPE_UUID: ct.id = TypeId::Uuid; break;
    case DUCKDB_TYPE_LIST:
    case DUCKDB_TYPE_ARRAY:
      // Read through to_json (see cell_cast).
      ct.id = TypeId::List;
      ct.element.push_back(element_type(lt, t == DUCKDB_TYPE_ARRAY));
      break;
    case DUCKDB_TYPE_STRUCT:
    case DUCKDB_TYPE_MAP:
      ct.id = TypeId::Json;
      break;
    default: ct.id = TypeId::String; break;  // read through a cast to VARCHAR
  }
  ct.native = ct.id == TypeId::Decimal
                  ? "DECIMAL(" + std::to_string(ct.precision) + "," + std::to_string(ct.scale) + ")"
                  : std::string(type_name(ct.id));
  return column;
}

template <typename T>
T at(void* data, idx_t row) {
  T v;
  std::memcpy(&v, static_cast<char*>(data) + row * sizeof(T), sizeof(T));
  return v;
}

std::string read_string(void* data, idx_t row) {
  duckdb_string_t* s = static_cast<duckdb_string_t*>(data) + row;
  return std::string(duckdb_string_t_data(s), duckdb_string_t_length(*s));
}

int128 hugeint_value(duckdb_hugeint h) {
  return int128::from_parts(h.upper, h.lower);
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if (a % b != 0 && (a < 0) != (b < 0)) --q;
  return q;
}

// A nanosecond timestamp in microseconds, the unit every other engine keeps; a value with a
// nanosecond part is refused rather than cut (only a DuckDB target keeps it, by whole chunks).
std::int64_t whole_micros(const ColumnReader& r, std::int64_t nanos) {
  std::int64_t micros = floor_div(nanos, 1000);
  std::int64_t rest = nanos - micros * 1000;
  if (rest == 0) return micros;
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, "%03d", static_cast<int>(rest));
  std::string text = temporal::format_timestamp(micros);
  if (text.find('.') == std::string::npos) text += ".000000";
  throw DriverError("DuckDB: column " + quote(r.name) + ": the value " + text + fraction +
                    " has nanoseconds, which only a DuckDB table keeps");
}

Cell read_cell(const ColumnReader& r, void* data, idx_t row) {
  switch (r.type) {
    case DUCKDB_TYPE_BOOLEAN: return at<bool>(data, row);
    case DUCKDB_TYPE_TINYINT: return std::int64_t{at<std::int8_t>(data, row)};
    case DUCKDB_TYPE_SMALLINT: return std::int64_t{at<std::int16_t>(data, row)};
    case DUCKDB_TYPE_INTEGER: return std::int64_t{at<std::int32_t>(data, row)};
    case DUCKDB_TYPE_BIGINT: return at<std::int64_t>(data, row);
    case DUCKDB_TYPE_UTINYINT: return std::int64_t{at<std::uint8_t>(data, row)};
    case DUCKDB_TYPE_USMALLINT: return std::int64_t{at<std::uint16_t>(data, row)};
    case DUCKDB_TYPE_UINTEGER: return std::int64_t{at<std::uint32_t>(data, row)};
    case DUCKDB_TYPE_UBIGINT: return at<std::uint64_t>(data, row);
    case DUCKDB_TYPE_HUGEINT: return int128_text(hugeint_value(at<duckdb_hugeint>(data, row)));
    case DUCKDB_TYPE_UHUGEINT: {
      auto u = at<duckdb_uhugeint>(data, row);
      return int128::unsigned_text(u.upper, u.lower);
    }
    case DUCKDB_TYPE_FLOAT: return double{at<float>(data, row)};
    case DUCKDB_TYPE_DOUBLE: return at<double>(data, row);
    case DUCKDB_TYPE_DECIMAL: {
      int128 v = 0;
      switch (r.internal) {
        case DUCKDB_TYPE_SMALLINT: v = at<std::int16_t>(data, row); break;
        case DUCKDB_TYPE_INTEGER: v = at<std::int32_t>(data, row); break;
        case DUCKDB_TYPE_BIGINT: v = at<std::int64_t>(data, row); break;
        default: v = hugeint_value(at<duckdb_hugeint>(data, row)); break;
      }
      return decimal_text(v, r.scale);
    }
    case DUCKDB_TYPE_ENUM: {
      std::uint64_t index = 0;
      switch (r.internal) {
        case DUCKDB_TYPE_UTINYINT: index = at<std::uint8_t>(data, row); break;
        case DUCKDB_TYPE_USMALLINT: index = at<std::uint16_t>(data, row); break;
        default: index = at<std::uint32_t>(data, row); break;
      }
      return index < r.enum_values.size() ? r.enum_values[index] : std::string();
    }
    case DUCKDB_TYPE_DATE: return std::int64_t{at<duckdb_date>(data, row).days};
    case DUCKDB_TYPE_TIME: return at<duckdb_time>(data, row).micros;
    case DUCKDB_TYPE_TIMESTAMP:
    case DUCKDB_TYPE_TIMESTAMP_TZ: return at<duckdb_timestamp>(data, row).micros;
    case DUCKDB_TYPE_TIMESTAMP_S: return at<std::int64_t>(data, row) * 1000000;
    case DUCKDB_TYPE_TIMESTAMP_MS: return at<std::int64_t>(data, row) * 1000;
    case DUCKDB_TYPE_TIMESTAMP_NS:
      return whole_micros(r, at<std::int64_t>(data, row));
    case DUCKDB_TYPE_INTERVAL: return interval_text(at<duckdb_interval>(data, row));
    case DUCKDB_TYPE_UUID: return uuid_text(at<duckdb_hugeint>(data, row));
    default: return read_string(data, row);  // VARCHAR, BLOB and the columns cast to VARCHAR
  }
}

std::string quote(std::string_view name) {
  return "\"" + text::replace_all(name, "\"", "\"\"") + "\"";
}

// The SELECT expression that reads a column of a type without a reader as text: nested values as
// JSON (arrays stay arrays for every engine), the others in DuckDB's own text form.
std::string text_cast(duckdb_type t, const std::string& quoted) {
  switch (t) {
    case DUCKDB_TYPE_LIST:
    case DUCKDB_TYPE_ARRAY:
    case DUCKDB_TYPE_STRUCT:
    case DUCKDB_TYPE_MAP:
      return "CAST(to_json(" + quoted + ") AS VARCHAR)";
    default:
      return "CAST(" + quoted + " AS VARCHAR)";
  }
}

// ---- results ----------------------------------------------------------------------------------

class DuckDBResult final : public QueryResult {
 public:
  // Native: values stay in DuckDB's vectors and are moved only by whole chunks (take_chunk);
  // Cells: next() turns them into cells.
  enum class Values { Cells, Native };

  DuckDBResult(std::shared_ptr<ConnectionHandle> connection, Prepared prepared,
               Values values = Values::Cells)
      : connection_(std::move(connection)), prepared_(std::move(prepared)), values_(values) {
    duckdb_pending_result pending = nullptr;
    if (duckdb_pending_prepared_streaming(prepared_.get(), &pending) == DuckDBError) {
      std::string message = pending ? duckdb_pending_error(pending) : "unknown error";
      if (pending) duckdb_destroy_pending(&pending);
      throw DriverError("DuckDB: " + message);
    }
    duckdb_state state = duckdb_execute_pending(pending, &result_);
    duckdb_destroy_pending(&pending);
    if (state == DuckDBError) {
      std::string message = duckdb_result_error(&result_);
      duckdb_destroy_result(&result_);
      throw DriverError("DuckDB: " + message);
    }
    connection_->stream_opened();
    idx_t n = duckdb_column_count(&result_);
    readers_.resize(n);
    for (idx_t i = 0; i < n; ++i) {
      LogicalType lt(duckdb_column_logical_type(&result_, i));
      columns_.push_back(describe(duckdb_column_name(&result_, i), lt.get(), readers_[i]));
    }
  }
  ~DuckDBResult() override {
    duckdb_destroy_result(&result_);
    connection_->stream_closed();
  }

  const std::vector<Column>& columns() const override { return columns_; }

  // Column `index` is read as text but keeps the logical type of the value it came from.
  void keep_type(idx_t index, ColumnType type) { columns_.at(index).type = std::move(type); }
  // Records DuckDB's own spelling of each column's type.
  void spell_types(const std::vector<std::string>& spelled) {
    for (size_t i = 0; i < columns_.size() && i < spelled.size(); ++i) {
      columns_[i].type.duckdb = spelled[i];
    }
  }

  // Whether no row has been handed out yet.
  bool untouched() const { return !chunk_.get() && !done_; }

  // The next whole chunk of the result, or an empty Chunk at the end. Only while untouched() held
  // at the start: it does not mix with next().
  Chunk take_chunk() {
    if (done_) return Chunk();
    Chunk chunk(duckdb_fetch_chunk(result_));
    if (!chunk.get()) {
      done_ = true;
      const char* error = duckdb_result_error(&result_);
      if (error && *error) throw DriverError(std::string("DuckDB: ") + error);
    }
    return chunk;
  }

  bool next(RowBatch& batch, size_t max_rows) override {
    if (values_ == Values::Native) {
      for (const ColumnReader& reader : readers_) {
        if (!readable(reader.type)) {
          throw DriverError("DuckDB: column " + quote(reader.name) +
                            " keeps DuckDB's own type and moves only into DuckDB tables");
        }
      }
    }
    batch.column_count = columns_.size();
    batch.cells.clear();
    if (max_rows == 0) max_rows = 1;
    while (batch.rows() < max_rows) {
      if (!chunk_.get() || offset_ >= chunk_rows_) {
        if (done_) break;
        chunk_ = Chunk(duckdb_fetch_chunk(result_));
        offset_ = 0;
        chunk_rows_ = chunk_.get() ? duckdb_data_chunk_get_size(chunk_.get()) : 0;
        if (!chunk_.get()) {
          done_ = true;
          const char* error = duckdb_result_error(&result_);
          if (error && *error) throw DriverError(std::string("DuckDB: ") + error);
          break;
        }
        if (chunk_rows_ == 0) continue;
      }
      idx_t take = std::min<idx_t>(chunk_rows_ - offset_, max_rows - batch.rows());
      append_rows(batch, take);
      offset_ += take;
    }
    return batch.rows() > 0;
  }

 private:
  void append_rows(RowBatch& out, idx_t take) {
    size_t first = out.cells.size();
    size_t width = columns_.size();
    out.cells.resize(first + take * width);
    for (idx_t c = 0; c < width; ++c) {
      duckdb_vector vector = duckdb_data_chunk_get_vector(chunk_.get(), c);
      void* data = duckdb_vector_get_data(vector);
      std::uint64_t* validity = duckdb_vector_get_validity(vector);
      for (idx_t i = 0; i < take; ++i) {
        idx_t row = offset_ + i;
        Cell& cell = out.cells[first + i * width + c];
        if (validity && !duckdb_validity_row_is_valid(validity, row)) {
          cell = std::monostate{};
        } else {
          cell = read_cell(readers_[c], data, row);
        }
      }
    }
  }

  std::shared_ptr<ConnectionHandle> connection_;
  Prepared prepared_;
  Values values_;
  duckdb_result result_{};
  std::vector<Column> columns_;
  std::vector<ColumnReader> readers_;
  Chunk chunk_;
  idx_t chunk_rows_ = 0;
  idx_t offset_ = 0;
  bool done_ = false;
};


// ---- writes -----------------------------------------------------------------------------------

// Rows are written a data chunk at a time: each column goes into a vector of a "carrier" type
// that holds its cells as they are, and the appender casts whole vectors to the table's types
// (text to DECIMAL, UUID, INTERVAL, HUGEINT and JSON exactly as a literal would be).
duckdb_type carrier_type(TypeId id) {
  switch (id) {
    case TypeId::Boolean: return DUCKDB_TYPE_BOOLEAN;
    case TypeId::Int8: case TypeId::Int16: case TypeId::Int32: case TypeId::Int64:
    case TypeId::UInt8: case TypeId::UInt16: case TypeId::UInt32:
      return DUCKDB_TYPE_BIGINT;
    case TypeId::UInt64: return DUCKDB_TYPE_UBIGINT;
    case TypeId::Float32: case TypeId::Float64: return DUCKDB_TYPE_DOUBLE;
    case TypeId::Date: return DUCKDB_TYPE_DATE;
    case TypeId::Time: return DUCKDB_TYPE_TIME;
    case TypeId::Timestamp: return DUCKDB_TYPE_TIMESTAMP;
    case TypeId::TimestampTz: return DUCKDB_TYPE_TIMESTAMP_TZ;
    case TypeId::Blob: return DUCKDB_TYPE_BLOB;
    default: return DUCKDB_TYPE_VARCHAR;
  }
}

// Whether a non-null cell is stored as it is in a vector of `carrier`.
bool fits_carrier(const Cell& cell, duckdb_type carrier) {
  switch (carrier) {
    case DUCKDB_TYPE_BOOLEAN: return std::holds_alternative<bool>(cell);
    case DUCKDB_TYPE_UBIGINT: return std::holds_alternative<std::uint64_t>(cell);
    case DUCKDB_TYPE_DOUBLE: return std::holds_alternative<double>(cell);
    case DUCKDB_TYPE_DATE: {
      const std::int64_t* days = std::get_if<std::int64_t>(&cell);
      return days && *days >= INT32_MIN && *days <= INT32_MAX;
    }
    case DUCKDB_TYPE_BIGINT: case DUCKDB_TYPE_TIME: case DUCKDB_TYPE_TIMESTAMP:
    case DUCKDB_TYPE_TIMESTAMP_TZ:
      return std::holds_alternative<std::int64_t>(cell);
    default: return std::holds_alternative<std::string>(cell);
  }
}

// The text of a cell that does not fit its column's carrier; DuckDB casts it like a literal.
std::string cell_text(const Cell& cell) {
  if (const bool* b = std::get_if<bool>(&cell)) return *b ? "true" : "false";
  if (const std::int64_t* i = std::get_if<std::int64_t>(&cell)) return std::to_string(*i);
  if (const std::uint64_t* u = std::get_if<std::uint64_t>(&cell)) return std::to_string(*u);
  if (const double* d = std::get_if<double>(&cell)) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *d);
    return ec == std::errc() ? std::string(buf, end) : std::to_string(*d);
  }
  return std::get<std::string>(cell);
}

// Digits before the point, and digits after it up to the last one that is not zero.
struct DecimalShape {
  int integer_digits = 0;
  int scale = 0;
};

// `text` ("-12.3") as an integer scaled by 10^scale, when it is a plain decimal that fits `width`
// digits without rounding; nullopt otherwise (the text then goes to DuckDB's own cast). When
// `shape` is given, it receives the text's shape on success.
std::optional<int128> scaled_decimal(std::string_view text, int width, int scale,
                                     DecimalShape* shape = nullptr) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  // Digits gather in 64 bits, 18 at a time, and only then go into the 128-bit value.
  int128 value = 0;
  std::uint64_t pending = 0, pending_scale = 1;
  auto take = [&](int d) {
    pending = pending * 10 + static_cast<std::uint64_t>(d);
    pending_scale *= 10;
    if (pending_scale == 1000000000000000000ULL) {
      value = value * static_cast<int128>(pending_scale) + static_cast<int128>(pending);
      pending = 0;
      pending_scale = 1;
    }
  };
  int digits = 0, fraction = 0, integer_digits = 0, significant_scale = 0;
  bool point = false, any = false;
  for (; i < text.size(); ++i) {
    char ch = text[i];
    if (ch == '.' && !point) {
      point = true;
      continue;
    }
    if (ch < '0' || ch > '9') return std::nullopt;
    any = true;
    if (point) {
      ++fraction;
      if (ch != '0') significant_scale = fraction;
      if (fraction > scale) {
        if (ch != '0') return std::nullopt;  // would need rounding
        continue;
      }
    } else if (integer_digits > 0 || ch != '0') {
      ++integer_digits;
    }
    if (digits > 0 || ch != '0') ++digits;
    if (digits > 38) return std::nullopt;
    take(ch - '0');
  }
  if (!any || digits > width) return std::nullopt;
  value = value * static_cast<int128>(pending_scale) + static_cast<int128>(pending);
  for (int f = std::min(fraction, scale); f < scale; ++f) {
    if (value != 0 && ++digits > width) return std::nullopt;
    value *= 10;
  }
  if (shape) *shape = {integer_digits, significant_scale};
  return negative ? -value : value;
}

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    std::uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
    else return false;
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

class Appender {
 public:
  Appender(duckdb_connection connection, const TableRef& table) {
    if (duckdb_appender_create_ext(connection, nullptr,
                                   table.schema.empty() ? nullptr : table.schema.c_str(),
                                   table.name.c_str(), &appender_) == DuckDBError) {
      std::string message = appender_ ? duckdb_appender_error(appender_) : "unknown error";
      if (appender_) duckdb_appender_destroy(&appender_);
      throw DriverError("DuckDB: cannot append to " + table.name + ": " + message);
    }
  }
  ~Appender() {
    if (appender_) duckdb_appender_destroy(&appender_);
  }
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;
  duckdb_appender get() const { return appender_; }
  [[noreturn]] void fail(const std::string& what) {
    const char* error = duckdb_appender_error(appender_);
    throw DriverError("DuckDB: " + what + ": " + (error ? error : "unknown error"));
  }
  void close() {
    duckdb_state state = duckdb_appender_close(appender_);
    if (state == DuckDBError) fail("appending rows failed");
    duckdb_appender_destroy(&appender_);
    appender_ = nullptr;
  }

 private:
  duckdb_appender appender_ = nullptr;
};

// A decimal column whose type the writer picks from the values: the logical type has no
// precision (PostgreSQL's numeric, SQLite's NUMERIC) or more digits than DuckDB holds (MySQL's
// decimal(65,30)).
constexpr int kFlexibleScale = 10;
bool flexible_decimal(const ColumnType& type) {
  return type.id == TypeId::Decimal && (type.precision <= 0 || type.precision > 38);
}

std::optional<DecimalShape> decimal_shape(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  DecimalShape shape;
  bool point = false, any = false;
  int fraction = 0;
  for (; i < text.size(); ++i) {
    char ch = text[i];
    if (ch == '.' && !point) {
      point = true;
      continue;
    }
    if (ch < '0' || ch > '9') return std::nullopt;
    any = true;
    if (point) {
      ++fraction;
      if (ch != '0') shape.scale = fraction;
    } else if (shape.integer_digits > 0 || ch != '0') {
      ++shape.integer_digits;
    }
  }
  if (!any) return std::nullopt;
  return shape;
}

// The text DuckDB's list cast reads for a JSON array: the same text, except that strings are
// written with only \" and \\ escaped (DuckDB takes a backslash as "the next character as it
// is", so JSON's \n or \u00e9 must arrive as the characters) and objects become strings of
// their JSON. nullopt when the JSON text can be handed over as it is.
std::optional<std::string> duckdb_list_text(std::string_view json) {
  if (json.find('\\') == std::string_view::npos && json.find('{') == std::string_view::npos) {
    return std::nullopt;
  }
  return json_array_to(json, kDuckDBList);  // nullopt: DuckDB's cast reports the text
}

class DuckDBWriter final : public BulkWriter {
 public:
  DuckDBWriter(std::shared_ptr<ConnectionHandle> connection, const TableRef& table,
               const std::vector<Column>& columns)
      : connection_(std::move(connection)), table_(table), columns_(columns) {
    for (const Column& column : columns_) carriers_.push_back(carrier_type(column.type.id));
    decimals_.resize(columns_.size());
    scaled_.resize(columns_.size());
    open_appender();
  }

  void write(const RowBatch& batch) override {
    if (batch.column_count != columns_.size()) {
      throw DriverError("DuckDB: a batch of " + std::to_string(batch.column_count) +
                        " columns written to " + std::to_string(columns_.size()) + " columns");
    }
    const size_t capacity = duckdb_vector_size();
    for (size_t first = 0; first < batch.rows(); first += capacity) {
      write_slice(batch, first, std::min(capacity, batch.rows() - first));
    }
  }

  void finish() override {
    connection_->check_idle();
    appender_->close();
  }

  // The appender reports no count of its own: these are the rows it accepted.
  std::int64_t rows_written() const override { return appended_; }

  // Appends a chunk as it is; the appender casts its vectors to the table's types.
  void append_chunk(duckdb_data_chunk chunk) {
    if (duckdb_append_data_chunk(appender_->get(), chunk) == DuckDBError) {
      appender_->fail("cannot append rows");
    }
    appended_ += static_cast<std::int64_t>(duckdb_data_chunk_get_size(chunk));
  }

 private:
  struct DecimalColumn {
    int width = 0;
    int scale = 0;
    duckdb_type internal = DUCKDB_TYPE_HUGEINT;
    bool flexible = false;   // the writer may change the column's type (see widen)
    int integer_digits = 0;  // the most the values written so far need
    int needed_scale = 0;
  };

  // (Re)creates the appender on the table and reads the DECIMAL columns' types. Decimals go in
  // as scaled integers of the table's own DECIMAL type, which spares DuckDB a text cast (slow
  // for wide decimals).
  void open_appender() {
    appender_.emplace(connection_->get(), table_);
    for (const Column& column : columns_) {
      if (duckdb_appender_add_column(appender_->get(), column.name.c_str()) == DuckDBError) {
        appender_->fail("no column " + quote(column.name) + " in " + table_.name);
      }
    }
    for (size_t c = 0; c < columns_.size(); ++c) {
      LogicalType type(duckdb_appender_column_type(appender_->get(), c));
      if (columns_[c].type.id != TypeId::Decimal || !type.get() ||
          duckdb_get_type_id(type.get()) != DUCKDB_TYPE_DECIMAL) {
        if (decimals_[c]) carriers_[c] = carrier_type(columns_[c].type.id);
        decimals_[c].reset();
        continue;
      }
      DecimalColumn d = decimals_[c].value_or(DecimalColumn{});
      d.width = duckdb_decimal_width(type.get());
      d.scale = duckdb_decimal_scale(type.get());
      d.internal = duckdb_decimal_internal_type(type.get());
      d.flexible = flexible_decimal(columns_[c].type) && d.width == 38;
      decimals_[c] = d;
      carriers_[c] = DUCKDB_TYPE_DECIMAL;
    }
    chunk_ = Chunk();
  }

  // Rows [first, first + count) of `batch` as one data chunk.
  void write_slice(const RowBatch& batch, size_t first, size_t count) {
    std::vector<duckdb_type> types(columns_.size());
    for (size_t c = 0; c < columns_.size(); ++c) {
      if (carriers_[c] == DUCKDB_TYPE_DECIMAL && !scale_decimals(batch, first, count, c) &&
          !(widen(batch, first, count, c) && scale_decimals(batch, first, count, c))) {
        // Other values go to DuckDB's cast, which refuses what is not a number.
        refuse_rounding(batch, first, count, c);
        types[c] = DUCKDB_TYPE_VARCHAR;
        continue;
      }
      types[c] = carriers_[c];
      if (types[c] == DUCKDB_TYPE_DECIMAL) continue;
      for (size_t r = first; r < first + count; ++r) {
        const Cell& cell = batch.at(r, c);
        if (!std::holds_alternative<std::monostate>(cell) && !fits_carrier(cell, types[c])) {
          // Cells another driver left in another form travel as text (bytes for a blob).
          if (types[c] != DUCKDB_TYPE_BLOB) types[c] = DUCKDB_TYPE_VARCHAR;
          break;
        }
      }
    }
    duckdb_data_chunk chunk = chunk_for(types);
    for (size_t c = 0; c < columns_.size(); ++c) {
      duckdb_vector vector = duckdb_data_chunk_get_vector(chunk, c);
      void* data = duckdb_vector_get_data(vector);
      std::uint64_t* validity = nullptr;
      for (size_t i = 0; i < count; ++i) {
        const Cell& cell = batch.at(first + i, c);
        if (std::holds_alternative<std::monostate>(cell)) {
          if (!validity) {
            duckdb_vector_ensure_validity_writable(vector);
            validity = duckdb_vector_get_validity(vector);
          }
          duckdb_validity_set_row_invalid(validity, i);
          continue;
        }
        put(vector, data, types[c], i, cell, c);
      }
    }
    duckdb_data_chunk_set_size(chunk, count);
    append_chunk(chunk);
  }

  // Fills scaled_ with the decimals of rows [first, first + count) of column `c`; false when one
  // of them is not a plain decimal within the column's width and scale.
  bool scale_decimals(const RowBatch& batch, size_t first, size_t count, size_t c) {
    if (!decimals_[c]) return false;
    DecimalColumn& d = *decimals_[c];
    std::vector<int128>& scaled = scaled_[c];
    scaled.assign(count, 0);
    for (size_t i = 0; i < count; ++i) {
      const Cell& cell = batch.at(first + i, c);
      if (std::holds_alternative<std::monostate>(cell)) continue;
      const std::string* text = std::get_if<std::string>(&cell);
      DecimalShape shape;
      std::optional<int128> v = text ? scaled_decimal(*text, d.width, d.scale, &shape)
                                     : std::nullopt;
      if (!v) return false;
      scaled[i] = *v;
      if (d.flexible) note(d, shape);
    }
    return true;
  }

  // Throws for a decimal text of the slice that column `c`'s DECIMAL would have to round (DuckDB's
  // cast rounds without a word).
  void refuse_rounding(const RowBatch& batch, size_t first, size_t count, size_t c) const {
    if (!decimals_[c]) return;
    const DecimalColumn& d = *decimals_[c];
    for (size_t i = 0; i < count; ++i) {
      const std::string* text = std::get_if<std::string>(&batch.at(first + i, c));
      std::optional<DecimalShape> shape = text ? decimal_shape(*text) : std::nullopt;
      if (shape && (shape->scale > d.scale || shape->integer_digits > d.width - d.scale)) {
        throw DriverError("DuckDB: column " + quote(columns_[c].name) + ": the value " + *text +
                          " does not fit DECIMAL(" + std::to_string(d.width) + "," +
                          std::to_string(d.scale) + ") without rounding");
      }
    }
  }

  static void note(DecimalColumn& d, const DecimalShape& shape) {
    d.integer_digits = std::max(d.integer_digits, shape.integer_digits);
    d.needed_scale = std::max(d.needed_scale, shape.scale);
  }
  static bool note_shape(DecimalColumn& d, std::string_view text) {
    std::optional<DecimalShape> shape = decimal_shape(text);
    if (!shape) return false;
    note(d, *shape);
    return true;
  }

  // Changes the type of flexible decimal column `c` so that it holds every value written so far
  // and those of the slice exactly: DECIMAL(38, s) with the scale moved as little as possible,
  // or, when no DECIMAL(38, s) holds them all, VARCHAR with the exact text (and a warning).
  // Returns whether the type changed to another DECIMAL.
  bool widen(const RowBatch& batch, size_t first, size_t count, size_t c) {
    if (!decimals_[c] || !decimals_[c]->flexible) return false;
    DecimalColumn wanted = *decimals_[c];
    for (size_t i = 0; i < count; ++i) {
      const std::string* text = std::get_if<std::string>(&batch.at(first + i, c));
      if (text && !note_shape(wanted, *text)) return false;  // NaN and the like: DuckDB refuses
    }
    bool fits = wanted.integer_digits + wanted.needed_scale <= 38;
    int scale =
        fits ? std::clamp(wanted.scale, wanted.needed_scale, 38 - wanted.integer_digits) : 0;
    // Cells that are not decimal text (a double, say) are not the type's fault.
    if (fits && scale == wanted.scale) return false;
    std::string type = fits ? "DECIMAL(38," + std::to_string(scale) + ")" : "VARCHAR";
    if (!fits) {
      log::get("zyl.drivers.duckdb")
          .warn(
              "column {} of {}: values need {} digits before the point and {} after it, more "
              "than DECIMAL(38) holds; the column keeps their exact text (VARCHAR)",
              columns_[c].name, table_.name, wanted.integer_digits, wanted.needed_scale);
    }
    connection_->check_idle();
    appender_->close();
    appender_.reset();
    std::string table =
        (table_.schema.empty() ? "" : quote(table_.schema) + ".") + quote(table_.name);
    run(connection_->get(),
        "ALTER TABLE " + table + " ALTER " + quote(columns_[c].name) + " TYPE " + type);
    decimals_[c] = wanted;
    open_appender();
    return fits;
  }

  static void run(duckdb_connection connection, const std::string& sql) {
    duckdb_result result;
    if (duckdb_query(connection, sql.c_str(), &result) == DuckDBError) {
      std::string message = duckdb_result_error(&result);
      duckdb_destroy_result(&result);
      throw DriverError("DuckDB: " + message);
    }
    duckdb_destroy_result(&result);
  }

  void put(duckdb_vector vector, void* data, duckdb_type type, size_t row, const Cell& cell,
           size_t column) {
    switch (type) {
      case DUCKDB_TYPE_DECIMAL: {
        int128 v = scaled_[column][row];
        switch (decimals_[column]->internal) {
          case DUCKDB_TYPE_SMALLINT:
            static_cast<std::int16_t*>(data)[row] = static_cast<std::int16_t>(v);
            break;
          case DUCKDB_TYPE_INTEGER:
            static_cast<std::int32_t*>(data)[row] = static_cast<std::int32_t>(v);
            break;
          case DUCKDB_TYPE_BIGINT:
            static_cast<std::int64_t*>(data)[row] = static_cast<std::int64_t>(v);
            break;
          default: {
            duckdb_hugeint h;
            h.lower = v.lower();
            h.upper = v.upper();
            static_cast<duckdb_hugeint*>(data)[row] = h;
          }
        }
        return;
      }
      case DUCKDB_TYPE_BOOLEAN: static_cast<bool*>(data)[row] = std::get<bool>(cell); return;
      case DUCKDB_TYPE_UBIGINT:
        static_cast<std::uint64_t*>(data)[row] = std::get<std::uint64_t>(cell);
        return;
      case DUCKDB_TYPE_DOUBLE: static_cast<double*>(data)[row] = std::get<double>(cell); return;
      case DUCKDB_TYPE_DATE:
        static_cast<duckdb_date*>(data)[row].days =
            static_cast<std::int32_t>(std::get<std::int64_t>(cell));
        return;
      case DUCKDB_TYPE_TIME:
        static_cast<duckdb_time*>(data)[row].micros = std::get<std::int64_t>(cell);
        return;
      case DUCKDB_TYPE_TIMESTAMP: case DUCKDB_TYPE_TIMESTAMP_TZ:
        static_cast<duckdb_timestamp*>(data)[row].micros = std::get<std::int64_t>(cell);
        return;
      case DUCKDB_TYPE_BIGINT:
        static_cast<std::int64_t*>(data)[row] = std::get<std::int64_t>(cell);
        return;
      default: break;
    }
    const std::string* s = std::get_if<std::string>(&cell);
    std::string converted;
    if (!s) {
      converted = cell_text(cell);
      s = &converted;
    } else if (columns_[column].type.id == TypeId::List) {
      if (std::optional<std::string> list = duckdb_list_text(*s)) {
        converted = std::move(*list);
        s = &converted;
      }
    }
    if (type == DUCKDB_TYPE_VARCHAR && !valid_utf8(*s)) {
      throw DriverError("DuckDB: cannot append to column " + quote(columns_[column].name) +
                        ": the text is not valid UTF-8");
    }
    duckdb_vector_assign_string_element_len(vector, row, s->data(), s->size());
  }

  // A chunk of the given column types, reused while the types stay the same.
  duckdb_data_chunk chunk_for(const std::vector<duckdb_type>& types) {
    if (chunk_.get() && types == chunk_types_) {
      duckdb_data_chunk_reset(chunk_.get());
      return chunk_.get();
    }
    std::vector<LogicalType> owned;
    std::vector<duckdb_logical_type> raw;
    owned.reserve(types.size());
    for (size_t c = 0; c < types.size(); ++c) {
      if (types[c] == DUCKDB_TYPE_DECIMAL) {
        owned.emplace_back(
            duckdb_create_decimal_type(static_cast<std::uint8_t>(decimals_[c]->width),
                                       static_cast<std::uint8_t>(decimals_[c]->scale)));
      } else {
        owned.emplace_back(duckdb_create_logical_type(types[c]));
      }
      raw.push_back(owned.back().get());
    }
    chunk_ = Chunk(duckdb_create_data_chunk(raw.data(), raw.size()));
    chunk_types_ = types;
    return chunk_.get();
  }

  std::shared_ptr<ConnectionHandle> connection_;
  TableRef table_;
  std::vector<Column> columns_;
  std::vector<duckdb_type> carriers_;
  std::optional<Appender> appender_;
  std::vector<std::optional<DecimalColumn>> decimals_;
  std::vector<std::vector<int128>> scaled_;  // per column, the decimals of the current slice
  Chunk chunk_;
  std::vector<duckdb_type> chunk_types_;
  std::int64_t appended_ = 0;
};

// The DuckDB type for a logical type. A decimal without a precision, or wider than DuckDB's 38
// digits, starts as DECIMAL(38,10); the writer widens it to what the values need (see
// DuckDBWriter). Elements of a list follow the same table, except such decimals, which keep
// their exact text (VARCHAR) since no writer sees inside a list.
std::string duckdb_type_sql(const ColumnType& type) {
  if (!type.duckdb.empty()) return type.duckdb;
  switch (type.id) {
    case TypeId::Decimal:
      if (flexible_decimal(type)) return "DECIMAL(38," + std::to_string(kFlexibleScale) + ")";
      return "DECIMAL(" + std::to_string(type.precision) + "," + std::to_string(type.scale) + ")";
    case TypeId::String:
      return "VARCHAR";
    case TypeId::List: {
      if (type.element.empty()) return "VARCHAR[]";
      const ColumnType& element = type.element.front();
      if (element.id == TypeId::Decimal && flexible_decimal(element)) return "VARCHAR[]";
      return duckdb_type_sql(element) + "[]";
    }
    default:
      return std::string(type_name(type.id));
  }
}

// ---- the connection ---------------------------------------------------------------------------

std::string literal(std::string_view text) {
  return "'" + text::replace_all(text, "'", "''") + "'";
}

class DuckDBConnection final : public Connection {
 public:
  explicit DuckDBConnection(std::shared_ptr<ConnectionHandle> handle) : handle_(std::move(handle)) {
    accept_interrupts();
  }
  ~DuckDBConnection() override { close(); }

  std::string engine() const override { return "duckdb"; }

  void execute(const std::string& sql) override {
    handle().check_idle();
    duckdb_result result;
    duckdb_state state = duckdb_query(live(), sql.c_str(), &result);
    if (state == DuckDBError) {
      std::string message = duckdb_result_error(&result);
      duckdb_destroy_result(&result);
      throw DriverError("DuckDB: " + message);
    }
    duckdb_destroy_result(&result);
  }

  std::int64_t execute_counted(const std::string& sql) override {
    handle().check_idle();
    duckdb_result result;
    duckdb_state state = duckdb_query(live(), sql.c_str(), &result);
    if (state == DuckDBError) {
      std::string message = duckdb_result_error(&result);
      duckdb_destroy_result(&result);
      throw DriverError("DuckDB: " + message);
    }
    auto changed = static_cast<std::int64_t>(duckdb_rows_changed(&result));
    duckdb_destroy_result(&result);
    return changed;
  }

  std::vector<std::string> table_names(const std::string& schema) override {
    auto result = query(
        "SELECT table_name FROM information_schema.tables WHERE table_catalog = "
        "current_database() AND table_type = 'BASE TABLE' AND table_schema = " +
        (schema.empty() ? std::string("current_schema()") : literal(schema)));
    std::vector<std::string> names;
    RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) names.push_back(std::get<std::string>(batch.at(r, 0)));
    }
    return names;
  }

  std::unique_ptr<QueryResult> query(const std::string& sql) override {
    handle().check_idle();
    Prepared prepared = Prepared::open(live(), sql);
    // Columns of types without a reader of their own are read through a text form: nested
    // values as JSON, the rest as DuckDB prints them. They keep their own logical type.
    idx_t n = duckdb_prepared_statement_column_count(prepared.get());
    std::vector<std::string> casts;
    std::vector<std::pair<idx_t, ColumnType>> kept;
    for (idx_t i = 0; i < n; ++i) {
      duckdb_type t = duckdb_prepared_statement_column_type(prepared.get(), i);
      if (readable(t)) continue;
      // The C API hands out a copy of the name, which is ours to free.
      std::string name =
          take_string(const_cast<char*>(duckdb_prepared_statement_column_name(prepared.get(), i)));
      LogicalType lt(duckdb_prepared_statement_column_logical_type(prepared.get(), i));
      ColumnReader ignored;
      kept.emplace_back(i, describe(name.c_str(), lt.get(), ignored).type);
      casts.push_back(text_cast(t, quote(name)) + " AS " + quote(name));
    }
    if (!casts.empty()) {
      prepared = Prepared::open(live(), "SELECT * REPLACE (" + text::join(casts, ", ") +
                                            ") FROM (\n" + strip_statement_end(sql) +
                                            "\n) AS zyl_q");
    }
    auto result = std::make_unique<DuckDBResult>(handle_, std::move(prepared));
    for (auto& [index, type] : kept) result->keep_type(index, std::move(type));
    return result;
  }

  // Whether `other` is a connection of the same DuckDB instance (two files of the shared
  // instance, or one file), so that a statement here can read its tables by its catalog.
  const void* instance() const { return handle_ ? handle_->database() : nullptr; }

  bool shares_instance_with(const DuckDBConnection& other) const {
    return handle_ && other.handle_ && handle_->database() == other.handle_->database();
  }

  // The catalog this connection works in: its file's in the shared instance (known without a
  // query, so a result still open on it does not stand in the way), else the default one.
  std::string catalog_name() {
    if (!handle().catalog().empty()) return handle().catalog();
    return single_text("SELECT current_database()");
  }

  std::int64_t row_count(const TableRef& table) {
    return std::stoll(single_text("SELECT count(*)::VARCHAR FROM " + quote_table(table)));
  }

  // Runs the statement `make` writes for `table` of this connection's catalog (named in full)
  // with the catalog of `source` as the default, so that a query written for `source` finds its
  // tables. Returns the rows it changed. On a failure the caller's transaction is rolled back
  // (an aborted one refuses USE) and this connection is back in its own catalog.
  std::int64_t write_reading(DuckDBConnection& source, const TableRef& table,
                             const std::function<std::string(const std::string&)>& make) {
    std::string home = catalog_name();
    std::string from = source.catalog_name();
    struct Restore {
      DuckDBConnection& conn;
      std::string home;
      bool done = false;
      ~Restore() {
        if (done) return;
        conn.rollback();
        conn.quietly("USE " + quote(home));
      }
    } restore{*this, home};
    std::string target = quote(home) + "." + quote(table.schema.empty() ? "main" : table.schema) +
                         "." + quote(table.name);
    execute("USE " + quote(from));
    std::int64_t changed = execute_counted(make(target));
    execute("USE " + quote(home));
    restore.done = true;
    return changed;
  }

  // The rows of `sql` with DuckDB's own values and types (see duckdb::query_native).
  std::unique_ptr<QueryResult> query_native(const std::string& sql) {
    std::vector<std::string> spelled = spelled_types(sql);
    handle().check_idle();
    auto result = std::make_unique<DuckDBResult>(handle_, Prepared::open(live(), sql),
                                                 DuckDBResult::Values::Native);
    result->spell_types(spelled);
    return result;
  }

  void begin() override {
    execute("BEGIN TRANSACTION");
    in_transaction_ = true;
  }
  void commit() override {
    if (!in_transaction_) return;
    in_transaction_ = false;
    execute("COMMIT");
  }
  void rollback() override {
    in_transaction_ = false;
    if (!handle_) return;
    duckdb_result result;
    duckdb_query(handle_->get(), "ROLLBACK", &result);  // fails harmlessly outside a transaction
    duckdb_destroy_result(&result);
  }

  std::string quote_identifier(std::string_view name) const override { return quote(name); }

  std::string type_sql(const ColumnType& type) const override { return duckdb_type_sql(type); }

  bool table_exists(const TableRef& table) override {
    std::string schema = table.schema.empty() ? "current_schema()" : literal(table.schema);
    auto result = query("SELECT count(*) FROM information_schema.tables WHERE table_catalog = "
                        "current_database() AND table_schema = " + schema +
                        " AND table_name = " + literal(table.name));
    RowBatch batch;
    return result->next(batch) && std::get<std::int64_t>(batch.at(0, 0)) > 0;
  }

  std::vector<Column> table_columns(const TableRef& table) override {
    if (!table_exists(table)) return {};
    Prepared prepared = Prepared::open(live(), "SELECT * FROM " + quote_table(table) + " LIMIT 0");
    std::vector<Column> columns;
    idx_t n = duckdb_prepared_statement_column_count(prepared.get());
    for (idx_t i = 0; i < n; ++i) {
      LogicalType lt(duckdb_prepared_statement_column_logical_type(prepared.get(), i));
      ColumnReader reader;
      std::string name =
          take_string(const_cast<char*>(duckdb_prepared_statement_column_name(prepared.get(), i)));
      columns.push_back(describe(name.c_str(),
                                 lt.get(), reader));
    }
    return columns;
  }

  void ensure_schema(const std::string& schema) override {
    if (!schema.empty()) execute("CREATE SCHEMA IF NOT EXISTS " + quote(schema));
  }

  std::unique_ptr<BulkWriter> bulk_writer(const TableRef& table,
                                          const std::vector<Column>& columns) override {
    handle().check_idle();
    return std::make_unique<DuckDBWriter>(handle_, table, columns);
  }

  void close() override {
    refuse_interrupts();
    handle_.reset();
  }

  void interrupt() noexcept override {
    if (handle_) duckdb_interrupt(handle_->get());
  }

 private:
  ConnectionHandle& handle() const {
    if (!handle_) throw DriverError("DuckDB: the connection is closed");
    return *handle_;
  }
  duckdb_connection live() const { return handle().get(); }

  // The first column of the first row of `sql`, as text.
  std::string single_text(const std::string& sql) {
    auto result = query(sql);
    RowBatch batch;
    if (!result->next(batch) || batch.rows() == 0) throw DriverError("DuckDB: no row from " + sql);
    const auto* text = std::get_if<std::string>(&batch.at(0, 0));
    if (!text) throw DriverError("DuckDB: no text from " + sql);
    return *text;
  }

  // Runs `sql`, ignoring a failure (clean-up paths); returns whether it succeeded.
  bool quietly(const std::string& sql) noexcept {
    if (!handle_) return false;
    duckdb_result result;
    bool ok = duckdb_query(handle_->get(), sql.c_str(), &result) == DuckDBSuccess;
    duckdb_destroy_result(&result);
    return ok;
  }

  // DuckDB's spelling of the type of each column of `sql`, from DESCRIBE.
  std::vector<std::string> spelled_types(const std::string& sql) {
    handle().check_idle();
    duckdb_result result;
    if (duckdb_query(live(), ("DESCRIBE " + strip_statement_end(sql)).c_str(), &result) ==
        DuckDBError) {
      std::string message = duckdb_result_error(&result);
      duckdb_destroy_result(&result);
      throw DriverError("DuckDB: " + message);
    }
    std::vector<std::string> types;
    for (Chunk chunk(duckdb_fetch_chunk(result)); chunk.get();
         chunk = Chunk(duckdb_fetch_chunk(result))) {
      void* data = duckdb_vector_get_data(duckdb_data_chunk_get_vector(chunk.get(), 1));
      for (idx_t r = 0; r < duckdb_data_chunk_get_size(chunk.get()); ++r) {
        types.push_back(read_string(data, r));
      }
    }
    duckdb_destroy_result(&result);
    return types;
  }

  std::shared_ptr<ConnectionHandle> handle_;
  bool in_transaction_ = false;
};

}  // namespace

std::unique_ptr<Connection> open_file(const std::filesystem::path& path, bool read_only) {
  return std::make_unique<DuckDBConnection>(
      ConnectionHandle::open(DatabaseShare::acquire(path, read_only)));
}

std::optional<std::filesystem::path> file_of(const Value& config,
                                             const std::filesystem::path& base_dir) {
  const Value* path_value = lookup(config, {"path", "database"});
  std::string path = path_value && !path_value->is_null() ? text_form(*path_value) : ":memory:";
  if (path.empty() || path == ":memory:") return std::nullopt;
  std::filesystem::path file = path;
  if (file.is_relative()) file = base_dir / file;
  return file;
}

namespace {

// The two connections as DuckDB connections of one instance, or nullptrs.
std::pair<DuckDBConnection*, DuckDBConnection*> one_instance(Connection& into, Connection& from) {
  auto* writer = dynamic_cast<DuckDBConnection*>(&into);
  auto* reader = dynamic_cast<DuckDBConnection*>(&from);
  if (!writer || !reader || !writer->shares_instance_with(*reader)) return {nullptr, nullptr};
  return {writer, reader};
}

}  // namespace

const void* instance_of(Connection& connection) {
  auto* duck = dynamic_cast<DuckDBConnection*>(&connection);
  return duck ? duck->instance() : nullptr;
}

bool share_instance(Connection& a, Connection& b) { return one_instance(a, b).first != nullptr; }

std::optional<std::int64_t> create_table_from(Connection& into, Connection& from,
                                              const std::string& sql, const TableRef& table) {
  auto [writer, reader] = one_instance(into, from);
  if (!writer) return std::nullopt;
  writer->write_reading(*reader, table, [&](const std::string& target) {
    return "CREATE TABLE " + target + " AS " + strip_statement_end(sql);
  });
  return writer->row_count(table);
}

std::optional<std::int64_t> insert_from(Connection& into, Connection& from, const std::string& sql,
                                        const TableRef& table,
                                        const std::vector<std::string>& columns) {
  auto [writer, reader] = one_instance(into, from);
  if (!writer) return std::nullopt;
  std::vector<std::string> quoted;
  for (const std::string& c : columns) quoted.push_back(quote(c));
  return writer->write_reading(*reader, table, [&](const std::string& target) {
    return "INSERT INTO " + target + " (" + text::join(quoted, ", ") + ") SELECT * FROM (\n" +
           strip_statement_end(sql) + "\n) AS zyl_q";
  });
}

std::unique_ptr<QueryResult> query_native(Connection& connection, const std::string& sql) {
  auto* duck = dynamic_cast<DuckDBConnection*>(&connection);
  if (!duck) return connection.query(sql);
  return duck->query_native(sql);
}

std::optional<std::int64_t> append_all(QueryResult& rows, BulkWriter& writer,
                                       const std::function<void(std::int64_t)>& progress) {
  auto* source = dynamic_cast<DuckDBResult*>(&rows);
  auto* target = dynamic_cast<DuckDBWriter*>(&writer);
  if (!source || !target || !source->untouched()) return std::nullopt;
  std::int64_t total = 0;
  for (Chunk chunk = source->take_chunk(); chunk.get(); chunk = source->take_chunk()) {
    idx_t size = duckdb_data_chunk_get_size(chunk.get());
    if (size == 0) continue;
    target->append_chunk(chunk.get());
    total += static_cast<std::int64_t>(size);
    if (progress) progress(total);
  }
  return total;
}

}  // namespace duckdb

// A DuckDB output: "path", else "database", else ":memory:" (relative paths against base_dir);
// "read_only" opens the file without writing.
std::unique_ptr<Connection> open_duckdb(const Value& config, const std::filesystem::path& base_dir) {
  std::filesystem::path file = duckdb::file_of(config, base_dir).value_or(":memory:");
  const Value* read_only = find(config, "read_only");
  return duckdb::open_file(file, read_only && is_set(read_only));
}

}  // namespace zyl::drivers
