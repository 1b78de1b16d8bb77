// `brek seed`: each seed's CSV file becomes a table at the seed's place on its target, through
// the Sling client, so the load is atomic on every engine: "truncate" replaces the rows of the
// table that is there, "full-refresh" (--full-refresh) builds it anew. A malformed file is
// refused before anything is written.
//
//   RunTask task(args, config, manifest, [&](const NodePtr& n, int i, int total) {
//     return std::make_unique<SeedRunner>(config, n, i, total, profiles);
//   });
//   task.resource_type = brek::NodeType::Seed;
#pragma once

#include <memory>

#include "brek/config.h"
#include "brek/nodes.h"
#include "brek/run_result.h"
#include "brek/task/run.h"
#include "core/value.h"

namespace zyl::tasks::seed_loader {

class SeedRunner : public brek::ModelRunner {
 public:
  // `profiles` is the whole parsed profiles.yml; the seed's output is found in it as a model's.
  SeedRunner(std::shared_ptr<const brek::RuntimeConfig> config, brek::NodePtr node, int index,
             int total, Value profiles);

  // Loads the seed. Never throws: a malformed file or a failed load is an error result whose
  // message says which, and the target keeps what it held.
  brek::RunResult execute(brek::Node& seed, brek::Manifest& manifest) override;

 private:
  // Loads `seed`'s rows; returns how many. Throws on any failure.
  std::int64_t load(const brek::Node& seed);

  Value profiles_;
};

}  // namespace zyl::tasks::seed_loader
