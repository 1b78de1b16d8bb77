#include "core/log.h"

#include <thread>

#include <gtest/gtest.h>

namespace zyl::log {
namespace {

TEST(LogTest, CaptureRecordsLinesOfNamedLoggers) {
  Capture capture;
  get("zyl.a").info("one {}", 1);
  get("zyl.b").warn("two");
  get("zyl.a").debug("three");
  EXPECT_EQ(capture.messages("zyl.a"), (std::vector<std::string>{"one 1", "three"}));
  EXPECT_EQ(capture.messages("", spdlog::level::warn), (std::vector<std::string>{"two"}));
  EXPECT_TRUE(capture.contains("two"));
  capture.clear();
  EXPECT_TRUE(capture.lines().empty());
}

TEST(LogTest, ThreadNamesArePerThread) {
  EXPECT_EQ(thread_name(), "MainThread");
  std::string seen;
  std::thread t([&] {
    set_thread_name("Thread-1");
    seen = thread_name();
  });
  t.join();
  EXPECT_EQ(seen, "Thread-1");
  EXPECT_EQ(thread_name(), "MainThread");
}

}  // namespace
}  // namespace zyl::log
