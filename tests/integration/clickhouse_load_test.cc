// ClickHouse as a source and a target of the Sling client: every load mode through the DuckDB
// cache, the tables it makes (MergeTree sorted by the merge key), and what a failed load
// leaves (the old rows, no staging table).
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "drivers/driver.h"
#include "tests/integration/server_env.h"
#include "zyl/extraction/sling_client.h"

namespace zyl {
namespace {

using ::testing::HasSubstr;
using drivers::Cell;
using drivers::RowBatch;
using Keys = std::optional<std::vector<std::string>>;

class ClickHouseLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZYL_REQUIRE_SERVER(config_, "ZYL_TEST_CLICKHOUSE", "clickhouse");
    db_ = "zyl_load_" + std::to_string(::getpid());
    dir_ = std::filesystem::temp_directory_path() / db_;
    std::filesystem::create_directories(dir_);
    cache_ = (dir_ / "cache.duckdb").string();
    ch_ = drivers::open_connection(config_);
    ch_->execute("DROP DATABASE IF EXISTS " + db_ + "; CREATE DATABASE " + db_);
    config_["database"] = db_;
  }
  void TearDown() override {
    if (ch_) ch_->execute("DROP DATABASE IF EXISTS " + db_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Replaces the cache table `r` with the rows of `select` (DuckDB SQL).
  void cache_rows(const std::string& select) {
    auto cache = drivers::open_connection(Value{{"type", "duckdb"}, {"path", cache_}});
    cache->execute("CREATE OR REPLACE TABLE r AS " + select);
  }
  void load(const std::string& table, const std::string& mode, const Keys& keys = std::nullopt) {
    extraction::sling_client::NativeSlingClient sling(dir_);
    sling.load_from_duckdb(cache_, config_, "SELECT * FROM r", db_ + "." + table, mode, keys,
                           std::nullopt);
  }
  RowBatch rows(const std::string& table) {
    return integration::read_all(*ch_,
                                 "SELECT id, v FROM " + db_ + "." + table + " ORDER BY id, v");
  }
  std::string create_statement(const std::string& table) {
    RowBatch shown = integration::read_all(*ch_, "SHOW CREATE TABLE " + db_ + "." + table);
    return std::get<std::string>(shown.at(0, 0));
  }
  std::vector<std::string> tables() { return ch_->table_names(db_); }

  Value config_;
  std::string db_, cache_;
  std::filesystem::path dir_;
  std::unique_ptr<drivers::Connection> ch_;
};

Cell text(const char* s) { return Cell{std::string(s)}; }
Cell num(std::int64_t n) { return Cell{n}; }

TEST_F(ClickHouseLoadTest, EveryModeLandsTheRowsAndLeavesNoStagingTable) {
  cache_rows("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) t(id, v)");
  load("plain", "full-refresh");
  EXPECT_THAT(create_statement("plain"), HasSubstr("ORDER BY tuple()"));
  load("keyed", "incremental", std::vector<std::string>{"id"});
  EXPECT_THAT(create_statement("keyed"), HasSubstr("ORDER BY id"));
  EXPECT_THAT(create_statement("keyed"), HasSubstr("id Int32"));  // a sorting key is never NULL

  cache_rows("SELECT * FROM (VALUES (2, 'B'), (3, NULL)) t(id, v)");
  load("keyed", "incremental", std::vector<std::string>{"id"});
  RowBatch merged = rows("keyed");
  ASSERT_EQ(merged.rows(), 3u);
  EXPECT_EQ(merged.cells, (std::vector<Cell>{num(1), text("a"), num(2), text("B"), num(3), {}}));
  EXPECT_THAT(create_statement("keyed"), HasSubstr("ORDER BY id"));

  load("plain", "incremental");  // no key: appended
  EXPECT_EQ(rows("plain").cells, (std::vector<Cell>{num(1), text("a"), num(2), text("B"),
                                                    num(2), text("b"), num(3), {}}));

  // Truncate keeps the table's own structure (its column `kept`, its engine) and its rows go.
  ch_->execute("CREATE TABLE " + db_ + ".own (id Int64, v Nullable(String), kept "
               "Nullable(String)) ENGINE = MergeTree ORDER BY id");
  ch_->execute("INSERT INTO " + db_ + ".own VALUES (9, 'old', 'x')");
  load("own", "truncate");
  EXPECT_EQ(rows("own").cells, (std::vector<Cell>{num(2), text("B"), num(3), {}}));
  EXPECT_EQ(integration::read_all(*ch_, "SELECT count(kept) FROM " + db_ + ".own").at(0, 0),
            Cell{std::uint64_t{0}});
  EXPECT_THAT(create_statement("own"), HasSubstr("ORDER BY id"));

  // A full refresh replaces the table, new columns and all.
  cache_rows("SELECT 5 AS id, 'e' AS v, 1.5 AS extra");
  load("own", "full-refresh");
  EXPECT_EQ(rows("own").cells, (std::vector<Cell>{num(5), text("e")}));
  EXPECT_EQ(ch_->table_columns({db_, "own"}).size(), 3u);

  // Appending with a column the table lacks adds it; old rows hold NULL there.
  load("keyed", "incremental");
  RowBatch extra = integration::read_all(*ch_, "SELECT id, extra FROM " + db_ +
                                                   ".keyed ORDER BY id, extra");
  ASSERT_EQ(extra.rows(), 4u);
  EXPECT_EQ(extra.at(0, 1), Cell{});
  EXPECT_EQ(extra.at(3, 1), Cell{std::string("1.5")});

  std::vector<std::string> left = tables();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"keyed", "own", "plain"}));
}

// A merge on a composite key into a table of other key types (18.16 compares tuples of equal
// types only), adding the column the table lacks.
TEST_F(ClickHouseLoadTest, MergesOnACompositeKeyOfOtherTypes) {
  ch_->execute("CREATE TABLE " + db_ + ".typed (id Int16, v String) ENGINE = MergeTree "
               "ORDER BY (id, v)");
  ch_->execute("INSERT INTO " + db_ + ".typed VALUES (1, 'a'), (2, 'b'), (2, 'c')");
  cache_rows("SELECT 2::BIGINT AS id, 'b' AS v, 'new' AS w");
  load("typed", "incremental", std::vector<std::string>{"id", "v"});
  RowBatch merged = integration::read_all(
      *ch_, "SELECT id, v, w FROM " + db_ + ".typed ORDER BY id, v");
  ASSERT_EQ(merged.rows(), 3u);
  EXPECT_EQ(merged.cells, (std::vector<Cell>{num(1), text("a"), {}, num(2), text("b"),
                                             text("new"), num(2), text("c"), {}}));
}

TEST_F(ClickHouseLoadTest, AFailedLoadLeavesTheOldRows) {
  cache_rows("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) t(id, v)");
  load("t", "incremental", std::vector<std::string>{"id"});
  // The server's DateTime cannot hold a time before 1970: the row is refused at the end.
  cache_rows("SELECT * FROM (VALUES (3, 'c', TIMESTAMP '2024-01-01'), "
             "(4, 'd', TIMESTAMP '1960-01-01')) t(id, v, ts)");
  for (const char* mode : {"incremental", "truncate", "full-refresh"}) {
    SCOPED_TRACE(mode);
    try {
      load("t", mode, std::vector<std::string>{"id"});
      ADD_FAILURE() << "the load should have failed";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr("1960-01-01"));
    }
    EXPECT_EQ(rows("t").cells, (std::vector<Cell>{num(1), text("a"), num(2), text("b")}));
    EXPECT_EQ(tables(), std::vector<std::string>{"t"});
  }
}

TEST_F(ClickHouseLoadTest, ClickHouseIsASourceOfTheCache) {
  ch_->execute("CREATE TABLE " + db_ + ".events (id UInt64, kind Enum8('in' = 1, 'out' = 2), "
               "ts DateTime('Asia/Tokyo'), amount Decimal(10, 2), tags Array(String), "
               "note Nullable(String)) ENGINE = MergeTree ORDER BY id");
  ch_->execute("INSERT INTO " + db_ + ".events SELECT number, if(number % 2 = 0, 'in', 'out'), "
               "toDateTime(1700000000 + number, 'Asia/Tokyo'), number / 4, "
               "['t', toString(number)], if(number % 3 = 0, NULL, 'n\\t' || toString(number)) "
               "FROM system.numbers LIMIT 10000");
  extraction::sling_client::NativeSlingClient sling(dir_);
  sling.extract_to_duckdb(config_, cache_, "SELECT * FROM " + db_ + ".events", "src_events");
  auto cache = drivers::open_connection(Value{{"type", "duckdb"}, {"path", cache_}});
  RowBatch summary = integration::read_all(
      *cache,
      "SELECT count(*), count(note), sum(amount)::VARCHAR, min(ts)::VARCHAR, "
      "max(kind)::VARCHAR, max(tags[2])::VARCHAR, max(note) FROM src_events");
  EXPECT_EQ(summary.at(0, 0), Cell{std::int64_t{10000}});
  EXPECT_EQ(summary.at(0, 1), Cell{std::int64_t{6666}});
  EXPECT_EQ(summary.at(0, 2), Cell{std::string("12498750.00")});
  EXPECT_EQ(summary.at(0, 3), Cell{std::string("2023-11-14 22:13:20+00")});  // the instant
  EXPECT_EQ(summary.at(0, 4), Cell{std::string("out")});
  EXPECT_EQ(summary.at(0, 5), Cell{std::string("9999")});
  EXPECT_EQ(summary.at(0, 6), Cell{std::string("n\t9998")});
}

}  // namespace
}  // namespace zyl
