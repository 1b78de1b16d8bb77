// Row counts past 2^31 and 2^32, as a 32-bit long or size_t would cut them, from the extraction
// result record to the console lines and the progress line.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "app/console.h"
#include "app/progress.h"
#include "brek/nodes.h"
#include "zyl/runners/ferry.h"

namespace brek::app {
namespace {

constexpr std::int64_t kPast31 = 3000000000LL;
constexpr std::int64_t kPast32 = 5000000000LL;

TEST(RowCounters, CountsPast32BitsReachTheResultRecordAndEveryLine) {
  for (std::int64_t rows : {kPast31, kPast32}) {
    const std::string text = std::to_string(rows);
    RunResult result = zyl::runners::ferry::_make_run_result(
        std::make_shared<Node>(), RunStatus::Success, "copied", 1.0, rows);
    EXPECT_EQ(result.adapter_response["rows_affected"].get<std::int64_t>(), rows);
    EXPECT_NE(result.adapter_response.dump().find("\"rows_affected\":" + text), std::string::npos)
        << result.adapter_response.dump();
    EXPECT_EQ(rows_of(result), rows);

    const ModelLine model{1, 1, "stg_orders", "dev", "sling_direct"};
    std::string line = result_line(model, RunStatus::Success, rows_of(result), 1.0);
    EXPECT_NE(line.find("[" + text + " rows in 1.00s]"), std::string::npos) << line;
    EXPECT_NE(progress_text("stg_orders", true, "stg_orders", rows, 1.0)
                  .find(": " + text + " rows, " + text + " rows/s"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace brek::app
