#include "zyl/tasks/docs.h"

#include <stdlib.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/log.h"

namespace zyl::tasks::docs {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

TEST(GetOutputConfig, FirstProfileHoldingTheNameWins) {
  Value profiles = {
      {"config", {{"send_anonymous_usage_stats", false}}},
      {"first", {{"target", "dev"}, {"outputs", {{"dev", {{"type", "duckdb"}}}}}}},
      {"second", {{"outputs", {{"dev", {{"type", "postgres"}}}, {"wh", {{"type", "sqlite"}}}}}}}};
  EXPECT_EQ(_get_output_config("dev", profiles)["type"], "duckdb");
  EXPECT_EQ(_get_output_config("wh", profiles)["type"], "sqlite");
  EXPECT_FALSE(is_set(_get_output_config("nope", profiles)));
  EXPECT_FALSE(is_set(_get_output_config("dev", Value("not a map"))));
  // The project's own profile first, wherever it stands in the file.
  EXPECT_EQ(_get_output_config("dev", profiles, "second")["type"], "postgres");
  EXPECT_EQ(_get_output_config("wh", profiles, "first")["type"], "sqlite");
}

TEST(GetConnection, OpensRealConnectionsAndLogsWhyNotWithoutSecrets) {
  char pattern[] = "/tmp/zyl_docs_XXXXXX";
  fs::path dir = mkdtemp(pattern);
  auto conn = _get_connection("sqlite", Value{{"path", "t.db"}}, dir);
  ASSERT_NE(conn, nullptr);
  conn->execute("CREATE TABLE t (id INTEGER)");
  conn->execute("DROP TABLE IF EXISTS t");
  conn->commit();
  conn->close();
  EXPECT_NE(_get_connection("", Value{{"type", "duckdb"}, {"path", "w.duckdb"}}, dir), nullptr);

  log::Capture capture;
  EXPECT_EQ(_get_connection("snowflake", Value{{"password", "hunter22"}, {"account", "x"}}),
            nullptr);
  EXPECT_EQ(_get_connection("postgres", Value()), nullptr);
  // A file that cannot be created: the path names a directory below a regular file.
  std::string secret_path = (dir / "t.db" / "hunter22.db").string();
  EXPECT_EQ(_get_connection("sqlite", Value{{"path", secret_path}, {"password", "hunter22"}}),
            nullptr);
  ASSERT_GE(capture.lines().size(), 3u);
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.level, spdlog::level::debug);
    EXPECT_THAT(line.message, ::testing::Not(HasSubstr("hunter22")));
  }
  EXPECT_THAT(capture.lines()[0].message, HasSubstr("snowflake"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zyl::tasks::docs
