#include "app/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "brek/task/run_task.h"
#include "core/log.h"
#include "drivers/driver.h"

namespace brek::app {
namespace {

std::atomic<int> g_signals{0};
std::atomic<int> g_wake_fd{-1};  // write end of the helper thread's pipe

// The pause of test_pause_point, released by the helper thread once the run is interrupted.
struct Pause {
  std::mutex mutex;
  std::condition_variable released;
  bool interrupted = false;
};

Pause& pause() {
  static Pause* p = new Pause();  // a paused worker may outlive static destruction
  return *p;
}

void release_pause(bool interrupted) {
  Pause& p = pause();
  std::lock_guard lock(p.mutex);
  p.interrupted = interrupted;
  p.released.notify_all();
}

extern "C" void on_interrupt(int) {
  if (g_signals.fetch_add(1) > 0) {
    static const char message[] = "\nInterrupted again: exiting now\n";
    ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    ::_exit(130);
  }
  request_stop();
  static const char message[] =
      "\nInterrupted: cancelling the running models (Ctrl-C again to exit at once)\n";
  ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
  int fd = g_wake_fd.load();
  if (fd >= 0) ignored = ::write(fd, "i", 1);
  (void)ignored;
}

// Waits for the handler's byte and stops what runs; 'q' ends it.
void helper(int read_fd) {
  zyl::log::set_thread_name("Interrupt");
  char byte = 0;
  while (::read(read_fd, &byte, 1) == 1 && byte == 'i') {
    size_t asked = zyl::drivers::interrupt_all();
    zyl::log::get("brek.app")
        .warn("interrupted: asked {} open connection{} to stop", asked, asked == 1 ? "" : "s");
    release_pause(true);
  }
}

std::thread g_helper;
int g_pipe[2] = {-1, -1};
struct sigaction g_previous {};

}  // namespace

InterruptGuard::InterruptGuard() {
  clear_stop_request();
  g_signals.store(0);
  release_pause(false);
  if (::pipe(g_pipe) != 0) throw std::runtime_error("cannot create the interrupt pipe");
  g_wake_fd.store(g_pipe[1]);
  g_helper = std::thread(helper, g_pipe[0]);
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &g_previous);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &g_previous, nullptr);
  g_wake_fd.store(-1);
  ssize_t ignored = ::write(g_pipe[1], "q", 1);
  (void)ignored;
  g_helper.join();
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  release_pause(true);  // nothing may stay paused once the run is over
}

void throw_if_cancelled() {
  if (stop_requested()) throw std::runtime_error("cancelled by Ctrl-C");
}

void test_pause_point(const std::string& point) {
#ifdef ZYL_TEST_HOOKS
  static std::once_flag once;
  const char* setting = std::getenv("BREK_TEST_PAUSE");
  if (setting == nullptr) return;
  std::string text = setting;
  size_t colon = text.find(':');
  if (colon == std::string::npos || text.substr(0, colon) != point) return;
  bool first = false;
  std::call_once(once, [&] { first = true; });
  if (!first) return;
  int fd = std::atoi(text.c_str() + colon + 1);
  bool hold = text.find(":hold", colon) != std::string::npos;  // until the process is killed
  ssize_t ignored = ::write(fd, "p", 1);
  (void)ignored;
  ::close(fd);
  Pause& p = pause();
  std::unique_lock lock(p.mutex);
  p.released.wait(lock, [&] { return p.interrupted && !hold; });
#else
  (void)point;
#endif
}

}  // namespace brek::app
