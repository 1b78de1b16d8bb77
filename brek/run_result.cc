#include "brek/run_result.h"

namespace brek {

std::string_view run_status_value(RunStatus status) {
  switch (status) {
    case RunStatus::Success: return "success";
    case RunStatus::Error: return "error";
    case RunStatus::Skipped: return "skipped";
    case RunStatus::Pass: return "pass";
    case RunStatus::Fail: return "fail";
    case RunStatus::Warn: return "warn";
  }
  return "";
}

zyl::Value RunResult::to_value() const {
  zyl::Value v = zyl::Value::object();
  v["status"] = std::string(run_status_value(status));
  v["timing"] = zyl::Value::array();
  for (const auto& t : timing) v["timing"].push_back(t);
  v["thread_id"] = thread_id;
  v["execution_time"] = execution_time;
  v["adapter_response"] = adapter_response;
  v["message"] = message;
  v["failures"] = failures;
  v["unique_id"] = node ? zyl::Value(node->unique_id) : zyl::Value(nullptr);
  v["batch_results"] = batch_results ? *batch_results : zyl::Value(nullptr);
  return v;
}

}  // namespace brek
