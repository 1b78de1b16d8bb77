#include "drivers/read_ahead.h"

#include <gtest/gtest.h>

#include <atomic>

namespace zyl::drivers {
namespace {

// Numbers 0, 1, 2, ... in one column, `per_batch` a batch, `batches` batches; fails instead of
// giving batch `fail_at` when that is set.
class Counting final : public QueryResult {
 public:
  Counting(int batches, int per_batch, int fail_at = -1)
      : batches_(batches), per_batch_(per_batch), fail_at_(fail_at) {}
  const std::vector<Column>& columns() const override { return columns_; }
  bool next(RowBatch& batch, size_t) override {
    int index = reads_++;
    if (index == fail_at_) throw DriverError("source lost at batch " + std::to_string(index));
    if (index >= batches_) return false;
    batch.column_count = 1;
    batch.cells.clear();
    for (int i = 0; i < per_batch_; ++i) {
      batch.cells.emplace_back(std::int64_t{index * per_batch_ + i});
    }
    return true;
  }
  std::atomic<int> reads_{0};

 private:
  int batches_, per_batch_, fail_at_;
  std::vector<Column> columns_{{"n", {}}};
};

TEST(ReadAhead, EveryRowArrivesInOrderAndAnErrorAfterTheRowsReadBeforeIt) {
  Counting rows(50, 7);
  ReadAhead ahead(rows, 7);
  RowBatch batch;
  std::int64_t expected = 0;
  while (ahead.next(batch)) {
    ASSERT_EQ(batch.rows(), 7u);
    for (size_t r = 0; r < batch.rows(); ++r) {
      ASSERT_EQ(std::get<std::int64_t>(batch.at(r, 0)), expected++);
    }
  }
  EXPECT_EQ(expected, 350);
  EXPECT_FALSE(ahead.next(batch));  // the end stays the end

  Counting failing(10, 3, 2);
  ReadAhead failing_ahead(failing, 3);
  ASSERT_TRUE(failing_ahead.next(batch));
  ASSERT_TRUE(failing_ahead.next(batch));
  EXPECT_EQ(std::get<std::int64_t>(batch.at(0, 0)), 3);
  try {
    failing_ahead.next(batch);
    FAIL() << "the source's error was not thrown";
  } catch (const DriverError& e) {
    EXPECT_STREQ(e.what(), "source lost at batch 2");
  }
}

// A writer that fails leaves the ReadAhead early: the reading thread stops a few batches ahead
// instead of draining the whole source.
TEST(ReadAhead, StopsReadingWhenLeftBeforeTheEnd) {
  Counting rows(1000000, 1);
  {
    ReadAhead ahead(rows, 1);
    RowBatch batch;
    ASSERT_TRUE(ahead.next(batch));
  }
  EXPECT_LE(rows.reads_.load(), 5);
}

}  // namespace
}  // namespace zyl::drivers
