// How long a running statement takes to stop once it is interrupted, on each engine: the part
// of Ctrl-C's "exit within 2 s" that the database decides.
//
// For each engine a statement that would run for hours is started on one thread; another calls
// zyl::drivers::interrupt_all() every 20 ms until the statement fails. The time from the
// interrupt that stopped it to the failure is printed next to a floor, one `SELECT 1` round trip
// on the same connection, and as a share of the 2 s budget. PostgreSQL and MariaDB take part
// when ZYL_TEST_PG_* / ZYL_TEST_MYSQL_* are set (scripts/test_servers.sh env).
//
//   cancel_bench [runs]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "drivers/driver.h"

namespace {

using Clock = std::chrono::steady_clock;
using zyl::Value;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void drain(zyl::drivers::Connection& conn, const std::string& sql) {
  auto result = conn.query(sql);
  zyl::drivers::RowBatch batch;
  while (result->next(batch)) {
  }
}

// Milliseconds from the interrupt that stopped `sql` to its failure.
double cancel_ms(zyl::drivers::Connection& conn, const std::string& sql) {
  std::atomic<bool> done{false};
  std::atomic<long long> ended_ns{0};
  std::thread runner([&] {
    try {
      drain(conn, sql);
    } catch (const std::exception&) {
    }
    ended_ns = Clock::now().time_since_epoch().count();
    done = true;
  });
  Clock::time_point last_interrupt = Clock::now();
  while (!done) {
    last_interrupt = Clock::now();
    zyl::drivers::interrupt_all();
    for (int i = 0; i < 20 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  runner.join();
  Clock::time_point ended{Clock::duration(ended_ns.load())};
  return std::chrono::duration<double, std::milli>(ended - last_interrupt).count();
}

struct Engine {
  std::string name;
  Value config;
  std::string long_query;
};

std::vector<Engine> engines() {
  std::vector<Engine> list = {
      {"duckdb",
       {{"type", "duckdb"}, {"path", ":memory:"}},
       "SELECT count(*) FROM range(10000000000000)"},
      {"sqlite",
       {{"type", "sqlite"}, {"path", ":memory:"}},
       "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c"},
  };
  auto env = [](const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
  };
  if (*env("ZYL_TEST_PG_HOST")) {
    list.push_back({"postgres",
                    {{"type", "postgres"},
                     {"host", env("ZYL_TEST_PG_HOST")},
                     {"port", env("ZYL_TEST_PG_PORT")},
                     {"user", env("ZYL_TEST_PG_USER")},
                     {"password", env("ZYL_TEST_PG_PASSWORD")},
                     {"dbname", env("ZYL_TEST_PG_DB")}},
                    "SELECT pg_sleep(3600)"});
  }
  if (*env("ZYL_TEST_MYSQL_HOST")) {
    list.push_back({"mariadb",
                    {{"type", "mariadb"},
                     {"host", env("ZYL_TEST_MYSQL_HOST")},
                     {"port", env("ZYL_TEST_MYSQL_PORT")},
                     {"user", env("ZYL_TEST_MYSQL_USER")},
                     {"password", env("ZYL_TEST_MYSQL_PASSWORD")},
                     {"database", env("ZYL_TEST_MYSQL_DB")}},
                    "SELECT COUNT(*) FROM seq_1_to_100000000000 WHERE MD5(seq) = 'x'"});
  }
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  std::printf("%-9s %14s %14s %8s %14s\n", "engine", "cancel (ms)", "round trip", "ratio",
              "of 2 s budget");
  for (const Engine& engine : engines()) {
    auto conn = zyl::drivers::open_connection(engine.config);
    double worst = 0, trip = 1e300;
    for (int i = 0; i < runs; ++i) {
      Clock::time_point start = Clock::now();
      drain(*conn, "SELECT 1");
      trip = std::min(trip, ms_since(start));
      worst = std::max(worst, cancel_ms(*conn, engine.long_query));
    }
    std::printf("%-9s %14.2f %14.3f %7.1fx %13.2f%%\n", engine.name.c_str(), worst, trip,
                worst / trip, 100.0 * worst / 2000.0);
  }
  return 0;
}
