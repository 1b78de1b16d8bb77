// `brek snapshot`: each snapshot keeps the history of its select's rows in a table at its place
// on its target. The new state of that table is worked out in DuckDB, from the select's rows and
// a copy of the table as it is, and the whole of it replaces the table's rows through the Sling
// client's load, which is atomic on every engine: a failed run leaves the table as it was.
//
// The select's rows come into DuckDB from the target itself when everything it reads lives
// there, and otherwise through the extraction path of models: its sources and upstream nodes
// are copied into the cache and the select runs there.
//
//   SnapshotRunner runner(config, node, 1, n, profiles, resolution, cache);
//   brek::RunResult result = runner.execute(*node, manifest);
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brek/artifacts/resources/v1/snapshot.h"
#include "brek/config.h"
#include "brek/nodes.h"
#include "brek/place.h"
#include "brek/run_result.h"
#include "brek/task/run.h"
#include "core/value.h"
#include "zyl/config/compass.h"
#include "zyl/federation/zyl_cache.h"

namespace zyl::tasks::snapshot_runner {

// A column of a DuckDB table: its name and its DuckDB type ("DECIMAL(10,2)").
struct TableColumn {
  std::string name;
  std::string type;
};

// What the SQL of one snapshot run is made from.
struct SnapshotPlan {
  brek::artifacts::resources::v1::snapshot::SnapshotConfig config;
  std::vector<std::string> unique_key;
  std::string hard_deletes = "ignore";  // "ignore", "invalidate" or "new_record"
  std::string snapshot_time;            // TIMESTAMP text of this run, UTC
  std::string source_table;             // quoted DuckDB tables
  std::string current_table;
  std::vector<TableColumn> source_columns;   // the select's columns
  std::vector<TableColumn> current_columns;  // the snapshot table's; empty on the first run
};

// The unique key columns of `config` (a name or a list). Throws std::runtime_error for an
// empty name.
std::vector<std::string> unique_key_columns(
    const brek::artifacts::resources::v1::snapshot::SnapshotConfig& config);

// The hard_deletes setting of `node` ("ignore" when it has none). Throws std::runtime_error
// naming the allowed values for any other.
std::string hard_deletes_of(const brek::Node& node);

// The DuckDB query whose rows are the whole snapshot table after this run: every row of the
// current table (current versions of changed or, with hard_deletes, vanished keys closed at the
// new version's valid-from or the snapshot time), then a new current version for each new or
// changed key, then (hard_deletes 'new_record') a row marked deleted for each vanished key.
// brek_scd_id is md5 of the key columns' text and the version's valid-from, joined by '|'.
// The current table's columns are read in the select's types (meta columns as TIMESTAMP and
// VARCHAR), so a copy whose types an engine changed compares as the select's rows do; a column
// only one side has reads NULL on the other. brek_valid_to_current is a DuckDB expression.
std::string next_snapshot_query(const SnapshotPlan& plan);

class SnapshotRunner : public brek::ModelRunner {
 public:
  // `profiles` is the whole parsed profiles.yml; `resolution` says where the select runs
  // (nullopt: on the snapshot's target); `cache` is the shared cache of the run.
  SnapshotRunner(std::shared_ptr<const brek::RuntimeConfig> config, brek::NodePtr node, int index,
                 int total, Value profiles,
                 std::optional<config::compass::ResolvedModel> resolution,
                 std::shared_ptr<federation::zyl_cache::Cache> cache);

  // Validates the snapshot's config and builds it. Never throws: a bad config is an error
  // result whose message is the validation's own, any other failure an error result saying
  // what failed; the target keeps what it held.
  brek::RunResult execute(brek::Node& snapshot, brek::Manifest& manifest) override;

 private:
  // Where the snapshot table lives and the connection config that reaches it.
  struct Target {
    brek::Place place;
    Value config;
  };
  // Throws std::runtime_error when the snapshot's target is not an output.
  Target target_of(const brek::Node& snapshot) const;

  // Builds the snapshot; returns how many rows it added. Throws on any failure.
  std::int64_t build(const brek::Node& snapshot, brek::Manifest& manifest, SnapshotPlan plan);
  // Copies the target's snapshot table into the DuckDB file `db_path`, which holds the select's
  // rows, and replaces the table's rows with its new state from there.
  std::int64_t update_target(const brek::Node& snapshot, const Target& target,
                             const std::string& db_path, SnapshotPlan plan);
  // Writes the new state into the work table of `db_path`; returns how many rows it adds.
  // Throws for a unique key the select lacks or repeats.
  std::int64_t write_next_table(const std::string& db_path, bool exists, SnapshotPlan plan);

  Value profiles_;
  std::optional<config::compass::ResolvedModel> resolution_;
  std::shared_ptr<federation::zyl_cache::Cache> cache_;
};

}  // namespace zyl::tasks::snapshot_runner
