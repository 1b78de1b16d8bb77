// Extraction pushdown through `brek run`: models that read 2 columns of 1 % of the rows, and the
// top 10 rows, of a 2 000 000 rows x 8 columns PostgreSQL table, each timed against a model that
// copies the whole table, in the same run. Prints each time, its ratio to the full copy and the
// target (at least 8x faster), and checks that the models' results equal what the full copy
// gives.
//
//   pushdown_bench [--rows N] [--repeat K]     (needs ZYL_TEST_PG_*)
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/value.h"
#include "drivers/driver.h"

namespace {

using zyl::Value;
namespace fs = std::filesystem;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "pushdown_bench: %s\n", message.c_str());
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

Value pg_config() {
  return {{"type", "postgres"},
          {"host", env("ZYL_TEST_PG_HOST")},
          {"port", env("ZYL_TEST_PG_PORT")},
          {"user", env("ZYL_TEST_PG_USER")},
          {"password", env("ZYL_TEST_PG_PASSWORD")},
          {"dbname", env("ZYL_TEST_PG_DB")}};
}

std::string single_cell(zyl::drivers::Connection& conn, const std::string& sql) {
  auto result = conn.query(sql);
  zyl::drivers::RowBatch batch;
  std::string cell = "NULL";
  while (result->next(batch)) {
    if (batch.rows() > 0) {
      cell = zyl::drivers::cell_to_value(batch.at(0, 0), result->columns()[0].type).dump();
    }
  }
  return cell;
}

// The source table, made once and kept between runs of the benchmark.
void ensure_source(long long rows) {
  auto pg = zyl::drivers::open_connection(pg_config());
  pg->execute("CREATE SCHEMA IF NOT EXISTS zyl_bench_pd");
  std::string have = "0";
  if (pg->table_exists({"zyl_bench_pd", "big"})) {
    have = single_cell(*pg, "SELECT count(*) FROM zyl_bench_pd.big");
  }
  if (have == std::to_string(rows)) return;
  std::printf("creating zyl_bench_pd.big with %lld rows...\n", rows);
  pg->execute("DROP TABLE IF EXISTS zyl_bench_pd.big");
  pg->execute(
      "CREATE TABLE zyl_bench_pd.big AS SELECT g::bigint AS id, (g % 1000)::int AS a, "
      "g * 0.5::float8 AS b, (g % 100000) / 100.0::numeric(12,2) AS c, 'row ' || g AS d, "
      "timestamp '2024-01-01' + g * interval '1 second' AS e, g % 2 = 0 AS f, "
      "date '2024-01-01' + (g % 365) AS g FROM generate_series(1, " +
      std::to_string(rows) + ") g");
  pg->execute("ALTER TABLE zyl_bench_pd.big ADD PRIMARY KEY (id)");
  pg->execute("ANALYZE zyl_bench_pd.big");
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

void write_project(const fs::path& dir) {
  Value pg = pg_config();
  write(dir / "brek_project.yml", "name: bench\nprofile: bench\nmodel-paths: [\"models\"]\n");
  write(dir / "profiles.yml",
        "bench:\n  target: dev\n  outputs:\n    dev:\n      type: duckdb\n      path: "
        "warehouse.duckdb\n      schema: main\n    pg:\n      type: postgres\n      host: " +
            pg["host"].get<std::string>() + "\n      port: " + pg["port"].get<std::string>() +
            "\n      user: " + pg["user"].get<std::string>() + "\n      password: \"" +
            pg["password"].get<std::string>() + "\"\n      dbname: " +
            pg["dbname"].get<std::string>() + "\n      schema: zyl_bench_pd\n");
  write(dir / "models" / "sources.yml",
        "sources:\n  - name: pg\n    connection: pg\n    schema: zyl_bench_pd\n    tables:\n"
        "      - name: big\n");
  write(dir / "models" / "full_copy.sql", "select * from {{ source('pg', 'big') }}\n");
  write(dir / "models" / "two_columns.sql",
        "select id, d from {{ source('pg', 'big') }} where id <= 20000\n");
  write(dir / "models" / "top_ten.sql",
        "select id, c, d from {{ source('pg', 'big') }} order by c desc, id limit 10\n");
}

double brek_run(const fs::path& dir, const std::string& model) {
  std::string command = std::string("'") + BREK_BINARY + "' run --project-dir '" + dir.string() +
                        "' --select " + model + " > '" + (dir / "out.txt").string() + "' 2>&1";
  auto start = std::chrono::steady_clock::now();
  int status = std::system(command.c_str());
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    die("brek run --select " + model + " failed; see " + (dir / "out.txt").string());
  }
  return took;
}

// The model's result against the same query on the full copy, as one checksum each.
void check_same(const fs::path& dir, const std::string& model, const std::string& on_full) {
  auto dw = zyl::drivers::open_connection(
      Value{{"type", "duckdb"}, {"path", (dir / "warehouse.duckdb").string()}});
  std::string digest = "SELECT count(*) || ':' || coalesce(sum(hash(t)), 0) FROM (";
  std::string ours = single_cell(*dw, digest + "SELECT * FROM main." + model + ") t");
  std::string theirs = single_cell(*dw, digest + on_full + ") t");
  dw->close();
  if (ours != theirs) die(model + " differs from the full copy: " + ours + " vs " + theirs);
}

}  // namespace

int main(int argc, char** argv) {
  long long rows = 2'000'000;
  int repeat = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rows") == 0) rows = std::atoll(argv[i + 1]);
    if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::atoi(argv[i + 1]);
  }
  ensure_source(rows);
  fs::path dir = fs::temp_directory_path() / ("zyl_pushdown_bench_" + std::to_string(getpid()));
  fs::remove_all(dir);
  write_project(dir);

  // Best of `repeat` runs each, taken in turns so that all see the same machine.
  std::vector<double> full, two, top;
  for (int i = 0; i < repeat; ++i) {
    full.push_back(brek_run(dir, "full_copy"));
    two.push_back(brek_run(dir, "two_columns"));
    top.push_back(brek_run(dir, "top_ten"));
  }
  check_same(dir, "two_columns", "SELECT id, d FROM main.full_copy WHERE id <= 20000");
  check_same(dir, "top_ten", "SELECT id, c, d FROM main.full_copy ORDER BY c DESC, id LIMIT 10");
  double f = *std::min_element(full.begin(), full.end());
  double t = *std::min_element(two.begin(), two.end());
  double n = *std::min_element(top.begin(), top.end());
  std::printf("%lld rows x 8 columns on PostgreSQL, best of %d `brek run` each\n", rows, repeat);
  std::printf("%-34s %8.2f s\n", "full copy (select *)", f);
  std::printf("%-34s %8.2f s  %6.1fx faster  (target >= 8x)\n", "2 columns where id <= 20000", t,
              f / t);
  std::printf("%-34s %8.2f s  %6.1fx faster  (target >= 8x)\n", "top 10 (order by c desc limit 10)",
              n, f / n);
  std::printf("results equal to the full copy's: yes\n");
  fs::remove_all(dir);
  return 0;
}
