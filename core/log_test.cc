#include "core/log.h"

#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "core/test_support/temp_dir.h"

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

std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(LogTest, TheFileTakesEveryLineAndTheConsoleOnlyWhatItWasAskedFor) {
  test_support::TempDir dir;
  struct Case {
    spdlog::level::level_enum console;
    std::string shown;
  };
  for (const Case& c : {Case{spdlog::level::off, ""}, Case{spdlog::level::info, "info\nwarn\n"},
                        Case{level_named("debug"), "debug\ninfo\nwarn\n"}}) {
    testing::internal::CaptureStderr();
    setup_application(dir.path(), c.console);
    get("zyl.test").debug("debug");
    get("zyl.test").info("info");
    get("zyl.test").warn("warn");
    reset_application();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.shown);
  }
  std::string log = file_text(dir.path() / "logs" / "zyl.log");
  EXPECT_NE(log.find("[debug] zyl.test (MainThread): debug"), std::string::npos) << log;
  EXPECT_NE(log.find("[info] zyl.test (MainThread): info"), std::string::npos);
  EXPECT_EQ(log.find('\033'), std::string::npos);
  EXPECT_THROW(level_named("loud"), std::invalid_argument);
}

}  // namespace
}  // namespace zyl::log
