// The run command's task: the selected models on a pool of worker threads.
//
// A model starts once every upstream model it needs has succeeded; the dependants of a failed or
// skipped model are skipped, never run. Workers are named "Thread-1", "Thread-2", ... and that
// name is the `thread_id` of their results. request_stop() (for instance from a SIGINT handler)
// stops scheduling: running models finish or fail, nothing new starts.
//
//   RunTask task(args, config, manifest, [&](const NodePtr& n, int i, int total) {
//     return std::make_unique<ModelRunner>(config, adapter, n, i, total);
//   });
//   std::vector<RunResult> results = task.run();
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "brek/config.h"
#include "brek/node_types.h"
#include "brek/nodes.h"
#include "brek/run_result.h"
#include "brek/task/run.h"
#include "brek/task/runnable.h"

namespace brek {

// Builds the runner of one model; `index` counts from 1 in the order models start.
using RunnerFactory =
    std::function<std::unique_ptr<ModelRunner>(const NodePtr& node, int index, int total)>;

// Called on worker threads, one call at a time. Whatever a callback throws stays inside the
// task: a failing on_start makes that model an error result (it does not run), a failing
// on_result is logged and the result stands.
struct RunEvents {
  std::function<void(const Node& node, int index, int total)> on_start;
  std::function<void(const RunResult& result, int index, int total)> on_result;
};

class RunTask : public GraphRunnableTask {
 public:
  RunTask(Args args, std::shared_ptr<RuntimeConfig> config, std::shared_ptr<Manifest> manifest,
          RunnerFactory factory, RunEvents events = {});

  // The kinds of node the task runs: models by default, seeds for `brek seed`, ...
  std::vector<NodeType> resource_types = {NodeType::Model};
  // Ids that must also succeed before `node` starts, beside those it reads (for `brek build`,
  // the data tests of the models it reads). Those not in the run list are ignored.
  std::function<std::vector<std::string>(const Node& node)> extra_upstream;

  // Whether a selected model is run at all; by default every model that is not ephemeral
  // (ephemeral models are inlined into their dependants).
  std::function<bool(const Node&)> is_runnable;

  // The selected models that will run, in manifest order. Throws std::invalid_argument for a
  // selector the graph cannot read.
  std::vector<NodePtr> models_to_run();

  // Runs the models on `args.threads` workers (at least one). Returns one result per model that
  // ran or was skipped, in the order they finished. Models never started because of
  // request_stop() have no result; interrupted() then says so.
  std::vector<RunResult> run();
  // The same for a given list of models (in the order they may start).
  std::vector<RunResult> run_models(const std::vector<NodePtr>& models);

  bool interrupted() const { return interrupted_; }
  int not_started() const { return not_started_; }

 private:
  // Runs `work`; anything it throws (a std::exception or not) becomes the error result of
  // `node`, which is returned. nullopt when `work` returned.
  std::optional<RunResult> guarded(const Node& node, std::chrono::steady_clock::time_point started,
                                   const std::function<void()>& work) const;
  // Builds and executes the runner of `node`; never throws.
  RunResult run_one(const NodePtr& node, int index, int total,
                    std::chrono::steady_clock::time_point started);
  // Hands `result` to on_result; never throws.
  void report(const RunResult& result, int index, int total) const;

  RunnerFactory factory_;
  RunEvents events_;
  bool interrupted_ = false;
  int not_started_ = 0;
};

// Asks every running RunTask to stop scheduling. Async-signal-safe.
void request_stop() noexcept;
// Clears a stop request (before a new run, and for tests).
void clear_stop_request() noexcept;
bool stop_requested() noexcept;

// Writes `results` as `<target_dir>/run_results.json` (creating the directory). Throws
// std::runtime_error when the file cannot be written.
void write_run_results(const std::filesystem::path& target_dir,
                       const std::vector<RunResult>& results, double elapsed_seconds,
                       const Args& args);

}  // namespace brek
