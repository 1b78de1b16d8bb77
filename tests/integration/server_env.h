// Where the integration tests find their servers: ZYL_TEST_PG_*, ZYL_TEST_MYSQL_* and
// ZYL_TEST_CLICKHOUSE_* environment variables (scripts/test_servers.sh prints them). Without
// them a test skips, or fails when CI is set, so a CI run cannot pass without having reached
// the servers.
#pragma once

#include <optional>
#include <string>

#include "core/value.h"
#include "drivers/driver.h"

namespace zyl::integration {

// An output config for the server, or nullopt when its variables are not set. `prefix` is
// "ZYL_TEST_PG", "ZYL_TEST_MYSQL" or "ZYL_TEST_CLICKHOUSE"; `type` the adapter type to put in
// the config.
std::optional<Value> server_config(const std::string& prefix, const std::string& type);

// The message for a missing server, saying how to start one.
std::string missing_message(const std::string& prefix);

// True when a missing server must fail the test rather than skip it.
bool must_have_servers();

// Every row of `sql`, read in small batches (so batch boundaries are crossed), as one batch.
drivers::RowBatch read_all(drivers::Connection& conn, const std::string& sql,
                           std::vector<drivers::Column>* columns = nullptr);

// Copies `schema.from` into a new table `schema.to`, created from the columns the driver reports
// and filled through its bulk writer.
void copy_table(drivers::Connection& conn, const std::string& schema, const std::string& from,
                const std::string& to);

}  // namespace zyl::integration

// In a test body or SetUp(): assigns the config or skips/fails the test.
#define ZYL_REQUIRE_SERVER(var, prefix, type)                                   \
  do {                                                                          \
    auto found_ = ::zyl::integration::server_config(prefix, type);              \
    if (!found_) {                                                              \
      if (::zyl::integration::must_have_servers()) {                            \
        FAIL() << ::zyl::integration::missing_message(prefix);                  \
      }                                                                         \
      GTEST_SKIP() << ::zyl::integration::missing_message(prefix);              \
    }                                                                           \
    var = *found_;                                                              \
  } while (0)
