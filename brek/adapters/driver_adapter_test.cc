#include "brek/adapters/driver_adapter.h"

#include <filesystem>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace brek::adapters {
namespace {

namespace fs = std::filesystem;

TEST(DriverAdapter, FetchesRowsAndKeepsEachThreadsTransactionApart) {
  fs::path dir = fs::temp_directory_path() / ("brek_adapter_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  {
    auto adapter = DriverAdapter::open({{"type", "duckdb"}, {"path", "w.duckdb"}}, dir);
    EXPECT_EQ(adapter->type(), "duckdb");
    EXPECT_TRUE(fs::exists(dir / "w.duckdb"));  // relative to the base directory
    auto [done, none] = adapter->execute("CREATE TABLE t (id INTEGER, name VARCHAR)");
    EXPECT_EQ(done.message, "OK");
    EXPECT_TRUE(none.empty());

    // One thread's open transaction is invisible to another thread until it commits.
    adapter->execute("BEGIN");
    adapter->execute("INSERT INTO t VALUES (1, 'a'), (2, NULL)");
    long long seen_elsewhere = -1;
    std::thread other([&] {
      auto rows = adapter->execute("SELECT COUNT(*) FROM t", true).second;
      seen_elsewhere = rows.rows.at(0).at(0).get<long long>();
      adapter->release_thread_connection();
    });
    other.join();
    EXPECT_EQ(seen_elsewhere, 0);
    adapter->execute("COMMIT");

    auto [response, table] = adapter->execute("SELECT id, name FROM t ORDER BY id", true);
    EXPECT_EQ(response.message, "SELECT 2");
    EXPECT_EQ(response.rows_affected, 2);
    EXPECT_EQ(table.column_names, (std::vector<std::string>{"id", "name"}));
    EXPECT_EQ(table.rows[0][0], 1);
    EXPECT_EQ(table.rows[0][1], "a");
    EXPECT_TRUE(table.rows[1][1].is_null());
    EXPECT_ANY_THROW(adapter->execute("SELECT * FROM missing", true));
  }
  EXPECT_THROW(DriverAdapter::open({{"type", "snowflake"}}, dir), zyl::drivers::DriverError);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace brek::adapters
