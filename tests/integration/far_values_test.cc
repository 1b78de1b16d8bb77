// Values a 32-bit build must not bend, through every driver and the Sling client's copy into
// the DuckDB cache and back out: timestamps and dates past 2038-01-19 (and before 1901-12-13,
// the other end of a 32-bit time_t) and integers past 2^31 and 2^32. The embedded engines always
// run; PostgreSQL and MariaDB need the test servers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "drivers/driver.h"
#include "drivers/temporal.h"
#include "tests/integration/server_env.h"
#include "zyl/extraction/sling_client.h"

namespace zyl {
namespace {

namespace fs = std::filesystem;
namespace temporal = drivers::temporal;
using drivers::Cell;
using drivers::RowBatch;

struct Engine {
  const char* name;
  const char* server;  // the server variables' prefix; nullptr for an embedded engine
  const char* schema;  // where the test's tables go
};

// The rows, as SQL every engine reads, and as the cells that must come back.
constexpr const char* kRows =
    "(1, '2040-02-29 12:34:56.789', '2106-02-08', 3000000000),"
    "(2, '2038-01-19 03:14:08', '2038-01-20', 4294967296),"
    "(3, '1901-12-13 20:45:51', '1901-12-13', -3000000000)";
struct Expected {
  const char* timestamp;
  const char* date;
  std::int64_t number;
};
constexpr Expected kExpected[] = {
    {"2040-02-29 12:34:56.789", "2106-02-08", 3000000000LL},
    {"2038-01-19 03:14:08", "2038-01-20", 4294967296LL},
    {"1901-12-13 20:45:51", "1901-12-13", -3000000000LL},
};

class FarValues : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    const Engine& engine = GetParam();
    dir_ = fs::temp_directory_path() /
           ("zyl_far_values_" + std::string(engine.name) + "_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    if (engine.server == nullptr) {
      config_ = {{"type", engine.name}, {"path", (dir_ / "source.db").string()}};
    } else {
      ZYL_REQUIRE_SERVER(config_, engine.server, engine.name);
    }
    conn_ = drivers::open_connection(config_);
    schema_ = engine.schema;
    if (std::string(engine.name) == "postgres") {
      integration::read_all(*conn_, "SELECT pg_advisory_lock(4713)");
      conn_->execute("DROP SCHEMA IF EXISTS zyl_far CASCADE; CREATE SCHEMA zyl_far");
    } else if (std::string(engine.name) == "mariadb") {
      conn_->execute("DROP DATABASE IF EXISTS zyl_far; CREATE DATABASE zyl_far");
    }
  }
  void TearDown() override {
    if (conn_ && std::string(GetParam().name) == "postgres") {
      conn_->execute("DROP SCHEMA IF EXISTS zyl_far CASCADE");
    } else if (conn_ && std::string(GetParam().name) == "mariadb") {
      conn_->execute("DROP DATABASE IF EXISTS zyl_far");
    }
    conn_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string table(const std::string& name) const { return schema_ + "." + name; }

  // The three rows of `relation` on `conn`, checked against kExpected.
  void expect_rows(drivers::Connection& conn, const std::string& relation) {
    RowBatch rows =
        integration::read_all(conn, "SELECT id, ts, d, n FROM " + relation + " ORDER BY id");
    ASSERT_EQ(rows.rows(), 3u) << relation;
    for (size_t r = 0; r < 3; ++r) {
      const Expected& want = kExpected[r];
      EXPECT_EQ(rows.at(r, 1), Cell{*temporal::parse_timestamp(want.timestamp)})
          << relation << " row " << r;
      EXPECT_EQ(rows.at(r, 2), Cell{*temporal::parse_date(want.date)}) << relation << " row " << r;
      EXPECT_EQ(rows.at(r, 3), Cell{want.number}) << relation << " row " << r;
    }
  }

  fs::path dir_;
  Value config_;
  std::string schema_;
  std::unique_ptr<drivers::Connection> conn_;
};

TEST_P(FarValues, SurviveTheDriverAndACopyThroughTheCacheAndBack) {
  const bool mariadb = std::string(GetParam().name) == "mariadb";
  const char* timestamp_type = mariadb ? "DATETIME(6)" : "TIMESTAMP";
  conn_->execute("CREATE TABLE " + table("far") + " (id INTEGER, ts " + timestamp_type +
                 ", d DATE, n BIGINT)");
  conn_->execute("INSERT INTO " + table("far") + " VALUES " + kRows);
  expect_rows(*conn_, table("far"));
  conn_->close();
  conn_.reset();

  const std::string cache = (dir_ / "cache.duckdb").string();
  extraction::sling_client::NativeSlingClient sling(dir_);
  sling.extract_to_duckdb(config_, cache, "SELECT * FROM " + table("far"), "src_far");
  sling.load_from_duckdb(cache, config_, "SELECT * FROM src_far", table("far_back"), "full-refresh",
                         std::nullopt, std::nullopt);

  auto in_cache = drivers::open_connection(Value{{"type", "duckdb"}, {"path", cache}});
  expect_rows(*in_cache, "src_far");
  in_cache->close();
  conn_ = drivers::open_connection(config_);
  expect_rows(*conn_, table("far_back"));
}

INSTANTIATE_TEST_SUITE_P(EveryDriver, FarValues,
                         ::testing::Values(Engine{"duckdb", nullptr, "main"},
                                           Engine{"sqlite", nullptr, "main"},
                                           Engine{"postgres", "ZYL_TEST_PG", "zyl_far"},
                                           Engine{"mariadb", "ZYL_TEST_MYSQL", "zyl_far"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zyl
