// The progress lines of running copies: which model moves rows where, how many so far, how
// fast, for how long.
//
// On a terminal each copy that has run for a while gets one line at the bottom of the screen,
// redrawn in place as rows arrive; other lines are printed above them. Elsewhere (a file, a
// pipe) a copy prints one plain line every `report_every` instead, so logs stay readable.
//
//   ProgressBoard board(std::cout, ProgressBoard::Mode::Terminal);
//   board.model_started("orders");       // on the worker thread that runs the model
//   board.copied(2048, "crm__customers"); // from the mover's progress callback, same thread
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace brek::app {

// "  orders: source → cache crm__customers: 120000 rows, 40000 rows/s, 3s"
std::string progress_text(const std::string& model, bool to_target, const std::string& table,
                          std::int64_t rows, double seconds);

// Whether a copy labelled `table` for `model` loads its result into the target (the table is the
// model's own relation) rather than filling the cache.
bool copies_to_target(const std::string& model, const std::string& table);

class ProgressBoard {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Mode { Off, Terminal, Plain };

  explicit ProgressBoard(std::ostream& out, Mode mode = Mode::Off,
                         std::function<Clock::time_point()> now = Clock::now);

  void set_mode(Mode mode);
  // The model the calling thread runs from now on.
  void model_started(const std::string& model);
  // The calling thread's model is done: its copy line goes.
  void model_finished();
  // A copy of the calling thread's model has moved `rows` rows into `table` so far.
  void copied(std::int64_t rows, const std::string& table);
  // Prints `line` (and a newline) above the progress lines.
  void print(const std::string& line);

  // How long a copy runs before it gets a line on a terminal, and how often it prints elsewhere.
  std::chrono::milliseconds show_after{2000};
  std::chrono::milliseconds redraw_every{250};
  std::chrono::milliseconds report_every{10000};

 private:
  struct Copy {
    std::string model;
    std::string table;
    std::int64_t rows = 0;
    Clock::time_point started;
    Clock::time_point next_report;
  };

  std::string text_of(const Copy& copy, Clock::time_point now) const;
  void erase_lines();
  void draw_lines(Clock::time_point now);

  std::ostream& out_;
  Mode mode_;
  std::function<Clock::time_point()> now_;
  std::mutex mutex_;
  std::map<std::thread::id, Copy> copies_;  // one per worker thread
  size_t shown_ = 0;                        // lines drawn at the bottom of the terminal
  Clock::time_point last_draw_{};
};

}  // namespace brek::app
