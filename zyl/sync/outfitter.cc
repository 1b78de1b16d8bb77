#include "zyl/sync/outfitter.h"

#include <duckdb.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace zyl::sync::outfitter {

const std::vector<std::pair<std::string, std::vector<std::string>>> ADAPTER_TO_EXTENSIONS = {
    {"postgres", {"postgres_scanner"}},
    {"redshift", {"postgres_scanner"}},
    {"mysql", {"mysql_scanner"}},
    {"mariadb", {"mysql_scanner"}},
    {"sqlite", {"sqlite_scanner"}},
    {"s3", {"httpfs"}},
    {"gcs", {"httpfs"}},
    {"azure", {"azure"}},
};

const std::vector<std::string> ALWAYS_INSTALL = {"delta", "json"};

namespace {

constexpr const char* kCatalogueQuery =
    "SELECT installed FROM duckdb_extensions() WHERE extension_name = ?";

// An extension name that can be written into an INSTALL statement as it is.
bool is_plain_name(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// Raised for a failing statement of one extension; caught by the per-extension guard.
class StatementError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Database {
 public:
  static Database open_in_memory() {
    Database db;
    char* error = nullptr;
    if (duckdb_open_ext(":memory:", &db.handle_, nullptr, &error) != DuckDBSuccess) {
      std::string message = error != nullptr ? error : "unknown error";
      duckdb_free(error);
      throw std::runtime_error("cannot open an in-memory DuckDB database: " + message);
    }
    return db;
  }
  Database(Database&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Database& operator=(Database&&) = delete;
  ~Database() {
    if (handle_ != nullptr) duckdb_close(&handle_);
  }
  duckdb_database get() const { return handle_; }

 private:
  Database() = default;
  duckdb_database handle_ = nullptr;
};

class Connection {
 public:
  static Connection open(const Database& db) {
    Connection conn;
    if (duckdb_connect(db.get(), &conn.handle_) != DuckDBSuccess) {
      throw std::runtime_error("cannot connect to the in-memory DuckDB database");
    }
    return conn;
  }
  Connection(Connection&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Connection& operator=(Connection&&) = delete;
  ~Connection() {
    if (handle_ != nullptr) duckdb_disconnect(&handle_);
  }
  duckdb_connection get() const { return handle_; }

 private:
  Connection() = default;
  duckdb_connection handle_ = nullptr;
};

class Result {
 public:
  Result() = default;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result() {
    if (filled_) duckdb_destroy_result(&result_);
  }
  // The C struct to fill; it must be destroyed even when the call that fills it fails.
  duckdb_result* fill() {
    filled_ = true;
    return &result_;
  }
  duckdb_result* get() { return &result_; }

 private:
  duckdb_result result_{};
  bool filled_ = false;
};

class PreparedStatement {
 public:
  static PreparedStatement prepare(const Connection& conn, const char* sql) {
    PreparedStatement stmt;
    if (duckdb_prepare(conn.get(), sql, &stmt.handle_) != DuckDBSuccess) {
      const char* error = duckdb_prepare_error(stmt.handle_);
      throw StatementError(error != nullptr ? error : "prepare failed");
    }
    return stmt;
  }
  PreparedStatement(PreparedStatement&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
  }
  PreparedStatement& operator=(PreparedStatement&&) = delete;
  ~PreparedStatement() {
    if (handle_ != nullptr) duckdb_destroy_prepare(&handle_);
  }
  duckdb_prepared_statement get() const { return handle_; }

 private:
  PreparedStatement() = default;
  duckdb_prepared_statement handle_ = nullptr;
};

class DataChunk {
 public:
  explicit DataChunk(duckdb_data_chunk chunk) : chunk_(chunk) {}
  DataChunk(const DataChunk&) = delete;
  DataChunk& operator=(const DataChunk&) = delete;
  ~DataChunk() {
    if (chunk_ != nullptr) duckdb_destroy_data_chunk(&chunk_);
  }
  duckdb_data_chunk get() const { return chunk_; }

 private:
  duckdb_data_chunk chunk_;
};

// True when the catalogue reports `name` installed; false for "not installed" and for a name
// the catalogue does not list. Throws StatementError when the query fails.
bool catalogue_says_installed(const Connection& conn, const std::string& name) {
  PreparedStatement stmt = PreparedStatement::prepare(conn, kCatalogueQuery);
  if (duckdb_bind_varchar_length(stmt.get(), 1, name.data(), name.size()) != DuckDBSuccess) {
    throw StatementError("cannot bind the extension name");
  }
  Result result;
  if (duckdb_execute_prepared(stmt.get(), result.fill()) != DuckDBSuccess) {
    const char* error = duckdb_result_error(result.get());
    throw StatementError(error != nullptr ? error : "catalogue query failed");
  }
  DataChunk chunk(duckdb_fetch_chunk(*result.get()));
  if (chunk.get() == nullptr || duckdb_data_chunk_get_size(chunk.get()) == 0) return false;
  duckdb_vector column = duckdb_data_chunk_get_vector(chunk.get(), 0);
  uint64_t* validity = duckdb_vector_get_validity(column);
  if (validity != nullptr && !duckdb_validity_row_is_valid(validity, 0)) return false;
  const bool* values = static_cast<const bool*>(duckdb_vector_get_data(column));
  return values[0];
}

void run_install(const Connection& conn, const std::string& name) {
  const std::string sql = "INSTALL " + name;
  Result result;
  if (duckdb_query(conn.get(), sql.c_str(), result.fill()) != DuckDBSuccess) {
    const char* error = duckdb_result_error(result.get());
    throw StatementError(error != nullptr ? error : "INSTALL failed");
  }
}

}  // namespace

std::vector<std::string> get_required_extensions(
    const std::vector<std::string_view>& adapter_types) {
  std::set<std::string> names(ALWAYS_INSTALL.begin(), ALWAYS_INSTALL.end());
  for (std::string_view type : adapter_types) {
    for (const auto& [adapter, extensions] : ADAPTER_TO_EXTENSIONS) {
      if (adapter == type) names.insert(extensions.begin(), extensions.end());
    }
  }
  // std::set<std::string> orders by byte, which for UTF-8 is code-point order.
  return {names.begin(), names.end()};
}

std::vector<std::pair<std::string, std::string>> install_extensions(
    const std::vector<std::string>& extensions, DryRun dry_run) {
  std::vector<std::pair<std::string, std::string>> results;
  results.reserve(extensions.size());
  if (dry_run == DryRun::kYes) {
    for (const auto& name : extensions) results.emplace_back(name, kDryRun);
    return results;
  }
  // The engine is linked into the program, so it is always available here.
  Database db = Database::open_in_memory();
  Connection conn = Connection::open(db);
  for (const auto& name : extensions) {
    if (!is_plain_name(name)) {
      results.emplace_back(name, kFailed);
      continue;
    }
    try {
      if (catalogue_says_installed(conn, name)) {
        results.emplace_back(name, kAlreadyInstalled);
      } else {
        run_install(conn, name);
        results.emplace_back(name, kInstalled);
      }
    } catch (const std::exception&) {
      results.emplace_back(name, kFailed);
    }
  }
  return results;
}

}  // namespace zyl::sync::outfitter
