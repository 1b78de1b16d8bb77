// The commands of the `brek` executable, behind the command-line parser of main.cc.
//
// Every command returns its exit status: 0 success, 1 a model (or a drop, an extension, a
// connection) failed, 2 a usage or project error, 130 a run stopped by Ctrl-C.
#pragma once

#include <string>
#include <vector>

#include "brek/config.h"

namespace brek::app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

struct Options {
  Args args;
  bool dry_run = false;   // sync
  std::string log_level;  // log lines shown on the console: "" none, else error|warn|info|debug
  bool quiet = false;     // run: only the errors and the summary
  bool verbose = false;   // -v: also compile and ls show each model's extraction queries
  int port = 8080;        // docs serve
  std::vector<std::string> resource_types;  // ls, build: only these kinds (empty: the default)
};

int cmd_parse(const Options& options);
int cmd_compile(const Options& options);
int cmd_run(const Options& options);
int cmd_seed(const Options& options);
int cmd_snapshot(const Options& options);
int cmd_test(const Options& options);
int cmd_build(const Options& options);
int cmd_ls(const Options& options);
int cmd_retract(const Options& options);
int cmd_sync(const Options& options);
int cmd_debug(const Options& options);
int cmd_docs_generate(const Options& options);
int cmd_docs_serve(const Options& options);

// The text given to --vars (a YAML map) as a value. Throws std::invalid_argument.
zyl::Value parse_vars(const std::string& text);

}  // namespace brek::app
