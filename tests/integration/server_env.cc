#include "tests/integration/server_env.h"

#include <cstdlib>

namespace zyl::integration {
namespace {

std::optional<std::string> env(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

}  // namespace

std::optional<Value> server_config(const std::string& prefix, const std::string& type) {
  auto host = env(prefix + "_HOST");
  auto port = env(prefix + "_PORT");
  if (!host || !port) return std::nullopt;
  Value config = Value::object();
  config["type"] = type;
  config["host"] = *host;
  config["port"] = std::stoi(*port);
  config["user"] = env(prefix + "_USER").value_or("");
  config["password"] = env(prefix + "_PASSWORD").value_or("");
  if (prefix == "ZYL_TEST_MYSQL" || prefix == "ZYL_TEST_CLICKHOUSE") {
    config["database"] = env(prefix + "_DB").value_or("");
  } else {
    config["dbname"] = env(prefix + "_DB").value_or("");
  }
  return config;
}

std::string missing_message(const std::string& prefix) {
  return prefix + "_HOST / " + prefix +
         "_PORT are not set: start the test servers with `scripts/test_servers.sh start` and "
         "`eval \"$(scripts/test_servers.sh env)\"`";
}

drivers::RowBatch read_all(drivers::Connection& conn, const std::string& sql,
                           std::vector<drivers::Column>* columns) {
  auto result = conn.query(sql);
  if (columns) *columns = result->columns();
  drivers::RowBatch all;
  all.column_count = result->columns().size();
  drivers::RowBatch batch;
  while (result->next(batch, 7)) {
    all.cells.insert(all.cells.end(), batch.cells.begin(), batch.cells.end());
  }
  return all;
}

bool must_have_servers() { return env("CI").has_value(); }

void copy_table(drivers::Connection& conn, const std::string& schema, const std::string& from,
                const std::string& to) {
  std::vector<drivers::Column> columns;
  drivers::RowBatch rows = read_all(conn, "SELECT * FROM " + schema + "." + from, &columns);
  std::string ddl = "CREATE TABLE " + schema + "." + to + " (";
  for (size_t i = 0; i < columns.size(); ++i) {
    ddl += (i ? ", " : "") + conn.quote_identifier(columns[i].name) + " " +
           conn.type_sql(columns[i].type);
  }
  conn.execute(ddl + ")");
  auto writer = conn.bulk_writer({schema, to}, columns);
  writer->write(rows);
  writer->finish();
}

}  // namespace zyl::integration
