// Where a model lives: the output it runs on, and its database, schema, identifier and relation
// text there. Compile, the runners, the watermark lookup, upstream copies and retract all ask
// this module, so the manifest's relation_name is where the rows are.
//
//   brek::Targets targets{&profiles, "shop", "dev", args.target};
//   if (std::optional<brek::Place> place = brek::place_of(model, targets)) {
//     conn->execute("DROP TABLE IF EXISTS " + place->table);
//   }
#pragma once

#include <optional>
#include <string>

#include "brek/config.h"
#include "brek/nodes.h"
#include "core/value.h"

namespace brek {

// The output config named `name`: the project's own profile `own_profile` first, then every other
// profile in file order. Only map-valued outputs count; profiles and "outputs" values that are not
// maps are passed over. nullptr when no profile has it. Thread-safe.
const zyl::Value* find_output(const zyl::Value& profiles, const std::string& own_profile,
                              const std::string& name);

// What decides which output a node runs on. `profiles` must outlive every call that uses it.
struct Targets {
  const zyl::Value* profiles = nullptr;   // the whole parsed profiles.yml
  std::string own_profile;                // the project's profile (`profile:` or --profile)
  std::string default_target;             // the profile's target, or --target
  std::optional<std::string> cli_target;  // --target, which moves every model

  // The targets of a run configuration, with `profiles` in place of the config's own.
  static Targets of(const RuntimeConfig& config, const zyl::Value& profiles);
};

// The output a model runs on: --target, else its configured target (the typed attribute, the
// "target" entry, then an extra "target" key), else the default target.
std::string model_output(const Node& model, const Targets& targets);

// A model's place on one output.
struct Place {
  std::string output;                   // the output name
  std::string engine;                   // the output's adapter type
  std::optional<std::string> database;  // nullopt where the engine has no database level
  std::string schema;                   // empty when neither the model nor the output gives one
  std::string identifier;               // the model's name
  std::string relation;                 // quoted, with the database part: the relation_name
  std::string table;                    // quoted schema.identifier, as a connection to the output
                                        // names it
};

// The place of `model` on the output `output` whose config is `output_config`. The configured
// "schema" of the model wins on any target (SQLite has only "main"); otherwise the output's
// schema, or the engine's default one (DuckDB and SQLite "main", PostgreSQL "public"); a
// configured "database" wins over the output's. Never throws.
Place place_in(const Node& model, const std::string& output, const zyl::Value& output_config);

// The output config to connect with to reach `place`: `output_config` itself, or for a place in
// another database of a PostgreSQL or Redshift server, a copy naming that database. Throws
// std::runtime_error for an engine whose connection holds one database only (DuckDB, and the
// engines without a driver of their own), as the rows would otherwise land in the output's.
zyl::Value connection_config(const Place& place, const zyl::Value& output_config);

// place_in on the model's output (model_output), or nullopt when no profile has that output.
std::optional<Place> place_of(const Node& model, const Targets& targets);

// The database and schema an output gives relations that do not configure their own (`schema`
// empty when the output names none and the engine has no default).
struct OutputPlace {
  std::string engine;
  std::optional<std::string> database;
  std::string schema;
};
OutputPlace output_place(const zyl::Value& output_config);

}  // namespace brek
