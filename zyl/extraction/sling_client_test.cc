#include "zyl/extraction/sling_client.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/test_support/command.h"
#include "drivers/driver.h"
#include "drivers/duckdb/database_registry.h"
#include "zyl/federation/zyl_cache.h"

namespace zyl::extraction::sling_client {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Rows = std::vector<std::vector<Value>>;

class SlingClientTest : public ::testing::Test {
 protected:
  SlingClientTest() {
    char pattern[] = "/tmp/zyl_sling_XXXXXX";
    dir_ = mkdtemp(pattern);
    cache_path_ = (dir_ / ".zyl" / "cache.duckdb").string();
    fs::create_directories(dir_ / ".zyl");
  }
  ~SlingClientTest() override { fs::remove_all(dir_); }

  Value duckdb_config(const std::string& file) const {
    return {{"type", "duckdb"}, {"path", (dir_ / file).string()}};
  }
  Value sqlite_config(const std::string& file) const {
    return {{"type", "sqlite"}, {"path", (dir_ / file).string()}};
  }
  Value cache_config() const { return {{"type", "duckdb"}, {"path", cache_path_}}; }

  static Rows rows(const Value& config, const std::string& sql) {
    auto conn = drivers::open_connection(config);
    auto result = conn->query(sql);
    Rows out;
    drivers::RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) {
        std::vector<Value> row;
        for (size_t c = 0; c < batch.column_count; ++c) {
          row.push_back(drivers::cell_to_value(batch.at(r, c), result->columns()[c].type));
        }
        out.push_back(std::move(row));
      }
    }
    return out;
  }
  static void run(const Value& config, const std::string& sql) {
    drivers::open_connection(config)->execute(sql);
  }
  static std::vector<std::string> staging_tables(const Value& config, const std::string& sql) {
    std::vector<std::string> names;
    for (const auto& row : rows(config, sql)) {
      std::string name = row[0].get<std::string>();
      if (name.find("_zyl_stage_") != std::string::npos) names.push_back(name);
    }
    return names;
  }

  fs::path dir_;
  std::string cache_path_;
  NativeSlingClient client_;
};

constexpr const char* kDuckTables = "SELECT table_name FROM information_schema.tables";
constexpr const char* kSqliteTables = "SELECT name FROM sqlite_master WHERE type = 'table'";
constexpr const char* kSettings =
    "SELECT current_setting('memory_limit'), current_setting('preserve_insertion_order')::VARCHAR";

// The cache's memory limit is capped while rows are written, and insertion order let go while a
// DuckDB source is copied inside DuckDB. Two extractions overlapping so that the first ends
// while the second still writes leave the settings as they were before both.
TEST_F(SlingClientTest, OverlappingExtractionsPutTheCachesSettingsBack) {
  const std::string make =
      "CREATE TABLE t AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE "
      "i < 5000) SELECT i FROM n";
  run(sqlite_config("src.sqlite"), make);
  run(duckdb_config("src.duckdb"), make);
  auto cache = drivers::open_connection(cache_config());  // keeps the instance and its setting
  cache->execute("SET memory_limit = '2GiB'");
  struct Case {
    Value source;
    Rows while_writing;
  };
  for (const Case& c : {Case{sqlite_config("src.sqlite"), Rows{{"61.0 MiB", "true"}}},
                        Case{duckdb_config("src.duckdb"), Rows{{"61.0 MiB", "false"}}}}) {
    SCOPED_TRACE(get_text(c.source, "type"));
    std::mutex mutex;
    std::condition_variable changed;
    bool first_writing = false, second_writing = false, first_done = false;
    auto wait_for = [&](bool& flag) {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return flag; });
    };
    auto raise = [&](bool& flag) {
      std::lock_guard lock(mutex);
      flag = true;
      changed.notify_all();
    };
    // The first starts writing, then the second; the first ends while the second still writes.
    Rows while_writing;
    NativeSlingClient first(dir_, [&](std::int64_t, const std::string&) {
      if (!first_writing) while_writing = rows(cache_config(), kSettings);
      raise(first_writing);
      wait_for(second_writing);
    });
    NativeSlingClient second(dir_, [&](std::int64_t, const std::string&) {
      raise(second_writing);
      wait_for(first_done);
    });
    std::thread one([&] {
      first.extract_to_duckdb(c.source, cache_path_, "SELECT * FROM t", "a");
      raise(first_done);
    });
    wait_for(first_writing);
    std::thread two([&] { second.extract_to_duckdb(c.source, cache_path_, "SELECT * FROM t", "b"); });
    one.join();
    two.join();
    EXPECT_EQ(while_writing, c.while_writing);
    EXPECT_EQ(rows(cache_config(), kSettings), (Rows{{"2.0 GiB", "true"}}));
  }
}

// A statement that fails while it runs leaves a DuckDB transaction refusing every statement but
// ROLLBACK, the one that puts a setting back included: a copy inside DuckDB that fails still
// leaves the settings and the cache as they were.
TEST_F(SlingClientTest, AFailedCopyInsideDuckDBPutsTheSettingsBack) {
  run(duckdb_config("src.duckdb"),
      "CREATE TABLE t AS SELECT range::VARCHAR || 'x' AS v FROM range(3)");
  auto cache = drivers::open_connection(cache_config());  // keeps the instance and its setting
  NativeSlingClient sling(dir_);
  EXPECT_THROW(sling.extract_to_duckdb(duckdb_config("src.duckdb"), cache_path_,
                                       "SELECT v::INTEGER AS v FROM t", "a"),
               std::runtime_error);
  EXPECT_EQ(rows(cache_config(), kSettings)[0][1], "true");
  EXPECT_TRUE(rows(cache_config(), "SELECT table_name FROM duckdb_tables() "
                                   "WHERE database_name = current_database()")
                  .empty());
}

TEST_F(SlingClientTest, ExtractionReplacesTheCacheTableWithExactlyTheQueryRows) {
  run(duckdb_config("src.duckdb"),
      "CREATE TABLE customers AS SELECT * FROM (VALUES (1, 'ann'), (2, 'bob')) t(id, name)");
  client_.extract_to_duckdb(duckdb_config("src.duckdb"), cache_path_,
                            "SELECT * FROM customers", "crm__customers");
  EXPECT_EQ(rows(cache_config(), "SELECT id, name FROM crm__customers ORDER BY id"),
            (Rows{{1, "ann"}, {2, "bob"}}));

  run(duckdb_config("src.duckdb"), "DELETE FROM customers WHERE id = 1");
  client_.extract_to_duckdb(duckdb_config("src.duckdb"), cache_path_,
                            "SELECT * FROM customers", "crm__customers");
  EXPECT_EQ(rows(cache_config(), "SELECT id, name FROM crm__customers"), (Rows{{2, "bob"}}));

  // No rows: an empty table with the columns of the query, never the old rows.
  client_.extract_to_duckdb(duckdb_config("src.duckdb"), cache_path_,
                            "SELECT id, name FROM customers WHERE false", "crm__customers");
  EXPECT_EQ(rows(cache_config(), "SELECT count(*) FROM crm__customers"), (Rows{{0}}));
  EXPECT_EQ(rows(cache_config(), "SELECT column_name FROM information_schema.columns WHERE "
                                 "table_name = 'crm__customers' ORDER BY ordinal_position"),
            (Rows{{"id"}, {"name"}}));

  // A failing extraction keeps the table as it was and leaves no staging table behind.
  run(duckdb_config("src.duckdb"), "INSERT INTO customers VALUES (3, 'cy')");
  client_.extract_to_duckdb(duckdb_config("src.duckdb"), cache_path_, "SELECT * FROM customers",
                            "crm__customers");
  EXPECT_THAT([&] {
    client_.extract_to_duckdb(duckdb_config("src.duckdb"), cache_path_,
                              "SELECT id, 1 / (id - 3) AS boom FROM customers "
                              "UNION ALL SELECT 'x'::INTEGER, 0",
                              "crm__customers");
  }, ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("into crm__customers failed")));
  EXPECT_EQ(rows(cache_config(), "SELECT count(*) FROM crm__customers"), (Rows{{2}}));
  EXPECT_THAT(staging_tables(cache_config(), kDuckTables), ::testing::IsEmpty());
  EXPECT_EQ(drivers::duckdb::share_count(cache_path_), 0u);  // the file is released afterwards
}

TEST_F(SlingClientTest, ExtractsFromSqlite) {
  run(sqlite_config("app.db"),
      "CREATE TABLE orders (id INTEGER PRIMARY KEY, amount DECIMAL(10,2), placed DATETIME);"
      "INSERT INTO orders VALUES (1, 12.5, '2024-01-31 10:00:00'), (2, NULL, NULL)");
  client_.extract_to_duckdb(sqlite_config("app.db"), cache_path_, "SELECT * FROM orders",
                            "app__orders");
  EXPECT_EQ(rows(cache_config(), "SELECT id, amount::VARCHAR, placed::VARCHAR, typeof(amount) "
                                 "FROM app__orders ORDER BY id"),
            (Rows{{1, "12.50", "2024-01-31 10:00:00", "DECIMAL(10,2)"},
                  {2, nullptr, nullptr, "DECIMAL(10,2)"}}));

  // A value the reader cannot take, thousands of rows in (after batches were written), fails
  // the extraction and leaves the cache table as it was.
  run(sqlite_config("app.db"),
      "CREATE TABLE many (id INTEGER);"
      "WITH RECURSIVE g(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM g WHERE x < 20000)"
      " INSERT INTO many SELECT CASE WHEN x = 15000 THEN 'oops' ELSE x END FROM g");
  EXPECT_THAT(
      [&] {
        client_.extract_to_duckdb(sqlite_config("app.db"), cache_path_, "SELECT * FROM many",
                                  "app__orders");
      },
      ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("'oops'")));
  EXPECT_EQ(rows(cache_config(), "SELECT count(*) FROM app__orders"), (Rows{{2}}));
  client_.extract_to_duckdb(sqlite_config("app.db"), cache_path_,
                            "SELECT * FROM many WHERE id <> 'oops'", "app__many");
  EXPECT_EQ(rows(cache_config(), "SELECT count(*), sum(id)::BIGINT FROM app__many"),
            (Rows{{19999, 20000 * 20001 / 2 - 15000}}));

  EXPECT_THAT([&] {
    client_.extract_to_duckdb(Value{{"type", "vertica"}}, cache_path_, "SELECT 1", "x");
  }, ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("no driver for adapter type 'vertica'")));
  // Oracle goes through ODBC, whose driver is not installed here.
  EXPECT_THAT([&] {
    client_.extract_to_duckdb(Value{{"type", "oracle"}}, cache_path_, "SELECT 1", "x");
  }, ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("'Oracle 21 ODBC driver'")));
}

// Each value travels from a DuckDB source into the cache and then into a DuckDB and a SQLite
// target; the text form read back from each target must be the original one.
TEST_F(SlingClientTest, TypesSurviveTheRoundTrip) {
  struct Case {
    const char* expression;  // DuckDB SQL
    Value expected;          // as read back through cell_to_value
  };
  std::vector<Case> cases = {
      {"-12.30::DECIMAL(10,2)", "-12.30"},
      {"123456789012345678901234567.89::DECIMAL(38,2)", "123456789012345678901234567.89"},
      {"0.000001::DECIMAL(18,6)", "0.000001"},
      {"TIMESTAMPTZ '2024-01-31 13:45:00.123456+05:30'", "2024-01-31 08:15:00.123456+00"},
      {"TIMESTAMP '1969-07-20 20:17:40'", "1969-07-20 20:17:40"},
      {"DATE '2024-02-29'", "2024-02-29"},
      {"''::VARCHAR", ""},
      {"NULL::VARCHAR", nullptr},
      {"'it''s \"quoted\" ünïcode'", "it's \"quoted\" ünïcode"},
      {"true", true},
      {"9223372036854775807::BIGINT", 9223372036854775807LL},
      {"0.1::DOUBLE", 0.1},
      {"'6ba7b810-9dad-11d1-80b4-00c04fd430c8'::UUID", "6ba7b810-9dad-11d1-80b4-00c04fd430c8"},
      {"'{\"a\": [1, 2]}'::JSON", "{\"a\": [1, 2]}"},
  };
  std::string select = "SELECT ";
  for (size_t i = 0; i < cases.size(); ++i) {
    select += (i ? ", " : "") + std::string(cases[i].expression) + " AS c" + std::to_string(i);
  }
  run(duckdb_config("src.duckdb"), "CREATE TABLE types AS " + select +
                                       ", '\\x00\\x01\\xFF'::BLOB AS raw");
  client_.extract_to_duckdb(duckdb_config("src.duckdb"), cache_path_, "SELECT * FROM types",
                            "src__types");
  for (const Value& target : {duckdb_config("dst.duckdb"), sqlite_config("dst.db")}) {
    SCOPED_TRACE(target.dump());
    client_.load_from_duckdb(cache_path_, target, "SELECT * FROM src__types", "main.types",
                             "truncate", std::nullopt, std::nullopt);
    Rows back = rows(target, "SELECT * FROM main.types");
    ASSERT_EQ(back.size(), 1u);
    for (size_t i = 0; i < cases.size(); ++i) {
      EXPECT_EQ(back[0][i], cases[i].expected) << cases[i].expression;
    }
    bool sqlite = target["type"] == "sqlite";
    EXPECT_EQ(rows(target, sqlite ? "SELECT hex(raw), typeof(raw), typeof(c6) FROM types"
                                  : "SELECT hex(raw), typeof(raw), typeof(c6) FROM main.types"),
              (Rows{{"0001FF", sqlite ? "blob" : "BLOB", sqlite ? "text" : "VARCHAR"}}));
  }
}

struct TargetKind {
  const char* name;
  bool sqlite;
};

class LoadModes : public SlingClientTest, public ::testing::WithParamInterface<TargetKind> {
 protected:
  Value target() const {
    return GetParam().sqlite ? sqlite_config("target.db") : duckdb_config("target.duckdb");
  }
  std::string tables_sql() const { return GetParam().sqlite ? kSqliteTables : kDuckTables; }
  void result(const std::string& sql) {
    run(cache_config(), "CREATE OR REPLACE TABLE __model__m AS " + sql);
  }
  void load(const std::string& mode, std::optional<std::vector<std::string>> key = std::nullopt) {
    client_.load_from_duckdb(cache_path_, target(), "SELECT * FROM __model__m", "main.m", mode,
                             key, std::nullopt);
  }
  Rows contents(const std::string& columns = "id, v") {
    return rows(target(), "SELECT " + columns + " FROM m ORDER BY id");
  }
};

TEST_P(LoadModes, TruncateCreatesThenKeepsTheTableAndReplacesItsRows) {
  result("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) t(id, v)");
  load("truncate");
  EXPECT_EQ(contents(), (Rows{{1, "a"}, {2, "b"}}));
  // A column only the target has shows the table was kept, not recreated.
  run(target(), "ALTER TABLE m ADD COLUMN note VARCHAR");
  result("SELECT * FROM (VALUES (3, 'c', 1.5)) t(id, v, extra)");
  load("truncate");
  EXPECT_EQ(contents("id, v, note, extra"), (Rows{{3, "c", nullptr, "1.5"}}));
  // No rows: the table is emptied.
  result("SELECT 1 AS id, 'x' AS v WHERE false");
  load("truncate");
  EXPECT_EQ(contents(), Rows{});
}

TEST_P(LoadModes, FullRefreshRecreatesTheTable) {
  result("SELECT 1 AS id, 'a' AS v");
  load("full-refresh");  // missing: created
  run(target(), "ALTER TABLE m ADD COLUMN note VARCHAR");
  result("SELECT * FROM (VALUES (2, 'b'), (3, 'c')) t(id, v)");
  load("full-refresh");
  EXPECT_EQ(contents("*"), (Rows{{2, "b"}, {3, "c"}}));  // "note" is gone with the old table
  EXPECT_THAT(staging_tables(target(), tables_sql()), ::testing::IsEmpty());
}

TEST_P(LoadModes, IncrementalMergesOnThePrimaryKey) {
  result("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) t(id, v)");
  load("incremental", std::vector<std::string>{"id"});  // missing: created
  EXPECT_EQ(contents(), (Rows{{1, "a"}, {2, "b"}}));
  result("SELECT * FROM (VALUES (2, 'B', 20), (3, 'c', 30)) t(id, v, score)");
  load("incremental", std::vector<std::string>{"ID"});  // key matched case-insensitively
  EXPECT_EQ(contents("id, v, score"), (Rows{{1, "a", nullptr}, {2, "B", 20}, {3, "c", 30}}));
  // Composite keys.
  result("SELECT * FROM (VALUES (3, 'c', 31), (4, 'd', 40)) t(id, v, score)");
  load("incremental", std::vector<std::string>{"id", "v"});
  EXPECT_EQ(contents("id, v, score"),
            (Rows{{1, "a", nullptr}, {2, "B", 20}, {3, "c", 31}, {4, "d", 40}}));
  // Without a key, incremental appends.
  result("SELECT 1 AS id, 'again' AS v");
  load("incremental");
  EXPECT_EQ(contents().size(), 5u);
}

TEST_P(LoadModes, AFailingLoadLeavesTheTargetAsItWas) {
  result("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) t(id, v)");
  load("truncate");
  run(target(), GetParam().sqlite ? "CREATE UNIQUE INDEX m_v ON m (v)"
                                  : "CREATE UNIQUE INDEX m_v ON m (v)");
  // Two rows with one value break the unique index while they are put in place.
  result("SELECT * FROM (VALUES (5, 'z'), (6, 'z')) t(id, v)");
  for (const char* mode : {"truncate", "incremental"}) {
    SCOPED_TRACE(mode);
    EXPECT_THAT([&] { load(mode, std::vector<std::string>{"id"}); },
                ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("load into main.m")));
    EXPECT_EQ(contents(), (Rows{{1, "a"}, {2, "b"}}));
    EXPECT_THAT(staging_tables(target(), tables_sql()), ::testing::IsEmpty());
  }
  EXPECT_THAT([&] { load("incremental", std::vector<std::string>{"nope"}); },
              ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("'nope' is not in the result")));
  EXPECT_THAT([&] { load("append"); },
              ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("unsupported load mode")));
  EXPECT_EQ(contents(), (Rows{{1, "a"}, {2, "b"}}));
}

// A merge takes at most one new row per key: repeated or NULL keys fail the load before the
// target is touched, naming the key and a value.
TEST_P(LoadModes, RepeatedOrNullMergeKeysAreRefusedBeforeAnythingIsWritten) {
  result("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) t(id, v)");
  load("incremental", std::vector<std::string>{"id"});
  result("SELECT * FROM (VALUES (3, 'c'), (3, 'c2'), (4, 'd')) t(id, v)");
  EXPECT_THAT([&] { load("incremental", std::vector<std::string>{"id"}); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  HasSubstr("the new rows hold merge key (id) = (3) 2 times")));
  result("SELECT * FROM (VALUES (5, 'e'), (NULL, 'f')) t(id, v)");
  EXPECT_THAT([&] { load("incremental", std::vector<std::string>{"id"}); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  HasSubstr("the new rows hold a NULL in merge key (id)")));
  // Composite keys are checked as a whole: (3, 'c') and (3, 'c2') differ.
  result("SELECT * FROM (VALUES (3, 'c'), (3, 'c2'), (3, 'c')) t(id, v)");
  EXPECT_THAT([&] { load("incremental", std::vector<std::string>{"id", "v"}); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  HasSubstr("merge key (id, v) = (3, c) 2 times")));
  EXPECT_EQ(contents(), (Rows{{1, "a"}, {2, "b"}}));
  EXPECT_THAT(staging_tables(target(), tables_sql()), ::testing::IsEmpty());
}

#ifdef ZYL_TEST_HOOKS
// A failure at the very last step of any mode (just before the commit or swap) leaves the
// table with exactly its old rows.
TEST_P(LoadModes, AFailureJustBeforeTheCommitKeepsTheOldRowsInEveryMode) {
  result("SELECT * FROM (VALUES (1, 'a'), (2, 'b')) t(id, v)");
  load("truncate");
  result("SELECT * FROM (VALUES (2, 'B'), (3, 'c')) t(id, v)");
  setenv("ZYL_FAULT_POINT", "load.before_commit", 1);
  setenv("ZYL_FAULT_ACTION", "fail", 1);
  for (const char* mode : {"truncate", "full-refresh", "incremental"}) {
    for (bool keyed : {false, true}) {
      SCOPED_TRACE(std::string(mode) + (keyed ? " with a key" : ""));
      setenv("ZYL_FAULT_ARM", (std::string(mode) + (keyed ? "+key" : "")).c_str(), 1);
      std::optional<std::vector<std::string>> key;
      if (keyed) key = std::vector<std::string>{"id"};
      EXPECT_THAT([&] { load(mode, key); }, ::testing::ThrowsMessage<std::runtime_error>(
                                                HasSubstr("fault injected at load.before_commit")));
      EXPECT_EQ(contents(), (Rows{{1, "a"}, {2, "b"}}));
      EXPECT_THAT(staging_tables(target(), tables_sql()), ::testing::IsEmpty());
    }
  }
  for (const char* name : {"ZYL_FAULT_POINT", "ZYL_FAULT_ACTION", "ZYL_FAULT_ARM"}) unsetenv(name);
  load("incremental", std::vector<std::string>{"id"});
  EXPECT_EQ(contents(), (Rows{{1, "a"}, {2, "B"}, {3, "c"}}));
}
#endif

// Tables that a killed load left beside its target (their process is gone) are removed by the
// next load of that table; those of a live process, or of another table, are not.
TEST_P(LoadModes, StagingTablesOfKilledLoadsAreRemovedByTheNextLoad) {
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);  // a pid that no process has now
  char dead[16], live[16];
  std::snprintf(dead, sizeof dead, "%x", static_cast<unsigned>(child));
  std::snprintf(live, sizeof live, "%x", static_cast<unsigned>(getpid()));
  const std::vector<std::string> stale = {std::string("m_zyl_stage_") + dead + "_0",
                                          std::string("m_zyl_old_") + dead + "_3"};
  const std::vector<std::string> kept = {std::string("m_zyl_stage_") + live + "_9",
                                         std::string("mx_zyl_stage_") + dead + "_0"};
  for (const auto& name : stale) run(target(), "CREATE TABLE " + name + " (id INTEGER)");
  for (const auto& name : kept) run(target(), "CREATE TABLE " + name + " (id INTEGER)");
  result("SELECT 1 AS id, 'a' AS v");
  load("truncate");
  std::vector<std::string> left;
  for (const auto& row : rows(target(), tables_sql())) {
    std::string name = row[0].get<std::string>();
    if (name.find("_zyl_") != std::string::npos) left.push_back(name);
  }
  EXPECT_THAT(left, ::testing::UnorderedElementsAreArray(kept));
}

INSTANTIATE_TEST_SUITE_P(Targets, LoadModes,
                         ::testing::Values(TargetKind{"duckdb", false}, TargetKind{"sqlite", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The engine's own count of what it took is checked against the result: a SQLite trigger that
// silently drops a row makes the load fail and roll back instead of reporting success.
TEST_F(SlingClientTest, ARowTheTargetSilentlyDropsFailsTheLoad) {
  Value target = sqlite_config("target.db");
  run(cache_config(), "CREATE OR REPLACE TABLE __model__m AS SELECT * FROM (VALUES (1, 'a'), "
                      "(2, 'b')) t(id, v)");
  client_.load_from_duckdb(cache_path_, target, "SELECT * FROM __model__m", "m", "truncate",
                           std::nullopt, std::nullopt);
  run(target, "CREATE TRIGGER drop_twos BEFORE INSERT ON m WHEN NEW.id = 2 "
              "BEGIN SELECT RAISE(IGNORE); END");
  for (const char* mode : {"truncate", "incremental"}) {
    SCOPED_TRACE(mode);
    EXPECT_THAT(
        [&] {
          client_.load_from_duckdb(cache_path_, target, "SELECT * FROM __model__m", "m", mode,
                                   std::nullopt, std::nullopt);
        },
        ::testing::ThrowsMessage<std::runtime_error>(
            HasSubstr("row count mismatch: the result has 2 rows")));
    EXPECT_EQ(rows(target, "SELECT id, v FROM m ORDER BY id"), (Rows{{1, "a"}, {2, "b"}}));
  }
}

// The whole road of a model through the cache, as the pipeline drives it: two sources on two
// engines, the model SQL in the cache, the result loaded into both targets; then a second run
// that is incremental.
TEST_F(SlingClientTest, ModelFromSqliteAndDuckdbSourcesIntoBothTargetsTwice) {
  run(sqlite_config("crm.db"),
      "CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT);"
      "INSERT INTO customers VALUES (1, 'ann'), (2, 'bob')");
  run(duckdb_config("shop.duckdb"),
      "CREATE TABLE orders AS SELECT * FROM (VALUES (10, 1, 5.00::DECIMAL(8,2)), "
      "(11, 2, 7.25::DECIMAL(8,2))) t(order_id, customer_id, amount)");
  federation::zyl_cache::ZylCache cache(
      federation::zyl_cache::CacheLocation::for_project(dir_));
  std::vector<Value> targets = {duckdb_config("wh.duckdb"), sqlite_config("wh.db")};
  const std::string model =
      "SELECT o.order_id, c.name, o.amount FROM shop__orders o JOIN crm__customers c "
      "ON c.id = o.customer_id";

  auto one_run = [&](const std::string& mode) {
    std::lock_guard lock(cache._file_lock());
    cache.ensure_created();
    cache.close_and_release();
    client_.extract_to_duckdb(sqlite_config("crm.db"), cache.db_path(),
                              "SELECT * FROM customers", cache.source_table_name("crm", "customers"));
    client_.extract_to_duckdb(duckdb_config("shop.duckdb"), cache.db_path(),
                              "SELECT * FROM orders", cache.source_table_name("shop", "orders"));
    cache.reopen();
    auto count = cache.save_model_result("order_names", model, false);
    std::string result_query = cache.model_result_query("order_names", false);
    cache.close_and_release();
    for (const Value& target : targets) {
      client_.load_from_duckdb(cache.db_path(), target, result_query,
                               "main.order_names", mode,
                               mode == "incremental"
                                   ? std::optional<std::vector<std::string>>({"order_id"})
                                   : std::nullopt,
                               std::nullopt);
    }
    cache.reopen();
    cache.commit_model_result("order_names", false);
    return count;
  };

  EXPECT_EQ(one_run("truncate"), 2);
  run(sqlite_config("crm.db"), "UPDATE customers SET name = 'BOB' WHERE id = 2");
  run(duckdb_config("shop.duckdb"), "INSERT INTO orders VALUES (12, 1, 1.10)");
  EXPECT_EQ(one_run("incremental"), 3);
  for (const Value& target : targets) {
    SCOPED_TRACE(target.dump());
    EXPECT_EQ(rows(target, "SELECT order_id, name, amount FROM order_names ORDER BY order_id"),
              (Rows{{10, "ann", "5.00"}, {11, "BOB", "7.25"}, {12, "ann", "1.10"}}));
  }
}

// The host's DuckDB adapter keeps its connection on the warehouse file while the model reads a
// source from that file and loads its result back into it.
TEST_F(SlingClientTest, SourceAndTargetOnTheDefaultDuckdbFileWhileTheHostHoldsIt) {
  Value warehouse = duckdb_config("warehouse.duckdb");
  auto host = drivers::open_connection(warehouse);
  host->execute("CREATE TABLE raw_events AS SELECT range AS id FROM range(5000)");
  client_.extract_to_duckdb(warehouse, cache_path_, "SELECT * FROM raw_events", "wh__raw_events");
  run(cache_config(), "CREATE TABLE __model__evens AS SELECT id FROM wh__raw_events WHERE id % 2 = 0");
  client_.load_from_duckdb(cache_path_, warehouse, "SELECT * FROM __model__evens", "main.evens",
                           "truncate", std::nullopt, std::nullopt);
  auto result = host->query("SELECT count(*) FROM evens");
  drivers::RowBatch batch;
  ASSERT_TRUE(result->next(batch));
  EXPECT_EQ(std::get<std::int64_t>(batch.at(0, 0)), 2500);
}

// A DuckDB source keeps every DuckDB type in the cache, whether it is attached to the cache's
// instance (no instance of this process holds it) or read through the instance that holds it.
TEST_F(SlingClientTest, DuckdbSourcesKeepTheirTypesAttachedOrHeld) {
  const std::string types =
      "SELECT typeof(l), typeof(s), typeof(ns), typeof(u), typeof(e), l::VARCHAR, s::VARCHAR, "
      "ns::VARCHAR, u::VARCHAR FROM ";
  run(duckdb_config("lake.duckdb"),
      "CREATE TYPE mood AS ENUM ('sad', 'ok'); CREATE SCHEMA sales; CREATE TABLE sales.t AS "
      "SELECT [1, NULL] AS l, {'a': 'x'} AS s, '2024-01-01 00:00:00.000000001'::TIMESTAMP_NS AS "
      "ns, 340282366920938463463374607431768211455::UHUGEINT AS u, 'ok'::mood AS e");
  Rows expected = rows(duckdb_config("lake.duckdb"), types + "sales.t");
  client_.extract_to_duckdb(duckdb_config("lake.duckdb"), cache_path_, "SELECT * FROM sales.t",
                            "attached");
  EXPECT_EQ(rows(cache_config(), types + "attached"), expected);
  EXPECT_EQ(drivers::duckdb::share_count(dir_ / "lake.duckdb"), 0u);
  {
    auto host = drivers::open_connection(duckdb_config("lake.duckdb"));
    client_.extract_to_duckdb(duckdb_config("lake.duckdb"), cache_path_, "SELECT * FROM sales.t",
                              "held");
    EXPECT_EQ(rows(cache_config(), types + "held"), expected);
  }
  // A failing attached copy detaches the file again: it opens normally afterwards.
  EXPECT_THROW(client_.extract_to_duckdb(duckdb_config("lake.duckdb"), cache_path_,
                                         "SELECT * FROM sales.missing", "attached"),
               std::runtime_error);
  EXPECT_EQ(rows(cache_config(), "SELECT count(*) FROM attached"), (Rows{{1}}));
  EXPECT_EQ(rows(duckdb_config("lake.duckdb"), "SELECT count(*) FROM sales.t"), (Rows{{1}}));
  EXPECT_EQ(rows(cache_config(),
                 "SELECT count(*) FROM duckdb_databases() WHERE database_name = "
                 "'lake'"),
            (Rows{{0}}));
}

void append_line(const fs::path& file, const std::string& line) {
  std::ofstream(file, std::ios::app) << line << "\n";
}

// One extraction as the pipeline runs it: under the cache lock, with the cache closed.
void locked_extraction(const fs::path& project, const std::string& table, int pause_ms) {
  federation::zyl_cache::ZylCache cache(federation::zyl_cache::CacheLocation::for_project(project));
  std::lock_guard lock(cache._file_lock());
  append_line(project / "log", table + " start");
  cache.close_and_release();
  NativeSlingClient client;
  Value source = {{"type", "sqlite"}, {"path", (project / "src.db").string()}};
  client.extract_to_duckdb(source, cache.db_path(), "SELECT * FROM items", table);
  std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  cache.reopen();
  append_line(project / "log", table + " end");
}

// Run only as a child process by TwoProcessesExtractingIntoOneCacheTakeTurns.
TEST(SlingClientChild, DISABLED_ExtractUnderTheLock) {
  const char* project = std::getenv("ZYL_SLING_PROJECT");
  ASSERT_NE(project, nullptr);
  locked_extraction(project, "child_items", 200);
}

TEST_F(SlingClientTest, TwoProcessesExtractingIntoOneCacheTakeTurns) {
  run(sqlite_config("src.db"),
      "CREATE TABLE items (id INTEGER); INSERT INTO items VALUES (1), (2), (3)");
  pid_t pid = -1;
  test_support::Argv child(test_support::self_command(
      {"--gtest_also_run_disabled_tests",
       "--gtest_filter=SlingClientChild.DISABLED_ExtractUnderTheLock"}));
  {
    federation::zyl_cache::ZylCache cache(federation::zyl_cache::CacheLocation::for_project(dir_));
    // Start the child while this process holds the lock, so the child has to wait for it.
    std::lock_guard lock(cache._file_lock());
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("ZYL_SLING_PROJECT", dir_.c_str(), 1);
      int null = ::open("/dev/null", O_WRONLY);
      dup2(null, 1);
      child.exec();
      _exit(127);
    }
  }
  // The lock is free again; this process queues with the child for its second extraction.
  locked_extraction(dir_, "parent_items", 300);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::ifstream in(dir_ / "log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  // Whoever went first finished before the other started.
  EXPECT_EQ(lines[0].substr(0, lines[0].find(' ')), lines[1].substr(0, lines[1].find(' ')));
  EXPECT_THAT(lines[1], HasSubstr(" end"));
  EXPECT_EQ(rows(cache_config(), "SELECT (SELECT count(*) FROM child_items), "
                                 "(SELECT count(*) FROM parent_items)"),
            (Rows{{3, 3}}));
}

}  // namespace
}  // namespace zyl::extraction::sling_client
