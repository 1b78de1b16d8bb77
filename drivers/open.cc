#include <algorithm>

#include "core/text.h"
#include "drivers/driver.h"
#include "drivers/engines.h"
#include "drivers/odbc/odbc_connect.h"

namespace zyl::drivers {

std::unique_ptr<Connection> open_connection(const Value& output_config,
                                            const std::filesystem::path& base_dir) {
  std::string type = get_text(output_config, "type");
  if (odbc::routes_through_odbc(output_config)) return open_odbc(output_config, base_dir);
  if (type == "duckdb") return open_duckdb(output_config, base_dir);
  if (type == "sqlite") return open_sqlite(output_config, base_dir);
  if (type == "postgres" || type == "redshift") return open_postgres(output_config);
  if (type == "mysql" || type == "mariadb") return open_mysql(output_config);
  if (type == "clickhouse") return open_clickhouse(output_config);
  throw DriverError("no driver for adapter type '" + type + "' in this build; supported: " +
                    text::join(supported_engines(), ", "));
}

std::vector<std::string> supported_engines() {
  std::vector<std::string> engines{"clickhouse", "duckdb", "mariadb", "mysql",
                                   "postgres",   "redshift", "sqlite"};
  engines.insert(engines.end(), odbc::ODBC_ONLY_TYPES.begin(), odbc::ODBC_ONLY_TYPES.end());
  std::sort(engines.begin(), engines.end());
  return engines;
}

std::string connection_route(const Value& output_config) {
  std::string type = get_text(output_config, "type");
  if (odbc::routes_through_odbc(output_config)) return "ODBC";
  if (type == "clickhouse") return "HTTP";
  for (const std::string& engine : supported_engines()) {
    if (engine == type) return "native";
  }
  return "none";
}

}  // namespace zyl::drivers
