// Test helper: a statement stopped by interrupt_all() from another thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "drivers/driver.h"

namespace zyl::drivers::test_support {

struct Interrupted {
  bool threw = false;   // the statement failed with DriverError
  std::string message;  // its message
};

// Runs `statement` on a second thread and calls interrupt_all() until it has ended, so that an
// interrupt sent before the statement reached the server is simply sent again. A statement that
// is never stopped keeps the test waiting until the test runner's timeout.
inline Interrupted interrupt_while_running(const std::function<void()>& statement) {
  Interrupted outcome;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread runner([&] {
    try {
      statement();
    } catch (const DriverError& e) {
      outcome.threw = true;
      outcome.message = e.what();
    }
    std::lock_guard lock(mutex);
    done = true;
    ended.notify_all();
  });
  std::unique_lock lock(mutex);
  while (!done) {
    lock.unlock();
    interrupt_all();
    lock.lock();
    ended.wait_for(lock, std::chrono::milliseconds(20), [&] { return done; });
  }
  lock.unlock();
  runner.join();
  return outcome;
}

// Reads every row of `sql`, throwing what the driver throws.
inline void read_through(Connection& conn, const std::string& sql) {
  auto result = conn.query(sql);
  RowBatch batch;
  while (result->next(batch)) {
  }
}

}  // namespace zyl::drivers::test_support
