// The `retract` command: drops every selected model from its target database, downstream models
// before the models they read from, then removes the models' result tables from the local cache
// `.zyl/cache.duckdb`. Seeds, sources and every other node type are never touched.
//
// The command line builds the task like any graph task of the host and runs it once:
//
//   zyl::tasks::retract::ZylRetractTask task(args, config, manifest);   // writes to std::cout
//   std::vector<zyl::Value> results = task.run();
//   int exit_code = task.interpret_results(results) ? 0 : 1;
//
// Outside components (profiles reader, target connections, cache, usage tracking) are obtained
// from zyl::components::registry() at the moment of use.
#pragma once

#include <iosfwd>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "brek/config.h"
#include "brek/graph/graph.h"
#include "brek/nodes.h"
#include "brek/place.h"
#include "brek/task/runnable.h"
#include "core/ordered_map.h"
#include "core/value.h"

namespace zyl::tasks::retract {

// Adapter types whose DROP statements end in " CASCADE".
extern const std::set<std::string> CASCADE_ENGINES;

// Selected models by unique id, in the order they were selected. The nodes belong to the manifest.
using ModelMap = OrderedMap<std::string, const brek::Node*>;

// Drop all models from their targets in reverse DAG order.
//
// Console lines go to the sink given at construction (standard output by default), one write
// and one flush per line. Not thread-safe; run() is meant to be called once.
class ZylRetractTask : public brek::GraphRunnableTask {
 public:
  // A task writing its console lines to std::cout. `config->target_name` is the default target;
  // `args.PROJECT_DIR`, `args.PROFILES_DIR`, `args.select` and `args.exclude` are read.
  ZylRetractTask(brek::Args args, std::shared_ptr<brek::RuntimeConfig> config,
                 std::shared_ptr<brek::Manifest> manifest);
  // The same, writing to `out`, which must outlive the task.
  ZylRetractTask(brek::Args args, std::shared_ptr<brek::RuntimeConfig> config,
                 std::shared_ptr<brek::Manifest> manifest, std::ostream& out);

  // A selector over the task's graph and manifest restricted to models. Throws
  // brek_common::BrekInternalError when the task has no manifest or no graph. The selector
  // refers to the task's graph and manifest and must not outlive the task.
  virtual brek::ResourceTypeSelector get_node_selector() const;

  // Selects, orders and drops the models and cleans the cache. Returns one record per processed
  // model: {"uid", "status" ("ok" | "skip" | "error"), "msg"[, "elapsed"]}, in processing order;
  // empty when nothing was selected or profiles.yml could not be read. Errors of the selection,
  // of a missing selector state or of reading a node propagate.
  std::vector<Value> run();

  // True unless some record's "status" is "error".
  bool interpret_results(const std::vector<Value>& results) const;
  // The same for a result given as one value: true for anything that is not a list.
  bool interpret_results(const Value& results) const;

  // The unique ids the command's --select / --exclude words pick, through get_node_selector().
  virtual std::set<std::string> _get_selected_uids() const;

  // Every key of `model_nodes` exactly once, each model before all of its selected upstream
  // models. Dependencies are read from the nodes' depends_on and only followed between keys of
  // the map. Ties are broken by unique id: the relation is walked in ascending id order (levels
  // of Kahn's algorithm, then reversed), so the order is the same from run to run. On a
  // dependency cycle, all ids in ascending order, unsorted.
  static std::vector<std::string> _reverse_topo_sort(const ModelMap& model_nodes);

  // Get fully-qualified table name for a model on its target: its schema and name there (the
  // configured schema on any target, else the output's), quoted for the target's engine.
  static std::string _resolve_table_name(const brek::Node& node, const std::string& target_name,
                                         const std::string& default_target,
                                         const Value& target_config);

  // Runs "DROP <obj_type> IF EXISTS <table_name>[ CASCADE]" on a new connection to the target
  // and closes it. Returns {"ok", ""}, {"skip", "cannot connect to <type>"} or
  // {"error", <first 200 characters of the failure>}. Never throws.
  static std::pair<std::string, std::string> _drop_from_target(const std::string& adapter_type,
                                                               const Value& target_config,
                                                               const std::string& table_name,
                                                               const std::string& obj_type);

  // What one model's drop did: the status and message of _drop_from_target and the kind of
  // object dropped ("TABLE" or "VIEW").
  struct Drop {
    std::string status;
    std::string msg;
    std::string obj_type;
  };

  // Drops what the target holds at `place`: a view as a view and a table as a table, whatever
  // the model declares (`declared_type` is used when the catalog holds nothing there or cannot
  // be read). One new connection, closed afterwards. Never throws.
  static Drop _drop_place(const std::string& adapter_type, const Value& target_config,
                          const brek::Place& place, const std::string& declared_type);

  // Drop cached model result tables from DuckDB for retracted models.
  // Removes the tables named "__model__" + the name of a node of `model_nodes` from
  // <project_dir>/.zyl/cache.duckdb and returns how many were removed; 0 when there is no cache
  // file or the cache fails. Holds the cache's lock meanwhile, so it waits for a run of the same
  // project to finish its model. Throws only when the cache component cannot be obtained.
  static int _clean_cache(const std::string& project_dir, const ModelMap& model_nodes);

 private:
  void write_line(const std::string& line) const;
  // Drops one model (or skips it) and writes its console line; returns its record.
  Value retract_model(const std::string& uid, const brek::Node& node, size_t idx, size_t total,
                      const brek::Targets& targets) const;

  std::ostream* out_;
};

}  // namespace zyl::tasks::retract
