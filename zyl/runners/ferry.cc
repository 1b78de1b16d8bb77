#include "zyl/runners/ferry.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <tuple>

#include "brek/place.h"
#include "core/fault_point.h"
#include "core/log.h"
#include "core/text.h"
#include "drivers/driver.h"
#include "drivers/relation.h"
#include "zyl/components.h"
#include "zyl/runners/internal/redaction.h"
#include "zyl/runners/internal/rewrite.h"

namespace zyl::runners::ferry {
namespace {

using config::compass::ExecutionPath;
using federation::zyl_cache::CacheLocation;
using federation::zyl_cache::FileLock;
using Clock = std::chrono::steady_clock;

spdlog::logger& logger() { return log::get("zyl.runners.ferry"); }

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Candidate update-key columns, in the order they are preferred.
const std::vector<std::string> kUpdateKeys = {"updated_at",    "modified_at", "_updated_at",
                                              "last_modified", "update_date", "modified_date",
                                              "created_at",    "loaded_at"};

constexpr const char* kLogHint = "\n    Check logs/zyl.log for full details.";

std::string error_text(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

std::string project_dir_of(const brek::RuntimeConfig& config) {
  return config.args.PROJECT_DIR.empty() ? "." : config.args.PROJECT_DIR;
}

// Lower-case hexadecimal MD5 digest of `text`.
std::string md5_hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 digest failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

// Holds a cache's file lock for its lifetime.
class LockHold {
 public:
  explicit LockHold(FileLock& lock) : lock_(lock) { lock_.acquire(); }
  ~LockHold() {
    try {
      lock_.release();
    } catch (const std::exception& e) {
      logger().debug("ZYL: releasing the cache lock failed: {}", e.what());
    }
  }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

 private:
  FileLock& lock_;
};

// Closes, on destruction, a cache the extraction path opened for itself (nothing for a shared
// one), so the DuckDB file is not held until the next model opens it again.
class OwnCacheCloser {
 public:
  explicit OwnCacheCloser(std::shared_ptr<Cache> own) : own_(std::move(own)) {}
  ~OwnCacheCloser() {
    if (!own_) return;
    try {
      own_->close_and_release();
    } catch (const std::exception& e) {
      logger().debug("ZYL: closing the cache failed: {}", e.what());
    }
  }
  OwnCacheCloser(const OwnCacheCloser&) = delete;
  OwnCacheCloser& operator=(const OwnCacheCloser&) = delete;

 private:
  std::shared_ptr<Cache> own_;
};

// Closes a target connection however the query on it ends.
class ConnectionCloser {
 public:
  explicit ConnectionCloser(drivers::Connection& connection) : connection_(connection) {}
  ~ConnectionCloser() { connection_.close(); }
  ConnectionCloser(const ConnectionCloser&) = delete;
  ConnectionCloser& operator=(const ConnectionCloser&) = delete;

 private:
  drivers::Connection& connection_;
};

const std::string& target_of(const std::optional<ResolvedModel>& resolution) {
  if (!resolution) throw std::runtime_error("ZYL: model has no resolution");
  return resolution->target;
}

// One source of the model as the pipeline extracts it.
struct SourceRecord {
  std::string unique_id;
  std::string source_name;
  std::string table_name;
  std::string schema;
  std::string identifier;
  std::string connection;
  Value source_config;
  std::string cache_table;
};

// One upstream model on another target, as the pipeline copies it into the cache.
struct UpstreamCopy {
  const brek::Node* node;
  brek::Place place;        // where the upstream model's rows are
  std::string cache_table;  // its copy in the cache
};

// The primary key to merge on, from the "unique_key" entry: a text as a one-element list, a
// list as its entries' text forms; nullopt when the entry is missing or not set.
std::optional<std::vector<std::string>> primary_key_of(const Value& unique_key) {
  if (!is_set(unique_key)) return std::nullopt;
  std::vector<std::string> key;
  if (unique_key.is_array()) {
    for (const auto& column : unique_key) key.push_back(text_form(column));
  } else {
    key.push_back(text_form(unique_key));
  }
  return key;
}

// A cache table as it is written into the SQL that runs in DuckDB. The cache's own names are
// plain lower-case words joined by underscores and never keywords; anything else is quoted.
std::string in_cache_sql(const std::string& table) {
  bool plain = !table.empty() && !(table[0] >= '0' && table[0] <= '9') &&
               std::all_of(table.begin(), table.end(), [](char c) {
                 return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
               });
  return plain ? table : drivers::quote_identifier_for("duckdb", table);
}

// The ways compiled SQL names a relation: the relation texts compile wrote (`written`, the
// non-empty ones) and the host's usual spellings of database, schema and name, longest first, so
// that "an"."orders" is not taken for the tail of "db"."an"."orders".
std::vector<std::string> candidates_for(std::initializer_list<std::optional<std::string>> written,
                                        const std::string& database, const std::string& schema,
                                        const std::string& name) {
  std::vector<std::string> candidates;
  for (const auto& text : written) {
    if (text && !text->empty()) candidates.push_back(*text);
  }
  for (auto& candidate : internal::reference_candidates(database, schema, name)) {
    candidates.push_back(std::move(candidate));
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return candidates;
}

// `sql` with every occurrence of the first of `candidates` found in it replaced by `replacement`.
std::string replace_first_found(const std::string& sql, const std::vector<std::string>& candidates,
                                const std::string& replacement) {
  std::optional<std::string> found = internal::first_occurring(candidates, sql);
  return found ? text::replace_all(sql, *found, replacement) : sql;
}

// The columns of each source, from a query on it that reads no row. A source that cannot be
// asked is left out, so the optimizer reads it whole.
federation::optimizer::SourceColumns probe_sources(const std::vector<SourceRecord>& records,
                                                   const std::string& model_name) {
  federation::optimizer::SourceColumns columns;
  const auto& get_connection = components::registry().get_connection;
  if (!get_connection) return columns;
  for (const auto& record : records) {
    try {
      std::unique_ptr<drivers::Connection> source =
          get_connection(get_text(record.source_config, "type"), record.source_config);
      if (!source) continue;
      ConnectionCloser closer(*source);
      columns[record.cache_table] =
          federation::optimizer::probe_columns(*source, record.schema, record.identifier);
    } catch (const std::exception& e) {
      logger().debug("ZYL [{}]: columns of {} unknown, reading it whole: {}", model_name,
                     record.cache_table, e.what());
    }
  }
  return columns;
}

// The ids of `model`'s dependencies that begin with `prefix`, in order.
std::vector<std::string> dependencies(const brek::Node& model, std::string_view prefix) {
  std::vector<std::string> ids;
  if (!model.depends_on) return ids;
  for (const auto& id : model.depends_on->nodes) {
    if (text::starts_with(id, prefix)) ids.push_back(id);
  }
  return ids;
}

// The sources and upstream models a model's extraction copies, and its SQL pointed at them.
struct SourcePlan {
  std::vector<SourceRecord> sources;
  std::vector<UpstreamCopy> upstreams;
  std::string rewritten_sql;
};

// Every output config read goes into `used_configs`. Throws as _get_output_config does.
SourcePlan plan_sources(const ZylModelRunner& runner, const brek::Node& model,
                        const brek::Manifest& manifest,
                        const config::tether::SourceConnectionMap& tether, const Cache& cache,
                        const std::string& compiled_sql, std::vector<Value>& used_configs) {
  SourcePlan plan;
  internal::Replacements ref_replacements;
  for (const auto& id : dependencies(model, "source.")) {
    const brek::SourceNode* source = manifest.find_source(id);
    if (source == nullptr) continue;
    SourceRecord record;
    record.unique_id = id;
    record.source_name = source->source_name;
    record.table_name = source->name;
    record.schema = source->schema.value_or("");
    record.identifier = source->identifier.value_or("");
    if (record.identifier.empty()) record.identifier = record.table_name;
    const Value* connection = tether.get(record.source_name);
    record.connection = is_set(connection) ? text_form(*connection) : target_of(runner._resolution);
    record.source_config = runner._get_output_config(record.connection);
    used_configs.push_back(record.source_config);
    record.cache_table = cache.source_table_name(record.source_name, record.table_name);
    internal::enter_reference(ref_replacements,
                              candidates_for({source->relation_name}, source->database.value_or(""),
                                             record.schema, record.identifier),
                              compiled_sql, in_cache_sql(record.cache_table));
    plan.sources.push_back(std::move(record));
  }

  // Upstream models and seeds are copied into the cache, one table per package and name, and
  // their references point there (ephemeral models are inlined in the compiled SQL and have no
  // table).
  std::vector<std::string> upstream_ids = dependencies(model, "model.");
  for (const auto& id : dependencies(model, "seed.")) upstream_ids.push_back(id);
  for (const auto& id : dependencies(model, "snapshot.")) upstream_ids.push_back(id);
  for (const auto& id : upstream_ids) {
    const brek::Node* upstream = manifest.find_node(id);
    if (upstream == nullptr || upstream->get_materialization() == "ephemeral") continue;
    UpstreamCopy copy{
        upstream, runner.place_on(*upstream, runner.upstream_output(*upstream)),
        federation::zyl_cache::upstream_table_name(upstream->package_name, upstream->name)};
    internal::enter_reference(ref_replacements,
                              candidates_for({upstream->relation_name, copy.place.relation},
                                             upstream->database.value_or(""),
                                             upstream->schema.value_or(""), upstream->name),
                              compiled_sql, in_cache_sql(copy.cache_table));
    plan.upstreams.push_back(std::move(copy));
  }
  plan.rewritten_sql = internal::apply_replacements(compiled_sql, ref_replacements);
  return plan;
}

federation::optimizer::Optimizations optimize_sources(const std::vector<SourceRecord>& sources,
                                                      const std::string& rewritten_sql,
                                                      const std::string& model_name) {
  auto& registry = components::registry();
  auto optimize = components::obtain(registry.optimize_extractions, "optimize_extractions");
  OrderedMap<std::string, std::string> source_table_map;
  for (const auto& record : sources) source_table_map.set(record.cache_table, record.cache_table);
  return optimize(rewritten_sql, source_table_map, probe_sources(sources, model_name));
}

const federation::optimizer::Optimization* optimization_of(
    const federation::optimizer::Optimizations& optimized, const SourceRecord& record) {
  auto found = optimized.find(record.cache_table);
  return found != optimized.end() && found->second ? &*found->second : nullptr;
}

}  // namespace

void ZylModelRunner::set_zyl_context(std::optional<ResolvedModel> resolution,
                                     std::optional<Value> profiles, std::shared_ptr<Cache> cache) {
  _resolution = std::move(resolution);
  _profiles = std::move(profiles);
  _cache = std::move(cache);
}

brek::RunResult ZylModelRunner::execute(brek::Node& model, brek::Manifest& manifest) {
  if (!_resolution) return brek::ModelRunner::execute(model, manifest);
  ExecutionPath path = _resolution->execution_path;
  switch (path) {
    case ExecutionPath::DEFAULT_PUSHDOWN:
      logger().info("ZYL [{}]: default_pushdown", model.name);
      return brek::ModelRunner::execute(model, manifest);
    case ExecutionPath::NON_DEFAULT_PUSHDOWN:
      logger().info("ZYL [{}]: non_default_pushdown via extraction (target={})", model.name,
                    _resolution->target);
      return _execute_extraction(model, manifest);
    case ExecutionPath::SLING_DIRECT:
    case ExecutionPath::DUCKDB_COMPUTE: {
      std::string materialization = model.get_materialization();
      if (materialization == "view" || materialization == "ephemeral") {
        logger().warn(
            "ZYL001: Model '{}' is '{}' but requires cross-engine extraction. Coercing to "
            "'table'.",
            model.name, materialization);
        model.config["materialized"] = "table";
      }
      logger().info("ZYL [{}]: extraction via DuckDB cache", model.name);
      return _execute_extraction(model, manifest);
    }
  }
  return brek::ModelRunner::execute(model, manifest);
}

Value ZylModelRunner::_get_output_config(const std::string& output_name) const {
  if (!_profiles || !is_set(*_profiles)) {
    throw std::runtime_error("ZYL: profiles not set on runner");
  }
  const Value* output = brek::find_output(*_profiles, config.profile_name, output_name);
  if (output == nullptr) {
    throw std::runtime_error("ZYL101: Connection '" + output_name + "' not found in profiles.yml");
  }
  Value copy = *output;
  const Value* type = find(*output, "type");
  copy["type"] = type ? *type : Value("");
  return copy;
}

std::string ZylModelRunner::_model_table_name(const brek::Node& model) const {
  return model_place(model).table;
}

brek::Place ZylModelRunner::model_place(const brek::Node& model) const {
  return place_on(model, _resolution ? _resolution->target : config.target_name);
}

brek::Place ZylModelRunner::place_on(const brek::Node& node, const std::string& output) const {
  return brek::place_in(node, output, _get_output_config(output));
}

std::string ZylModelRunner::upstream_output(const brek::Node& node) const {
  const Value no_profiles = Value::object();
  return brek::model_output(node, brek::Targets::of(config, _profiles ? *_profiles : no_profiles));
}

brek::RunResult ZylModelRunner::_execute_extraction(brek::Node& model, brek::Manifest& manifest) {
  auto& registry = components::registry();
  auto make_client = components::obtain(registry.sling_client, "sling_client");
  auto make_cache = components::obtain(registry.cache, "cache");
  components::obtain(registry.load_tether, "load_tether");

  const std::optional<ResolvedModel>& resolution = _resolution;
  Clock::time_point start = Clock::now();
  std::exception_ptr failure;
  try {
    std::unique_ptr<extraction::sling_client::SlingClient> client = make_client();
    if (!client) throw std::runtime_error("ZYL: no Sling client could be created");
    std::shared_ptr<Cache> cache = _cache;
    std::shared_ptr<Cache> own_cache;
    if (!cache) {
      own_cache = make_cache(CacheLocation::for_project(project_dir_of(config)));
      if (!own_cache) throw std::runtime_error("ZYL: no cache could be opened");
      cache = own_cache;
    }
    // Destroyed in reverse order: an own cache is closed first, then the lock is released.
    LockHold lock(cache->_file_lock());
    OwnCacheCloser closer(own_cache);
    return _execute_extraction_locked(model, manifest, resolution, *client, *cache);
  } catch (...) {
    failure = std::current_exception();
  }
  return error_result(model, resolution, seconds_since(start), error_text(failure), {});
}

namespace {

// The last value an incremental model's target holds in its update-key column.
struct Watermark {
  Value value;
  std::string column;
};

// Copies every source (read with its optimised query and the watermark filter, when there is
// one) and every upstream node of `model` into `cache`, closing the cache around each Sling
// call. Returns the plan, whose SQL reads those copies. Throws on any failure.
SourcePlan copy_inputs(const ZylModelRunner& runner, const brek::Node& model,
                       const brek::Manifest& manifest,
                       const config::tether::SourceConnectionMap& tether,
                       extraction::sling_client::SlingClient& client, Cache& cache,
                       const std::string& compiled_sql, const std::optional<Watermark>& watermark,
                       std::vector<Value>& used_configs) {
  SourcePlan plan =
      plan_sources(runner, model, manifest, tether, cache, compiled_sql, used_configs);
  federation::optimizer::Optimizations optimized =
      optimize_sources(plan.sources, plan.rewritten_sql, model.name);
  for (const auto& record : plan.sources) {
    const federation::optimizer::Optimization* opt = optimization_of(optimized, record);
    std::optional<std::string> watermark_condition;
    if (watermark) {
      auto format = components::obtain(components::registry().format_watermark, "format_watermark");
      watermark_condition =
          watermark->column + " > " +
          format(watermark->value, get_text(record.source_config, "type"), "timestamp");
    }
    internal::ExtractionQuery query =
        internal::extraction_query(model.name, record.schema, record.identifier, record.cache_table,
                                   record.source_config, opt, watermark_condition);
    for (const auto& line : query.log_lines) logger().info(line);
    logger().info("ZYL [{}]: extracting {}: {}", model.name, record.cache_table, query.query);
    cache.close_and_release();
    client.extract_to_duckdb(record.source_config, cache.db_path(), query.query,
                             record.cache_table);
    cache.reopen();
    if (query.subset) cache.note_subset(record.cache_table, query.query);
  }
  for (const UpstreamCopy& upstream : plan.upstreams) {
    Value ref_config =
        brek::connection_config(upstream.place, runner._get_output_config(upstream.place.output));
    used_configs.push_back(ref_config);
    cache.close_and_release();
    client.extract_to_duckdb(ref_config, cache.db_path(),
                             internal::select_all_from(upstream.place.table), upstream.cache_table);
    cache.reopen();
  }
  return plan;
}

}  // namespace

std::string ZylModelRunner::stage_inputs(const brek::Node& node, const brek::Manifest& manifest,
                                         extraction::sling_client::SlingClient& client,
                                         Cache& cache) const {
  auto load_tether = components::obtain(components::registry().load_tether, "load_tether");
  std::string compiled_sql = node.compiled_code.value_or("");
  if (compiled_sql.empty()) throw std::runtime_error(node.name + " has no compiled SQL");
  std::vector<Value> used_configs;
  cache.ensure_created();
  return copy_inputs(*this, node, manifest, load_tether(project_dir_of(config)), client, cache,
                     compiled_sql, std::nullopt, used_configs)
      .rewritten_sql;
}

brek::RunResult ZylModelRunner::_execute_extraction_locked(
    brek::Node& model, brek::Manifest& manifest, const std::optional<ResolvedModel>& resolution,
    extraction::sling_client::SlingClient& client, Cache& cache) {
  auto& registry = components::registry();
  auto load_tether = components::obtain(registry.load_tether, "load_tether");
  Clock::time_point start = Clock::now();
  std::vector<Value> used_configs;  // every output config read, for redacting error texts
  try {
    cache.ensure_created();

    std::string compiled_sql = model.compiled_code.value_or("");
    if (compiled_sql.empty()) {
      throw std::runtime_error("Model " + model.name + " has no compiled SQL");
    }

    config::tether::SourceConnectionMap tether = load_tether(project_dir_of(config));

    std::string materialization = model.get_materialization();
    bool is_incremental = materialization == "incremental" && cache.has_model_result(model.name);

    std::optional<Value> watermark_value;
    std::optional<std::string> watermark_column;
    if (is_incremental) {
      std::tie(watermark_value, watermark_column) = _resolve_watermark_from_target(model);
    }

    std::optional<Watermark> watermark;
    if (is_incremental && watermark_value.has_value() && watermark_column &&
        !watermark_column->empty()) {
      watermark = Watermark{*watermark_value, *watermark_column};
    }
    SourcePlan plan = copy_inputs(*this, model, manifest, tether, client, cache, compiled_sql,
                                  watermark, used_configs);
    std::vector<SourceRecord>& source_meta = plan.sources;
    std::string rewritten_sql = plan.rewritten_sql;

    std::string model_cache_table = in_cache_sql(cache.model_table_name(model.name));
    brek::Place target_place = model_place(model);
    std::string target_table = target_place.table;

    rewritten_sql = replace_first_found(
        rewritten_sql,
        candidates_for({model.relation_name, target_place.relation}, model.database.value_or(""),
                       model.schema.value_or(""), model.name),
        model_cache_table);
    if (rewritten_sql.find(model_cache_table) != std::string::npos &&
        !cache.has_model_result(model.name)) {
      logger().info(
          "ZYL [{}]: stale is_incremental() detected — cache has no {}, stripping WHERE clause",
          model.name, model_cache_table);
      rewritten_sql = internal::strip_stale_incremental_filter(rewritten_sql, model_cache_table);
    }

    std::string incremental_strategy =
        is_incremental ? get_text(model.config.entries, "incremental_strategy") : "";
    std::optional<std::vector<std::string>> unique_key =
        primary_key_of(model.config.get("unique_key"));
    // Without a key to merge on, an incremental run can only add rows: its result is appended
    // to the cached one, and the whole of it replaces the target table. Replacing the cached
    // result instead would leave the target holding only the newest rows.
    bool use_append = is_incremental && (incremental_strategy == "append" || !unique_key);

    logger().info("ZYL [{}]: DuckDB SQL: {}...", model.name, text::prefix(rewritten_sql, 200));
    // The result is kept pending beside the stored one until the target has its rows: a load
    // that fails leaves the stored result as it was, so the next run delivers the same rows.
    std::optional<std::int64_t> row_count =
        cache.save_model_result(model.name, rewritten_sql, use_append);
    std::string result_query = cache.model_result_query(model.name, use_append);

    std::string db_path = cache.db_path();
    cache.close_and_release();

    Value target_config =
        brek::connection_config(target_place, _get_output_config(target_of(resolution)));
    used_configs.push_back(target_config);

    std::string sling_mode = "truncate";
    std::optional<std::vector<std::string>> primary_key;
    if (is_incremental) {
      if (incremental_strategy != "append" && unique_key) {
        sling_mode = "incremental";
        primary_key = unique_key;
      } else {
        sling_mode = "full-refresh";
      }
    }
    client.load_from_duckdb(db_path, target_config, result_query, target_table, sling_mode,
                            primary_key, std::nullopt);
    fault_point("model.loaded");
    cache.reopen();
    cache.commit_model_result(model.name, use_append);

    double elapsed = seconds_since(start);
    std::string message = "SELECT " + (row_count ? std::to_string(*row_count) : "None");
    if (is_incremental) message += " (incremental)";

    try {
      auto track = components::obtain(registry.track_zyl_extraction, "track_zyl_extraction");
      std::string target_type;
      try {
        target_type = get_text(_get_output_config(target_of(resolution)), "type");
      } catch (const std::exception&) {
      }
      Value source_types = Value::array();
      for (const auto& record : source_meta) {
        if (!is_set(record.source_config)) continue;
        Value type = get_text(record.source_config, "type");
        if (std::find(source_types.begin(), source_types.end(), type) == source_types.end()) {
          source_types.push_back(type);
        }
      }
      Value event = Value::object();
      event["model_name_hash"] = md5_hex(model.name);
      event["execution_path"] = "extraction";
      event["source_adapter_types"] = source_types;
      event["target_adapter_type"] = target_type;
      event["is_incremental"] = is_incremental;
      event["row_count"] = row_count ? Value(*row_count) : Value(nullptr);
      event["duration_seconds"] = std::round(elapsed * 100.0) / 100.0;
      event["success"] = true;
      track(event);
    } catch (...) {
      // Usage tracking never decides the outcome of a run.
    }

    return _make_run_result(node_ptr_for(model), brek::RunStatus::Success, message, elapsed,
                            row_count);
  } catch (...) {
    std::exception_ptr failure = std::current_exception();
    return error_result(model, resolution, seconds_since(start), error_text(failure),
                        std::move(used_configs));
  }
}

std::vector<ZylModelRunner::PlannedExtraction> ZylModelRunner::plan_extractions(
    const brek::Node& model, const brek::Manifest& manifest, const Cache& cache) const {
  auto load_tether = components::obtain(components::registry().load_tether, "load_tether");
  std::string compiled_sql = model.compiled_code.value_or("");
  if (compiled_sql.empty()) throw std::runtime_error("Model " + model.name + " has no compiled SQL");
  std::vector<Value> used_configs;
  SourcePlan plan = plan_sources(*this, model, manifest, load_tether(project_dir_of(config)),
                                 cache, compiled_sql, used_configs);
  federation::optimizer::Optimizations optimized =
      optimize_sources(plan.sources, plan.rewritten_sql, model.name);
  std::vector<PlannedExtraction> out;
  for (const auto& record : plan.sources) {
    internal::ExtractionQuery query =
        internal::extraction_query(model.name, record.schema, record.identifier,
                                   record.cache_table, record.source_config,
                                   optimization_of(optimized, record));
    out.push_back({record.cache_table, get_text(record.source_config, "type"), query.query,
                   record.source_name + "." + record.table_name, record.connection});
  }
  return out;
}

std::pair<std::optional<Value>, std::optional<std::string>>
ZylModelRunner::_resolve_watermark_from_target(const brek::Node& model) {
  std::string compiled = text::to_lower(model.compiled_code.value_or(""));
  const std::string* update_key = nullptr;
  for (const auto& candidate : kUpdateKeys) {
    if (compiled.find(candidate) != std::string::npos) {
      update_key = &candidate;
      break;
    }
  }
  if (update_key == nullptr) return {std::nullopt, std::nullopt};

  try {
    // The candidate columns are plain lower-case words, written bare so that engines folding
    // unquoted names to upper case find them too.
    brek::Place place = model_place(model);
    std::string sql = "SELECT MAX(" + *update_key + ") FROM " + place.table;
    Value output_config = _get_output_config(place.output);
    Value place_config = brek::connection_config(place, output_config);
    std::optional<Value> maximum;
    if (place.output != config.target_name || place_config != output_config) {
      maximum = first_cell_on(place_config, sql);
    } else if (adapter != nullptr) {
      auto [response, table] = adapter->execute(sql, true);
      if (!table.empty() && !table.rows.front().empty()) maximum = table.rows.front().front();
    }
    if (maximum && !maximum->is_null()) return {std::move(maximum), *update_key};
  } catch (...) {
    // A target that cannot be asked means no watermark: the sources are read whole.
  }
  return {std::nullopt, std::nullopt};
}

std::optional<Value> ZylModelRunner::first_cell_on(const Value& target_config,
                                                   const std::string& sql) const {
  auto get_connection = components::obtain(components::registry().get_connection, "get_connection");
  std::unique_ptr<drivers::Connection> connection =
      get_connection(get_text(target_config, "type"), target_config);
  if (!connection) return std::nullopt;
  ConnectionCloser closer(*connection);
  std::unique_ptr<drivers::QueryResult> result = connection->query(sql);
  drivers::RowBatch batch;
  while (result->next(batch)) {
    if (batch.rows() == 0) continue;
    if (result->columns().empty()) return std::nullopt;
    return drivers::cell_to_value(batch.at(0, 0), result->columns().front().type);
  }
  return std::nullopt;
}

brek::RunResult ZylModelRunner::error_result(brek::Node& model,
                                             const std::optional<ResolvedModel>& resolution,
                                             double elapsed, const std::string& detail,
                                             std::vector<Value> used_configs) const {
  std::string target_name = resolution ? resolution->target : "unknown";
  std::string target_type;
  try {
    Value target_config = _get_output_config(target_name);
    target_type = get_text(target_config, "type");
    used_configs.push_back(std::move(target_config));
  } catch (const std::exception&) {
  }
  internal::Secrets secrets;
  for (const auto& used : used_configs) secrets.add(used);
  std::string message = "Model '" + model.name + "' (target: " + target_name +
                        ", adapter: " + target_type + "): " + secrets.redact(detail) + kLogHint;
  logger().error(message);
  return _make_run_result(node_ptr_for(model), brek::RunStatus::Error, message, elapsed);
}

brek::NodePtr ZylModelRunner::node_ptr_for(brek::Node& model) const {
  if (node_.get() == &model) return node_;
  // A node that is not this runner's own: refer to it without owning it (the host keeps it).
  return brek::NodePtr(brek::NodePtr(), &model);
}

brek::RunResult _make_run_result(brek::NodePtr node, brek::RunStatus status,
                                 const std::string& message, double execution_time,
                                 std::optional<std::int64_t> rows_affected) {
  brek::RunResult result;
  result.status = status;
  result.thread_id = log::thread_name();
  result.execution_time = execution_time;
  result.timing = {};
  result.message = message;
  result.node = std::move(node);
  result.adapter_response = Value::object();
  result.adapter_response["_message"] = message;
  result.adapter_response["rows_affected"] = rows_affected ? Value(*rows_affected) : Value(nullptr);
  result.failures = status == brek::RunStatus::Success ? 0 : 1;
  result.batch_results = std::nullopt;
  return result;
}

}  // namespace zyl::runners::ferry
