// `brek test`: each data test runs on the target where the model (or seed) it tests lives, and
// counts the rows its SQL returns: none is a pass, some a failure (a warning with severity
// warn). A relationships test whose two models live on different targets copies the key
// columns of both into a local DuckDB file through the Sling client and compares them there.
//
//   RunTask task(args, config, manifest, [&](const NodePtr& n, int i, int total) {
//     return std::make_unique<DataTestRunner>(config, n, i, total, profiles);
//   });
//   task.resource_type = brek::NodeType::Test;
#pragma once

#include <cstdint>
#include <memory>

#include "brek/config.h"
#include "brek/nodes.h"
#include "brek/place.h"
#include "brek/run_result.h"
#include "brek/task/run.h"
#include "core/value.h"

namespace zyl::tasks::data_test_runner {

class DataTestRunner : public brek::ModelRunner {
 public:
  DataTestRunner(std::shared_ptr<const brek::RuntimeConfig> config, brek::NodePtr node, int index,
                 int total, Value profiles);

  // Pass, Fail or Warn with the failing row count; Error when the test cannot run. Never
  // throws.
  brek::RunResult execute(brek::Node& test, brek::Manifest& manifest) override;

 private:
  // The number of failing rows of `test`. Throws on any failure.
  std::int64_t failures(const brek::Node& test, const brek::Manifest& manifest) const;
  // COUNT(*) of `sql`'s rows on the output of `place`.
  std::int64_t count_on(const brek::Place& place, const std::string& sql) const;
  // A relationships test across two targets, compared in a local DuckDB file.
  std::int64_t count_across(const brek::Node& test, const brek::Place& child,
                            const brek::Place& parent) const;
  // The place of the node a test is attached to: the tested model or seed, else the first
  // model or seed a singular test reads, else nullopt (the default target).
  std::optional<brek::Place> place_of_id(const std::string& id,
                                         const brek::Manifest& manifest) const;
  Value connection_for(const brek::Place& place) const;

  Value profiles_;
};

}  // namespace zyl::tasks::data_test_runner
