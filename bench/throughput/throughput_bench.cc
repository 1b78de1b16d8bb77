// Extraction and load throughput of the Sling client against the bare client libraries.
//
// Each line prints our rows per second, the floor's rows per second measured in the same run on
// the same rows, their ratio and the target ratio. The floors: a libpq drain of COPY (query) TO
// STDOUT; COPY FROM STDIN of rows rendered in memory beforehand; a mysql_use_result drain; a bare
// sqlite3_step loop; ATTACH + CREATE TABLE AS in one DuckDB process; for ClickHouse, a libcurl
// drain of the query in TabSeparated and one POST of the rows rendered beforehand. Peak
// resident memory of an extraction is measured in a child process at 5M and 20M rows.
//
//   throughput_bench [--rows N]       (needs ZYL_TEST_PG_* and ZYL_TEST_MYSQL_*; the ClickHouse
//                                      lines run when ZYL_TEST_CLICKHOUSE_* are set)
//   throughput_bench --clickhouse [--rows N]   (the ClickHouse lines alone)
//   throughput_bench --rss-child N    (internal: one extraction of N rows, prints peak RSS)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include <curl/curl.h>
#include <duckdb.h>
#include <libpq-fe.h>
#include <mysql.h>
#include <sqlite3.h>

#include "drivers/driver.h"
#include "zyl/extraction/sling_client.h"

namespace {

using zyl::Value;
namespace fs = std::filesystem;

double seconds(const std::function<void()>& run) {
  auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "throughput_bench: %s\n", message.c_str());
  std::exit(1);
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) die(std::string(name) + " is not set: run `scripts/test_servers.sh start` and "
                                          "`eval \"$(scripts/test_servers.sh env)\"`");
  return v;
}

Value pg_config() {
  return {{"type", "postgres"},          {"host", env("ZYL_TEST_PG_HOST")},
          {"port", env("ZYL_TEST_PG_PORT")}, {"user", env("ZYL_TEST_PG_USER")},
          {"password", env("ZYL_TEST_PG_PASSWORD")}, {"dbname", env("ZYL_TEST_PG_DB")}};
}

Value my_config() {
  return {{"type", "mariadb"},
          {"host", env("ZYL_TEST_MYSQL_HOST")},
          {"port", env("ZYL_TEST_MYSQL_PORT")},
          {"user", env("ZYL_TEST_MYSQL_USER")},
          {"password", env("ZYL_TEST_MYSQL_PASSWORD")},
          {"database", env("ZYL_TEST_MYSQL_DB")}};
}

PGconn* pg_raw() {
  std::string port = env("ZYL_TEST_PG_PORT"), host = env("ZYL_TEST_PG_HOST"),
              user = env("ZYL_TEST_PG_USER"), pw = env("ZYL_TEST_PG_PASSWORD"),
              db = env("ZYL_TEST_PG_DB");
  const char* keys[] = {"host", "port", "user", "password", "dbname", nullptr};
  const char* values[] = {host.c_str(), port.c_str(), user.c_str(), pw.c_str(), db.c_str(),
                          nullptr};
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

// 8 columns of mixed types: bigint, int, double, decimal, text, timestamp, boolean, date.
void make_pg_table(PGconn* conn, long rows) {
  pg_exec(conn, "DROP TABLE IF EXISTS zyl_bench_src");
  pg_exec(conn,
          "CREATE TABLE zyl_bench_src AS SELECT g::bigint AS id, (g * 7 % 100000)::int AS qty,"
          " g * 1.5::float8 AS price, (g % 100000 / 100.0)::numeric(12,2) AS amount,"
          " 'customer name ' || g AS name, timestamp '2024-01-01' + g * interval '1 second' AS ts,"
          " g % 2 = 0 AS flag, date '2020-01-01' + (g % 3000)::int AS day"
          " FROM generate_series(1, " + std::to_string(rows) + ") g");
  pg_exec(conn, "VACUUM ANALYZE zyl_bench_src");
}

const char* kQuery = "SELECT * FROM zyl_bench_src";

double pg_copy_drain(long expect) {
  PGconn* conn = pg_raw();
  long rows = 0;
  double t = seconds([&] {
    PGresult* res = PQexec(conn, "COPY (SELECT * FROM zyl_bench_src) TO STDOUT");
    if (PQresultStatus(res) != PGRES_COPY_OUT) die(PQresultErrorMessage(res));
    PQclear(res);
    char* data;
    int n;
    while ((n = PQgetCopyData(conn, &data, 0)) > 0) {
      ++rows;
      PQfreemem(data);
    }
    PQclear(PQgetResult(conn));
  });
  PQfinish(conn);
  if (rows != expect) die("COPY drain saw " + std::to_string(rows) + " rows");
  return t;
}

void print(const char* what, long rows, double ours, double floor, double target) {
  double ratio = floor / ours;
  std::printf("%-34s %9.0f rows/s  floor %9.0f rows/s  ratio %.2f  (target >= %.1f) %s\n", what,
              rows / ours, rows / floor, ratio, target, ratio >= target ? "ok" : "MISSED");
  std::fflush(stdout);
}

long peak_rss_kib_of_child(const std::string& self, long rows) {
  pid_t pid = fork();
  if (pid == 0) {
    std::string n = std::to_string(rows);
    execl(self.c_str(), self.c_str(), "--rss-child", n.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("memory child failed");
  return usage.ru_maxrss;
}

// One POST of `body` to the ClickHouse test server with the URL parameters `parameters`; the
// response body goes to `sink`. Dies unless the server answers 200.
void ch_post(const std::string& parameters, const std::string& body,
             size_t (*sink)(char*, size_t, size_t, void*), void* data) {
  CURL* curl = curl_easy_init();
  std::string url = "http://" + env("ZYL_TEST_CLICKHOUSE_HOST") + ":" +
                    env("ZYL_TEST_CLICKHOUSE_PORT") + "/?" + parameters;
  std::string user = env("ZYL_TEST_CLICKHOUSE_USER"), pw = env("ZYL_TEST_CLICKHOUSE_PASSWORD");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, pw.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, sink);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, data);
  long status = 0;
  if (curl_easy_perform(curl) != CURLE_OK) die("ClickHouse request failed");
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (status != 200) {
    die("ClickHouse answered " + std::to_string(status) + " to " + body.substr(0, 200));
  }
}

size_t ignore_body(char*, size_t size, size_t count, void*) { return size * count; }
size_t keep_body(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}
size_t count_lines(char* data, size_t size, size_t count, void* lines) {
  for (size_t i = 0; i < size * count; ++i) *static_cast<long*>(lines) += data[i] == '\n';
  return size * count;
}

void ch_exec(const std::string& sql) { ch_post("", sql, ignore_body, nullptr); }

Value ch_config() {
  return {{"type", "clickhouse"},
          {"host", env("ZYL_TEST_CLICKHOUSE_HOST")},
          {"port", env("ZYL_TEST_CLICKHOUSE_PORT")},
          {"user", env("ZYL_TEST_CLICKHOUSE_USER")},
          {"password", env("ZYL_TEST_CLICKHOUSE_PASSWORD")},
          {"database", env("ZYL_TEST_CLICKHOUSE_DB")}};
}

// ClickHouse -> cache against a libcurl drain of the same query in TabSeparated, and cache ->
// ClickHouse (full refresh: staging table and swap) against one POST of the same rows
// rendered in TabSeparated beforehand.
void bench_clickhouse(zyl::extraction::sling_client::NativeSlingClient& sling,
                      const std::string& cache, long rows) {
  std::string db = env("ZYL_TEST_CLICKHOUSE_DB") + ".";
  ch_exec("DROP TABLE IF EXISTS " + db + "zyl_bench_src");
  ch_exec("CREATE TABLE " + db + "zyl_bench_src (id Int64, qty Int32, price Float64, "
          "amount Decimal(12, 2), name String, ts DateTime, flag UInt8, day Date) "
          "ENGINE = MergeTree ORDER BY id");
  ch_exec("INSERT INTO " + db + "zyl_bench_src SELECT number, number * 7 % 100000, "
          "number * 1.5, toDecimal64(number % 100000 / 100, 2), "
          "concat('customer name ', toString(number)), toDateTime('2024-01-01 00:00:00') + number, "
          "number % 2, toDate('2020-01-01') + number % 3000 FROM system.numbers LIMIT " +
          std::to_string(rows));
  const std::string query = "SELECT * FROM " + db + "zyl_bench_src";
  auto drain = [&] {
    long lines = 0;
    double t = seconds([&] { ch_post("", query + " FORMAT TabSeparated", count_lines, &lines); });
    if (lines != rows) die("ClickHouse drain saw " + std::to_string(lines) + " rows");
    return t;
  };
  drain();
  double floor = drain();
  double ours = seconds([&] { sling.extract_to_duckdb(ch_config(), cache, query, "ch_rows"); });
  print("clickhouse -> cache", rows, ours, floor, 0.7);

  std::string rendered;
  ch_post("", query + " FORMAT TabSeparated", keep_body, &rendered);
  ch_exec("DROP TABLE IF EXISTS " + db + "zyl_bench_floor");
  ch_exec("CREATE TABLE " + db + "zyl_bench_floor AS " + db + "zyl_bench_src");
  char* insert = curl_easy_escape(nullptr, "INSERT INTO zyl_bench_floor FORMAT TabSeparated", 0);
  std::string parameters = "database=" + env("ZYL_TEST_CLICKHOUSE_DB") + "&query=" + insert;
  curl_free(insert);
  floor = seconds([&] { ch_post(parameters, rendered, ignore_body, nullptr); });
  rendered.clear();
  rendered.shrink_to_fit();
  ours = seconds([&] {
    sling.load_from_duckdb(cache, ch_config(), "SELECT * FROM ch_rows", "zyl_bench_target",
                           "full-refresh", std::nullopt, std::nullopt);
  });
  print("cache -> clickhouse (full-refresh)", rows, ours, floor, 0.7);
  for (const char* t : {"zyl_bench_src", "zyl_bench_floor", "zyl_bench_target"}) {
    ch_exec("DROP TABLE IF EXISTS " + db + t);
  }
}

int rss_child(long rows) {
  fs::path dir = fs::temp_directory_path() / ("zyl_bench_rss_" + std::to_string(getpid()));
  fs::create_directories(dir);
  zyl::extraction::sling_client::NativeSlingClient sling(dir);
  sling.extract_to_duckdb(pg_config(), (dir / "cache.duckdb").string(),
                          "SELECT * FROM zyl_bench_src LIMIT " + std::to_string(rows), "t");
  fs::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 2000000;
  bool clickhouse_only = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--clickhouse")) clickhouse_only = true;
    if (!std::strcmp(argv[i], "--rss-child") && i + 1 < argc) return rss_child(std::atol(argv[i + 1]));
    if (!std::strcmp(argv[i], "--rows") && i + 1 < argc) rows = std::atol(argv[++i]);
  }
  fs::path dir = fs::temp_directory_path() / ("zyl_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string cache = (dir / "cache.duckdb").string();
  zyl::extraction::sling_client::NativeSlingClient sling(dir);
  std::printf("rows: %ld x 8 columns (bigint, int, double, numeric(12,2), text, timestamp, "
              "boolean, date)\n", rows);
  if (clickhouse_only) {
    bench_clickhouse(sling, cache, rows);
    fs::remove_all(dir);
    return 0;
  }

  // 1. PostgreSQL -> cache.
  PGconn* pg = pg_raw();
  make_pg_table(pg, std::max(rows, 20000000L));
  pg_exec(pg, "CREATE OR REPLACE VIEW zyl_bench_view AS SELECT * FROM zyl_bench_src LIMIT " +
                  std::to_string(rows));
  // The 2M-row runs read the first `rows` rows through a view; COPY sees the same view.
  pg_exec(pg, "ALTER VIEW zyl_bench_view RENAME TO zyl_bench_view_tmp");
  pg_exec(pg, "ALTER TABLE zyl_bench_src RENAME TO zyl_bench_full");
  pg_exec(pg, "ALTER VIEW zyl_bench_view_tmp RENAME TO zyl_bench_src");
  pg_copy_drain(rows);  // warm the cache
  double floor = pg_copy_drain(rows);
  double ours = seconds([&] { sling.extract_to_duckdb(pg_config(), cache, kQuery, "pg_rows"); });
  print("postgres -> cache", rows, ours, floor, 0.8);

  // 2. cache -> PostgreSQL, truncate mode, against COPY FROM STDIN of pre-rendered rows.
  pg_exec(pg, "DROP TABLE IF EXISTS zyl_bench_target");
  pg_exec(pg, "CREATE TABLE zyl_bench_target (LIKE zyl_bench_full)");
  std::string rendered;
  {
    PGresult* res = PQexec(pg, "COPY (SELECT * FROM zyl_bench_src) TO STDOUT");
    PQclear(res);
    char* data;
    int n;
    while ((n = PQgetCopyData(pg, &data, 0)) > 0) {
      rendered.append(data, n);
      PQfreemem(data);
    }
    PQclear(PQgetResult(pg));
  }
  floor = seconds([&] {
    pg_exec(pg, "TRUNCATE zyl_bench_target");
    PGresult* res = PQexec(pg, "COPY zyl_bench_target FROM STDIN");
    PQclear(res);
    for (size_t at = 0; at < rendered.size(); at += 1 << 20) {
      size_t n = std::min<size_t>(1 << 20, rendered.size() - at);
      if (PQputCopyData(pg, rendered.data() + at, static_cast<int>(n)) != 1) die("COPY send");
    }
    PQputCopyEnd(pg, nullptr);
    PGresult* done = PQgetResult(pg);
    if (PQresultStatus(done) != PGRES_COMMAND_OK) die(PQresultErrorMessage(done));
    PQclear(done);
    PQclear(PQgetResult(pg));
  });
  rendered.clear();
  rendered.shrink_to_fit();
  ours = seconds([&] {
    sling.load_from_duckdb(cache, pg_config(), "SELECT * FROM pg_rows", "zyl_bench_target",
                           "truncate", std::nullopt, std::nullopt);
  });
  print("cache -> postgres (truncate)", rows, ours, floor, 0.7);

  // 2b. The same two copies through psqlODBC, against the native driver's times just measured.
  {
    Value odbc = pg_config();
    odbc["odbc_driver"] = "PostgreSQL Unicode";
    double native_load = ours;
    double native_read = seconds([&] {
      sling.extract_to_duckdb(pg_config(), cache, kQuery, "pg_rows");
    });
    double through_odbc = seconds([&] { sling.extract_to_duckdb(odbc, cache, kQuery, "pg_rows"); });
    print("postgres -> cache via ODBC/native", rows, through_odbc, native_read, 0.5);
    through_odbc = seconds([&] {
      sling.load_from_duckdb(cache, odbc, "SELECT * FROM pg_rows", "zyl_bench_target", "truncate",
                             std::nullopt, std::nullopt);
    });
    print("cache -> postgres via ODBC/native", rows, through_odbc, native_load, 0.5);
  }

  // 3. MariaDB -> cache against a mysql_use_result drain.
  MYSQL* my = my_raw();
  my_exec(my, "DROP TABLE IF EXISTS zyl_bench_src");
  my_exec(my,
          "CREATE TABLE zyl_bench_src (id bigint, qty int, price double, amount decimal(12,2),"
          " name text, ts datetime, flag boolean, day date) ENGINE=InnoDB");
  my_exec(my, "INSERT INTO zyl_bench_src SELECT seq, seq * 7 % 100000, seq * 1.5,"
              " seq % 100000 / 100.0, CONCAT('customer name ', seq),"
              " '2024-01-01' + INTERVAL seq SECOND, seq % 2 = 0, '2020-01-01' + INTERVAL"
              " (seq % 3000) DAY FROM seq_1_to_" + std::to_string(rows));
  auto my_drain = [&] {
    long seen = 0;
    double t = seconds([&] {
      if (mysql_query(my, kQuery) != 0) die(mysql_error(my));
      MYSQL_RES* res = mysql_use_result(my);
      while (mysql_fetch_row(res)) ++seen;
      mysql_free_result(res);
    });
    if (seen != rows) die("mysql drain saw " + std::to_string(seen) + " rows");
    return t;
  };
  my_drain();
  floor = my_drain();
  ours = seconds([&] { sling.extract_to_duckdb(my_config(), cache, kQuery, "my_rows"); });
  print("mariadb -> cache", rows, ours, floor, 0.7);
  mysql_close(my);

  // 4a. SQLite -> cache against a bare sqlite3_step loop.
  std::string sqlite_path = (dir / "src.sqlite").string();
  {
    sqlite3* db;
    sqlite3_open(sqlite_path.c_str(), &db);
    std::string sql =
        "CREATE TABLE zyl_bench_src (id INTEGER, qty INTEGER, price REAL, amount NUMERIC,"
        " name TEXT, ts TEXT, flag INTEGER, day TEXT);"
        "WITH RECURSIVE g(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM g WHERE x < " +
        std::to_string(rows) +
        ") INSERT INTO zyl_bench_src SELECT x, x * 7 % 100000, x * 1.5, (x % 100000) / 100.0,"
        " 'customer name ' || x, datetime(1704067200 + x, 'unixepoch'), x % 2,"
        " date(1577836800 + (x % 3000) * 86400, 'unixepoch') FROM g;";
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      die(sqlite3_errmsg(db));
    }
    auto step_loop = [&] {
      long seen = 0;
      double t = seconds([&] {
        sqlite3_stmt* stmt;
        sqlite3_prepare_v2(db, kQuery, -1, &stmt, nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
          for (int c = 0; c < 8; ++c) {
            if (sqlite3_column_type(stmt, c) == SQLITE_TEXT) sqlite3_column_text(stmt, c);
          }
          ++seen;
        }
        sqlite3_finalize(stmt);
      });
      if (seen != rows) die("sqlite loop saw " + std::to_string(seen) + " rows");
      return t;
    };
    step_loop();
    floor = step_loop();
    sqlite3_close(db);
  }
  Value sqlite_config = {{"type", "sqlite"}, {"path", sqlite_path}};
  ours = seconds([&] { sling.extract_to_duckdb(sqlite_config, cache, kQuery, "lite_rows"); });
  print("sqlite -> cache", rows, ours, floor, 0.5);

  // 4b. DuckDB -> cache against ATTACH + CREATE TABLE AS in one process.
  std::string duck_path = (dir / "src.duckdb").string();
  std::string floor_cache = (dir / "floor_cache.duckdb").string();
  {
    duckdb_database db;
    duckdb_connection con;
    duckdb_open(duck_path.c_str(), &db);
    duckdb_connect(db, &con);
    std::string sql =
        "CREATE TABLE zyl_bench_src AS SELECT range AS id, (range * 7 % 100000)::INTEGER AS qty,"
        " range * 1.5 AS price, (range % 100000 / 100.0)::DECIMAL(12,2) AS amount,"
        " 'customer name ' || range AS name, TIMESTAMP '2024-01-01' + to_seconds(range) AS ts,"
        " range % 2 = 0 AS flag, DATE '2020-01-01' + (range % 3000)::INTEGER AS day"
        " FROM range(" + std::to_string(rows) + ")";
    if (duckdb_query(con, sql.c_str(), nullptr) != DuckDBSuccess) die("duckdb source");
    duckdb_disconnect(&con);
    duckdb_close(&db);
    duckdb_open(floor_cache.c_str(), &db);
    duckdb_connect(db, &con);
    std::string attach = "ATTACH '" + duck_path + "' AS src (READ_ONLY)";
    duckdb_query(con, attach.c_str(), nullptr);
    floor = seconds([&] {
      if (duckdb_query(con, "CREATE OR REPLACE TABLE t AS SELECT * FROM src.zyl_bench_src",
                       nullptr) != DuckDBSuccess) {
        die("duckdb CTAS");
      }
    });
    duckdb_disconnect(&con);
    duckdb_close(&db);
  }
  Value duck_config = {{"type", "duckdb"}, {"path", duck_path}};
  ours = seconds([&] { sling.extract_to_duckdb(duck_config, cache, kQuery, "duck_rows"); });
  print("duckdb -> cache", rows, ours, floor, 0.7);

  // 4c. ClickHouse, when its test server is there.
  const char* ch_host = std::getenv("ZYL_TEST_CLICKHOUSE_HOST");
  if (ch_host && *ch_host) bench_clickhouse(sling, cache, rows);

  // 5. Peak resident memory of one PostgreSQL extraction, in a fresh process each.
  pg_exec(pg, "DROP VIEW zyl_bench_src");
  pg_exec(pg, "ALTER TABLE zyl_bench_full RENAME TO zyl_bench_src");
  std::string self = fs::read_symlink("/proc/self/exe").string();
  for (long n : {5000000L, 20000000L}) {
    long kib = peak_rss_kib_of_child(self, n);
    std::printf("peak RSS extracting %ldM rows: %.1f MiB (target < 200 MiB) %s\n", n / 1000000,
                kib / 1024.0, kib / 1024.0 < 200 ? "ok" : "MISSED");
  }
  pg_exec(pg, "DROP TABLE IF EXISTS zyl_bench_src, zyl_bench_target");
  PQfinish(pg);
  fs::remove_all(dir);
  return 0;
}
