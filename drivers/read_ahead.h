// Reads a result on a thread of its own, a couple of batches ahead of the one who writes them
// somewhere, so that parsing the source's rows and storing them run on two cores:
//
//   ReadAhead ahead(*rows, 2048);
//   RowBatch batch;
//   while (ahead.next(batch)) writer->write(batch);
//
// The result must not be touched by anyone else until the ReadAhead is gone. An error of the
// result is thrown by next(). Destroying a ReadAhead before the end stops the reading thread
// once the batch it reads is complete (an interrupted source fails its read at once).
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "drivers/driver.h"

namespace zyl::drivers {

class ReadAhead {
 public:
  ReadAhead(QueryResult& rows, size_t max_rows, size_t depth = 2);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Replaces `batch` with the next batch read; false at the end. Throws the result's error.
  bool next(RowBatch& batch);

 private:
  void read();
  bool take_spare(RowBatch& batch);

  QueryResult& rows_;
  const size_t max_rows_;
  const size_t depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<RowBatch> ready_;
  std::vector<RowBatch> spare_;  // batches handed back, reused so their cells keep capacity
  bool ended_ = false;
  bool stopping_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace zyl::drivers
