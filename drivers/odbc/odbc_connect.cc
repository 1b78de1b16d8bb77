#include "drivers/odbc/odbc_connect.h"

#include <algorithm>
#include <functional>
#include <map>

#include "core/text.h"
#include "drivers/driver.h"

namespace zyl::drivers::odbc {
namespace {

using Keys = std::initializer_list<std::string_view>;

// The first present key's text form (null gives ""), or `fallback` when none is present: the
// lookup the Sling URL mappers make.
std::string text_of(const Value& c, Keys keys, std::string_view fallback = "") {
  const Value* v = lookup(c, keys);
  if (!v) return std::string(fallback);
  if (v->is_null()) return "";
  return connection_setting(c, keys, "");  // a port of 5432.0 reads "5432"
}

// The attributes of one connection, in order, with the secrets kept apart.
class Builder {
 public:
  Builder& add(std::string_view name, const std::string& value) {
    if (!value.empty()) attributes_ += attribute(name, value);
    return *this;
  }
  Builder& secret(std::string_view name, const std::string& value) {
    if (!value.empty()) secrets_.emplace_back(name, value);
    return *this;
  }
  void into(ConnectPlan& plan) {
    plan.attributes = std::move(attributes_);
    plan.secrets = std::move(secrets_);
  }

 private:
  std::string attributes_;
  std::vector<std::pair<std::string, std::string>> secrets_;
};

// "yes"/"no" for a flag of the profile, as the SQL Server drivers spell it; "" when not set.
std::string yes_no(const Value* v) {
  if (!v || v->is_null()) return "";
  if (v->is_boolean()) return v->get<bool>() ? "yes" : "no";
  std::string lower = text::to_lower(text_form(*v));
  if (lower == "true" || lower == "1") return "yes";
  if (lower == "false" || lower == "0") return "no";
  return lower;  // "strict", "optional", "mandatory", "yes", "no"
}

// libpq options psqlODBC passes on: the application name the native driver also sets.
std::string application_name(const Value& c) {
  std::string name = text_of(c, {"application_name"});
  if (name.empty() || name.find_first_of(" \\'") != std::string::npos) return "";
  return "application_name=" + name;
}

void build_postgres(const Value& c, Builder& b, std::string_view default_port,
                    std::string_view default_sslmode) {
  b.add("Server", text_of(c, {"host"}, c.value("type", "") == "redshift" ? "" : "localhost"))
      .add("Port", text_of(c, {"port"}, default_port))
      .add("Database", text_of(c, {"dbname", "database"}))
      .add("UID", text_of(c, {"user"}))
      .add("SSLmode", text_of(c, {"sslmode"}, default_sslmode))
      // Booleans as booleans, not as the characters '1' and '0'; results stream through a
      // cursor instead of arriving whole; the session runs in UTC like the native driver's.
      .add("BoolsAsChar", "0")
      .add("UseDeclareFetch", "1")
      .add("Fetch", "2048")
      .add("ConnSettings", "SET TimeZone = 'UTC'; SET IntervalStyle = 'postgres'")
      .add("pqopt", application_name(c))
      .secret("PWD", text_of(c, {"password", "pass"}));
}

void build_mysql(const Value& c, Builder& b) {
  b.add("Server", text_of(c, {"host", "server"}, "localhost"))
      .add("Port", text_of(c, {"port"}, "3306"))
      .add("Database", text_of(c, {"database", "schema"}))
      .add("UID", text_of(c, {"user", "username"}))
      .add("CHARSET", "utf8mb4")
      // Rows come off the socket as they are fetched, and TIMESTAMP values read as UTC.
      .add("NO_CACHE", "1")
      // Strict, as the native driver's session: a value a column cannot hold is an error. And
      // in the database's utf8mb4 collation, as the native driver's too: the driver's own
      // default differs from the server's, and a text column compared with a value from a
      // literal then fails with "Illegal mix of collations".
      .add("INITSTMT",
           "SET time_zone = '+00:00', sql_mode = 'STRICT_ALL_TABLES,NO_ZERO_IN_DATE,"
           "NO_ZERO_DATE,ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION', "
           "collation_connection = IF(@@character_set_database = 'utf8mb4', "
           "@@collation_database, @@collation_connection)")
      // Found rows (2): an UPDATE reports the rows it matched, as the native driver asks for
      // too, so that a merge's row counts add up when rows are already as they should be; and
      // several statements in one call (1 << 26), as execute() allows.
      .add("OPTION", std::to_string(2 | (1 << 26)))
      .secret("PWD", text_of(c, {"password", "pass"}));
}

void build_sqlserver(const Value& c, Builder& b) {
  std::string host = text_of(c, {"host", "server"});
  std::string port = text_of(c, {"port"}, "1433");
  b.add("Server", host.empty() ? host : host + "," + port)
      .add("Database", text_of(c, {"database"}))
      .add("UID", text_of(c, {"user"}))
      .add("Encrypt", yes_no(lookup(c, {"encrypt"})))
      .add("TrustServerCertificate", yes_no(lookup(c, {"trust_cert", "TrustServerCertificate"})))
      .secret("PWD", text_of(c, {"password", "pass"}));
}

// FreeTDS takes the port apart from the host.
void build_freetds(const Value& c, Builder& b) {
  b.add("Server", text_of(c, {"host", "server"}))
      .add("Port", text_of(c, {"port"}, "1433"))
      .add("Database", text_of(c, {"database"}))
      .add("UID", text_of(c, {"user"}))
      .add("TDS_Version", "7.4")
      .secret("PWD", text_of(c, {"password", "pass"}));
}

void build_oracle(const Value& c, Builder& b) {
  b.add("DBQ", text_of(c, {"host"}) + ":" + text_of(c, {"port"}, "1521") + "/" +
                   text_of(c, {"service", "database"}))
      .add("UID", text_of(c, {"user"}))
      .secret("PWD", text_of(c, {"password", "pass"}));
}

// Trino's URL carries no password, and neither does its connection.
void build_trino(const Value& c, Builder& b) {
  b.add("Host", text_of(c, {"host"}))
      .add("Port", text_of(c, {"port"}, "8080"))
      .add("UID", text_of(c, {"user"}))
      .add("Catalog", text_of(c, {"catalog", "database"}))
      .add("Schema", text_of(c, {"schema"}));
}

void build_clickhouse(const Value& c, Builder& b) {
  b.add("Server", text_of(c, {"host"}, "localhost"))
      .add("Port", text_of(c, {"port"}, "8123"))
      .add("Database", text_of(c, {"database", "schema"}, "default"))
      .add("UID", text_of(c, {"user", "username"}, "default"))
      .secret("PWD", text_of(c, {"password", "pass"}));
}

void build_snowflake(const Value& c, Builder& b) {
  std::string account = text_of(c, {"account"});
  b.add("Server", account.empty() ? account : account + ".snowflakecomputing.com")
      .add("Database", text_of(c, {"database"}))
      .add("Schema", text_of(c, {"schema"}))
      .add("Warehouse", text_of(c, {"warehouse"}))
      .add("Role", text_of(c, {"role"}))
      .add("UID", text_of(c, {"user"}))
      .secret("PWD", text_of(c, {"password", "pass"}));
}

void build_databricks(const Value& c, Builder& b) {
  std::string path = text_of(c, {"http_path"});
  path.erase(0, path.find_first_not_of('/'));
  // Token authentication over HTTP, as Databricks documents for the Simba Spark driver.
  b.add("Host", text_of(c, {"host"}))
      .add("Port", text_of(c, {"port"}, "443"))
      .add("HTTPPath", path.empty() ? path : "/" + path)
      .add("SSL", "1")
      .add("ThriftTransport", "2")
      .add("AuthMech", "3")
      .add("UID", "token")
      .add("Catalog", text_of(c, {"catalog"}))
      .add("Schema", text_of(c, {"schema"}))
      .secret("PWD", text_of(c, {"token"}));
}

// No credential key is read: the driver's own settings (a key file, the machine's account)
// authenticate, as for the Sling URL.
void build_bigquery(const Value& c, Builder& b) {
  b.add("Catalog", text_of(c, {"project", "database"}))
      .add("DefaultDataset", text_of(c, {"dataset", "schema"}))
      .add("Location", is_set(find(c, "location")) ? text_form(*find(c, "location")) : "");
}

void build_sqlite(const Value& c, Builder& b, const std::filesystem::path& base_dir) {
  std::string path = text_of(c, {"path", "database"});
  if (!path.empty() && std::filesystem::path(path).is_relative()) {
    path = (base_dir / path).lexically_normal().string();
  }
  b.add("Database", path);
}

void build_duckdb(const Value& c, Builder& b, const std::filesystem::path& base_dir) {
  std::string path = text_of(c, {"path", "database"}, ":memory:");
  if (path != ":memory:" && std::filesystem::path(path).is_relative()) {
    path = (base_dir / path).lexically_normal().string();
  }
  b.add("Database", path);
}

// Any other type: the common keys.
void build_generic(const Value& c, Builder& b) {
  b.add("Server", text_of(c, {"host", "server"}))
      .add("Port", text_of(c, {"port"}))
      .add("Database", text_of(c, {"database", "dbname"}))
      .add("UID", text_of(c, {"user", "username"}))
      .secret("PWD", text_of(c, {"password", "pass"}));
}

struct TypeEntry {
  std::vector<std::string> drivers;  // vendors' registered names, preferred first
};

const std::map<std::string, TypeEntry, std::less<>>& type_table() {
  static const std::map<std::string, TypeEntry, std::less<>> table{
      {"sqlserver",
       {{"ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server", "FreeTDS"}}},
      {"snowflake", {{"SnowflakeDSIIDriver"}}},
      {"databricks", {{"Simba Spark ODBC Driver"}}},
      {"oracle", {{"Oracle 21 ODBC driver", "Oracle 19 ODBC driver"}}},
      {"trino", {{"Simba Trino ODBC Driver", "Starburst ODBC Driver"}}},
      {"bigquery", {{"Simba ODBC Driver for Google BigQuery"}}},
      {"postgres", {{"PostgreSQL Unicode"}}},
      {"redshift", {{"Amazon Redshift (x64)", "PostgreSQL Unicode"}}},
      {"mysql", {{"MySQL ODBC 8.0 Unicode Driver", "MariaDB Unicode"}}},
      {"mariadb", {{"MariaDB Unicode"}}},
      {"sqlite", {{"SQLite3"}}},
      {"duckdb", {{"DuckDB Driver"}}},
      {"clickhouse", {{"ClickHouse ODBC Driver (Unicode)"}}},
  };
  return table;
}

void build_attributes(const Value& c, std::string_view driver, const std::filesystem::path& base,
                      Builder& b) {
  std::string type = c.value("type", "");
  if (type == "postgres") return build_postgres(c, b, "5432", "disable");
  if (type == "redshift") return build_postgres(c, b, "5439", "require");
  if (type == "mysql" || type == "mariadb") return build_mysql(c, b);
  if (type == "sqlserver") {
    return text::to_lower(driver).find("freetds") != std::string::npos ? build_freetds(c, b)
                                                                        : build_sqlserver(c, b);
  }
  if (type == "oracle") return build_oracle(c, b);
  if (type == "trino") return build_trino(c, b);
  if (type == "clickhouse") return build_clickhouse(c, b);
  if (type == "snowflake") return build_snowflake(c, b);
  if (type == "databricks") return build_databricks(c, b);
  if (type == "bigquery") return build_bigquery(c, b);
  if (type == "sqlite") return build_sqlite(c, b, base);
  if (type == "duckdb") return build_duckdb(c, b, base);
  build_generic(c, b);
}

}  // namespace

const std::vector<std::string_view> ODBC_ONLY_TYPES{"sqlserver", "snowflake", "databricks",
                                                    "oracle",    "trino",     "bigquery"};

bool routes_through_odbc(const Value& config) {
  if (!config.is_object()) return false;
  if (is_set(find(config, "odbc_driver")) || is_set(find(config, "odbc_dsn"))) return true;
  std::string type = config.value("type", "");
  return std::find(ODBC_ONLY_TYPES.begin(), ODBC_ONLY_TYPES.end(), type) != ODBC_ONLY_TYPES.end();
}

ConnectPlan plan_connection(const Value& config, const std::filesystem::path& base_dir,
                            std::string_view driver_for) {
  ConnectPlan plan;
  plan.type = config.is_object() ? config.value("type", "") : "";
  plan.dsn = text_of(config, {"odbc_dsn"});
  std::string driver = text_of(config, {"odbc_driver"});
  if (!driver.empty()) {
    plan.drivers = {driver};
  } else if (plan.dsn.empty()) {
    auto entry = type_table().find(plan.type);
    if (entry != type_table().end()) plan.drivers = entry->second.drivers;
  }
  Builder builder;
  std::string given = text_of(config, {"odbc_connection_string"});
  if (!given.empty()) {
    // The given string replaces what is built; a password of the profile still goes in as an
    // attribute of its own unless the string has one.
    if (text::to_lower(given).find("pwd=") == std::string::npos) {
      builder.secret("PWD", text_of(config, {"password", "pass"}));
    }
    builder.into(plan);
    plan.attributes = given;
    if (plan.attributes.back() != ';') plan.attributes += ';';
    return plan;
  }
  if (driver_for.empty() && !plan.drivers.empty()) driver_for = plan.drivers.front();
  build_attributes(config, driver_for, base_dir, builder);
  builder.into(plan);
  return plan;
}

std::string connection_string(const ConnectPlan& plan, std::string_view driver) {
  std::string out;
  std::string lower = text::to_lower(plan.attributes);
  bool names_itself = lower.rfind("driver=", 0) == 0 || lower.rfind("dsn=", 0) == 0 ||
                      lower.find(";driver=") != std::string::npos ||
                      lower.find(";dsn=") != std::string::npos;
  if (!names_itself) {
    out = plan.dsn.empty() ? attribute("Driver", driver) : attribute("DSN", plan.dsn);
  }
  out += plan.attributes;
  for (const auto& [name, value] : plan.secrets) out += attribute(name, value);
  return out;
}

std::string attribute(std::string_view name, std::string_view value) {
  bool braces = value.find_first_of(";{}=") != std::string_view::npos ||
                (!value.empty() && (value.front() == ' ' || value.back() == ' '));
  std::string out(name);
  out += '=';
  if (braces) {
    out += '{' + text::replace_all(value, "}", "}}") + '}';
  } else {
    out += value;
  }
  return out + ';';
}

std::vector<std::string> secret_values(const ConnectPlan& plan) {
  std::vector<std::string> values;
  for (const auto& secret : plan.secrets) values.push_back(secret.second);
  // A password written into a given connection string.
  std::string lower = text::to_lower(plan.attributes);
  for (size_t at = lower.find("pwd="); at != std::string::npos; at = lower.find("pwd=", at + 1)) {
    if (at > 0 && lower[at - 1] != ';') continue;
    size_t start = at + 4;
    std::string value;
    if (start < plan.attributes.size() && plan.attributes[start] == '{') {
      for (size_t i = start + 1; i < plan.attributes.size(); ++i) {
        if (plan.attributes[i] == '}') {
          if (i + 1 < plan.attributes.size() && plan.attributes[i + 1] == '}') {
            value += '}';
            ++i;
            continue;
          }
          break;
        }
        value += plan.attributes[i];
      }
    } else {
      value = plan.attributes.substr(start, plan.attributes.find(';', start) - start);
    }
    if (!value.empty()) values.push_back(value);
  }
  return values;
}

}  // namespace zyl::drivers::odbc
