// Run results and their status, as records of the run artifacts.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brek/nodes.h"
#include "core/value.h"

namespace brek {

// Models and seeds end in Success, Error or Skipped; data tests in Pass, Fail (a failing test of
// severity error), Warn (a failing test of severity warn) or Error (the test could not run).
enum class RunStatus { Success, Error, Skipped, Pass, Fail, Warn };

// "success", "error", "skipped", "pass", "fail", "warn".
std::string_view run_status_value(RunStatus status);

struct RunResult {
  RunStatus status = RunStatus::Success;
  std::string thread_id;
  double execution_time = 0.0;
  std::vector<zyl::Value> timing;
  std::string message;
  NodePtr node;
  zyl::Value adapter_response = zyl::Value::object();
  int failures = 0;
  std::optional<zyl::Value> batch_results;

  // The record as written to run_results.json.
  zyl::Value to_value() const;
};

}  // namespace brek
