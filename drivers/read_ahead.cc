#include "drivers/read_ahead.h"

namespace zyl::drivers {

ReadAhead::ReadAhead(QueryResult& rows, size_t max_rows, size_t depth)
    : rows_(rows), max_rows_(max_rows), depth_(depth < 1 ? 1 : depth) {
  thread_ = std::thread([this] { read(); });
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool ReadAhead::take_spare(RowBatch& batch) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return stopping_ || ready_.size() < depth_; });
  if (stopping_) return false;
  if (!spare_.empty()) {
    batch = std::move(spare_.back());
    spare_.pop_back();
  }
  return true;
}

void ReadAhead::read() {
  try {
    for (;;) {
      RowBatch batch;
      if (!take_spare(batch)) return;
      bool more = rows_.next(batch, max_rows_);
      std::lock_guard lock(mutex_);
      if (!more) {
        ended_ = true;
      } else {
        ready_.push_back(std::move(batch));
      }
      changed_.notify_all();
      if (!more) return;
    }
  } catch (...) {
    std::lock_guard lock(mutex_);
    error_ = std::current_exception();
    changed_.notify_all();
  }
}

bool ReadAhead::next(RowBatch& batch) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !ready_.empty() || ended_ || error_; });
  if (ready_.empty()) {
    if (error_) std::rethrow_exception(error_);
    return false;
  }
  spare_.push_back(std::move(batch));
  batch = std::move(ready_.front());
  ready_.pop_front();
  changed_.notify_all();
  return true;
}

}  // namespace zyl::drivers
