// Named loggers, one per module, all writing to one shared set of sinks.
//
// A module asks for its logger once: `static auto& log = zyl::log::get("zyl.runners.ferry");`
// and logs with spdlog's API (`log.info("ZYL [{}]: ...", name)`). The application decides where
// lines go (`setup_application`); tests capture them with `Capture`.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

namespace zyl::log {

// The logger named `name`, created on first use. Never null; lives until the process exits.
// Thread-safe.
spdlog::logger& get(const std::string& name);

// A file sink taking every level at `<project_dir>/logs/zyl.log` with time, level, logger and
// thread name, and a console sink on standard error taking `console_level` and above (none with
// spdlog::level::off, the default: the console then holds only what the commands print).
// Replaces any earlier application sinks. Throws spdlog::spdlog_ex when the file cannot be opened.
void setup_application(const std::filesystem::path& project_dir,
                       spdlog::level::level_enum console_level = spdlog::level::off);

// "error", "warn", "info" or "debug" as a level; std::invalid_argument for any other text.
spdlog::level::level_enum level_named(const std::string& name);

// Removes the application sinks (used by tests and at exit).
void reset_application();

// The name of the current thread as shown in log lines and run results ("MainThread" unless
// the thread set another with set_thread_name). Thread-safe.
const std::string& thread_name();
void set_thread_name(std::string name);

struct Line {
  std::string logger;
  spdlog::level::level_enum level;
  std::string message;
};

// While alive, records every line logged through any logger of `get`. For tests.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Line> lines() const;
  // Messages of `logger` (all loggers when empty) at `level`, in order.
  std::vector<std::string> messages(const std::string& logger = "",
                                    spdlog::level::level_enum level = spdlog::level::off) const;
  bool contains(const std::string& message) const;
  void clear();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace zyl::log
