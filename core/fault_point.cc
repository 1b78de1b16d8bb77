#include "core/fault_point.h"

#ifdef ZYL_TEST_HOOKS

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace zyl {
namespace {

struct Armed {
  std::string point;
  std::string action;
  std::string dir;
  std::string arm;
  int hit = 1;
};

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Read on every visit, so a test may arm another point between two calls.
Armed armed() {
  Armed a;
  a.point = env("ZYL_FAULT_POINT");
  a.action = env("ZYL_FAULT_ACTION");
  a.dir = env("ZYL_FAULT_DIR");
  a.arm = env("ZYL_FAULT_ARM");
  std::string hit = env("ZYL_FAULT_HIT");
  if (!hit.empty()) a.hit = std::atoi(hit.c_str());
  return a;
}

// Whether this visit of the armed point is the one to act on. Visits are counted afresh
// whenever the point, its hit number, its action or ZYL_FAULT_ARM changes.
bool is_the_hit(const Armed& a) {
  static std::mutex mutex;
  static std::string counted;
  static int visits = 0;
  std::lock_guard lock(mutex);
  std::string key = a.point + "#" + std::to_string(a.hit) + "#" + a.action + "#" + a.arm;
  if (key != counted) {
    counted = key;
    visits = 0;
  }
  return ++visits == a.hit;
}

void mark_reached(const std::string& dir) {
  std::ofstream(std::filesystem::path(dir) / "reached") << "reached\n";
}

void wait_for_go(const std::string& dir) {
  namespace fs = std::filesystem;
  mark_reached(dir);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!fs::exists(fs::path(dir) / "go") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

void fault_point(const char* name) {
  Armed a = armed();
  if (a.point.empty() || a.point != name || !is_the_hit(a)) return;
  if (a.action == "fail") throw std::runtime_error(std::string("fault injected at ") + name);
  if (a.action == "kill") ::raise(SIGKILL);
  if (a.action == "sigint") ::raise(SIGINT);
  if (a.action == "wait") wait_for_go(a.dir);
  if (a.action == "mark") mark_reached(a.dir);
}

}  // namespace zyl

#endif  // ZYL_TEST_HOOKS
