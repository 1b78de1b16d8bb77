#include "brek/task/run_task.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "brek/graph/graph.h"
#include "core/log.h"
#include "core/text.h"

namespace brek {
namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

spdlog::logger& logger() { return zyl::log::get("brek.task.run"); }

enum class State { Waiting, Ready, Running, Succeeded, Failed, Skipped };

struct Entry {
  NodePtr node;
  std::vector<size_t> upstream;    // indexes into the run list
  std::vector<size_t> downstream;
  size_t pending = 0;              // upstream models not yet succeeded
  State state = State::Waiting;
};

std::string iso_now() { return zyl::text::iso_utc(std::time(nullptr)); }

}  // namespace

void request_stop() noexcept { g_stop.store(true); }
void clear_stop_request() noexcept { g_stop.store(false); }
bool stop_requested() noexcept { return g_stop.load(); }

RunTask::RunTask(Args args, std::shared_ptr<RuntimeConfig> config,
                 std::shared_ptr<Manifest> manifest, RunnerFactory factory, RunEvents events)
    : GraphRunnableTask(std::move(args), std::move(config), std::move(manifest)),
      is_runnable([](const Node& node) { return node.get_materialization() != "ephemeral"; }),
      factory_(std::move(factory)),
      events_(std::move(events)) {}

std::vector<NodePtr> RunTask::models_to_run() {
  _runtime_initialize();
  if (!manifest || !graph) return {};
  ResourceTypeSelector selector(*graph, *manifest, previous_state, resource_types);
  std::set<std::string> selected = selector.get_selected(get_selection_spec());
  std::set<std::string> kinds;
  for (NodeType type : resource_types) kinds.insert(std::string(node_type_value(type)));
  std::vector<NodePtr> models;
  for (const auto& [id, node] : manifest->nodes) {
    if (!node || !selected.count(id)) continue;
    if (!kinds.count(node->resource_type.value_or(""))) continue;
    if (is_runnable && !is_runnable(*node)) continue;
    models.push_back(node);
  }
  return models;
}

std::vector<RunResult> RunTask::run() { return run_models(models_to_run()); }

namespace {

std::string what_of(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error (not a std::exception)";
  }
}

}  // namespace

std::optional<RunResult> RunTask::guarded(const Node& node,
                                          std::chrono::steady_clock::time_point started,
                                          const std::function<void()>& work) const {
  try {
    work();
    return std::nullopt;
  } catch (...) {
    RunResult result;
    result.status = RunStatus::Error;
    result.thread_id = zyl::log::thread_name();
    result.execution_time =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.message = "Error in model " + node.name + ": " + what_of(std::current_exception());
    result.adapter_response = {{"_message", result.message}, {"rows_affected", 0}};
    result.failures = 1;
    logger().error(result.message);
    return result;
  }
}

RunResult RunTask::run_one(const NodePtr& node, int index, int total,
                           std::chrono::steady_clock::time_point started) {
  RunResult result;
  std::optional<RunResult> failed = guarded(*node, started, [&] {
    std::unique_ptr<ModelRunner> runner = factory_(node, index, total);
    if (!runner) throw std::runtime_error("no runner for model " + node->name);
    result = runner->execute(*node, *manifest);
  });
  if (failed) {
    failed->node = node;
    return std::move(*failed);
  }
  return result;
}

void RunTask::report(const RunResult& result, int index, int total) const {
  try {
    events_.on_result(result, index, total);
  } catch (...) {
    // The result stands as it is; a reporter that fails must not take the worker down.
    logger().error("reporting the result of {} failed: {}",
                   result.node ? result.node->name : std::string("a model"),
                   what_of(std::current_exception()));
  }
}

std::vector<RunResult> RunTask::run_models(const std::vector<NodePtr>& models) {
  if (!manifest) throw std::invalid_argument("the run task has no manifest");
  const int total = static_cast<int>(models.size());
  interrupted_ = false;
  not_started_ = 0;
  std::vector<Entry> entries(models.size());
  std::map<std::string, size_t> position;
  for (size_t i = 0; i < models.size(); ++i) {
    entries[i].node = models[i];
    position[models[i]->unique_id] = i;
  }
  // Upstream models in the run list, looking through nodes that do not run themselves
  // (ephemeral models inlined into their dependants) to the models they read.
  for (size_t i = 0; i < entries.size(); ++i) {
    std::set<size_t> upstream;
    std::set<std::string> seen;
    std::vector<std::string> stack;
    if (entries[i].node->depends_on) stack = entries[i].node->depends_on->nodes;
    if (extra_upstream) {
      for (const std::string& id : extra_upstream(*entries[i].node)) {
        auto found = position.find(id);
        if (found != position.end() && found->second != i) upstream.insert(found->second);
      }
    }
    while (!stack.empty()) {
      std::string id = stack.back();
      stack.pop_back();
      if (!seen.insert(id).second) continue;
      auto found = position.find(id);
      if (found != position.end()) {
        if (found->second != i) upstream.insert(found->second);
        continue;
      }
      Node* node = manifest->find_node(id);
      if (node == nullptr || node->resource_type.value_or("") != "model") continue;
      if (is_runnable && is_runnable(*node)) continue;  // a model left out of the selection
      if (node->depends_on) {
        for (const auto& parent : node->depends_on->nodes) stack.push_back(parent);
      }
    }
    entries[i].upstream.assign(upstream.begin(), upstream.end());
    entries[i].pending = upstream.size();
    for (size_t up : upstream) entries[up].downstream.push_back(i);
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<size_t> ready;  // kept in run-list order
  std::vector<RunResult> results;
  int next_index = 0;
  size_t finished = 0;  // entries that succeeded, failed or were skipped
  std::mutex events_mutex;

  auto push_ready = [&](size_t i) {
    entries[i].state = State::Ready;
    auto it = ready.begin();
    while (it != ready.end() && *it < i) ++it;
    ready.insert(it, i);
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].pending == 0) push_ready(i);
  }

  // Marks the dependants of `failed` skipped, transitively. Called with `mutex` held; the
  // results it creates are returned for the caller to report outside the lock.
  auto skip_dependants = [&](size_t failed) {
    std::vector<std::pair<RunResult, int>> skipped;
    std::vector<size_t> stack = entries[failed].downstream;
    while (!stack.empty()) {
      size_t i = stack.back();
      stack.pop_back();
      if (entries[i].state != State::Waiting) continue;
      entries[i].state = State::Skipped;
      ++finished;
      RunResult result;
      result.status = RunStatus::Skipped;
      result.thread_id = zyl::log::thread_name();
      result.message = "skipped: upstream model " + entries[failed].node->name + " did not succeed";
      result.node = entries[i].node;
      result.adapter_response = {{"_message", result.message}, {"rows_affected", 0}};
      results.push_back(result);
      skipped.emplace_back(result, ++next_index);
      for (size_t down : entries[i].downstream) stack.push_back(down);
    }
    return skipped;
  };

  auto worker = [&](int number) {
    zyl::log::set_thread_name("Thread-" + std::to_string(number));
    std::unique_lock lock(mutex);
    while (true) {
      changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
        return stop_requested() || !ready.empty() || finished == entries.size();
      });
      if (stop_requested() || finished == entries.size()) break;
      if (ready.empty()) continue;
      size_t i = ready.front();
      ready.pop_front();
      entries[i].state = State::Running;
      int index = ++next_index;
      const NodePtr& node = entries[i].node;
      auto started = std::chrono::steady_clock::now();
      std::optional<RunResult> failed_start;
      {
        // Taken before the scheduling lock is let go, so start lines come out in index order.
        std::unique_lock events_lock(events_mutex);
        lock.unlock();
        failed_start = guarded(*node, started, [&] {
          if (events_.on_start) events_.on_start(*node, index, total);
        });
      }
      RunResult result;
      if (failed_start) {
        result = std::move(*failed_start);
      } else {
        result = run_one(node, index, total, started);
      }
      if (!result.node) result.node = node;
      if (events_.on_result) {
        std::lock_guard events_lock(events_mutex);
        report(result, index, total);
      }

      lock.lock();
      results.push_back(result);
      ++finished;
      std::vector<std::pair<RunResult, int>> skipped;
      if (result.status == RunStatus::Success || result.status == RunStatus::Pass ||
          result.status == RunStatus::Warn) {
        entries[i].state = State::Succeeded;
        for (size_t down : entries[i].downstream) {
          if (--entries[down].pending == 0 && entries[down].state == State::Waiting) {
            push_ready(down);
          }
        }
      } else {
        entries[i].state = State::Failed;
        skipped = skip_dependants(i);
      }
      changed.notify_all();
      if (!skipped.empty() && events_.on_result) {
        lock.unlock();
        {
          std::lock_guard events_lock(events_mutex);
          for (const auto& [skip, skip_index] : skipped) report(skip, skip_index, total);
        }
        lock.lock();
      }
    }
    changed.notify_all();
  };

  int threads = std::max(1, args.threads);
  if (!entries.empty()) {
    std::vector<std::thread> pool;
    for (int n = 1; n <= threads; ++n) pool.emplace_back(worker, n);
    for (auto& thread : pool) thread.join();
  }
  if (finished < entries.size()) {
    interrupted_ = true;
    not_started_ = static_cast<int>(entries.size() - finished);
  }
  return results;
}

void write_run_results(const std::filesystem::path& target_dir,
                       const std::vector<RunResult>& results, double elapsed_seconds,
                       const Args& args) {
  zyl::Value document = zyl::Value::object();
  document["metadata"] = {{"brek_schema_version", "run-results/v5"}, {"generated_at", iso_now()}};
  document["results"] = zyl::Value::array();
  for (const auto& result : results) document["results"].push_back(result.to_value());
  document["elapsed_time"] = elapsed_seconds;
  document["args"] = {{"project_dir", args.PROJECT_DIR},
                      {"profiles_dir", args.PROFILES_DIR},
                      {"target", args.target ? zyl::Value(*args.target) : zyl::Value(nullptr)},
                      {"select", args.select},
                      {"exclude", args.exclude},
                      {"threads", args.threads},
                      {"full_refresh", args.full_refresh},
                      {"vars", args.vars}};
  std::filesystem::create_directories(target_dir);
  std::filesystem::path path = target_dir / "run_results.json";
  std::filesystem::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path.string());
    out << document.dump(2) << '\n';
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  std::filesystem::rename(temp, path);
}

}  // namespace brek
