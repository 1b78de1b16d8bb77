// PostgreSQL and MariaDB as sources and targets of the Sling client: rows go through the DuckDB
// cache file in both directions and arrive with their values and types.
#include <filesystem>
#include <optional>
#include <vector>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "drivers/driver.h"
#include "tests/integration/server_env.h"
#include "zyl/extraction/sling_client.h"

namespace zyl {
namespace {

using drivers::Cell;
using drivers::RowBatch;

class CrossEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZYL_REQUIRE_SERVER(pg_config_, "ZYL_TEST_PG", "postgres");
    ZYL_REQUIRE_SERVER(my_config_, "ZYL_TEST_MYSQL", "mariadb");
    dir_ = std::filesystem::temp_directory_path() /
           ("zyl_cross_engine_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    cache_ = (dir_ / "cache.duckdb").string();
    pg_ = drivers::open_connection(pg_config_);
    my_ = drivers::open_connection(my_config_);
    integration::read_all(*pg_, "SELECT pg_advisory_lock(4712)");
    pg_->execute("DROP SCHEMA IF EXISTS zyl_xe CASCADE; CREATE SCHEMA zyl_xe");
    my_->execute("DROP DATABASE IF EXISTS zyl_xe; CREATE DATABASE zyl_xe");
    // The MariaDB side works in zyl_xe as its default database, as a profile's output would.
    my_config_["database"] = "zyl_xe";
  }
  void TearDown() override {
    if (pg_) pg_->execute("DROP SCHEMA IF EXISTS zyl_xe CASCADE");
    if (my_) my_->execute("DROP DATABASE IF EXISTS zyl_xe");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  Value pg_config_, my_config_;
  std::filesystem::path dir_;
  std::string cache_;
  std::unique_ptr<drivers::Connection> pg_, my_;
};

TEST_F(CrossEngineTest, PostgresToMariadbAndBackThroughTheCache) {
  pg_->execute(
      "CREATE TABLE zyl_xe.orders (id bigint, amount numeric(12,2), note text,"
      " placed timestamptz, tags text[], paid boolean);"
      "INSERT INTO zyl_xe.orders SELECT g, g * 1.25, CASE WHEN g % 7 = 0 THEN NULL"
      " ELSE 'n\u00f8te ' || g END, '2024-03-01 00:00:00+00'::timestamptz + g * interval '1 min',"
      " ARRAY['a', 'b' || g], g % 2 = 0 FROM generate_series(1, 5000) g");
  extraction::sling_client::NativeSlingClient sling(dir_);
  sling.extract_to_duckdb(pg_config_, cache_, "SELECT * FROM zyl_xe.orders", "src_orders");
  sling.load_from_duckdb(cache_, my_config_, "SELECT * FROM src_orders", "zyl_xe.orders",
                         "full-refresh", std::nullopt, std::nullopt);

  RowBatch on_pg = integration::read_all(
      *pg_, "SELECT id, amount, note, placed, paid FROM zyl_xe.orders ORDER BY id");
  std::vector<drivers::Column> columns;
  RowBatch on_my = integration::read_all(
      *my_, "SELECT id, amount, note, placed, paid FROM zyl_xe.orders ORDER BY id", &columns);
  ASSERT_EQ(on_my.rows(), 5000u);
  EXPECT_EQ(columns[1].type.id, drivers::TypeId::Decimal);
  EXPECT_EQ(columns[1].type.scale, 2);
  for (size_t r = 0; r < on_pg.rows(); ++r) {
    for (size_t c = 0; c < 4; ++c) ASSERT_EQ(on_my.at(r, c), on_pg.at(r, c)) << r << "," << c;
    // MariaDB has no boolean type: TINYINT 0/1.
    ASSERT_EQ(on_my.at(r, 4), Cell{std::int64_t{std::get<bool>(on_pg.at(r, 4)) ? 1 : 0}});
  }
  RowBatch tags = integration::read_all(*my_, "SELECT tags FROM zyl_xe.orders WHERE id = 3");
  EXPECT_EQ(tags.at(0, 0), Cell{std::string("[\"a\",\"b3\"]")});  // MariaDB keeps the JSON

  // And back: MariaDB as the source, PostgreSQL as the target in truncate mode.
  pg_->execute("CREATE TABLE zyl_xe.back (id bigint, amount numeric(12,2), note text)");
  pg_->execute("INSERT INTO zyl_xe.back VALUES (-1, 0, 'stale')");
  sling.extract_to_duckdb(my_config_, cache_,
                          "SELECT id, amount, note FROM zyl_xe.orders WHERE id <= 100",
                          "src_back");
  sling.load_from_duckdb(cache_, pg_config_, "SELECT * FROM src_back", "zyl_xe.back", "truncate",
                         std::nullopt, std::nullopt);
  RowBatch back = integration::read_all(
      *pg_, "SELECT count(*), sum(amount)::text, count(note) FROM zyl_xe.back");
  EXPECT_EQ(back.at(0, 0), Cell{std::int64_t{100}});
  EXPECT_EQ(back.at(0, 1), Cell{std::string("6312.50")});
  EXPECT_EQ(back.at(0, 2), Cell{std::int64_t{86}});

  // Incremental merge into MariaDB on a key.
  pg_->execute("UPDATE zyl_xe.orders SET note = 'changed' WHERE id = 1");
  sling.extract_to_duckdb(pg_config_, cache_,
                          "SELECT id, note FROM zyl_xe.orders WHERE id IN (1, 5001)", "src_delta");
  pg_->execute("INSERT INTO zyl_xe.orders (id, note) VALUES (5001, 'new')");
  sling.extract_to_duckdb(pg_config_, cache_,
                          "SELECT id, note FROM zyl_xe.orders WHERE id IN (1, 5001)", "src_delta");
  sling.load_from_duckdb(cache_, my_config_, "SELECT * FROM src_delta", "zyl_xe.orders",
                         "incremental", std::vector<std::string>{"id"}, std::nullopt);
  RowBatch merged = integration::read_all(
      *my_, "SELECT id, note FROM zyl_xe.orders WHERE id IN (1, 5001) ORDER BY id");
  ASSERT_EQ(merged.rows(), 2u);
  EXPECT_EQ(merged.at(0, 1), Cell{std::string("changed")});
  EXPECT_EQ(merged.at(1, 1), Cell{std::string("new")});
  EXPECT_EQ(integration::read_all(*my_, "SELECT COUNT(*) FROM zyl_xe.orders").at(0, 0),
            Cell{std::int64_t{5001}});
}

TEST_F(CrossEngineTest, FullRefreshIntoAnotherMariadbDatabaseStaysThere) {
  // The connection's default database is not the target's: the table must land in zyl_xe.
  my_->execute("DROP DATABASE IF EXISTS zyl_xe_home; CREATE DATABASE zyl_xe_home");
  Value elsewhere = my_config_;
  elsewhere["database"] = "zyl_xe_home";
  pg_->execute("CREATE TABLE zyl_xe.few AS SELECT g AS id FROM generate_series(1, 3) g");
  extraction::sling_client::NativeSlingClient sling(dir_);
  sling.extract_to_duckdb(pg_config_, cache_, "SELECT * FROM zyl_xe.few", "src_few");
  sling.load_from_duckdb(cache_, elsewhere, "SELECT * FROM src_few", "zyl_xe.few", "full-refresh",
                         std::nullopt, std::nullopt);
  RowBatch home = integration::read_all(
      *my_, "SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = 'zyl_xe_home'");
  my_->execute("DROP DATABASE zyl_xe_home");
  EXPECT_EQ(integration::read_all(*my_, "SELECT COUNT(*) FROM zyl_xe.few").at(0, 0),
            Cell{std::int64_t{3}});
  EXPECT_EQ(home.at(0, 0), Cell{std::int64_t{0}});
}

// Truncate loads into PostgreSQL: rows go straight into a table of matching types, and through
// an assignment cast into one whose column types differ (numeric into integer).
TEST_F(CrossEngineTest, TruncateLoadsIntoPostgresWithSameAndOtherColumnTypes) {
  extraction::sling_client::NativeSlingClient sling(dir_);
  auto cache = drivers::open_connection(Value{{"type", "duckdb"}, {"path", cache_}});
  cache->execute(
      "CREATE TABLE r AS SELECT * FROM (VALUES (1, 2.6, 'a'), (2, 7.2, NULL)) t(id, amount, v)");
  cache.reset();
  pg_->execute(
      "CREATE TABLE zyl_xe.same (id integer, amount numeric(2,1), v text, kept text);"
      "INSERT INTO zyl_xe.same VALUES (9, 9.9, 'old', 'x');"
      "CREATE TABLE zyl_xe.other (id integer, amount integer, v text);"
      "INSERT INTO zyl_xe.other VALUES (9, 9, 'old')");
  for (const char* table : {"zyl_xe.same", "zyl_xe.other"}) {
    sling.load_from_duckdb(cache_, pg_config_, "SELECT * FROM r", table, "truncate", std::nullopt,
                           std::nullopt);
  }
  RowBatch same =
      integration::read_all(*pg_, "SELECT id, amount::text, v, kept FROM zyl_xe.same ORDER BY id");
  ASSERT_EQ(same.rows(), 2u);
  EXPECT_EQ(same.at(0, 1), Cell{std::string("2.6")});
  EXPECT_EQ(same.at(1, 2), Cell{});
  EXPECT_EQ(same.at(0, 3), Cell{});
  RowBatch other = integration::read_all(*pg_, "SELECT id, amount FROM zyl_xe.other ORDER BY id");
  ASSERT_EQ(other.rows(), 2u);
  EXPECT_EQ(other.at(0, 1), Cell{std::int64_t{3}});
  EXPECT_EQ(other.at(1, 1), Cell{std::int64_t{7}});
}

// Each load checks the rows the engine says it took against the result: a PostgreSQL trigger
// that silently drops a row makes the load fail and roll back. MariaDB runs strict, so a value
// its column cannot hold fails the load instead of arriving clipped.
TEST_F(CrossEngineTest, EngineCountsAndStrictModeGuardEveryLoad) {
  extraction::sling_client::NativeSlingClient sling(dir_);
  auto cache = drivers::open_connection(Value{{"type", "duckdb"}, {"path", cache_}});
  cache->execute(
      "CREATE TABLE r AS SELECT * FROM (VALUES (1, 'a'), (2, 'bbbbbb'), (3, 'c')) t(id, v)");
  cache.reset();
  pg_->execute(
      "CREATE TABLE zyl_xe.counted (id integer, v text);"
      "INSERT INTO zyl_xe.counted VALUES (1, 'old'), (9, 'old');"
      "CREATE FUNCTION zyl_xe.drop_twos() RETURNS trigger LANGUAGE plpgsql AS "
      "$$ BEGIN IF NEW.id = 2 THEN RETURN NULL; END IF; RETURN NEW; END $$;"
      "CREATE TRIGGER drop_twos BEFORE INSERT ON zyl_xe.counted FOR EACH ROW "
      "EXECUTE FUNCTION zyl_xe.drop_twos()");
  for (const char* mode : {"truncate", "incremental"}) {
    SCOPED_TRACE(mode);
    std::optional<std::vector<std::string>> key;
    if (std::string(mode) == "incremental") key = std::vector<std::string>{"id"};
    try {
      sling.load_from_duckdb(cache_, pg_config_, "SELECT * FROM r", "zyl_xe.counted", mode, key,
                             std::nullopt);
      ADD_FAILURE() << "the load should have failed";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("row count mismatch: the result has 3 rows"),
                std::string::npos)
          << e.what();
    }
    RowBatch kept = integration::read_all(*pg_, "SELECT id, v FROM zyl_xe.counted ORDER BY id");
    ASSERT_EQ(kept.rows(), 2u);
    EXPECT_EQ(kept.at(0, 1), Cell{std::string("old")});
    EXPECT_EQ(kept.at(1, 0), Cell{std::int64_t{9}});
  }

  my_->execute(
      "CREATE TABLE zyl_xe.narrow (id integer, v varchar(3));"
      "INSERT INTO zyl_xe.narrow VALUES (7, 'old')");
  for (const char* mode : {"truncate", "incremental"}) {
    SCOPED_TRACE(mode);
    try {
      sling.load_from_duckdb(cache_, my_config_, "SELECT * FROM r", "zyl_xe.narrow", mode,
                             std::nullopt, std::nullopt);
      ADD_FAILURE() << "the load should have failed";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("Data too long"), std::string::npos) << e.what();
    }
    RowBatch kept = integration::read_all(*my_, "SELECT id, v FROM zyl_xe.narrow");
    ASSERT_EQ(kept.rows(), 1u);
    EXPECT_EQ(kept.at(0, 1), Cell{std::string("old")});
  }
}

// Rows whose types match the PostgreSQL table's go straight in through the binary COPY, where
// the server applies the columns' sizes as it does to text: too long a value fails the load
// and the table keeps its rows; the next load delivers exactly its own.
TEST_F(CrossEngineTest, BinaryCopyIntoPostgresKeepsTheColumnsRules) {
  extraction::sling_client::NativeSlingClient sling(dir_);
  auto cache = drivers::open_connection(Value{{"type", "duckdb"}, {"path", cache_}});
  cache->execute(
      "CREATE TABLE fits AS SELECT * FROM (VALUES (1::INTEGER, 'ab', -0.5::DECIMAL(4,2),"
      " TIMESTAMP '1969-12-31 23:59:59.5', DATE '1999-12-31', '{\"k\": [1, 2]}'::JSON,"
      " 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'::UUID)) t(id, v, amount, stamp, day, doc, ref);"
      "CREATE TABLE too_long AS SELECT * FROM (VALUES (1::INTEGER, 'a'), (2, 'bbbb')) t(id, v)");
  cache.reset();
  pg_->execute(
      "CREATE TABLE zyl_xe.narrow (id integer, v varchar(3), amount numeric(3,1), stamp timestamp,"
      " day date, doc jsonb, ref uuid);"
      "INSERT INTO zyl_xe.narrow (id, v) VALUES (7, 'old')");
  for (const char* mode : {"truncate", "incremental"}) {
    SCOPED_TRACE(mode);
    try {
      sling.load_from_duckdb(cache_, pg_config_, "SELECT * FROM too_long", "zyl_xe.narrow", mode,
                             std::nullopt, std::nullopt);
      ADD_FAILURE() << "the load should have failed";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("value too long for type character varying(3)"),
                std::string::npos)
          << e.what();
    }
    RowBatch kept = integration::read_all(*pg_, "SELECT id, v FROM zyl_xe.narrow");
    ASSERT_EQ(kept.rows(), 1u);
    EXPECT_EQ(kept.at(0, 1), Cell{std::string("old")});
  }
  // The next load whose values fit delivers exactly its rows.
  sling.load_from_duckdb(cache_, pg_config_, "SELECT id, left(v, 3) AS v FROM too_long",
                         "zyl_xe.narrow", "truncate", std::nullopt, std::nullopt);
  RowBatch fixed = integration::read_all(*pg_, "SELECT id, v FROM zyl_xe.narrow ORDER BY id");
  ASSERT_EQ(fixed.rows(), 2u);
  EXPECT_EQ(fixed.at(0, 1), Cell{std::string("a")});
  EXPECT_EQ(fixed.at(1, 1), Cell{std::string("bbb")});
  sling.load_from_duckdb(cache_, pg_config_, "SELECT * FROM fits", "zyl_xe.narrow", "truncate",
                         std::nullopt, std::nullopt);
  RowBatch loaded = integration::read_all(
      *pg_, "SELECT id, v, amount::text, stamp::text, day::text, doc::text, ref::text "
            "FROM zyl_xe.narrow");
  ASSERT_EQ(loaded.rows(), 1u);
  EXPECT_EQ(loaded.at(0, 1), Cell{std::string("ab")});
  EXPECT_EQ(loaded.at(0, 2), Cell{std::string("-0.5")});
  EXPECT_EQ(loaded.at(0, 3), Cell{std::string("1969-12-31 23:59:59.5")});
  EXPECT_EQ(loaded.at(0, 4), Cell{std::string("1999-12-31")});
  EXPECT_EQ(loaded.at(0, 5), Cell{std::string("{\"k\": [1, 2]}")});
  EXPECT_EQ(loaded.at(0, 6), Cell{std::string("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")});
}

}  // namespace
}  // namespace zyl
