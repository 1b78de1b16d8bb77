// `brek run` end to end, as a user times it, against a drain of the source in the same run.
//
// A one-model project copies a 2M-row x 8-column source table (bigint, an unbounded numeric
// holding division results, text, timestamp, boolean, double, date, bigint) to its target:
//
//   1. PostgreSQL source, DuckDB default target; floor: a libpq drain of COPY (query) TO STDOUT.
//   2. MariaDB source, PostgreSQL target; floor: a mysql_use_result drain of the same query.
//
// Each line prints the rows per second of the whole `brek run` (process start to exit, so
// parsing, extraction, the model's CREATE TABLE AS in the cache and the load are all in it), the
// floor's, their ratio and the target ratio, then the share of the run's steps as logged.
//
//   run_bench [--rows N]        (needs ZYL_TEST_PG_* and ZYL_TEST_MYSQL_*)
#include <libpq-fe.h>
#include <mysql.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "core/value.h"

namespace {

using zyl::Value;
namespace fs = std::filesystem;

double seconds(const std::function<void()>& run) {
  auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "run_bench: %s\n", message.c_str());
  std::exit(1);
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v)
    die(std::string(name) +
        " is not set: run `scripts/test_servers.sh start` and "
        "`eval \"$(scripts/test_servers.sh env)\"`");
  return v;
}

Value pg_output() {
  return {{"type", "postgres"},
          {"host", env("ZYL_TEST_PG_HOST")},
          {"port", std::stoi(env("ZYL_TEST_PG_PORT"))},
          {"user", env("ZYL_TEST_PG_USER")},
          {"password", env("ZYL_TEST_PG_PASSWORD")},
          {"dbname", env("ZYL_TEST_PG_DB")},
          {"schema", "public"}};
}

Value my_output() {
  return {{"type", "mariadb"},
          {"host", env("ZYL_TEST_MYSQL_HOST")},
          {"port", std::stoi(env("ZYL_TEST_MYSQL_PORT"))},
          {"user", env("ZYL_TEST_MYSQL_USER")},
          {"password", env("ZYL_TEST_MYSQL_PASSWORD")},
          {"database", env("ZYL_TEST_MYSQL_DB")},
          {"schema", env("ZYL_TEST_MYSQL_DB")}};
}

PGconn* pg_raw() {
  std::string port = env("ZYL_TEST_PG_PORT"), host = env("ZYL_TEST_PG_HOST"),
              user = env("ZYL_TEST_PG_USER"), pw = env("ZYL_TEST_PG_PASSWORD"),
              db = env("ZYL_TEST_PG_DB");
  const char* keys[] = {"host", "port", "user", "password", "dbname", nullptr};
  const char* values[] = {host.c_str(), port.c_str(), user.c_str(),
                          pw.c_str(),   db.c_str(),   nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 0);
  if (PQstatus(conn) != CONNECTION_OK) die(PQerrorMessage(conn));
  return conn;
}

void pg_exec(PGconn* conn, const std::string& sql) {
  PGresult* res = PQexec(conn, sql.c_str());
  auto status = PQresultStatus(res);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) die(PQresultErrorMessage(res));
  PQclear(res);
}

MYSQL* my_raw() {
  MYSQL* conn = mysql_init(nullptr);
  mysql_optionsv(conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (!mysql_real_connect(conn, env("ZYL_TEST_MYSQL_HOST").c_str(),
                          env("ZYL_TEST_MYSQL_USER").c_str(),
                          env("ZYL_TEST_MYSQL_PASSWORD").c_str(), env("ZYL_TEST_MYSQL_DB").c_str(),
                          std::stoi(env("ZYL_TEST_MYSQL_PORT")), nullptr, 0)) {
    die(mysql_error(conn));
  }
  return conn;
}

void my_exec(MYSQL* conn, const std::string& sql) {
  if (mysql_query(conn, sql.c_str()) != 0) die(mysql_error(conn));
  if (MYSQL_RES* res = mysql_store_result(conn)) mysql_free_result(res);
}

const char* kQuery = "SELECT * FROM zyl_run_src";

double pg_copy_drain(long expect) {
  PGconn* conn = pg_raw();
  long rows = 0;
  double t = seconds([&] {
    PGresult* res = PQexec(conn, "COPY (SELECT * FROM zyl_run_src) TO STDOUT");
    if (PQresultStatus(res) != PGRES_COPY_OUT) die(PQresultErrorMessage(res));
    PQclear(res);
    char* data;
    while (PQgetCopyData(conn, &data, 0) > 0) {
      ++rows;
      PQfreemem(data);
    }
    PQclear(PQgetResult(conn));
  });
  PQfinish(conn);
  if (rows != expect) die("COPY drain saw " + std::to_string(rows) + " rows");
  return t;
}

double my_drain(long expect) {
  MYSQL* my = my_raw();
  long seen = 0;
  double t = seconds([&] {
    if (mysql_query(my, kQuery) != 0) die(mysql_error(my));
    MYSQL_RES* res = mysql_use_result(my);
    while (mysql_fetch_row(res)) ++seen;
    mysql_free_result(res);
  });
  mysql_close(my);
  if (seen != expect) die("mysql drain saw " + std::to_string(seen) + " rows");
  return t;
}

// A project directory with one model reading source zyl.zyl_run_src.
fs::path make_project(const fs::path& dir, const Value& outputs, const std::string& source_output,
                      const std::string& model_config) {
  fs::remove_all(dir);
  fs::create_directories(dir / "models");
  fs::create_directories(dir / "data");
  std::ofstream(dir / "brek_project.yml")
      << "name: bench\nprofile: bench\nmodel-paths: [\"models\"]\nmodels:\n  bench:\n"
         "    +materialized: table\n";
  Value profiles = {{"bench", {{"target", "warehouse"}, {"outputs", outputs}}}};
  std::ofstream(dir / "profiles.yml") << profiles.dump(2) << "\n";
  std::ofstream(dir / "models" / "sources.yml")
      << "sources:\n  - name: zyl\n    connection: " << source_output
      << "\n    schema: " << outputs[source_output]["schema"].get<std::string>()
      << "\n    tables:\n      - name: zyl_run_src\n";
  std::ofstream(dir / "models" / "big_copy.sql")
      << model_config << "select * from {{ source('zyl', 'zyl_run_src') }}\n";
  return dir;
}

double brek_run(const std::string& brek, const fs::path& project) {
  std::string command = "cd '" + project.string() + "' && '" + brek +
                        "' run --project-dir . --profiles-dir . > run.log 2>&1";
  int status = 0;
  double t = seconds([&] { status = std::system(command.c_str()); });
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::ifstream log(project / "run.log");
    std::stringstream text;
    text << log.rdbuf();
    die("brek run failed:\n" + text.str());
  }
  return t;
}

void print(const char* what, long rows, double ours, double floor, double target) {
  double ratio = floor / ours;
  std::printf(
      "%-40s %9.0f rows/s (%.2f s)  floor %9.0f rows/s (%.2f s)  ratio %.2f  "
      "(target >= %.1f) %s\n",
      what, rows / ours, ours, rows / floor, floor, ratio, target,
      ratio >= target ? "ok" : "MISSED");
  std::fflush(stdout);
}

// The lines of the run's log that time its steps (extraction, model query, load).
void print_steps(const fs::path& project) {
  std::ifstream log(project / "logs" / "zyl.log");
  std::string line;
  while (std::getline(log, line)) {
    if (line.find("sling: ") != std::string::npos || line.find("rows in") != std::string::npos ||
        line.find(": extracting ") != std::string::npos ||
        line.find("DuckDB SQL: ") != std::string::npos) {
      std::printf("    %s\n", line.c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 2000000;
  std::string brek = BREK_BINARY;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--rows") && i + 1 < argc) rows = std::atol(argv[++i]);
    if (!std::strcmp(argv[i], "--brek") && i + 1 < argc) brek = argv[++i];
  }
  fs::path dir = fs::temp_directory_path() / ("zyl_run_bench_" + std::to_string(getpid()));
  std::printf(
      "rows: %ld x 8 columns (bigint, numeric of amount / 7, text, timestamp, boolean, "
      "double, date, bigint)\n",
      rows);

  // 1. PostgreSQL source, DuckDB default target.
  PGconn* pg = pg_raw();
  pg_exec(pg, "DROP TABLE IF EXISTS zyl_run_src, big_copy");
  pg_exec(pg,
          "CREATE TABLE zyl_run_src AS SELECT g::bigint AS id,"
          " (g % 100000 / 100.0)::numeric(12,2) / 7 AS share, 'customer name ' || g AS name,"
          " timestamp '2024-01-01' + g * interval '1 second' AS ts, g % 2 = 0 AS flag,"
          " g * 1.5::float8 AS price, date '2020-01-01' + (g % 3000)::int AS day,"
          " (g * 7 % 100000)::bigint AS qty FROM generate_series(1, " +
              std::to_string(rows) + ") g");
  pg_exec(pg, "VACUUM ANALYZE zyl_run_src");
  Value outputs = {
      {"warehouse", {{"type", "duckdb"}, {"path", "data/warehouse.duckdb"}, {"schema", "main"}}},
      {"pg", pg_output()}};
  fs::path project = make_project(dir / "pg_to_duckdb", outputs, "pg", "");
  pg_copy_drain(rows);  // warm the server's cache
  double floor = pg_copy_drain(rows);
  double ours = brek_run(brek, project);
  print("brek run: postgres -> duckdb target", rows, ours, floor, 0.5);
  print_steps(project);

  // 2. MariaDB source, PostgreSQL target.
  MYSQL* my = my_raw();
  my_exec(my, "DROP TABLE IF EXISTS zyl_run_src");
  my_exec(my,
          "CREATE TABLE zyl_run_src (id bigint, share decimal(65,30), name text, ts datetime,"
          " flag boolean, price double, day date, qty bigint) ENGINE=InnoDB");
  my_exec(my,
          "INSERT INTO zyl_run_src SELECT seq, (seq % 100000 / 100.0) / 7,"
          " CONCAT('customer name ', seq), '2024-01-01' + INTERVAL seq SECOND, seq % 2 = 0,"
          " seq * 1.5, '2020-01-01' + INTERVAL (seq % 3000) DAY, seq * 7 % 100000"
          " FROM seq_1_to_" +
              std::to_string(rows));
  mysql_close(my);
  outputs["my"] = my_output();
  project = make_project(dir / "mariadb_to_pg", outputs, "my", "{{ config(target='pg') }}\n");
  my_drain(rows);
  floor = my_drain(rows);
  ours = brek_run(brek, project);
  print("brek run: mariadb -> postgres target", rows, ours, floor, 0.4);
  print_steps(project);

  pg_exec(pg, "DROP TABLE IF EXISTS zyl_run_src, big_copy");
  PQfinish(pg);
  my = my_raw();
  my_exec(my, "DROP TABLE IF EXISTS zyl_run_src");
  mysql_close(my);
  fs::remove_all(dir);
  return 0;
}
