// A fresh directory under /tmp for one test, removed with everything in it at the end.
//
//   zyl::test_support::TempDir dir("zyl_sqlite");
//   auto conn = open_file(dir.path() / "db.sqlite");
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zyl::test_support {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zyl_test") {
    std::string pattern = "/tmp/" + prefix + "_XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create " + pattern);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace zyl::test_support
