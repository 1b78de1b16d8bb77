// A DuckDB file of this process under the project's .zyl directory, for a task's intermediate
// tables (a seed's typed rows, the keys a cross-target test compares); removed with the object.
//
//   ScratchDuckDB scratch(project_dir, "seed");
//   client.load_from_duckdb(scratch.path().string(), ...);
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

namespace zyl::tasks {

class ScratchDuckDB {
 public:
  ScratchDuckDB(const std::filesystem::path& project_dir, const std::string& kind)
      : path_(project_dir / ".zyl" /
              (kind + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter_) +
               ".duckdb")) {
    std::filesystem::create_directories(path_.parent_path());
    remove();
  }
  ~ScratchDuckDB() { remove(); }
  ScratchDuckDB(const ScratchDuckDB&) = delete;
  ScratchDuckDB& operator=(const ScratchDuckDB&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  void remove() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    std::filesystem::remove(path_.string() + ".wal", ec);
  }

  static inline std::atomic<int> counter_{0};  // tasks run on several threads at once
  std::filesystem::path path_;
};

}  // namespace zyl::tasks
