// What the `brek` command line prints: the lines of the run command, the summary and the
// listings, as plain functions of their values so that they can be checked on their own.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "brek/run_result.h"

namespace brek::app {

// One model as the console shows it.
struct ModelLine {
  int index = 0;
  int total = 0;
  std::string name;
  std::string target;
  std::string path;  // the execution path's value ("default_pushdown", ...)
  bool colour = false;  // the status word in colour (for a terminal)
};

// Whether lines for standard output may carry colour: it is a terminal and NO_COLOR is unset or
// empty.
bool colour_wanted();

// "  2 of 7 START  orders (dev, duckdb_compute) ........ [RUN]"
std::string start_line(const ModelLine& model);

// "  2 of 7 OK     orders (dev, duckdb_compute) ........ [42 rows in 0.31s]", with "ERROR" or
// "SKIP" for the other statuses. `rows` < 0 leaves the row count out.
// `incremental` adds ", incremental" after the row count.
std::string result_line(const ModelLine& model, RunStatus status, long long rows, double seconds,
                        bool incremental = false);

struct Counts {
  int ok = 0;
  int error = 0;
  int skipped = 0;
  int warned = 0;  // data tests that failed with severity warn
  int not_started = 0;
};

Counts count_results(const std::vector<RunResult>& results);

// "Done in 1.52s: OK=5 ERROR=1 SKIP=1 TOTAL=7"; warnings add "WARN=n", an interrupted run
// "NOT_STARTED=n". Passed tests count as OK, failed ones as ERROR.
std::string summary_line(const Counts& counts, double seconds);

// The row count of a result's adapter response, -1 when it has none.
long long rows_of(const RunResult& result);

// Rows of text laid out in columns separated by two blanks.
std::string columns(const std::vector<std::vector<std::string>>& rows);

}  // namespace brek::app
