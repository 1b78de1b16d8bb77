// The run configuration handed to runners and tasks: the default target and the command-line
// arguments.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/value.h"

namespace brek {

// Parsed command-line arguments. Field names follow the framework's own (`PROJECT_DIR`).
struct Args {
  std::string PROJECT_DIR;             // empty: the current directory
  std::string PROFILES_DIR;            // empty: the profiles reader's default
  std::optional<std::string> profile;  // --profile: in place of the project's `profile:`
  std::optional<std::string> target;   // --target
  std::vector<std::string> select;     // --select, one entry per word
  std::vector<std::string> exclude;    // --exclude
  int threads = 1;
  bool full_refresh = false;
  zyl::Value vars = zyl::Value::object();
};

struct RuntimeConfig {
  std::string project_name;
  std::string profile_name;
  std::string target_name;        // the default target: --target, else the profile's `target`
  zyl::Value profiles = zyl::Value::object();  // the whole parsed profiles.yml
  zyl::Value target_config = zyl::Value::object();  // the output config of target_name
  Args args;
};

}  // namespace brek
