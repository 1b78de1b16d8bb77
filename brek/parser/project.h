// Loading a project into a manifest, compiling its models, and writing the manifest.
//
//   Project project = load_project({.project_dir = dir, .vars = cli_vars});
//   CompileContext cc;
//   cc.profiles = profiles;                 // the parsed profiles.yml
//   cc.default_target = "dev";              // the profile's default output
//   cc.cli_target = args.target;            // --target, if given
//   cc.vars = project.vars;
//   cc.source_connections = load_tether(dir);  // source name -> output name
//   cc.relation_exists = [&](const brek::Node& n) { return ...; };  // for is_incremental()
//   compile_manifest(project.manifest, cc);   // database/schema/relation_name + compiled_code
//   write_manifest(project.manifest, dir / "target" / "manifest.json");
//   write_compiled_sql(project.manifest, project.name, dir / "target");
//
// Loading reads brek_project.yml, every *.sql model and every *.yml/*.yaml property file under
// the model paths (sorted by path, so the order is the same on every machine). Each model's
// config() calls are evaluated while loading, so node.config is complete before compiling:
// project folder config < property file config < the model's own config(). Known keys go to
// config.entries ("materialized", "unique_key", "incremental_strategy", "schema", "database",
// "alias", "tags", "enabled"), `target` to the typed attribute, every other key to `_extra`.
// Tags add up over all levels. Disabled models (enabled=false) are left out of the manifest.
//
// Relations. A node lives on one output of profiles.yml: a model on --target, else its config
// target, else the default target; a source on its `connection:` output (from
// `source_connections`), else on --target, else on the default target. The output's adapter
// type gives the form of every relation:
//   duckdb             "<catalog>"."<schema>"."<name>"  catalog = stem of `path` ("memory" when
//                                                       there is none), schema default "main"
//   postgres, redshift "<dbname>"."<schema>"."<name>"   schema default "public"
//   mysql, mariadb     <schema>.<name>                  schema default the output's database;
//                                                       node.database stays empty
//   sqlite             "main"."<name>"                  node.schema is "main"
//   any other type     "<database>"."<schema>"."<name>" (or "<schema>"."<name>" without one)
// and node.database / node.schema are set to the parts written, so the text matches what the
// cross-engine layer searches for. A model's relation uses its name (never an alias); a
// source's uses its identifier (default: the table name). A model's `schema` config replaces
// the output's schema as it is. Ephemeral models have no relation: ref() to one renders
// `__brek_ephemeral_<name>`, defined by a common table expression put in front of the model's
// SQL (merged into a leading WITH when there is one).
//
// Errors are brek_common::CompilationError (TemplateError for template faults, with file, line
// and column); the command line maps them to exit status 2. Nothing here is thread-safe with
// respect to one manifest; separate manifests may be used from separate threads.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "brek/nodes.h"
#include "brek_common/exceptions.h"
#include "core/ordered_map.h"
#include "core/value.h"

namespace brek::parser {

struct LoadOptions {
  std::filesystem::path project_dir;       // empty: the current directory
  zyl::Value vars = zyl::Value::object();  // --vars: override the project's own vars
};

struct Project {
  std::filesystem::path project_dir;
  std::string name;                        // `name` of brek_project.yml
  std::string profile;                     // `profile`, default the project name
  std::vector<std::string> model_paths;    // `model-paths`, default ["models"]
  std::vector<std::string> seed_paths;     // `seed-paths`, default ["seeds"]
  std::vector<std::string> test_paths;     // `test-paths`, default ["tests"]: singular tests
  std::vector<std::string> snapshot_paths;  // `snapshot-paths`, default ["snapshots"]
  zyl::Value vars = zyl::Value::object();  // project vars overridden by LoadOptions::vars
  Manifest manifest;
};

// Reads the project. Nodes are in file order; each model's depends_on.nodes lists the models
// and sources it references in order of first reference (all branches of its `if` tags count),
// followed by what the ephemeral models it uses read in turn (their SQL is inlined into the
// model's, so the model reads those sources and models itself).
// Throws brek_common::CompilationError for a missing or malformed project file, a duplicate
// model name (naming both files), a malformed property file, an unknown ref/source (naming the
// file, the reference and a close match when there is one), a dependency cycle (printing it),
// or a template fault.
Project load_project(const LoadOptions& options);

// One `{% snapshot name %} ... {% endsnapshot %}` block of a snapshot file.
struct SnapshotBlock {
  std::string name;
  std::string body;  // after blank lines standing for the file's lines before it
};

// The snapshot blocks of `text` in file order; text outside them is ignored. Throws
// CompilationError naming `file` and the line for a block without a name or without its end,
// and for an end without a block.
std::vector<SnapshotBlock> snapshot_blocks(const std::string& text, const std::string& file);

struct CompileContext {
  zyl::Value profiles = zyl::Value::object();  // the whole parsed profiles.yml
  std::string own_profile;                     // the project's profile, searched first
  std::string default_target;                  // the profile's default output name
  std::optional<std::string> cli_target;       // --target
  bool full_refresh = false;                   // --full-refresh
  zyl::Value vars = zyl::Value::object();      // normally Project::vars
  // Source name -> output name of its `connection:` (the cross-engine layer's load_tether).
  zyl::OrderedMap<std::string, zyl::Value> source_connections;
  // Whether the node's relation already exists on its target; used by is_incremental(). When
  // empty, no relation exists.
  std::function<bool(const Node&)> relation_exists;
};

// The output name a model runs on / a source lives on, by the rules above.
std::string model_target(const Node& model, const CompileContext& context);
std::string source_target(const SourceNode& source, const CompileContext& context);

// Sets database, schema and relation_name of every model and source from its output. Throws
// CompilationError when an output is not in the profiles or gives no schema.
void resolve_relations(Manifest& manifest, const CompileContext& context);

// resolve_relations, then renders every model's raw_code into compiled_code (ephemeral models
// included, with their own ephemeral dependencies inlined). Throws CompilationError.
void compile_manifest(Manifest& manifest, const CompileContext& context);

// The manifest as JSON: metadata, nodes, sources, exposures, parent_map and child_map.
zyl::Value manifest_to_json(const Manifest& manifest, const std::string& project_name = "");

// Writes manifest_to_json to `path`, creating its directory. Throws std::runtime_error when the
// file cannot be written.
void write_manifest(const Manifest& manifest, const std::filesystem::path& path,
                    const std::string& project_name = "");

// Writes each compiled model to <target_dir>/compiled/<project>/<original_file_path>. Models
// without compiled_code are skipped. Throws std::runtime_error on a write failure.
void write_compiled_sql(const Manifest& manifest, const std::string& project_name,
                        const std::filesystem::path& target_dir);

}  // namespace brek::parser
