#include "app/progress.h"

#include <cstdio>

#include "drivers/driver.h"

namespace brek::app {
namespace {

constexpr size_t kTerminalWidth = 79;  // a line that wraps would break the redraw

std::string elapsed_text(double seconds) {
  long total = static_cast<long>(seconds);
  char buffer[32];
  if (total < 60) {
    std::snprintf(buffer, sizeof buffer, "%lds", total);
  } else {
    std::snprintf(buffer, sizeof buffer, "%ldm%02lds", total / 60, total % 60);
  }
  return buffer;
}

}  // namespace

std::string progress_text(const std::string& model, bool to_target, const std::string& table,
                          std::int64_t rows, double seconds) {
  long long rate = seconds > 0 ? static_cast<long long>(static_cast<double>(rows) / seconds) : 0;
  return "  " + model + ": " + (to_target ? "cache → target " : "source → cache ") + table + ": " +
         std::to_string(rows) + " rows, " + std::to_string(rate) + " rows/s, " +
         elapsed_text(seconds);
}

bool copies_to_target(const std::string& model, const std::string& table) {
  return zyl::drivers::TableRef::parse(table).name == model;  // quoted or not, with its schema
}

ProgressBoard::ProgressBoard(std::ostream& out, Mode mode, std::function<Clock::time_point()> now)
    : out_(out), mode_(mode), now_(std::move(now)) {}

void ProgressBoard::set_mode(Mode mode) {
  std::lock_guard lock(mutex_);
  erase_lines();
  mode_ = mode;
  out_.flush();
}

void ProgressBoard::model_started(const std::string& model) {
  std::lock_guard lock(mutex_);
  copies_[std::this_thread::get_id()] = Copy{model, "", 0, {}, {}};
}

void ProgressBoard::model_finished() {
  std::lock_guard lock(mutex_);
  copies_.erase(std::this_thread::get_id());
  if (mode_ != Mode::Terminal || shown_ == 0) return;
  erase_lines();
  draw_lines(now_());
  out_.flush();
}

void ProgressBoard::copied(std::int64_t rows, const std::string& table) {
  std::lock_guard lock(mutex_);
  if (mode_ == Mode::Off) return;
  auto found = copies_.find(std::this_thread::get_id());
  if (found == copies_.end()) return;
  Copy& copy = found->second;
  Clock::time_point now = now_();
  if (copy.table != table || rows < copy.rows) {  // the model's next copy
    copy.table = table;
    copy.started = now;
    copy.next_report = now + report_every;
  }
  copy.rows = rows;
  if (mode_ == Mode::Plain) {
    if (now < copy.next_report) return;
    while (copy.next_report <= now) copy.next_report += report_every;
    out_ << text_of(copy, now) << '\n' << std::flush;
    return;
  }
  if (now - copy.started < show_after || now - last_draw_ < redraw_every) return;
  erase_lines();
  draw_lines(now);
  out_.flush();
}

void ProgressBoard::print(const std::string& line) {
  std::lock_guard lock(mutex_);
  erase_lines();
  out_ << line << '\n';
  if (mode_ == Mode::Terminal) draw_lines(now_());
  out_.flush();
}

std::string ProgressBoard::text_of(const Copy& copy, Clock::time_point now) const {
  double seconds = std::chrono::duration<double>(now - copy.started).count();
  return progress_text(copy.model, copies_to_target(copy.model, copy.table), copy.table, copy.rows,
                       seconds);
}

void ProgressBoard::erase_lines() {
  if (shown_ == 0) return;
  out_ << '\r';
  if (shown_ > 1) out_ << "\033[" << shown_ - 1 << 'A';
  out_ << "\033[J";
  shown_ = 0;
}

void ProgressBoard::draw_lines(Clock::time_point now) {
  for (const auto& [thread, copy] : copies_) {
    if (copy.table.empty() || now - copy.started < show_after) continue;
    std::string text = text_of(copy, now);
    if (text.size() > kTerminalWidth) {
      size_t cut = kTerminalWidth;
      while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
      text.resize(cut);  // never inside a character
    }
    out_ << (shown_ > 0 ? "\n" : "") << text;
    ++shown_;
  }
  last_draw_ = now;
}

}  // namespace brek::app
