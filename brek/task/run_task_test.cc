#include "brek/task/run_task.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "core/log.h"

namespace brek {
namespace {

NodePtr model(const std::string& name, std::vector<std::string> upstream = {},
              const std::string& materialized = "table") {
  auto node = std::make_shared<Node>();
  node->unique_id = "model.shop." + name;
  node->name = name;
  node->resource_type = "model";
  node->depends_on = DependsOn{std::move(upstream), {}};
  node->config["materialized"] = materialized;
  node->compiled_code = "select 1";
  return node;
}

// What the fake runners saw, shared between worker threads.
struct Journal {
  std::mutex mutex;
  std::vector<std::string> started;
  std::vector<std::string> finished;
  std::set<std::string> threads;
  std::set<std::string> failing;
  std::set<std::string> throwing;
  std::set<std::string> throwing_other;  // these throw something that is not a std::exception
  std::set<std::string> stopping;  // these ask the task to stop while they run
  int running = 0;
  int max_running = 0;
};

class FakeRunner : public ModelRunner {
 public:
  FakeRunner(std::shared_ptr<const RuntimeConfig> config, NodePtr node, int index, int total,
             Journal& journal)
      : ModelRunner(std::move(config), nullptr, std::move(node), index, total),
        journal_(journal) {}

 protected:
  RunResult run_on_default_target(Node& model, Manifest&) override {
    {
      std::lock_guard lock(journal_.mutex);
      journal_.started.push_back(model.name);
      journal_.threads.insert(zyl::log::thread_name());
      journal_.max_running = std::max(journal_.max_running, ++journal_.running);
      if (journal_.throwing.count(model.name)) {
        --journal_.running;
        throw std::runtime_error("boom");
      }
      if (journal_.throwing_other.count(model.name)) {
        --journal_.running;
        throw 42;
      }
    }
    if (journal_.stopping.count(model.name)) request_stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    RunResult result;
    result.thread_id = zyl::log::thread_name();
    result.node = node();
    std::lock_guard lock(journal_.mutex);
    --journal_.running;
    journal_.finished.push_back(model.name);
    result.status = journal_.failing.count(model.name) ? RunStatus::Error : RunStatus::Success;
    result.message = result.status == RunStatus::Success ? "SELECT 1" : "it failed";
    return result;
  }

 private:
  Journal& journal_;
};

class RunTaskTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_stop_request(); }
  void TearDown() override { clear_stop_request(); }

  void add(const NodePtr& node) { manifest->nodes.set(node->unique_id, node); }

  std::vector<RunResult> run(const std::vector<NodePtr>& models, int threads = 2) {
    Args args;
    args.threads = threads;
    auto config = std::make_shared<RuntimeConfig>();
    config->args = args;
    RunEvents events;
    events.on_start = [&](const Node& node, int index, int total) {
      if (failing_start.count(node.name)) throw std::runtime_error("start line failed");
      start_lines.push_back(std::to_string(index) + "/" + std::to_string(total) + " " + node.name);
    };
    events.on_result = [&](const RunResult& result, int index, int total) {
      if (failing_result.count(result.node->name)) throw "result line failed";
      result_lines.push_back(std::to_string(index) + " " + result.node->name + " " +
                             std::string(run_status_value(result.status)));
    };
    RunTask task(args, config, manifest,
                 [&](const NodePtr& node, int index, int total) {
                   return std::make_unique<FakeRunner>(config, node, index, total, journal);
                 },
                 events);
    auto results = task.run_models(models);
    interrupted = task.interrupted();
    not_started = task.not_started();
    return results;
  }

  static std::map<std::string, RunResult> by_name(const std::vector<RunResult>& results) {
    std::map<std::string, RunResult> map;
    for (const auto& r : results) map[r.node->name] = r;
    return map;
  }

  std::shared_ptr<Manifest> manifest = std::make_shared<Manifest>();
  Journal journal;
  std::vector<std::string> start_lines;
  std::vector<std::string> result_lines;
  std::set<std::string> failing_start;   // on_start throws for these
  std::set<std::string> failing_result;  // on_result throws for these
  bool interrupted = false;
  int not_started = 0;
};

size_t position(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) - list.begin();
}

TEST_F(RunTaskTest, UpstreamModelsFinishBeforeTheirDependantsStart) {
  auto a = model("a"), b = model("b", {"source.shop.raw.orders", a->unique_id});
  auto c = model("c", {b->unique_id, a->unique_id}), d = model("d"), e = model("e");
  for (auto& n : {a, b, c, d, e}) add(n);

  auto results = run({c, b, a, d, e}, 3);

  ASSERT_EQ(results.size(), 5u);
  for (const auto& r : results) EXPECT_EQ(r.status, RunStatus::Success) << r.node->name;
  EXPECT_LT(position(journal.finished, "a"), position(journal.started, "b"));
  EXPECT_LT(position(journal.finished, "b"), position(journal.started, "c"));
  // Independent models run side by side on named workers.
  EXPECT_GE(journal.max_running, 2);
  EXPECT_LE(journal.max_running, 3);
  for (const auto& name : journal.threads) EXPECT_EQ(name.rfind("Thread-", 0), 0u) << name;
  for (const auto& r : results) EXPECT_EQ(r.thread_id.rfind("Thread-", 0), 0u);
  // Every model is numbered once, 1..5 of 5.
  std::set<std::string> starts(start_lines.begin(), start_lines.end());
  EXPECT_EQ(starts.size(), 5u);
  for (int i = 1; i <= 5; ++i) {
    bool found = false;
    for (const auto& line : start_lines) found = found || line.rfind(std::to_string(i) + "/5 ", 0) == 0;
    EXPECT_TRUE(found) << i;
  }
}

TEST_F(RunTaskTest, DependantsOfAFailedOrThrowingModelAreSkippedTransitively) {
  auto a = model("a"), b = model("b", {a->unique_id}), c = model("c", {b->unique_id});
  auto d = model("d"), x = model("x"), y = model("y", {x->unique_id, d->unique_id});
  for (auto& n : {a, b, c, d, x, y}) add(n);
  journal.failing = {"a"};
  journal.throwing = {"x"};

  auto results = by_name(run({a, b, c, d, x, y}));

  ASSERT_EQ(results.size(), 6u);
  EXPECT_EQ(results["a"].status, RunStatus::Error);
  EXPECT_EQ(results["a"].message, "it failed");
  EXPECT_EQ(results["x"].status, RunStatus::Error);
  EXPECT_EQ(results["x"].failures, 1);
  EXPECT_NE(results["x"].message.find("boom"), std::string::npos);
  EXPECT_EQ(results["d"].status, RunStatus::Success);
  for (const char* skipped : {"b", "c", "y"}) {
    EXPECT_EQ(results[skipped].status, RunStatus::Skipped) << skipped;
    EXPECT_EQ(position(journal.started, skipped), journal.started.size()) << skipped;
  }
  // A model skipped further down names the model that failed.
  EXPECT_NE(results["c"].message.find("upstream model a"), std::string::npos);
  EXPECT_EQ(result_lines.size(), 6u);
}

// Nothing thrown by a runner or an event callback may leave a worker thread (that would end
// the process): each becomes the error result of its model, or is logged.
TEST_F(RunTaskTest, AnythingThrownInAWorkerBecomesAnErrorResult) {
  auto a = model("a"), b = model("b", {a->unique_id}), c = model("c"), d = model("d");
  auto e = model("e");
  for (auto& n : {a, b, c, d, e}) add(n);
  journal.throwing_other = {"a"};
  failing_start = {"c"};
  failing_result = {"d"};

  auto results = by_name(run({a, b, c, d, e}));

  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results["a"].status, RunStatus::Error);
  EXPECT_NE(results["a"].message.find("not a std::exception"), std::string::npos);
  EXPECT_EQ(results["b"].status, RunStatus::Skipped);
  EXPECT_EQ(results["c"].status, RunStatus::Error);
  EXPECT_NE(results["c"].message.find("start line failed"), std::string::npos);
  EXPECT_EQ(position(journal.started, "c"), journal.started.size());  // it never ran
  EXPECT_EQ(results["d"].status, RunStatus::Success);  // its reporter failed, not the model
  EXPECT_EQ(results["e"].status, RunStatus::Success);
  EXPECT_FALSE(interrupted);
}

TEST_F(RunTaskTest, EphemeralModelsAreLookedThroughAndNotRun) {
  auto a = model("a"), eph = model("eph", {a->unique_id}, "ephemeral");
  auto b = model("b", {eph->unique_id});
  for (auto& n : {a, eph, b}) add(n);
  journal.failing = {"a"};

  auto results = by_name(run({a, b}, 4));

  EXPECT_EQ(results.count("eph"), 0u);
  EXPECT_EQ(results["b"].status, RunStatus::Skipped);
}

TEST_F(RunTaskTest, UnselectedUpstreamModelsDoNotHoldDependantsBack) {
  auto a = model("a"), b = model("b", {a->unique_id});
  for (auto& n : {a, b}) add(n);
  auto results = run({b});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, RunStatus::Success);
}

TEST_F(RunTaskTest, AStopRequestStartsNothingNewAndReportsWhatWasLeft) {
  auto a = model("a"), b = model("b"), c = model("c");
  for (auto& n : {a, b, c}) add(n);
  request_stop();
  auto results = run({a, b, c});
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(journal.started.empty());
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(not_started, 3);
}

TEST_F(RunTaskTest, AStopDuringTheRunLetsTheRunningModelFinish) {
  auto a = model("a"), b = model("b"), c = model("c", {a->unique_id});
  for (auto& n : {a, b, c}) add(n);
  journal.stopping = {"a"};
  auto results = run({a, b, c}, 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].node->name, "a");
  EXPECT_EQ(results[0].status, RunStatus::Success);
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(not_started, 2);
}

TEST_F(RunTaskTest, NoModelsIsAnEmptyRun) {
  auto results = run({});
  EXPECT_TRUE(results.empty());
  EXPECT_FALSE(interrupted);
}

TEST(WriteRunResults, WritesEveryResultWithItsStatus) {
  auto dir = std::filesystem::temp_directory_path() / ("brek_run_results_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  RunResult ok;
  ok.node = model("orders");
  ok.message = "SELECT 3";
  ok.adapter_response = {{"_message", "SELECT 3"}, {"rows_affected", 3}};
  RunResult skipped;
  skipped.status = RunStatus::Skipped;
  skipped.node = model("customers");
  Args args;
  args.select = {"orders+"};

  write_run_results(dir / "target", {ok, skipped}, 1.25, args);

  std::ifstream in(dir / "target" / "run_results.json");
  zyl::Value doc = zyl::Value::parse(in);
  ASSERT_EQ(doc["results"].size(), 2u);
  EXPECT_EQ(doc["results"][0]["unique_id"], "model.shop.orders");
  EXPECT_EQ(doc["results"][0]["adapter_response"]["rows_affected"], 3);
  EXPECT_EQ(doc["results"][1]["status"], "skipped");
  EXPECT_EQ(doc["args"]["select"][0], "orders+");
  EXPECT_FALSE(std::filesystem::exists(dir / "target" / "run_results.json.tmp"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace brek
