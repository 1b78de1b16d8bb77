#include "app/progress.h"

#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brek::app {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::HasSubstr;
using ::testing::Not;

class ProgressBoardTest : public ::testing::Test {
 protected:
  ProgressBoard board_{out_, ProgressBoard::Mode::Plain, [this] { return now_; }};
  std::ostringstream out_;
  ProgressBoard::Clock::time_point now_{};

  std::string take() {
    std::string text = out_.str();
    out_.str("");
    return text;
  }
};

TEST(ProgressText, NamesModelDirectionRowsRateAndTime) {
  EXPECT_EQ(progress_text("orders", false, "crm__customers", 120000, 3.0),
            "  orders: source → cache crm__customers: 120000 rows, 40000 rows/s, 3s");
  EXPECT_EQ(progress_text("orders", true, "analytics.orders", 10, 125.5),
            "  orders: cache → target analytics.orders: 10 rows, 0 rows/s, 2m05s");
  EXPECT_THAT(progress_text("m", false, "t", 5, 0), HasSubstr("0 rows/s"));  // no division by 0

  EXPECT_TRUE(copies_to_target("orders", "orders"));
  EXPECT_TRUE(copies_to_target("orders", "analytics.orders"));
  EXPECT_TRUE(copies_to_target("my model", R"("analytics"."my model")"));  // as loads name it
  EXPECT_FALSE(copies_to_target("orders", "shop__orders"));
  EXPECT_FALSE(copies_to_target("orders", "raw_orders"));
  EXPECT_FALSE(copies_to_target("orders", ".orders_x"));
}

TEST_F(ProgressBoardTest, OffTheTerminalACopyPrintsOneLineEveryTenSeconds) {
  board_.model_started("orders");
  for (int second = 0; second <= 25; ++second) {
    now_ = ProgressBoard::Clock::time_point{} + seconds(second);
    board_.copied(1000 * second, "crm__customers");
  }
  std::string text = take();
  EXPECT_EQ(text,
            "  orders: source → cache crm__customers: 10000 rows, 1000 rows/s, 10s\n"
            "  orders: source → cache crm__customers: 20000 rows, 1000 rows/s, 20s\n");
  // The next copy of the model starts its own clock; a finished model prints no more.
  board_.copied(5, "orders");
  now_ += seconds(10);
  board_.copied(10, "orders");
  EXPECT_THAT(take(), HasSubstr("cache → target orders: 10 rows, 1 rows/s, 10s"));
  board_.model_finished();
  now_ += seconds(60);
  board_.copied(20, "orders");
  EXPECT_EQ(take(), "");
}

TEST_F(ProgressBoardTest, OnATerminalLongCopiesKeepOneLineEachBelowThePrintedLines) {
  board_.set_mode(ProgressBoard::Mode::Terminal);
  board_.model_started("orders");
  board_.copied(100, "crm__customers");
  now_ += milliseconds(1900);
  board_.copied(200, "crm__customers");
  EXPECT_EQ(take(), "");  // a short copy shows nothing

  now_ += milliseconds(200);
  board_.copied(300, "crm__customers");
  EXPECT_EQ(take(), "  orders: source → cache crm__customers: 300 rows, 142 rows/s, 2s");
  now_ += milliseconds(100);
  board_.copied(400, "crm__customers");
  EXPECT_EQ(take(), "");  // not redrawn more often than every 250 ms

  // A second worker's copy gets a line of its own; the redraw goes back up over both.
  std::thread other([&] {
    board_.model_started("items");
    board_.copied(1, "shop__items");
    now_ += seconds(3);
    board_.copied(9000, "shop__items");
  });
  other.join();
  std::string both = take();
  EXPECT_EQ(both.substr(0, 4), "\r\033[J");
  EXPECT_THAT(both, HasSubstr("items: source → cache shop__items: 9000 rows, 3000 rows/s, 3s"));
  EXPECT_THAT(both, HasSubstr("orders: source → cache crm__customers: 400 rows"));
  EXPECT_EQ(std::count(both.begin(), both.end(), '\n'), 1);

  // A printed line clears both (up one line, then to the end of the screen) and they come back.
  board_.print("  2 of 7 OK");
  std::string printed = take();
  EXPECT_EQ(printed.rfind("\r\033[1A\033[J  2 of 7 OK\n", 0), 0u) << printed;
  EXPECT_THAT(printed, HasSubstr("items:"));

  // Leaving terminal mode removes the lines and prints no further progress.
  board_.set_mode(ProgressBoard::Mode::Off);
  EXPECT_EQ(take(), "\r\033[1A\033[J");
  now_ += seconds(5);
  board_.copied(500, "crm__customers");
  board_.print("done");
  EXPECT_EQ(take(), "done\n");
}

TEST_F(ProgressBoardTest, TerminalLinesNeverWrapNorSplitACharacter) {
  board_.set_mode(ProgressBoard::Mode::Terminal);
  board_.model_started(std::string(67, 'x'));  // the cut falls inside "→"
  board_.copied(1, "t");
  now_ += seconds(3);
  board_.copied(2, "t");
  std::string line = take().substr(4);  // after the erase sequence
  EXPECT_LE(line.size(), 79u);
  EXPECT_THAT(line, Not(HasSubstr("\n")));
  EXPECT_NE(static_cast<unsigned char>(line.back()) & 0xC0, 0x80);  // no half of "→"
  EXPECT_NE(static_cast<unsigned char>(line.back()), 0xE2);
}

}  // namespace
}  // namespace brek::app
