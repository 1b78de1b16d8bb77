#include "app/commands.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>

#include "app/console.h"
#include "app/docs_server.h"
#include "app/interrupt.h"
#include "app/progress.h"
#include "brek/adapters/driver_adapter.h"
#include "brek/graph/graph.h"
#include "brek/parser/project.h"
#include "brek/place.h"
#include "brek/task/materialize.h"
#include "brek/task/run_task.h"
#include "brek/tracking.h"
#include "brek_common/exceptions.h"
#include "core/log.h"
#include "core/text.h"
#include "core/yaml.h"
#include "drivers/driver.h"
#include "zyl/components.h"
#include "zyl/config/compass.h"
#include "zyl/config/driftwatch.h"
#include "zyl/config/tether.h"
#include "zyl/extraction/linkwright.h"
#include "zyl/extraction/sling_client.h"
#include "zyl/federation/zyl_cache.h"
#include "zyl/runners/ferry.h"
#include "zyl/sync/outfitter.h"
#include "zyl/sync/profiles_reader.h"
#include "zyl/tasks/data_test_runner.h"
#include "zyl/tasks/docs_site.h"
#include "zyl/tasks/retract.h"
#include "zyl/tasks/seed_loader.h"
#include "zyl/tasks/snapshot_runner.h"

namespace brek::app {
namespace {

namespace fs = std::filesystem;
using zyl::Value;
using zyl::config::compass::ExecutionPath;
using zyl::config::compass::Resolutions;
using zyl::federation::zyl_cache::CacheLocation;
using zyl::federation::zyl_cache::ZylCache;

constexpr const char* kVersion = "0.1.0";

// A fault of the user's invocation or project: reported with exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The project, its profile and the layer's warnings, as every command needs them.
struct Session {
  fs::path project_dir;
  fs::path profiles_dir;
  Value profiles = Value::object();
  parser::Project project;
  std::shared_ptr<RuntimeConfig> config;
  std::shared_ptr<Manifest> manifest;
  zyl::config::tether::SourceConnectionMap tether;
  Value raw_target_config = Value::object();  // as written, for the target-change record
};

fs::path project_dir_of(const Args& args) {
  fs::path dir = args.PROJECT_DIR.empty() ? fs::current_path() : fs::path(args.PROJECT_DIR);
  std::error_code ec;
  fs::path absolute = fs::weakly_canonical(fs::absolute(dir), ec);
  if (ec) absolute = fs::absolute(dir);
  if (!fs::is_regular_file(absolute / "brek_project.yml")) {
    throw UsageError("no brek_project.yml in " + absolute.string() +
                     " (run brek inside a project or give --project-dir)");
  }
  return absolute;
}

fs::path profiles_dir_of(const Args& args, const fs::path& project_dir) {
  if (!args.PROFILES_DIR.empty()) return fs::absolute(args.PROFILES_DIR);
  const char* from_env = std::getenv("BREK_PROFILES_DIR");
  // A project that keeps its own profiles.yml uses it unless told otherwise.
  if ((from_env == nullptr || *from_env == '\0') && fs::is_regular_file(project_dir / "profiles.yml")) {
    return project_dir;
  }
  return zyl::sync::profiles_reader::default_profiles_dir();
}

// The model the calling worker thread runs, for the copies it makes.
std::string& current_model() {
  thread_local std::string name;
  return name;
}

ProgressBoard& progress_board() {
  static ProgressBoard board(std::cout);
  return board;
}

// The mover's progress callback: the copy's line, the test builds' pause points, and the end of
// a copy once the run is interrupted.
void on_copy_progress(std::int64_t rows, const std::string& table) {
  progress_board().copied(rows, table);
  if (!current_model().empty()) {
    test_pause_point(copies_to_target(current_model(), table) ? "load" : "extract");
  }
  throw_if_cancelled();
}

Session open_session(const Options& options) {
  Session s;
  s.project_dir = project_dir_of(options.args);
  zyl::log::setup_application(s.project_dir, options.log_level.empty()
                                                 ? spdlog::level::off
                                                 : zyl::log::level_named(options.log_level));
  tracking::set_events_dir(s.project_dir / "logs");

  parser::LoadOptions load;
  load.project_dir = s.project_dir;
  load.vars = options.args.vars;
  s.project = parser::load_project(load);

  if (options.args.profile) s.project.profile = *options.args.profile;
  s.profiles_dir = profiles_dir_of(options.args, s.project_dir);
  try {
    s.profiles = zyl::sync::profiles_reader::read_profiles_yml(s.profiles_dir.string());
  } catch (const zyl::sync::profiles_reader::ProfilesError& e) {
    throw UsageError(e.what());
  }

  const Value* profile = zyl::find(s.profiles, s.project.profile);
  if (profile == nullptr || !profile->is_object()) {
    throw UsageError("profile '" + s.project.profile + "' not found in " +
                     (s.profiles_dir / "profiles.yml").string());
  }
  const Value* outputs = zyl::find(*profile, "outputs");
  std::string target = options.args.target.value_or(zyl::get_text(*profile, "target"));
  if (target.empty()) {
    throw UsageError("profile '" + s.project.profile + "' names no target; give --target");
  }
  const Value* output = outputs ? zyl::find(*outputs, target) : nullptr;
  if (output == nullptr || !output->is_object()) {
    std::vector<std::string> names;
    if (outputs && outputs->is_object()) {
      for (const auto& [name, _] : outputs->items()) names.push_back(name);
    }
    throw UsageError("target '" + target + "' not found in profile '" + s.project.profile +
                     "' (outputs: " + zyl::text::join(names, ", ") + ")");
  }

  s.config = std::make_shared<RuntimeConfig>();
  s.config->project_name = s.project.name;
  s.config->profile_name = s.project.profile;
  s.config->target_name = target;
  s.raw_target_config = *output;
  s.profiles =
      zyl::sync::profiles_reader::with_absolute_paths(std::move(s.profiles), s.project_dir);
  s.config->profiles = s.profiles;
  s.config->target_config = *zyl::find(*zyl::find(*zyl::find(s.profiles, s.project.profile), "outputs"), target);
  s.config->args = options.args;
  s.config->args.PROJECT_DIR = s.project_dir.string();
  s.config->args.PROFILES_DIR = s.profiles_dir.string();
  s.manifest = std::make_shared<Manifest>(std::move(s.project.manifest));

  s.tether = zyl::config::tether::load_tether(s.project_dir);
  zyl::components::use_project(s.project_dir, on_copy_progress);
  return s;
}

// The layer's checks of parse, compile and run: a moved default target and redundant source
// connections. Printed (unless quiet), always logged, never fatal.
void report_warnings(const Session& s, const Options& options) {
  std::vector<std::string> warnings = zyl::config::driftwatch::check_target_changes(
      s.project_dir, s.config->target_name, s.raw_target_config);
  for (auto& w : zyl::config::tether::validate_tether(s.tether, s.profiles, s.config->target_name,
                                                      s.project.profile)) {
    warnings.push_back(std::move(w));
  }
  for (const auto& w : warnings) {
    if (options.quiet) {
      zyl::log::get("brek.app").warn("warning: {}", w);
      continue;
    }
    std::cout << "Warning: " << w << "\n";
    zyl::log::get("brek.app").debug("warning: {}", w);  // the console has it already
  }
}

parser::CompileContext compile_context(const Session& s) {
  parser::CompileContext cc;
  cc.profiles = s.profiles;
  cc.own_profile = s.project.profile;
  cc.default_target = s.config->target_name;
  cc.cli_target = s.config->args.target;
  cc.full_refresh = s.config->args.full_refresh;
  cc.vars = s.project.vars;
  cc.source_connections = s.tether;
  return cc;
}

// The output config of `name`, from the session's own profile first, then any profile.
std::optional<Value> output_config(const Session& s, const std::string& name) {
  const Value* output = find_output(s.profiles, s.project.profile, name);
  return output ? std::optional<Value>(*output) : std::nullopt;
}

// Adapters of the targets met while compiling, opened on first use.
class TargetAdapters {
 public:
  explicit TargetAdapters(const Session& s) : session_(s) {}

  std::shared_ptr<Adapter> get(const std::string& target) {
    std::lock_guard lock(mutex_);
    auto it = adapters_.find(target);
    if (it != adapters_.end()) return it->second;
    std::shared_ptr<Adapter> adapter;
    if (std::optional<Value> config = output_config(session_, target)) {
      try {
        adapter = adapters::open_adapter(*config, session_.project_dir);
      } catch (const std::exception& e) {
        zyl::log::get("brek.app").debug("cannot connect to target {}: {}", target, e.what());
      }
    }
    adapters_[target] = adapter;
    return adapter;
  }

  void put(const std::string& target, std::shared_ptr<Adapter> adapter) {
    std::lock_guard lock(mutex_);
    adapters_[target] = std::move(adapter);
  }

 private:
  const Session& session_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Adapter>> adapters_;
};

void compile(Session& s, TargetAdapters& adapters) {
  parser::CompileContext cc = compile_context(s);
  cc.relation_exists = [&](const Node& node) {
    std::shared_ptr<Adapter> adapter = adapters.get(parser::model_target(node, cc));
    if (!adapter) return false;
    try {
      materialize::Relation relation;
      relation.schema = node.schema.value_or("");
      relation.identifier = node.name;
      relation.database = node.database.value_or("");
      return materialize::relation_kind(*adapter, relation) != materialize::RelationKind::None;
    } catch (const std::exception&) {
      return false;
    }
  };
  parser::compile_manifest(*s.manifest, cc);
}

std::vector<std::string> selected_models(const Session& s) {
  Graph graph = Graph::from_manifest(*s.manifest);
  ResourceTypeSelector selector(graph, *s.manifest, nullptr, {NodeType::Model});
  std::set<std::string> ids =
      selector.get_selected(SelectionSpec{s.config->args.select, s.config->args.exclude});
  std::vector<std::string> ordered;
  for (const auto& [id, node] : s.manifest->nodes) {
    if (node && ids.count(id) && node->resource_type.value_or("") == "model") ordered.push_back(id);
  }
  return ordered;
}

// Where each model and snapshot runs: snapshots are placed by the models' rules.
Resolutions resolve(const Session& s) {
  Resolutions resolutions = zyl::config::compass::resolve_all_models(
      *s.manifest, s.config->target_name, s.tether, s.config->args.target);
  for (const auto& [id, node] : s.manifest->nodes) {
    if (!node || node->resource_type.value_or("") != "snapshot") continue;
    resolutions.set(
        id, zyl::config::compass::resolve_model_path(*node, *s.manifest, s.config->target_name,
                                                     s.tether, s.config->args.target));
  }
  return resolutions;
}

// The runner of one snapshot, with where its select runs.
std::unique_ptr<ModelRunner> snapshot_runner(const Session& s, const Resolutions& resolutions,
                                             const std::shared_ptr<ZylCache>& cache,
                                             const NodePtr& node, int index, int total) {
  const auto* resolved = resolutions.get(node->unique_id);
  return std::make_unique<zyl::tasks::snapshot_runner::SnapshotRunner>(
      s.config, node, index, total, s.profiles, resolved ? std::optional(*resolved) : std::nullopt,
      cache);
}

std::string path_of(const Resolutions& resolutions, const std::string& id) {
  const auto* resolved = resolutions.get(id);
  return std::string(zyl::config::compass::value(resolved ? resolved->execution_path
                                                          : ExecutionPath::DEFAULT_PUSHDOWN));
}

std::string target_of(const Resolutions& resolutions, const std::string& id,
                      const std::string& fallback) {
  const auto* resolved = resolutions.get(id);
  return resolved ? resolved->target : fallback;
}

// The query each source of an extraction model is read with, as a run sends it (an incremental
// run adds its watermark filter). A model whose queries cannot be worked out says why.
void print_extraction_queries(const Session& s, const Resolutions& resolutions,
                              const std::vector<std::string>& ids) {
  auto cache = std::make_shared<zyl::federation::zyl_cache::ZylCache>(
      zyl::federation::zyl_cache::CacheLocation::for_project(s.project_dir));
  bool header = false;
  for (const auto& id : ids) {
    const auto* resolved = resolutions.get(id);
    const NodePtr* node = s.manifest->nodes.get(id);
    if (!resolved || !node || !*node || resolved->execution_path == ExecutionPath::DEFAULT_PUSHDOWN) {
      continue;
    }
    zyl::runners::ferry::ZylModelRunner runner(s.config, nullptr, *node, 0, 0);
    runner.set_zyl_context(*resolved, s.profiles, cache);
    std::vector<std::string> lines;
    try {
      for (const auto& planned : runner.plan_extractions(**node, *s.manifest, *cache)) {
        lines.push_back(planned.cache_table + " (" + planned.source_type + "): " + planned.query);
      }
    } catch (const std::exception& e) {
      lines.push_back(std::string("(not known: ") + e.what() + ")");
    }
    if (lines.empty()) continue;
    if (!header) std::cout << "\nExtraction queries:\n";
    header = true;
    std::cout << "  " << (*node)->name << ":\n";
    for (const auto& line : lines) std::cout << "    " << line << "\n";
  }
}

// A full refresh rebuilds incremental models on the extraction path from scratch: their previous
// result in the cache, which would make the run incremental, is removed first.
void forget_cached_results(const std::vector<NodePtr>& models, const Resolutions& resolutions,
                           zyl::federation::zyl_cache::Cache& cache) {
  std::lock_guard lock(cache._file_lock());
  cache.ensure_created();
  for (const auto& node : models) {
    const auto* resolved = resolutions.get(node->unique_id);
    if (!resolved || resolved->execution_path == ExecutionPath::DEFAULT_PUSHDOWN) continue;
    if (node->get_materialization() != "incremental" || !cache.has_model_result(node->name)) continue;
    cache.drop_table(cache.model_table_name(node->name));
    zyl::log::get("brek.app").info("full refresh: removed the cached result of {}", node->name);
  }
}

// Runs `body`, mapping the errors of a command to exit statuses and messages.
template <typename Body>
int guarded(Body body) {
  try {
    return body();
  } catch (const UsageError& e) {
    std::cerr << "Error: " << e.what() << "\n";
    return kExitUsage;
  } catch (const brek_common::CompilationError& e) {
    std::cerr << "Compilation error: " << e.what() << "\n";
    return kExitUsage;
  } catch (const zyl::yaml::YamlError& e) {
    std::cerr << "Error: " << e.what() << "\n";
    return kExitUsage;
  } catch (const std::invalid_argument& e) {
    std::cerr << "Error: " << e.what() << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "Error: " << e.what() << "\n";
    return kExitUsage;
  }
}

// The errors of a run, once each, and its summary line.
void print_summary(const std::vector<RunResult>& results, int not_started, double elapsed,
                   const Options& options) {
  Counts counts = count_results(results);
  counts.not_started = not_started;
  if (!options.quiet) std::cout << "\n";
  if (counts.error > 0) {
    std::cout << "Errors:\n";
    for (const auto& r : results) {
      if (r.status == RunStatus::Error || r.status == RunStatus::Fail)
        std::cout << "  " << r.node->name << ": " << r.message << "\n";
    }
    std::cout << "\n";
  }
  std::cout << summary_line(counts, elapsed) << std::endl;
}

}  // namespace

Value parse_vars(const std::string& text) {
  if (text.empty()) return Value::object();
  Value vars;
  try {
    vars = zyl::yaml::parse(text, "--vars");
  } catch (const std::exception& e) {
    throw std::invalid_argument(std::string("--vars is not YAML: ") + e.what());
  }
  if (vars.is_null()) return Value::object();
  if (!vars.is_object()) throw std::invalid_argument("--vars must be a YAML map, such as \"{days: 3}\"");
  return vars;
}

int cmd_parse(const Options& options) {
  return guarded([&] {
    Session s = open_session(options);
    report_warnings(s, options);
    parser::resolve_relations(*s.manifest, compile_context(s));
    fs::path path = s.project_dir / "target" / "manifest.json";
    parser::write_manifest(*s.manifest, path, s.project.name);
    std::cout << "Parsed " << s.manifest->nodes.size() << " nodes and " << s.manifest->sources.size()
              << " sources; wrote " << path.string() << "\n";
    return kExitOk;
  });
}

int cmd_compile(const Options& options) {
  return guarded([&] {
    Session s = open_session(options);
    report_warnings(s, options);
    TargetAdapters adapters(s);
    compile(s, adapters);
    parser::write_manifest(*s.manifest, s.project_dir / "target" / "manifest.json", s.project.name);
    parser::write_compiled_sql(*s.manifest, s.project.name, s.project_dir / "target");
    std::cout << "Compiled " << s.manifest->nodes.size() << " nodes into "
              << (s.project_dir / "target" / "compiled").string() << "\n";
    print_extraction_queries(s, resolve(s), selected_models(s));
    return kExitOk;
  });
}

// The output a seed lives on, or a test runs on (that of the first model or seed it reads).
std::string output_shown(const Session& s, const Node& node) {
  brek::Targets targets = brek::Targets::of(*s.config, s.profiles);
  if (node.resource_type.value_or("") == "test" && node.depends_on) {
    for (const auto& id : node.depends_on->nodes) {
      const Node* read = s.manifest->find_node(id);
      if (read != nullptr && read->resource_type.value_or("") != "test") {
        return brek::model_output(*read, targets);
      }
    }
  }
  return brek::model_output(node, targets);
}

// The data tests to run: those selected, and those of the models and seeds selected.
std::vector<NodePtr> selected_tests(const Session& s) {
  Graph graph = Graph::from_manifest(*s.manifest);
  ResourceTypeSelector selector(graph, *s.manifest, nullptr, {});
  std::set<std::string> ids =
      selector.get_selected(SelectionSpec{s.config->args.select, s.config->args.exclude});
  std::vector<NodePtr> tests;
  for (const auto& [id, node] : s.manifest->nodes) {
    if (!node || node->resource_type.value_or("") != "test") continue;
    bool chosen = ids.count(id) > 0;
    for (const auto& dep : node->depends_on ? node->depends_on->nodes : std::vector<std::string>{}) {
      chosen = chosen || (ids.count(dep) > 0 && s.manifest->find_node(dep) != nullptr);
    }
    if (chosen) tests.push_back(node);
  }
  return tests;
}

// `brek ls --resource-type ...`: every selected node of those kinds (exposures: all of them),
// with its kind and the output it lives on.
void list_nodes(const Session& s, const std::vector<std::string>& kinds) {
  auto wanted = [&](const std::string& kind) {
    return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
  };
  Graph graph = Graph::from_manifest(*s.manifest);
  ResourceTypeSelector selector(graph, *s.manifest, nullptr, {});
  std::set<std::string> ids =
      selector.get_selected(SelectionSpec{s.config->args.select, s.config->args.exclude});
  std::vector<std::vector<std::string>> rows = {{"NAME", "TYPE", "TARGET"}};
  std::vector<NodePtr> tests = selected_tests(s);
  for (const auto& [id, node] : s.manifest->nodes) {
    if (!node || !wanted(node->resource_type.value_or(""))) continue;
    bool chosen = ids.count(id) > 0 || std::find(tests.begin(), tests.end(), node) != tests.end();
    if (chosen) rows.push_back({node->name, node->resource_type.value_or(""), output_shown(s, *node)});
  }
  if (wanted("exposure")) {
    for (const auto& [id, exposure] : s.manifest->exposures) {
      if (exposure) rows.push_back({exposure->name, "exposure", "-"});
    }
  }
  std::cout << columns(rows);
}

int cmd_ls(const Options& options) {
  return guarded([&] {
    Session s = open_session(options);
    if (!options.resource_types.empty()) {
      list_nodes(s, options.resource_types);
      return kExitOk;
    }
    Resolutions resolutions = resolve(s);
    std::vector<std::vector<std::string>> rows = {{"MODEL", "MATERIALIZED", "TARGET", "PATH", "REMOTE"}};
    for (const auto& id : selected_models(s)) {
      const Node& node = *s.manifest->find_node(id);
      std::vector<std::string> remote;
      if (const auto* resolved = resolutions.get(id)) {
        for (const auto& source : resolved->remote_sources) {
          remote.push_back(source.source_name + "." + source.table_name + "@" + source.connection);
        }
        for (const auto& ref : resolved->remote_refs) {
          const Node* upstream = s.manifest->find_node(ref);
          remote.push_back(upstream ? upstream->name : ref);
        }
      }
      rows.push_back({node.name, node.get_materialization(),
                      target_of(resolutions, id, s.config->target_name), path_of(resolutions, id),
                      remote.empty() ? "-" : zyl::text::join(remote, ", ")});
    }
    std::cout << columns(rows);
    if (options.verbose) {
      // The queries need the compiled SQL, which needs the targets.
      TargetAdapters adapters(s);
      compile(s, adapters);
      print_extraction_queries(s, resolutions, selected_models(s));
    }
    return kExitOk;
  });
}


// The console lines of a task's nodes: START and result lines, the progress board, and the
// models Ctrl-C cancelled (into `cancelled`).
RunEvents console_events(const Session& s, const Options& options,
                         const Resolutions& resolutions, std::vector<std::string>& cancelled) {
  RunEvents events;
  bool colour = colour_wanted();
  auto line_of = [&s, &resolutions, colour](const Node& node, int index, int total) {
    const std::string kind = node.resource_type.value_or("");
    if (kind == "seed" || kind == "test") {
      return ModelLine{index, total, node.name, output_shown(s, node), kind, colour};
    }
    return ModelLine{index,
                     total,
                     node.name,
                     target_of(resolutions, node.unique_id, s.config->target_name),
                     path_of(resolutions, node.unique_id),
                     colour};
  };
  events.on_start = [line_of, &options](const Node& node, int index, int total) {
    current_model() = node.name;
    progress_board().model_started(node.name);
    if (!options.quiet) progress_board().print(start_line(line_of(node, index, total)));
  };
  events.on_result = [line_of, &options, &cancelled](const RunResult& result, int index,
                                                      int total) {
    if (result.node && result.node->name == current_model()) {
      progress_board().model_finished();
      current_model().clear();
    }
    if (result.status == RunStatus::Error && stop_requested()) {
      cancelled.push_back(result.node->name);
      zyl::log::get("brek.app")
          .warn("cancelled by Ctrl-C: {} {}", result.node->resource_type.value_or("model"),
                result.node->name);
    }
    if (options.quiet) return;
    bool incremental = zyl::text::ends_with(result.message, " (incremental)");
    progress_board().print(result_line(line_of(*result.node, index, total), result.status,
                                       rows_of(result), result.execution_time, incremental));
    if (result.status == RunStatus::Error || result.status == RunStatus::Fail ||
        result.status == RunStatus::Warn)
      progress_board().print("      " + result.message);
  };
  return events;
}

// Runs `nodes` with `task` under the console: the header ("<verb> 3 <noun>s"), Ctrl-C, the
// progress board, run_results.json and the summary. Returns the command's exit status.
int run_under_console(const Session& s, const Options& options, RunTask& task,
                      const std::vector<NodePtr>& nodes, const std::vector<std::string>& cancelled,
                      std::chrono::steady_clock::time_point started, const std::string& verb,
                      const std::string& noun) {
  int threads = std::max(1, s.config->args.threads);
  if (!options.quiet) {
    std::cout << "brek " << kVersion << ": " << verb << " " << nodes.size() << " " << noun
              << (nodes.size() == 1 ? "" : "s") << " on " << threads << " thread"
              << (threads == 1 ? "" : "s") << " (profile " << s.project.profile << ", target "
              << s.config->target_name << ")\n\n";
  }
  std::vector<RunResult> results;
  {
    InterruptGuard interrupt;
    progress_board().set_mode(options.quiet             ? ProgressBoard::Mode::Off
                              : ::isatty(STDOUT_FILENO) ? ProgressBoard::Mode::Terminal
                                                        : ProgressBoard::Mode::Plain);
    results = task.run_models(nodes);
    progress_board().set_mode(ProgressBoard::Mode::Off);
  }
  bool interrupted = task.interrupted() || stop_requested();
  if (interrupted) {
    zyl::log::get("brek.app")
        .warn("{} interrupted by Ctrl-C; cancelled: {}; not started: {}", verb,
              cancelled.empty() ? "none" : zyl::text::join(cancelled, ", "), task.not_started());
  }
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  write_run_results(s.project_dir / "target", results, elapsed, s.config->args);
  print_summary(results, task.not_started(), elapsed, options);
  if (interrupted) return kExitInterrupted;
  return count_results(results).error > 0 ? kExitFailure : kExitOk;
}

// The default target's adapter, connected; a target that does not connect is a usage error.
std::shared_ptr<Adapter> default_adapter(Session& s, TargetAdapters& adapters) {
  std::shared_ptr<Adapter> adapter;
  try {
    adapter = adapters::open_adapter(s.config->target_config, s.project_dir);
  } catch (const std::exception& e) {
    throw UsageError("cannot connect to target '" + s.config->target_name + "': " + e.what());
  }
  adapters.put(s.config->target_name, adapter);
  return adapter;
}

// The runner of one model: the layer's, which runs it where its resolution says.
std::unique_ptr<ModelRunner> model_runner(const Session& s, const std::shared_ptr<Adapter>& adapter,
                                          const Resolutions& resolutions,
                                          const std::shared_ptr<ZylCache>& cache,
                                          const NodePtr& node, int index, int total) {
  auto runner = std::make_unique<zyl::runners::ferry::ZylModelRunner>(s.config, adapter, node,
                                                                      index, total);
  const auto* resolved = resolutions.get(node->unique_id);
  runner->set_zyl_context(resolved ? std::optional(*resolved) : std::nullopt, s.profiles, cache);
  return runner;
}

// Whether a selected model runs by itself. An ephemeral model is inlined where it runs on the
// default target; elsewhere the layer builds it as a table.
bool runs_by_itself(const Node& node, const Resolutions& resolutions) {
  if (node.get_materialization() != "ephemeral") return true;
  const auto* resolved = resolutions.get(node.unique_id);
  return resolved && resolved->execution_path != ExecutionPath::DEFAULT_PUSHDOWN;
}

// Whether `to` is `from` or downstream of it.
bool reaches(const Graph& graph, const std::string& from, const std::string& to) {
  std::set<std::string> seen;
  std::vector<std::string> stack{from};
  while (!stack.empty()) {
    std::string id = stack.back();
    stack.pop_back();
    if (id == to) return true;
    if (!seen.insert(id).second) continue;
    for (const auto& child : graph.children(id)) stack.push_back(child);
  }
  return false;
}

// The data tests of the nodes `node` reads: a failing one keeps `node` from starting. A test
// that itself reads `node`, or something downstream of it, cannot come first and does not count.
std::vector<std::string> tests_of_inputs(const Manifest& manifest, const Graph& graph,
                                         const Node& node) {
  std::vector<std::string> tests;
  if (node.resource_type.value_or("") == "test" || !node.depends_on) return tests;
  for (const auto& [id, other] : manifest.nodes) {
    if (!other || other->resource_type.value_or("") != "test" || !other->depends_on) continue;
    const auto& tested = other->depends_on->nodes;
    bool reads_input = std::any_of(tested.begin(), tested.end(), [&](const std::string& t) {
      const auto& inputs = node.depends_on->nodes;
      return std::find(inputs.begin(), inputs.end(), t) != inputs.end();
    });
    bool after_node = std::any_of(tested.begin(), tested.end(), [&](const std::string& t) {
      return reaches(graph, node.unique_id, t);
    });
    if (reads_input && !after_node) tests.push_back(id);
  }
  return tests;
}

// `brek run` (models) and `brek build` (seeds, models and data tests in graph order, a failing
// test holding back what reads the node it tests).
int run_graph(const Options& options, bool build) {
  return guarded([&]() -> int {
    auto started = std::chrono::steady_clock::now();
    Session s = open_session(options);
    report_warnings(s, options);
    TargetAdapters adapters(s);
    std::shared_ptr<Adapter> adapter = default_adapter(s, adapters);
    compile(s, adapters);
    Resolutions resolutions = resolve(s);
    auto cache = std::make_shared<ZylCache>(CacheLocation::for_project(s.project_dir));

    std::vector<std::string> cancelled;  // under the task's event lock
    RunTask task(
        s.config->args, s.config, s.manifest,
        [&](const NodePtr& node, int index, int total) -> std::unique_ptr<ModelRunner> {
          const std::string kind = node->resource_type.value_or("");
          if (kind == "seed") {
            return std::make_unique<zyl::tasks::seed_loader::SeedRunner>(s.config, node, index,
                                                                         total, s.profiles);
          }
          if (kind == "test") {
            return std::make_unique<zyl::tasks::data_test_runner::DataTestRunner>(
                s.config, node, index, total, s.profiles);
          }
          if (kind == "snapshot") return snapshot_runner(s, resolutions, cache, node, index, total);
          return model_runner(s, adapter, resolutions, cache, node, index, total);
        },
        console_events(s, options, resolutions, cancelled));
    task.is_runnable = [&](const Node& node) { return runs_by_itself(node, resolutions); };
    Graph graph = Graph::from_manifest(*s.manifest);
    if (build) {
      task.resource_types = {NodeType::Seed, NodeType::Model, NodeType::Snapshot};
      task.extra_upstream = [&](const Node& node) {
        return tests_of_inputs(*s.manifest, graph, node);
      };
    }

    std::vector<NodePtr> nodes = task.models_to_run();
    if (s.config->args.full_refresh) forget_cached_results(nodes, resolutions, *cache);
    if (!build) {
      return run_under_console(s, options, task, nodes, cancelled, started, "running", "model");
    }
    for (const NodePtr& test : selected_tests(s)) nodes.push_back(test);
    if (!options.resource_types.empty()) {
      const auto& kinds = options.resource_types;
      std::erase_if(nodes, [&](const NodePtr& n) {
        return std::find(kinds.begin(), kinds.end(), n->resource_type.value_or("")) == kinds.end();
      });
    }
    return run_under_console(s, options, task, nodes, cancelled, started, "building", "node");
  });
}

int cmd_run(const Options& options) { return run_graph(options, false); }

int cmd_build(const Options& options) { return run_graph(options, true); }

int cmd_seed(const Options& options) {
  return guarded([&]() -> int {
    auto started = std::chrono::steady_clock::now();
    Session s = open_session(options);
    report_warnings(s, options);
    TargetAdapters adapters(s);
    compile(s, adapters);  // the seeds' places
    Resolutions none;
    std::vector<std::string> cancelled;
    RunTask task(s.config->args, s.config, s.manifest,
                 [&](const NodePtr& node, int index, int total) -> std::unique_ptr<ModelRunner> {
                   return std::make_unique<zyl::tasks::seed_loader::SeedRunner>(
                       s.config, node, index, total, s.profiles);
                 },
                 console_events(s, options, none, cancelled));
    task.resource_types = {NodeType::Seed};
    std::vector<NodePtr> seeds = task.models_to_run();
    return run_under_console(s, options, task, seeds, cancelled, started, "loading", "seed");
  });
}

int cmd_snapshot(const Options& options) {
  return guarded([&]() -> int {
    auto started = std::chrono::steady_clock::now();
    Session s = open_session(options);
    report_warnings(s, options);
    TargetAdapters adapters(s);
    compile(s, adapters);
    Resolutions resolutions = resolve(s);
    auto cache = std::make_shared<ZylCache>(CacheLocation::for_project(s.project_dir));
    std::vector<std::string> cancelled;
    RunTask task(
        s.config->args, s.config, s.manifest,
        [&](const NodePtr& node, int index, int total) -> std::unique_ptr<ModelRunner> {
          return snapshot_runner(s, resolutions, cache, node, index, total);
        },
        console_events(s, options, resolutions, cancelled));
    task.resource_types = {NodeType::Snapshot};
    std::vector<NodePtr> snapshots = task.models_to_run();
    return run_under_console(s, options, task, snapshots, cancelled, started, "snapshotting",
                             "snapshot");
  });
}

int cmd_test(const Options& options) {
  return guarded([&]() -> int {
    auto started = std::chrono::steady_clock::now();
    Session s = open_session(options);
    report_warnings(s, options);
    TargetAdapters adapters(s);
    compile(s, adapters);
    Resolutions none;
    std::vector<std::string> cancelled;
    RunTask task(s.config->args, s.config, s.manifest,
                 [&](const NodePtr& node, int index, int total) -> std::unique_ptr<ModelRunner> {
                   return std::make_unique<zyl::tasks::data_test_runner::DataTestRunner>(
                       s.config, node, index, total, s.profiles);
                 },
                 console_events(s, options, none, cancelled));
    task.resource_types = {NodeType::Test};
    return run_under_console(s, options, task, selected_tests(s), cancelled, started, "running",
                             "test");
  });
}

int cmd_retract(const Options& options) {
  return guarded([&]() -> int {
    Session s = open_session(options);
    // Each model's place on its target is worked out by the task; a model whose output is
    // missing is skipped there, not a fault of the whole command.
    zyl::tasks::retract::ZylRetractTask task(s.config->args, s.config, s.manifest);
    std::vector<Value> results = task.run();
    return task.interpret_results(results) ? kExitOk : kExitFailure;
  });
}

int cmd_sync(const Options& options) {
  return guarded([&] {
    Session s = open_session(options);
    std::set<std::string> types;
    const Value* profile = zyl::find(s.profiles, s.project.profile);
    const Value* outputs = profile ? zyl::find(*profile, "outputs") : nullptr;
    if (outputs && outputs->is_object()) {
      for (const auto& [name, output] : outputs->items()) {
        std::string type = zyl::get_text(output, "type");
        if (!type.empty()) types.insert(type);
      }
    }
    std::vector<std::string> extensions = zyl::sync::outfitter::get_required_extensions(types);
    std::cout << "Adapter types: " << zyl::text::join({types.begin(), types.end()}, ", ") << "\n";
    auto statuses = zyl::sync::outfitter::install_extensions(
        extensions, options.dry_run ? zyl::sync::outfitter::DryRun::kYes
                                    : zyl::sync::outfitter::DryRun::kNo);
    bool failed = false;
    for (const auto& [name, status] : statuses) {
      std::cout << "  " << name << ": " << status << "\n";
      failed = failed || status == zyl::sync::outfitter::kFailed;
    }
    return failed ? kExitFailure : kExitOk;
  });
}

// The query that tells the server's version, per engine.
std::string version_query(const std::string& engine) {
  if (engine == "sqlite") return "SELECT sqlite_version()";
  if (engine == "postgres" || engine == "redshift") return "SHOW server_version";
  return "SELECT version()";  // DuckDB, MySQL, MariaDB
}

// How `brek debug` sees one output.
struct OutputCheck {
  std::vector<std::string> row;  // OUTPUT TYPE DRIVER HOST ROUTE CONNECTS VERSION
  std::string error;             // why it does not connect
  bool connects = false;
};

// How the run uses an output: models pushed down to it, sources read from it into the cache,
// results loaded from the cache into it.
std::string route_of(const std::string& name, const Session& s, const Resolutions& resolutions) {
  std::vector<std::string> ways;
  if (name == s.config->target_name) ways.push_back("pushdown");
  bool source = false, loaded = false;
  for (const auto& [_, connection] : s.tether) {
    source = source || zyl::text_form(connection) == name;
  }
  for (const auto& [_, resolved] : resolutions) {
    loaded = loaded || (resolved.target == name &&
                        resolved.execution_path != ExecutionPath::DEFAULT_PUSHDOWN);
  }
  if (source) ways.push_back("source → cache");
  if (loaded) ways.push_back("cache → target");
  return ways.empty() ? "unused" : zyl::text::join(ways, ", ");
}

OutputCheck check_output(const std::string& name, const Value& output, const Session& s,
                         const Resolutions& resolutions) {
  std::string type = zyl::get_text(output, "type");
  std::string host;
  try {
    host = zyl::extraction::linkwright::mask_url(
        zyl::extraction::linkwright::map_to_sling_url(output));
  } catch (const std::exception&) {
    host = "-";  // a type without a URL form
  }
  std::string route = route_of(name, s, resolutions);
  OutputCheck check;
  std::string version = "-";
  try {
    auto connection = zyl::drivers::open_connection(output, s.project_dir);
    auto result = connection->query(version_query(connection->engine()));
    zyl::drivers::RowBatch batch;
    while (result->next(batch)) {
      if (batch.rows() > 0 && version == "-") {
        version =
            zyl::text_form(zyl::drivers::cell_to_value(batch.at(0, 0), result->columns()[0].type));
      }
    }
    check.connects = true;
  } catch (const std::exception& e) {
    check.error = e.what();
  }
  std::string marker = name == s.config->target_name ? " (default)" : "";
  check.row = {name + marker, type, zyl::drivers::connection_route(output), host, route,
               check.connects ? "yes" : "no", version};
  return check;
}

int cmd_debug(const Options& options) {
  return guarded([&] {
    Session s = open_session(options);
    std::cout << "brek " << kVersion << "\n"
              << "project:  " << s.project.name << " (" << s.project_dir.string() << ")\n"
              << "profiles: " << (s.profiles_dir / "profiles.yml").string() << "\n"
              << "profile:  " << s.project.profile << "\n"
              << "target:   " << s.config->target_name << "\n\n";
    const Value* profile = zyl::find(s.profiles, s.project.profile);
    const Value* outputs = profile ? zyl::find(*profile, "outputs") : nullptr;
    bool default_ok = false;
    Resolutions resolutions = resolve(s);
    std::vector<std::vector<std::string>> rows = {
        {"OUTPUT", "TYPE", "DRIVER", "HOST", "ROUTE", "CONNECTS", "VERSION"}};
    std::vector<std::string> errors;
    if (outputs && outputs->is_object()) {
      for (const auto& [name, output] : outputs->items()) {
        OutputCheck check = check_output(name, output, s, resolutions);
        if (check.connects && name == s.config->target_name) default_ok = true;
        if (!check.connects) errors.push_back("  " + name + ": " + check.error);
        rows.push_back(std::move(check.row));
      }
    }
    std::cout << columns(rows);
    if (!errors.empty()) {
      std::cout << "\nConnection errors:\n" << zyl::text::join(errors, "\n") << "\n";
    }
    return default_ok ? kExitOk : kExitFailure;
  });
}

// The project compiled and resolved, as the docs page shows it.
zyl::tasks::docs_site::SiteInput site_input(Session& s, const Resolutions& resolutions) {
  zyl::tasks::docs_site::SiteInput input;
  input.manifest = s.manifest.get();
  input.resolutions = &resolutions;
  input.tether = &s.tether;
  input.profiles = s.profiles;
  input.project_name = s.project.name;
  input.default_target = s.config->target_name;
  input.project_dir = s.project_dir;
  input.source_extractions = [&s, &resolutions](const Node& model) {
    std::vector<Value> reads;
    const auto* resolved = resolutions.get(model.unique_id);
    const NodePtr* node = s.manifest->nodes.get(model.unique_id);
    if (!resolved || !node || !*node) return reads;
    auto cache = std::make_shared<zyl::federation::zyl_cache::ZylCache>(
        zyl::federation::zyl_cache::CacheLocation::for_project(s.project_dir));
    zyl::runners::ferry::ZylModelRunner runner(s.config, nullptr, *node, 0, 0);
    runner.set_zyl_context(*resolved, s.profiles, cache);
    for (const auto& planned : runner.plan_extractions(model, *s.manifest, *cache)) {
      reads.push_back({{"source", planned.source},
                       {"connection", planned.connection},
                       {"engine", planned.source_type},
                       {"query", planned.query}});
    }
    return reads;
  };
  return input;
}

int cmd_docs_generate(const Options& options) {
  return guarded([&] {
    Session s = open_session(options);
    report_warnings(s, options);
    TargetAdapters adapters(s);
    compile(s, adapters);
    Resolutions resolutions = resolve(s);
    fs::path path =
        zyl::tasks::docs_site::write_site(site_input(s, resolutions), s.project_dir / "target");
    std::cout << "Wrote " << path.string() << "\n";
    return kExitOk;
  });
}

int cmd_docs_serve(const Options& options) {
  return guarded([&] {
    fs::path target = project_dir_of(options.args) / "target";
    if (!fs::is_regular_file(target / "index.html")) {
      throw UsageError("no " + (target / "index.html").string() + "; run brek docs generate first");
    }
    DocsServer server(target, options.port);
    std::cout << "Serving " << (target / "index.html").string()
              << " on http://127.0.0.1:" << server.port() << "/ (Ctrl-C to stop)" << std::endl;
    server.serve();
    return kExitOk;
  });
}

}  // namespace brek::app
