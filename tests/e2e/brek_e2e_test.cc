// The brek binary as a user runs it, on a fresh copy of examples/ per test: exit statuses,
// console lines, tables on the targets, incremental runs, failures, retract and ls.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/test_support/command.h"
#include "core/value.h"
#include "drivers/driver.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct Outcome {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

using zyl::test_support::read_file;
using zyl::test_support::shell_quote;

class BrekEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* source = std::getenv("ZYL_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "ZYL_SOURCE_DIR is not set";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            ("brek_e2e_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::copy(fs::path(source) / "examples", root_, fs::copy_options::recursive);
    for (const char* generated : {"data", ".zyl", "logs", "target"}) {
      fs::remove_all(shop() / generated);
      fs::remove_all(root_ / "seed" / "sales" / generated);
      fs::remove_all(root_ / "seed" / "crm" / generated);
    }
    fs::create_directories(shop() / "data");
    seed(1);
    ASSERT_EQ(brek("run --project-dir " + (root_ / "seed" / "crm").string()).status, 0);
    Outcome seeded = brek("seed --project-dir " + shop().string());
    ASSERT_EQ(seeded.status, 0) << seeded.out << seeded.err;
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path shop() const { return root_ / "shop"; }

  void seed(int batch) {
    Outcome o = brek("run --project-dir " + (root_ / "seed" / "sales").string() +
                     " --vars '{batch: " + std::to_string(batch) + "}'");
    ASSERT_EQ(o.status, 0) << o.out << o.err;
  }

  Outcome brek(const std::string& arguments, const std::string& environment = "") {
    fs::path out = root_ / "stdout.txt", err = root_ / "stderr.txt";
    std::string command = "cd " + shell_quote(root_.string()) + " && " + environment + " " +
                          zyl::test_support::shell_line(zyl::test_support::command(BREK_BINARY)) +
                          arguments + " >" + shell_quote(out.string()) + " 2>" +
                          shell_quote(err.string());
    int raw = std::system(command.c_str());
    Outcome outcome;
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    outcome.out = read_file(out);
    outcome.err = read_file(err);
    return outcome;
  }

  Outcome run_shop(const std::string& extra = "") {
    return brek("run --project-dir " + shop().string() + " --threads 3 " + extra);
  }

  // Rows of `sql` on a DuckDB or SQLite file of the shop; the connection is closed again so that
  // the next brek process can open the file.
  std::vector<std::vector<zyl::Value>> query(const std::string& type, const std::string& file,
                                             const std::string& sql) {
    zyl::Value config = {{"type", type}, {"path", (shop() / "data" / file).string()}};
    auto connection = zyl::drivers::open_connection(config);
    auto result = connection->query(sql);
    std::vector<std::vector<zyl::Value>> rows;
    zyl::drivers::RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) {
        std::vector<zyl::Value> row;
        for (size_t c = 0; c < batch.column_count; ++c) {
          row.push_back(zyl::drivers::cell_to_value(batch.at(r, c), result->columns()[c].type));
        }
        rows.push_back(std::move(row));
      }
    }
    result.reset();
    connection->close();
    return rows;
  }
  long long count(const std::string& type, const std::string& file, const std::string& table) {
    auto rows = query(type, file, "SELECT COUNT(*) FROM " + table);
    return rows.at(0).at(0).get<long long>();
  }
  bool exists(const std::string& type, const std::string& file, const std::string& table) {
    try {
      count(type, file, table);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  void write_model(const std::string& name, const std::string& sql) {
    std::ofstream(shop() / "models" / (name + ".sql")) << sql;
  }

  fs::path root_;
};

TEST_F(BrekEndToEnd, RunBuildsEveryModelOnItsTargetAndTheSecondRunIsIncremental) {
  Outcome first = run_shop();
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_THAT(first.out, HasSubstr("running 7 models on 3 threads (profile shop, target dev)"));
  EXPECT_THAT(first.out, HasSubstr(": OK=7 ERROR=0 SKIP=0 TOTAL=7"));
  EXPECT_THAT(first.out, HasSubstr("START  customer_orders (dev, duckdb_compute)"));
  EXPECT_THAT(first.out, HasSubstr("OK     stg_orders (dev, sling_direct)"));
  EXPECT_THAT(first.out, HasSubstr("[40 rows in"));

  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.stg_orders"), 40);
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.stg_customers"), 12);
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.customer_orders"), 40);
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.customer_revenue"), 12);
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.top_customers"), 5);
  EXPECT_EQ(count("sqlite", "reporting.sqlite", "revenue_by_country"), 4);
  // The seed, on the warehouse, reached the reporting target through the cache.
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.country_regions"), 4);
  EXPECT_EQ(count("sqlite", "reporting.sqlite", "revenue_by_country WHERE region = 'West'"), 2);
  EXPECT_EQ(count("sqlite", "reporting.sqlite", "country_targets"), 4);
  // The reporting models are not on the warehouse, the warehouse models not on reporting.
  EXPECT_FALSE(exists("duckdb", "warehouse.duckdb", "analytics.revenue_by_country"));
  EXPECT_FALSE(exists("sqlite", "reporting.sqlite", "stg_orders"));
  auto revenue = query("sqlite", "reporting.sqlite",
                       "SELECT SUM(customers), SUM(orders) FROM revenue_by_country");
  EXPECT_EQ(revenue[0][0], 12);
  EXPECT_EQ(revenue[0][1], 36);  // 40 orders, 4 of them cancelled

  zyl::Value results = zyl::Value::parse(read_file(shop() / "target" / "run_results.json"));
  ASSERT_EQ(results["results"].size(), 7u);
  for (const auto& r : results["results"]) EXPECT_EQ(r["status"], "success") << r.dump();
  EXPECT_THAT(read_file(shop() / "logs" / "zyl.log"), HasSubstr("ZYL [stg_orders]"));
  EXPECT_THAT(read_file(shop() / "logs" / "usage_events.jsonl"), HasSubstr("zyl_extraction"));

  // A day later: 10 new orders and 6 changed ones; only those 16 are copied and merged.
  seed(2);
  Outcome second = run_shop();
  ASSERT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_THAT(second.out, HasSubstr(": OK=7 ERROR=0 SKIP=0 TOTAL=7"));
  EXPECT_THAT(second.out, testing::ContainsRegex("OK     stg_orders .*\\[16 rows, incremental, in"));
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.stg_orders"), 50);
  auto orders = query("duckdb", "warehouse.duckdb",
                      "SELECT COUNT(DISTINCT order_id), COUNT(*) FILTER (WHERE status = "
                      "'cancelled' AND order_id BETWEEN 35 AND 40) FROM analytics.stg_orders");
  EXPECT_EQ(orders[0][0], 50);
  EXPECT_EQ(orders[0][1], 6);

  // --full-refresh rebuilds the incremental model from every order.
  Outcome refresh = run_shop("--full-refresh --select stg_orders");
  ASSERT_EQ(refresh.status, 0) << refresh.out << refresh.err;
  EXPECT_THAT(refresh.out, testing::ContainsRegex("OK     stg_orders .*\\[50 rows in"));
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.stg_orders"), 50);
}

TEST_F(BrekEndToEnd, AFailingModelFailsTheRunAndItsDependantsAreSkipped) {
  write_model("broken", "select no_such_column from {{ ref('stg_customers') }}\n");
  write_model("after_broken", "select * from {{ ref('broken') }}\n");
  Outcome o = run_shop();
  EXPECT_EQ(o.status, 1) << o.out << o.err;
  EXPECT_THAT(o.out, HasSubstr(": OK=7 ERROR=1 SKIP=1 TOTAL=9"));
  EXPECT_THAT(o.out, HasSubstr("ERROR  broken (dev, default_pushdown)"));
  EXPECT_THAT(o.out, HasSubstr("SKIP   after_broken"));
  EXPECT_THAT(o.out, HasSubstr("no_such_column"));
  EXPECT_FALSE(exists("duckdb", "warehouse.duckdb", "analytics.after_broken"));
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.customer_revenue"), 12);
  zyl::Value results = zyl::Value::parse(read_file(shop() / "target" / "run_results.json"));
  int skipped = 0;
  for (const auto& r : results["results"]) skipped += r["status"] == "skipped";
  EXPECT_EQ(skipped, 1);
}

TEST_F(BrekEndToEnd, AFailedTableRebuildKeepsThePreviousTable) {
  ASSERT_EQ(run_shop("--select +customer_revenue").status, 0);
  // The model now fails half way through: its old rows must stay.
  write_model("customer_revenue", "select 1 as x union all select 'not a number' + 1\n");
  fs::remove(shop() / "models" / "marts" / "customer_revenue.sql");
  fs::remove(shop() / "models" / "marts" / "top_customers.sql");
  fs::remove(shop() / "models" / "reporting" / "revenue_by_country.sql");
  fs::remove(shop() / "models" / "reporting" / "reporting.yml");  // its tests and exposure
  Outcome o = run_shop("--select customer_revenue");
  EXPECT_EQ(o.status, 1) << o.out << o.err;
  EXPECT_EQ(count("duckdb", "warehouse.duckdb", "analytics.customer_revenue"), 12);
  EXPECT_FALSE(exists("duckdb", "warehouse.duckdb", "analytics.customer_revenue__brek_tmp"));
}

TEST_F(BrekEndToEnd, LsShowsEachModelsTargetAndPath) {
  Outcome o = brek("ls --project-dir " + shop().string());
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_THAT(o.out, testing::ContainsRegex("customer_orders +table +dev +duckdb_compute"));
  EXPECT_THAT(o.out, testing::ContainsRegex("customer_revenue +table +dev +default_pushdown"));
  EXPECT_THAT(o.out, testing::ContainsRegex("country_targets +table +reporting +non_default_pushdown"));
  EXPECT_THAT(o.out, testing::ContainsRegex("stg_orders +incremental +dev +sling_direct +sales.orders@sales"));
  EXPECT_THAT(o.out, testing::ContainsRegex("revenue_by_country +table +reporting +duckdb_compute +customer_revenue"));

  Outcome selected = brek("ls --project-dir " + shop().string() + " --select +customer_revenue");
  ASSERT_EQ(selected.status, 0) << selected.err;
  EXPECT_THAT(selected.out, HasSubstr("stg_customers"));
  EXPECT_THAT(selected.out, Not(HasSubstr("country_targets")));
}

// Compile and ls --verbose show the query each source of an extraction model is read with: only
// the columns it uses, in the source's quoting; a run sends the same query and says so.
TEST_F(BrekEndToEnd, LsListsSeedsTestsAndExposuresByResourceType) {
  Outcome o = brek("ls --project-dir " + shop().string() + " --resource-type seed exposure");
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_THAT(o.out, testing::ContainsRegex("country_regions +seed +dev"));
  EXPECT_THAT(o.out, testing::ContainsRegex("country_dashboard +exposure"));
  EXPECT_THAT(o.out, Not(HasSubstr("stg_orders")));
  Outcome tests = brek("ls --project-dir " + shop().string() + " --resource-type test -s stg_orders");
  EXPECT_THAT(tests.out, testing::ContainsRegex("unique_stg_orders_order_id +test +dev"));
}

TEST_F(BrekEndToEnd, CompileAndLsShowEachSourcesExtractionQuery) {
  const std::string orders =
      "sales__orders (duckdb): SELECT \"order_id\", \"customer_id\", \"status\", \"amount\" "
      "FROM \"sales\".\"orders\"";
  const std::string customers =
      "crm__customers (sqlite): SELECT \"id\", \"name\", \"country\" FROM \"main\".\"customers\"";
  Outcome compiled = brek("compile --project-dir " + shop().string());
  ASSERT_EQ(compiled.status, 0) << compiled.out << compiled.err;
  EXPECT_THAT(compiled.out, HasSubstr("Extraction queries:\n  customer_orders:\n    " + orders +
                                      "\n    " + customers + "\n"));
  EXPECT_THAT(compiled.out, Not(HasSubstr("customer_revenue:")));  // runs on its target as it is

  Outcome listed = brek("ls --verbose --project-dir " + shop().string() + " --select customer_orders");
  ASSERT_EQ(listed.status, 0) << listed.out << listed.err;
  EXPECT_THAT(listed.out, HasSubstr(orders));

  ASSERT_EQ(run_shop("--select customer_orders").status, 0);
  std::string log = read_file(shop() / "logs" / "zyl.log");
  EXPECT_THAT(log, HasSubstr("ZYL [customer_orders]: extracting " +
                             orders.substr(0, orders.find(" (")) + ": SELECT \"order_id\""));
}

TEST_F(BrekEndToEnd, RetractLeavesTheTargetsEmptyOfTheSelectedModels) {
  ASSERT_EQ(run_shop().status, 0);
  Outcome partial = brek("retract --project-dir " + shop().string() + " --select revenue_by_country");
  ASSERT_EQ(partial.status, 0) << partial.out << partial.err;
  EXPECT_FALSE(exists("sqlite", "reporting.sqlite", "revenue_by_country"));
  EXPECT_TRUE(exists("sqlite", "reporting.sqlite", "country_targets"));

  Outcome all = brek("retract --project-dir " + shop().string());
  ASSERT_EQ(all.status, 0) << all.out << all.err;
  EXPECT_THAT(all.out, HasSubstr("Retracting 7 model(s)"));
  for (const char* table : {"stg_orders", "stg_customers", "customer_orders", "customer_revenue",
                            "top_customers"}) {
    EXPECT_FALSE(exists("duckdb", "warehouse.duckdb", std::string("analytics.") + table)) << table;
  }
  EXPECT_FALSE(exists("sqlite", "reporting.sqlite", "country_targets"));
  // The sources are untouched, and the cache keeps no model results.
  EXPECT_EQ(count("duckdb", "webshop.duckdb", "sales.orders"), 40);
  auto cached = query("duckdb", "../.zyl/cache.duckdb",
                      "SELECT COUNT(*) FROM information_schema.tables WHERE table_name LIKE "
                      "'\\_\\_model\\_\\_%' ESCAPE '\\'");
  EXPECT_EQ(cached[0][0], 0);
}

// The example's build: its seed, models, snapshot and tests, one of which warns on purpose.
// The cross-target test reads a seed its own model reads too; it must not hold that model back.
TEST_F(BrekEndToEnd, BuildOfTheExampleRunsEveryNodeAndWarnsOnce) {
  Outcome built = brek("build --project-dir " + shop().string() + " --threads 2");
  ASSERT_EQ(built.status, 0) << built.out << built.err;
  EXPECT_THAT(built.out, HasSubstr("building 16 nodes"));
  EXPECT_THAT(built.out, HasSubstr("WARN   accepted_values_stg_orders_status__shipped"));
  EXPECT_THAT(built.out, HasSubstr("OK=15 ERROR=0 SKIP=0 WARN=1 TOTAL=16"));
  EXPECT_THAT(built.out, testing::ContainsRegex("OK +customers_snapshot"));
  EXPECT_THAT(read_file(shop() / "target" / "run_results.json"),
              HasSubstr("\"snapshot.shop.customers_snapshot\""));
  Outcome only = brek("build --project-dir " + shop().string() + " --resource-type snapshot");
  ASSERT_EQ(only.status, 0) << only.out << only.err;
  EXPECT_THAT(only.out, HasSubstr("building 1 node "));
}

// The example's snapshot keeps the customers' history on the reporting target (SQLite), read
// from the CRM through the cache: a moved customer gets a second version.
TEST_F(BrekEndToEnd, TheExampleSnapshotRecordsAMovedCustomer) {
  Outcome first = brek("snapshot --project-dir " + shop().string());
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_EQ(count("sqlite", "reporting.sqlite", "customers_snapshot"), 12);
  ASSERT_EQ(brek("run --project-dir " + (root_ / "seed" / "crm").string() + " --vars '{batch: 2}'")
                .status,
            0);
  Outcome second = brek("snapshot --project-dir " + shop().string());
  ASSERT_EQ(second.status, 0) << second.out << second.err;
  auto versions = query("sqlite", "reporting.sqlite",
                        "SELECT country, brek_valid_to IS NULL FROM customers_snapshot "
                        "WHERE id = 3 ORDER BY brek_valid_from");
  ASSERT_EQ(versions.size(), 2u);
  EXPECT_EQ(versions[0][0], "se");
  EXPECT_EQ(versions[1][0], "de");
  EXPECT_EQ(versions[1][1], 1);
  EXPECT_EQ(count("sqlite", "reporting.sqlite", "customers_snapshot"), 13);
}

TEST_F(BrekEndToEnd, UsageAndProjectErrorsExitWithTwo) {
  EXPECT_EQ(brek("run --project-dir " + (root_ / "nowhere").string()).status, 2);
  Outcome target = brek("run --project-dir " + shop().string() + " --target nope");
  EXPECT_EQ(target.status, 2);
  EXPECT_THAT(target.err, HasSubstr("target 'nope' not found"));
  EXPECT_EQ(brek("run --no-such-option").status, 2);
  EXPECT_EQ(brek("run --project-dir " + shop().string() + " --vars '[1, 2]'").status, 2);
  write_model("bad_ref", "select * from {{ ref('no_such_model') }}\n");
  Outcome compile = brek("compile --project-dir " + shop().string());
  EXPECT_EQ(compile.status, 2);
  EXPECT_THAT(compile.err, HasSubstr("no_such_model"));
  EXPECT_FALSE(exists("duckdb", "warehouse.duckdb", "analytics.stg_orders"));  // nothing ran
}

TEST_F(BrekEndToEnd, ParseCompileSyncAndDebug) {
  Outcome parse = brek("parse --project-dir " + shop().string());
  ASSERT_EQ(parse.status, 0) << parse.err;
  EXPECT_TRUE(fs::exists(shop() / "target" / "manifest.json"));
  EXPECT_THAT(parse.out, Not(HasSubstr("Warning:")));
  // Moving the default target to another engine is reported once, by the next command.
  Outcome moved = brek("parse --project-dir " + shop().string() + " --target reporting");
  ASSERT_EQ(moved.status, 0) << moved.err;
  EXPECT_THAT(moved.out, HasSubstr("Warning: ZYL008: Default target adapter type changed"));
  Outcome compile = brek("compile --project-dir " + shop().string());
  ASSERT_EQ(compile.status, 0) << compile.err;
  EXPECT_THAT(compile.out, HasSubstr("Warning: ZYL008"));  // and back again
  EXPECT_THAT(read_file(shop() / "target" / "compiled" / "shop" / "models" / "marts" /
                        "customer_revenue.sql"),
              HasSubstr("\"warehouse\".\"analytics\".\"stg_customers\""));

  Outcome sync = brek("sync --dry-run --project-dir " + shop().string());
  ASSERT_EQ(sync.status, 0) << sync.err;
  EXPECT_THAT(sync.out, HasSubstr("sqlite_scanner: dry_run"));
  EXPECT_THAT(sync.out, HasSubstr("json: dry_run"));

  Outcome debug = brek("debug --project-dir " + shop().string());
  ASSERT_EQ(debug.status, 0) << debug.out << debug.err;
  EXPECT_THAT(debug.out, testing::ContainsRegex("dev \\(default\\) +duckdb +native +duckdb://.*"
                                                "warehouse.duckdb +pushdown, cache → target +yes "
                                                "+v1\\.4"));
  EXPECT_THAT(debug.out, testing::ContainsRegex("crm +sqlite +native +sqlite://.*crm.sqlite +"
                                                "source → cache +yes +3\\.[0-9]"));
  EXPECT_THAT(debug.out, testing::ContainsRegex("reporting +sqlite +.* +cache → target +yes"));

  // An output that does not connect says so, with its error, and never shows its password.
  std::ofstream(shop() / "profiles.yml", std::ios::app)
      << "    pg:\n      type: postgres\n      host: 127.0.0.1\n      port: 1\n"
         "      user: etl\n      password: s3cret-pw\n      dbname: dw\n";
  Outcome down = brek("debug --project-dir " + shop().string());
  EXPECT_EQ(down.status, 0) << down.out;  // the default target still connects
  EXPECT_THAT(down.out,
              testing::ContainsRegex(
                  "pg +postgres +native +postgres://etl.*@127.0.0.1:1/dw.* +unused +no +-"));
  EXPECT_THAT(down.out, HasSubstr("  pg: postgres: could not connect to 127.0.0.1:1"));
  EXPECT_THAT(down.out + down.err, Not(HasSubstr("s3cret-pw")));
}

TEST_F(BrekEndToEnd, TheDefaultConsoleHoldsNoLogLinesAndTheLogFileHoldsThemAll) {
  Outcome o = run_shop();
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_EQ(o.err, "");
  // Every line is the header, a START or result line, a blank or the summary: nothing else.
  std::istringstream lines(o.out);
  std::string line;
  int count = 0;
  const std::regex allowed(
      "|brek [0-9.]+: running [0-9]+ models .*|  [0-9]+ of 7 (START|OK)  +[a-z_]+ \\(.*|Done in "
      ".*");
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(std::regex_match(line, allowed)) << "unexpected console line: " << line;
  }
  EXPECT_EQ(count, 2 + 7 * 2 + 2);                   // fits in one screen
  EXPECT_EQ(o.out.find('\033'), std::string::npos);  // not a terminal: no colours
  std::string log = read_file(shop() / "logs" / "zyl.log");
  EXPECT_THAT(log, HasSubstr("[info] zyl.runners.ferry (Thread-"));
  EXPECT_THAT(log, HasSubstr("]: DuckDB SQL: "));

  Outcome verbose = run_shop("-v");
  ASSERT_EQ(verbose.status, 0) << verbose.err;
  EXPECT_THAT(verbose.err, HasSubstr("ZYL [stg_customers]: extraction via DuckDB cache"));
  EXPECT_THAT(verbose.err, Not(HasSubstr("[debug]")));
  Outcome info = run_shop("--log-level info");
  EXPECT_THAT(info.err, HasSubstr("ZYL [stg_customers]: extraction via DuckDB cache"));
  Outcome warn = run_shop("--log-level warn");
  EXPECT_THAT(warn.err, Not(HasSubstr("ZYL [")));
  EXPECT_EQ(run_shop("--log-level loud").status, 2);

  Outcome quiet = run_shop("--quiet");
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_THAT(quiet.out, testing::MatchesRegex("Done in [0-9.]+s: OK=7 ERROR=0 SKIP=0 TOTAL=7\n"));
}

TEST_F(BrekEndToEnd, ColoursOnlyOnATerminalWithoutNoColor) {
  // script(1) gives brek a terminal for its standard output and copies what it shows.
  auto on_terminal = [&](const std::string& environment) {
    fs::path screen = root_ / "screen.txt";
    std::string command = environment + " script -qec " +
                          shell_quote(zyl::test_support::shell_line(zyl::test_support::command(BREK_BINARY)) +
                                      "run --project-dir " +
                                      shell_quote(shop().string()) + " --select stg_customers") +
                          " /dev/null >" + shell_quote(screen.string()) + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return read_file(screen);
  };
  std::string coloured = on_terminal("");
  EXPECT_THAT(coloured, HasSubstr("\033[32mOK\033[0m")) << coloured;
  std::string plain = on_terminal("NO_COLOR=1");
  EXPECT_THAT(plain, HasSubstr(" OK "));
  EXPECT_EQ(plain.find("\033["), std::string::npos) << plain;
}

TEST_F(BrekEndToEnd, UsageEventsCanBeTurnedOff) {
  Outcome o = brek("run --project-dir " + shop().string() + " --select stg_customers",
                   "BREK_NO_USAGE_EVENTS=1");
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_THAT(o.out, HasSubstr(": OK=1 ERROR=0 SKIP=0 TOTAL=1"));
  EXPECT_FALSE(fs::exists(shop() / "logs" / "usage_events.jsonl"));
}

}  // namespace
