#include "zyl/config/driftwatch.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

namespace zyl::config::driftwatch {
namespace {

namespace fs = std::filesystem;

TEST(GetHostnameTest, KeysPortsAndFallbacks) {
  struct Case {
    const char* config;
    const char* hostname;
  };
  const Case cases[] = {
      {R"({"type": "postgres", "host": "db1", "port": 5432})", "db1:5432"},
      {R"({"type": "postgres", "host": "db1", "port": 0})", "db1"},
      {R"({"type": "postgres", "host": "db1", "port": "5432"})", "db1:5432"},
      {R"({"type": "redshift", "host": "r", "port": 5439.0})", "r:5439.0"},
      {R"({"type": "snowflake", "account": "xy123", "port": 443})", "xy123"},
      {R"({"type": "snowflake", "host": "h"})", ""},
      {R"({"type": "bigquery", "project": "p1"})", "p1"},
      {R"({"type": "databricks", "host": "dbx", "port": 443})", "dbx"},
      {R"({"type": "mysql", "server": "srv1", "port": 3306})", "srv1:3306"},
      {R"({"type": "mysql", "host": "", "server": "srv1"})", "srv1"},
      {R"({"type": "duckdb", "path": "/data/a.duckdb"})", "/data/a.duckdb"},
      {R"({"type": "duckdb", "database": "wh.duckdb"})", "wh.duckdb"},
      {R"({"type": "duckdb", "path": null, "database": "wh.duckdb"})", "wh.duckdb"},
      {R"({"type": "vertica", "host": "h1", "port": 5433})", "h1"},
      {R"({"host": "h1", "port": 5433})", "h1"},
      {R"({"type": "postgres", "port": 5432})", ""},
      {R"({"type": "postgres", "host": 10})", "10"},
      {R"("not a map")", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(get_hostname(Value::parse(c.config)), c.hostname) << c.config;
  }
  EXPECT_EQ(ADAPTER_HOSTNAME_FIELD.size(), 15u);
  EXPECT_EQ(ADAPTER_HOSTNAME_FIELD.at("fabric"), (std::vector<std::string>{"host", "server"}));
}

class DriftwatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("zyl_driftwatch_" + std::to_string(rd()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_ / ".zyl", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  fs::path state_file() const { return dir_ / ".zyl" / "state.json"; }
  std::string read_state() const {
    std::ifstream in(state_file(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void write_state(const std::string& text) {
    fs::create_directories(dir_ / ".zyl");
    std::ofstream(state_file(), std::ios::binary) << text;
  }
  std::vector<std::string> check(const std::string& name, const char* config) {
    return check_target_changes(dir_, name, Value::parse(config));
  }
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / ".zyl")) {
      if (e.path().filename() != "state.json") names.push_back(e.path().filename().string());
    }
    return names;
  }

  fs::path dir_;
};

TEST_F(DriftwatchTest, StateFileBytes) {
  save_driftwatch(dir_, "dev", "postgres", "db1:5432");
  EXPECT_EQ(read_state(),
            "{\n  \"name\": \"dev\",\n  \"type\": \"postgres\",\n  \"hostname\": \"db1:5432\"\n}");
  // Non-ASCII and control characters are escaped; quotes and backslashes too.
  save_driftwatch(dir_, "pr\xC3\xB6""d \xF0\x9F\x98\x80", "a\"b\\c\n\x7f", "/d/a.duckdb");
  EXPECT_EQ(read_state(),
            "{\n  \"name\": \"pr\\u00f6d \\ud83d\\ude00\",\n  \"type\": \"a\\\"b\\\\c\\n\\u007f\","
            "\n  \"hostname\": \"/d/a.duckdb\"\n}");
  // Invalid UTF-8 does not stop the write.
  save_driftwatch(dir_, "bad\xFF", "t", "h");
  EXPECT_EQ(read_state(),
            "{\n  \"name\": \"bad\\ufffd\",\n  \"type\": \"t\",\n  \"hostname\": \"h\"\n}");
  EXPECT_TRUE(leftovers().empty());
  auto loaded = load_driftwatch(dir_);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->dump(), "{\"name\":\"bad\xEF\xBF\xBD\",\"type\":\"t\",\"hostname\":\"h\"}");
}

TEST_F(DriftwatchTest, UnusableStateFiles) {
  EXPECT_EQ(load_driftwatch(dir_), std::nullopt);  // no file
  for (const char* text : {"not json", "", "[1, 2]", "\"text\"", "42", "{\"name\": ", "\xFF\xFE"}) {
    write_state(text);
    EXPECT_EQ(load_driftwatch(dir_), std::nullopt) << text;
    // Treated as a first run: no warning, and a fresh record replaces it.
    EXPECT_TRUE(check("dev", R"({"type": "postgres", "host": "db1"})").empty()) << text;
    EXPECT_EQ(load_driftwatch(dir_)->value("hostname", ""), "db1");
  }
  fs::remove(state_file());
  fs::create_directory(state_file());  // a directory where the file should be
  EXPECT_EQ(load_driftwatch(dir_), std::nullopt);
  EXPECT_TRUE(check("dev", R"({"type": "postgres"})").empty());  // cannot write: no error
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(DriftwatchTest, FailedWriteKeepsThePreviousState) {
  save_driftwatch(dir_, "dev", "postgres", "db1");
  std::string before = read_state();
  // A child process whose file-size limit is smaller than the record: every write of the new
  // text fails part-way, as on a full disk. The old state file must survive whole.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    save_driftwatch(dir_, "production", "snowflake", "account_xy");
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);  // the failure was swallowed
  EXPECT_EQ(read_state(), before);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(DriftwatchTest, StateDirectoryThatCannotBeCreatedThrows) {
  std::ofstream(dir_ / ".zyl") << "a file, not a directory";
  EXPECT_THROW(save_driftwatch(dir_, "dev", "postgres", "db1"), fs::filesystem_error);
  EXPECT_THROW(check("dev", R"({"type": "postgres"})"), fs::filesystem_error);
}

TEST_F(DriftwatchTest, WarningsAcrossChecks) {
  const char* pg1 = R"({"type": "postgres", "host": "db1", "port": 5432})";
  const char* pg2 = R"({"type": "postgres", "host": "db2", "port": 5432})";
  const char* sf = R"({"type": "snowflake", "account": "xy"})";

  EXPECT_TRUE(check("dev", pg1).empty());  // first run
  EXPECT_EQ(read_state(), "{\n  \"name\": \"dev\",\n  \"type\": \"postgres\",\n  \"hostname\": "
                          "\"db1:5432\"\n}");
  EXPECT_TRUE(check("renamed", pg1).empty());  // the name alone takes no part

  EXPECT_EQ(check("dev", pg2),
            (std::vector<std::string>{
                "ZYL009: Default target hostname changed from 'db1:5432' to 'db2:5432' (same "
                "adapter type 'postgres'). If you have sources on the old instance, add "
                "connection: to those source definitions pointing to the old target."}));
  EXPECT_TRUE(check("dev", pg2).empty());  // given once

  EXPECT_EQ(check("dev", sf),  // a type change wins over the hostname change
            (std::vector<std::string>{
                "ZYL008: Default target adapter type changed from 'postgres' to 'snowflake'. "
                "You need to migrate all pushdown models from postgres dialect to snowflake "
                "dialect."}));
  EXPECT_TRUE(check("dev", sf).empty());

  EXPECT_TRUE(check("dev", R"({"type": "snowflake"})").empty());  // hostname now unknown
  EXPECT_TRUE(check("dev", sf).empty());                           // was unknown
}

TEST_F(DriftwatchTest, EmptyTypesInRecordOrConfig) {
  write_state(R"({"name": "dev", "type": "", "hostname": "db1"})");
  EXPECT_TRUE(check("dev", R"({"type": "postgres", "host": "db2"})").empty());

  write_state(R"({"name": "dev", "type": "postgres", "hostname": "db1"})");
  EXPECT_TRUE(check("dev", R"({"host": "db2"})").empty());  // type differs but is empty now

  write_state(R"({"name": "dev", "hostname": "h1"})");
  EXPECT_EQ(check("dev", R"({"host": "h2"})"),
            (std::vector<std::string>{
                "ZYL009: Default target hostname changed from 'h1' to 'h2' (same adapter type "
                "''). If you have sources on the old instance, add connection: to those source "
                "definitions pointing to the old target."}));

  write_state("{}");  // empty record: a first run
  EXPECT_TRUE(check("dev", R"({"type": "mysql", "host": "x"})").empty());
}

}  // namespace
}  // namespace zyl::config::driftwatch
