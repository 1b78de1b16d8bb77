#include "brek/tracking.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace brek::tracking {
namespace {

std::mutex& mutex() {
  static std::mutex m;
  return m;
}
std::filesystem::path& events_dir() {
  static std::filesystem::path dir;
  return dir;
}

void append(const char* event_name, const zyl::Value& event) {
  const char* off = std::getenv("BREK_NO_USAGE_EVENTS");
  if (off != nullptr && *off != '\0' && std::string(off) != "0") return;
  std::lock_guard lock(mutex());
  if (events_dir().empty()) return;
  std::filesystem::create_directories(events_dir());
  std::ofstream out(events_dir() / "usage_events.jsonl", std::ios::app);
  if (!out) throw std::runtime_error("cannot write usage events");
  zyl::Value line = {{"event", event_name}, {"properties", event}};
  out << line.dump() << '\n';
}

}  // namespace

void set_events_dir(const std::filesystem::path& dir) {
  std::lock_guard lock(mutex());
  events_dir() = dir;
}

void track_zyl_extraction(const zyl::Value& event) { append("zyl_extraction", event); }
void track_zyl_retract(const zyl::Value& event) { append("zyl_retract", event); }

}  // namespace brek::tracking
