#include "core/log.h"

#include <map>
#include <mutex>
#include <stdexcept>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace zyl::log {
namespace {

// Appends the thread name of the logging thread to every message record.
class ThreadNameFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg&, const std::tm&, spdlog::memory_buf_t& dest) override {
    const std::string& name = thread_name();
    dest.append(name.data(), name.data() + name.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<ThreadNameFlag>();
  }
};

struct State {
  std::mutex mutex;
  std::shared_ptr<spdlog::sinks::dist_sink_mt> dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
  std::vector<spdlog::sink_ptr> application_sinks;
};

State& state() {
  static State* s = new State();  // never destroyed: loggers may be used during static teardown
  return *s;
}

thread_local std::string current_thread_name = "MainThread";

}  // namespace

struct Capture::Impl {
  class Sink final : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<Line> snapshot() {
      std::lock_guard lock(mutex_);
      return lines;
    }
    void clear() {
      std::lock_guard lock(mutex_);
      lines.clear();
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      lines.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()), msg.level,
                       std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

   private:
    std::vector<Line> lines;
  };
  std::shared_ptr<Sink> sink = std::make_shared<Sink>();
};

spdlog::logger& get(const std::string& name) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.loggers.find(name);
  if (it != s.loggers.end()) return *it->second;
  auto logger = std::make_shared<spdlog::logger>(name, s.dist);
  logger->set_level(spdlog::level::trace);
  logger->flush_on(spdlog::level::warn);
  s.loggers.emplace(name, logger);
  return *logger;
}

void setup_application(const std::filesystem::path& project_dir,
                       spdlog::level::level_enum console_level) {
  reset_application();
  State& s = state();
  // A plain sink: log lines carry no escape codes, whether standard error is a terminal or not.
  auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  console->set_level(console_level);
  console->set_pattern("%v");
  std::filesystem::create_directories(project_dir / "logs");
  auto file = std::make_shared<spdlog::sinks::basic_file_sink_mt>((project_dir / "logs" / "zyl.log").string());
  file->set_level(spdlog::level::trace);
  auto formatter = std::make_unique<spdlog::pattern_formatter>();
  formatter->add_flag<ThreadNameFlag>('*').set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] %n (%*): %v");
  file->set_formatter(std::move(formatter));
  std::lock_guard lock(s.mutex);
  s.application_sinks = {console, file};
  s.dist->add_sink(console);
  s.dist->add_sink(file);
}

spdlog::level::level_enum level_named(const std::string& name) {
  if (name == "error") return spdlog::level::err;
  if (name == "warn") return spdlog::level::warn;
  if (name == "info") return spdlog::level::info;
  if (name == "debug") return spdlog::level::debug;
  throw std::invalid_argument("unknown log level '" + name + "'; use error, warn, info or debug");
}

void reset_application() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  for (auto& sink : s.application_sinks) {
    sink->flush();
    s.dist->remove_sink(sink);
  }
  s.application_sinks.clear();
}

const std::string& thread_name() { return current_thread_name; }
void set_thread_name(std::string name) { current_thread_name = std::move(name); }

Capture::Capture() : impl_(std::make_shared<Impl>()) { state().dist->add_sink(impl_->sink); }
Capture::~Capture() { state().dist->remove_sink(impl_->sink); }

std::vector<Line> Capture::lines() const { return impl_->sink->snapshot(); }

std::vector<std::string> Capture::messages(const std::string& logger,
                                           spdlog::level::level_enum level) const {
  std::vector<std::string> out;
  for (const auto& line : lines()) {
    if (!logger.empty() && line.logger != logger) continue;
    if (level != spdlog::level::off && line.level != level) continue;
    out.push_back(line.message);
  }
  return out;
}

bool Capture::contains(const std::string& message) const {
  for (const auto& line : lines()) {
    if (line.message == message) return true;
  }
  return false;
}

void Capture::clear() { impl_->sink->clear(); }

}  // namespace zyl::log
