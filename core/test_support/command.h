// Starting programs from tests: this test binary again (for a child process that runs one
// disabled test) or another program of the build. A cross build runs its tests under an emulator
// and the kernel cannot start the target's binaries by itself, so the emulator's words, which
// the build passes in ZYL_TEST_EMULATOR separated by '|', go in front.
//
//   test_support::Argv child(test_support::self_command({"--gtest_filter=X.DISABLED_Child"}));
//   if (fork() == 0) { child.exec(); _exit(127); }
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zyl::test_support {

// The words that start `program` with `arguments`.
inline std::vector<std::string> command(const std::string& program,
                                        const std::vector<std::string>& arguments = {}) {
  std::vector<std::string> words;
  if (const char* emulator = std::getenv("ZYL_TEST_EMULATOR")) {
    std::stringstream list(emulator);
    for (std::string word; std::getline(list, word, '|');) {
      if (!word.empty()) words.push_back(word);
    }
  }
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  return words;
}

// The words that start this test binary again with `arguments`.
inline std::vector<std::string> self_command(const std::vector<std::string>& arguments) {
  return command(std::filesystem::read_symlink("/proc/self/exe").string(), arguments);
}

// A command line for std::system: every word quoted for the shell.
inline std::string shell_line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    line += "'";
    for (char c : word) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += "' ";
  }
  return line;
}

// One word quoted for the shell.
inline std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The whole text of the file at `path` ("" when it cannot be read).
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// An argument vector made before fork(), so that the child allocates nothing before exec().
class Argv {
 public:
  explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string& word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  // Replaces the process; returns only when that fails.
  void exec() { ::execv(pointers_[0], pointers_.data()); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

}  // namespace zyl::test_support
