#include "zyl/federation/zyl_cache.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/test_support/command.h"
#include "drivers/duckdb/database_registry.h"
#include "drivers/duckdb/duckdb_driver.h"

namespace zyl::federation::zyl_cache {
namespace {

namespace fs = std::filesystem;

class ZylCacheTest : public ::testing::Test {
 protected:
  ZylCacheTest() {
    char pattern[] = "/tmp/zyl_cache_XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  ~ZylCacheTest() override { fs::remove_all(dir_); }
  fs::path dir_;
};

std::int64_t scalar(const std::string& path, const std::string& sql) {
  auto conn = drivers::duckdb::open_file(path);
  auto result = conn->query(sql);
  drivers::RowBatch batch;
  result->next(batch);
  return std::get<std::int64_t>(batch.at(0, 0));
}

TEST_F(ZylCacheTest, SourceTableNamesAreStableDistinctAndUsableUnquoted) {
  ZylCache cache(CacheLocation::for_project(dir_));
  EXPECT_EQ(cache.source_table_name("crm", "customers"), "crm__customers");
  EXPECT_EQ(cache.source_table_name("crm", "order_items"), "crm__order_items");
  std::vector<std::pair<std::string, std::string>> pairs = {
      {"a__b", "c"}, {"a", "b__c"}, {"a_", "_b"}, {"a", "_b"}, {"Sales", "Orders"},
      {"sales", "orders"}, {"2024", "x"}, {"my src", "tbl-1"}, {"select", "from"}, {"", ""},
      {"a", "b"}, {"a_b", "c"}, {"a", "b_c"}, {"é", "x"}, {"e", "x"}};
  std::set<std::string> names;
  auto conn = drivers::duckdb::open_file(":memory:");
  for (const auto& [src, tbl] : pairs) {
    std::string name = cache.source_table_name(src, tbl);
    EXPECT_EQ(name, cache.source_table_name(src, tbl));
    names.insert(name);
    conn->execute("CREATE TABLE " + name + " AS SELECT 1 AS x");
  }
  EXPECT_EQ(names.size(), pairs.size());
  EXPECT_EQ(cache.model_table_name("orders"), "__model__orders");
}

// The ids `sql` returns, in order, read through a second connection to the cache file.
std::vector<std::int64_t> ids(const std::string& path, const std::string& sql) {
  auto conn = drivers::duckdb::open_file(path);
  auto result = conn->query("SELECT id FROM (" + sql + ") ORDER BY id");
  std::vector<std::int64_t> out;
  drivers::RowBatch batch;
  while (result->next(batch)) {
    for (size_t r = 0; r < batch.rows(); ++r) {
      const drivers::Cell& cell = batch.at(r, 0);
      out.push_back(std::holds_alternative<std::int64_t>(cell) ? std::get<std::int64_t>(cell)
                                                               : -1);
    }
  }
  return out;
}

using Ids = std::vector<std::int64_t>;

// A new result stays pending, beside the stored one, until it is committed: a run whose load
// fails never commits, so the next run sees the stored result as it was.
TEST_F(ZylCacheTest, ModelResultsStayPendingUntilCommitted) {
  ZylCache cache(CacheLocation::for_project(dir_));
  const std::string path = cache.db_path();
  EXPECT_FALSE(cache.has_model_result("orders"));
  EXPECT_EQ(cache.save_model_result("orders", "SELECT range AS id, 'a' AS s FROM range(3)", false),
            3);
  EXPECT_FALSE(cache.has_model_result("orders"));
  EXPECT_EQ(ids(path, cache.model_result_query("orders", false)), (Ids{0, 1, 2}));
  cache.commit_model_result("orders", false);
  EXPECT_TRUE(cache.has_model_result("orders"));
  EXPECT_EQ(ids(path, "SELECT * FROM __model__orders"), (Ids{0, 1, 2}));

  // Appending: the load reads the stored rows and the new ones (matched by name, whatever
  // their order); the stored result gains them only on commit.
  EXPECT_EQ(cache.save_model_result("orders", "SELECT 'b' AS s, 7 AS id", true), 1);
  EXPECT_EQ(ids(path, cache.model_result_query("orders", true)), (Ids{0, 1, 2, 7}));
  EXPECT_EQ(ids(path, "SELECT * FROM __model__orders"), (Ids{0, 1, 2}));
  cache.commit_model_result("orders", true);
  EXPECT_EQ(ids(path, "SELECT * FROM __model__orders"), (Ids{0, 1, 2, 7}));

  // A result never committed (its load failed) changes nothing; the next save replaces it.
  EXPECT_EQ(cache.save_model_result("orders", "SELECT 1 AS id, 'c' AS s", false), 1);
  EXPECT_EQ(cache.save_model_result("orders", "SELECT 5 AS id, 'c' AS s", false), 1);
  EXPECT_EQ(ids(path, "SELECT * FROM __model__orders"), (Ids{0, 1, 2, 7}));
  EXPECT_EQ(ids(path, cache.model_result_query("orders", false)), (Ids{5}));
  EXPECT_THROW(cache.save_model_result("orders", "SELECT * FROM nowhere", false),
               std::runtime_error);
  EXPECT_EQ(ids(path, "SELECT * FROM __model__orders"), (Ids{0, 1, 2, 7}));
  cache.commit_model_result("orders", false);
  EXPECT_EQ(ids(path, "SELECT * FROM __model__orders"), (Ids{5}));

  // Appending to a model without a result creates it.
  EXPECT_EQ(cache.save_model_result("fresh", "SELECT 1 AS id", true), 1);
  EXPECT_EQ(ids(path, cache.model_result_query("fresh", true)), (Ids{1}));
  cache.commit_model_result("fresh", true);

  cache.save_model_result("customers", "SELECT 1 AS id", false);
  cache.commit_model_result("customers", false);
  EXPECT_THAT(cache.list_tables(),
              ::testing::ElementsAre("__model__customers", "__model__fresh", "__model__orders"));
  cache.drop_table("__model__orders");
  cache.drop_table("__model__orders");  // already gone: no error
  EXPECT_FALSE(cache.has_model_result("orders"));
}

TEST_F(ZylCacheTest, ASubsetIsMarkedOnItsTableUntilTheTableIsReplaced) {
  ZylCache cache(CacheLocation::for_project(dir_));
  std::string query = "SELECT \"id\" FROM crm.customers WHERE (\"name\" = 'o''k')";
  std::string comment_sql =
      "SELECT count(*) FROM duckdb_tables() WHERE table_name = 'crm__customers' AND comment = " +
      drivers::sql_string_literal("subset of its source, read by: " + query);
  {
    auto conn = drivers::duckdb::open_file(cache.db_path());
    conn->execute("CREATE TABLE crm__customers AS SELECT 1 AS id");
  }
  cache.reopen();
  cache.note_subset("crm__customers", query);
  cache.close_and_release();
  EXPECT_EQ(scalar(cache.db_path(), comment_sql), 1);
  {
    // A whole copy replaces the table, and the mark goes with it.
    auto conn = drivers::duckdb::open_file(cache.db_path());
    conn->execute("CREATE OR REPLACE TABLE crm__customers AS SELECT 2 AS id");
  }
  EXPECT_EQ(scalar(cache.db_path(), comment_sql), 0);
}

TEST_F(ZylCacheTest, CloseReleasesTheFileAndReopenSeesWritesMadeMeanwhile) {
  ZylCache cache(CacheLocation::for_project(dir_));
  std::string path = cache.db_path();
  EXPECT_EQ(drivers::duckdb::share_count(path), 0u);  // not held before first use
  cache.ensure_created();
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(drivers::duckdb::share_count(path), 1u);
  cache.close_and_release();
  EXPECT_EQ(drivers::duckdb::share_count(path), 0u);
  {
    auto other = drivers::duckdb::open_file(path);
    other->execute("CREATE TABLE crm__customers AS SELECT 1 AS id");
  }
  cache.reopen();
  EXPECT_THAT(cache.list_tables(), ::testing::ElementsAre("crm__customers"));
  // A run that failed between close and reopen leaves it closed; ensure_created opens it again.
  cache.close_and_release();
  cache.ensure_created();
  EXPECT_THAT(cache.list_tables(), ::testing::ElementsAre("crm__customers"));

  // Releasing the lock lets go of the file too, for the next holder in another process.
  cache._file_lock().acquire();
  cache.list_tables();
  cache._file_lock().release();
  EXPECT_EQ(drivers::duckdb::share_count(path), 0u);
  // Any use opens it again.
  EXPECT_FALSE(cache.has_model_result("x"));
  EXPECT_EQ(drivers::duckdb::share_count(path), 1u);

  // Opened by its file path, as the retract task does.
  ZylCache by_path(CacheLocation::at(path));
  by_path.list_tables();
  EXPECT_EQ(drivers::duckdb::share_count(path), 2u);
  by_path.close_and_release();
  EXPECT_EQ(scalar(path, "SELECT count(*) FROM crm__customers"), 1);
}

TEST_F(ZylCacheTest, ThreadsTakeTurnsOnTheLock) {
  ZylCache cache(CacheLocation::for_project(dir_));
  ZylCache second(CacheLocation::for_project(dir_));  // another object on the same project
  int inside = 0, most = 0;
  auto work = [&](ZylCache& c) {
    for (int i = 0; i < 50; ++i) {
      std::lock_guard lock(c._file_lock());
      most = std::max(most, ++inside);
      std::this_thread::yield();
      --inside;
    }
  };
  std::thread a(work, std::ref(cache)), b(work, std::ref(second)), d(work, std::ref(cache));
  a.join();
  b.join();
  d.join();
  EXPECT_EQ(most, 1);
}

void append_line(const fs::path& file, const std::string& line) {
  std::ofstream(file, std::ios::app) << line << "\n";
}

// Run only as a child process by ProcessesTakeTurnsOnTheLock.
TEST_F(ZylCacheTest, DISABLED_TakeTheLockInAChild) {
  const char* project = std::getenv("ZYL_CACHE_PROJECT");
  ASSERT_NE(project, nullptr);
  ZylCache cache(CacheLocation::for_project(project));
  cache.close_and_release();
  std::lock_guard lock(cache._file_lock());
  append_line(fs::path(project) / "log", "child");
}

TEST_F(ZylCacheTest, ProcessesTakeTurnsOnTheLock) {
  ZylCache cache(CacheLocation::for_project(dir_));
  cache.close_and_release();  // the child process opens the file too
  fs::path log = dir_ / "log";
  cache._file_lock().acquire();
  append_line(log, "parent-start");
  test_support::Argv child(test_support::self_command(
      {"--gtest_also_run_disabled_tests",
       "--gtest_filter=ZylCacheTest.DISABLED_TakeTheLockInAChild"}));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("ZYL_CACHE_PROJECT", dir_.c_str(), 1);
    int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    child.exec();
    _exit(127);
  }
  // Give the child time to reach the lock; it must wait there until the parent lets go.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  append_line(log, "parent-end");
  cache._file_lock().release();
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "parent-start\nparent-end\nchild\n");
}

}  // namespace
}  // namespace zyl::federation::zyl_cache
