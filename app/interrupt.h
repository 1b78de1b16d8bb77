// Ctrl-C during `brek run`.
//
// The first SIGINT stops the run: no new model starts (brek::request_stop), every statement
// running on a connection of the process is asked to stop (zyl::drivers::interrupt_all, called
// from a helper thread because it takes locks and may open a connection), and a copy checks
// between batches and gives up (throw_if_cancelled). The models that were running fail, their
// staging tables rolled back or removed by the mover, and the run exits with 130. A second
// SIGINT ends the process at once with 130.
#pragma once

#include <string>

namespace brek::app {

// Installs the handler for its lifetime. One at a time.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Throws std::runtime_error "cancelled by Ctrl-C" once the run has been interrupted.
void throw_if_cancelled();

// Test builds only (ZYL_TEST_HOOKS): when the environment holds BREK_TEST_PAUSE=<point>:<fd>
// and `point` is reached the first time, writes one byte to file descriptor `fd` and waits
// until the run is interrupted, so that a test can send SIGINT at a known place without timing.
// Points: "extract" (a copy into the cache) and "load" (a copy into a target), after their
// first batch. With BREK_TEST_PAUSE=<point>:<fd>:hold the pause lasts until the process ends.
// Does nothing in other builds.
void test_pause_point(const std::string& point);

}  // namespace brek::app
