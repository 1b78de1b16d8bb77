// A cache file past 2 GiB: it opens, keeps its rows and takes new ones. A 32-bit build without
// 64-bit file offsets cannot even stat such a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>

#include "core/test_support/temp_dir.h"
#include "drivers/duckdb/duckdb_driver.h"
#include "zyl/federation/zyl_cache.h"

namespace zyl::federation::zyl_cache {
namespace {

constexpr std::int64_t kPast2GiB = (std::int64_t{5} << 29) + 4096;  // 2.5 GiB and a page

std::int64_t count_rows(const std::string& path, const std::string& table) {
  auto conn = drivers::duckdb::open_file(path);
  auto result = conn->query("SELECT count(*) FROM " + table);
  drivers::RowBatch batch;
  EXPECT_TRUE(result->next(batch));
  return std::get<std::int64_t>(batch.at(0, 0));
}

TEST(LargeCacheFile, ASparseCachePast2GiBOpensKeepsItsRowsAndTakesMore) {
  test_support::TempDir dir("zyl_large_cache");
  const std::string path = (dir.path() / "cache.duckdb").string();
  {
    ZylCache cache(CacheLocation::at(path));
    std::lock_guard lock(cache._file_lock());
    ASSERT_EQ(cache.save_model_result("orders", "SELECT range AS id FROM range(1000)", false),
              1000);
    cache.commit_model_result("orders", false);
  }
  // Past the last block DuckDB wrote: a hole that takes no disk space.
  ASSERT_EQ(::truncate(path.c_str(), kPast2GiB), 0);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0) << "stat fails on a file past 2 GiB";
  EXPECT_EQ(static_cast<std::int64_t>(info.st_size), kPast2GiB);

  ZylCache cache(CacheLocation::at(path));
  {
    std::lock_guard lock(cache._file_lock());
    EXPECT_TRUE(cache.has_model_result("orders"));
    EXPECT_EQ(cache.save_model_result("orders", "SELECT range + 1000 AS id FROM range(500)", true),
              500);
    cache.commit_model_result("orders", true);
  }
  EXPECT_EQ(count_rows(path, cache.model_table_name("orders")), 1500);
}

}  // namespace
}  // namespace zyl::federation::zyl_cache
