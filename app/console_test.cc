#include "app/console.h"

#include <gtest/gtest.h>

#include "app/commands.h"

namespace brek::app {
namespace {

const ModelLine kOrders{2, 7, "orders", "dev", "duckdb_compute"};

TEST(ConsoleLines, NameIndexTargetPathAndOutcome) {
  std::string start = start_line(kOrders);
  EXPECT_EQ(start.rfind("  2 of 7 START  orders (dev, duckdb_compute) ", 0), 0u) << start;
  EXPECT_EQ(start.substr(start.size() - 6), " [RUN]");

  EXPECT_NE(result_line(kOrders, RunStatus::Success, 42, 0.314).find("[42 rows in 0.31s]"),
            std::string::npos);
  EXPECT_NE(result_line(kOrders, RunStatus::Success, 1, 2).find("[1 row in 2.00s]"),
            std::string::npos);
  EXPECT_NE(result_line(kOrders, RunStatus::Success, 16, 0.5, true)
                .find("[16 rows, incremental, in 0.50s]"),
            std::string::npos);
  // Views report no row count.
  EXPECT_NE(result_line(kOrders, RunStatus::Success, -1, 0).find("[done in 0.00s]"),
            std::string::npos);
  EXPECT_NE(result_line(kOrders, RunStatus::Error, 0, 1.5).find(" ERROR  orders"),
            std::string::npos);
  EXPECT_NE(result_line(kOrders, RunStatus::Skipped, 0, 0).find("[SKIP]"), std::string::npos);

  // A very long model name still gets dots between name and status.
  ModelLine longer = kOrders;
  longer.name = std::string(90, 'x');
  EXPECT_NE(start_line(longer).find(") ... [RUN]"), std::string::npos);
}

TEST(ConsoleLines, ColourMarksOnlyTheStatusWordAndKeepsTheColumns) {
  ModelLine coloured = kOrders;
  coloured.colour = true;
  std::string ok = result_line(coloured, RunStatus::Success, 42, 0.314);
  EXPECT_NE(ok.find("  2 of 7 \033[32mOK\033[0m     orders"), std::string::npos) << ok;
  std::string plain = result_line(kOrders, RunStatus::Success, 42, 0.314);
  EXPECT_EQ(ok.size() - plain.size(), std::string("\033[32m\033[0m").size());
  EXPECT_NE(result_line(coloured, RunStatus::Error, 0, 1).find("\033[31mERROR\033[0m"),
            std::string::npos);
  EXPECT_NE(result_line(coloured, RunStatus::Skipped, 0, 0).find("\033[33mSKIP\033[0m"),
            std::string::npos);
  EXPECT_EQ(start_line(coloured), start_line(kOrders));  // START stays plain
  EXPECT_EQ(plain.find('\033'), std::string::npos);
}

TEST(ConsoleLines, SummaryCountsEveryStatus) {
  std::vector<RunResult> results(4);
  results[1].status = RunStatus::Error;
  results[2].status = RunStatus::Skipped;
  results[3].status = RunStatus::Skipped;
  Counts counts = count_results(results);
  EXPECT_EQ(summary_line(counts, 1.234), "Done in 1.23s: OK=1 ERROR=1 SKIP=2 TOTAL=4");
  counts.not_started = 3;
  EXPECT_EQ(summary_line(counts, 0), "Done in 0.00s: OK=1 ERROR=1 SKIP=2 NOT_STARTED=3 TOTAL=7");
}

TEST(ConsoleLines, RowsComeFromTheAdapterResponse) {
  RunResult result;
  result.adapter_response = {{"_message", "SELECT 5"}, {"rows_affected", 5}};
  EXPECT_EQ(rows_of(result), 5);
  result.adapter_response["rows_affected"] = nullptr;
  EXPECT_EQ(rows_of(result), -1);
  result.adapter_response = zyl::Value::object();
  EXPECT_EQ(rows_of(result), -1);
}

TEST(ConsoleLines, ColumnsAreAligned) {
  EXPECT_EQ(columns({{"MODEL", "PATH"}, {"orders_enriched", "duckdb_compute"}}),
            "MODEL            PATH\norders_enriched  duckdb_compute\n");
}

TEST(Vars, AYamlMapOrNothing) {
  EXPECT_EQ(parse_vars(""), zyl::Value::object());
  EXPECT_EQ(parse_vars("{days: 3, region: eu}")["days"], 3);
  EXPECT_THROW(parse_vars("[1, 2]"), std::invalid_argument);
  EXPECT_THROW(parse_vars("{a: [}"), std::invalid_argument);
}

}  // namespace
}  // namespace brek::app
