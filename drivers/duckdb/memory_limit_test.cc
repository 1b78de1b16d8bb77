// The memory limit every DuckDB database opens with: capped in a 32-bit process, overridable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "core/test_support/temp_dir.h"
#include "drivers/duckdb/database_registry.h"
#include "drivers/duckdb/duckdb_driver.h"

namespace zyl::drivers {
namespace {

using zyl::test_support::TempDir;

std::string setting_of(Connection& conn) {
  auto result = conn.query("SELECT current_setting('memory_limit')");
  RowBatch batch;
  EXPECT_TRUE(result->next(batch));
  return std::get<std::string>(batch.at(0, 0));
}

class DuckDBMemoryLimit : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("ZYL_DUCKDB_MEMORY_LIMIT"); }
  TempDir dir_;
};

TEST_F(DuckDBMemoryLimit, ThirtyTwoBitProcessesGetOneGibibyte) {
  ::unsetenv("ZYL_DUCKDB_MEMORY_LIMIT");
  auto file = duckdb::open_file(dir_.path() / "cache.duckdb");
  auto memory = duckdb::open_file(":memory:");
  if (sizeof(void*) == 4) {
    EXPECT_EQ(duckdb::memory_limit(), "1GiB");
    EXPECT_EQ(setting_of(*file), "1.0 GiB");
    EXPECT_EQ(setting_of(*memory), "1.0 GiB");
  } else {
    EXPECT_EQ(duckdb::memory_limit(), "");  // DuckDB's own default, a share of the RAM
  }
}

TEST_F(DuckDBMemoryLimit, TheEnvironmentOverridesTheDefaultAndBadValuesAreRefused) {
  ::setenv("ZYL_DUCKDB_MEMORY_LIMIT", "512MiB", 1);
  auto conn = duckdb::open_file(dir_.path() / "a.duckdb");
  EXPECT_EQ(setting_of(*conn), "512.0 MiB");
  conn->execute("SET memory_limit = '256MiB'");  // SQL still has the last word
  EXPECT_EQ(setting_of(*conn), "256.0 MiB");
  // The setting is read when an instance opens: the shared one opens again with the next file
  // once the last file has closed.
  conn.reset();

  ::setenv("ZYL_DUCKDB_MEMORY_LIMIT", "plenty", 1);
  try {
    duckdb::open_file(dir_.path() / "b.duckdb");
    FAIL() << "an invalid limit was accepted";
  } catch (const DriverError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("invalid DuckDB setting memory_limit 'plenty'"));
  }
  EXPECT_EQ(duckdb::share_count(dir_.path() / "b.duckdb"), 0u);
}

}  // namespace
}  // namespace zyl::drivers
