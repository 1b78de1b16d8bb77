// The per-engine entry points behind open_connection. Each is implemented in its driver's
// directory; callers use drivers/driver.h.
#pragma once

#include <filesystem>
#include <memory>

#include "drivers/driver.h"

namespace zyl::drivers {

std::unique_ptr<Connection> open_duckdb(const Value& config, const std::filesystem::path& base_dir);
std::unique_ptr<Connection> open_sqlite(const Value& config, const std::filesystem::path& base_dir);
std::unique_ptr<Connection> open_postgres(const Value& config);  // also "redshift"
std::unique_ptr<Connection> open_mysql(const Value& config);     // also "mariadb"
// Any output that drivers/odbc/odbc_connect.h routes through ODBC.
std::unique_ptr<Connection> open_odbc(const Value& config, const std::filesystem::path& base_dir);
std::unique_ptr<Connection> open_clickhouse(const Value& config);  // over HTTP

}  // namespace zyl::drivers
