#include "brek/place.h"

#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <string_view>

#include "core/text.h"
#include "drivers/relation.h"

namespace brek {
namespace {

using zyl::Value;

std::optional<std::string> first_text(const Value& output,
                                      std::initializer_list<std::string_view> keys) {
  for (std::string_view k : keys) {
    const Value* v = zyl::find(output, k);
    if (zyl::is_set(v)) return zyl::text_form(*v);
  }
  return std::nullopt;
}

// A configuration entry of the model that holds a non-empty text; "" otherwise.
std::string configured_text(const Node& model, const char* key) {
  const Value* v = zyl::find(model.config.entries, key);
  return v != nullptr && v->is_string() ? v->get<std::string>() : "";
}

const Value* output_in(const Value& profile, const std::string& name) {
  if (!profile.is_object()) return nullptr;
  const Value* outputs = zyl::find(profile, "outputs");
  const Value* output = outputs != nullptr ? zyl::find(*outputs, name) : nullptr;
  return output != nullptr && output->is_object() ? output : nullptr;
}

}  // namespace

const Value* find_output(const Value& profiles, const std::string& own_profile,
                         const std::string& name) {
  if (!profiles.is_object()) return nullptr;
  if (const Value* own = zyl::find(profiles, own_profile)) {
    if (const Value* output = output_in(*own, name)) return output;
  }
  for (const auto& [profile_name, profile] : profiles.items()) {
    if (profile_name == own_profile) continue;
    if (const Value* output = output_in(profile, name)) return output;
  }
  return nullptr;
}

Targets Targets::of(const RuntimeConfig& config, const Value& profiles) {
  return Targets{&profiles, config.profile_name, config.target_name, config.args.target};
}

std::string model_output(const Node& model, const Targets& targets) {
  if (targets.cli_target && !targets.cli_target->empty()) return *targets.cli_target;
  if (model.config.target && !model.config.target->empty()) return *model.config.target;
  for (const Value* v : {zyl::find(model.config.entries, "target"),
                         zyl::find(model.config._extra, "target")}) {
    if (zyl::is_set(v) && !v->is_structured()) return zyl::text_form(*v);
  }
  return targets.default_target;
}

OutputPlace output_place(const Value& output) {
  OutputPlace p;
  p.engine = zyl::get_text(output, "type");
  if (p.engine == "duckdb") {
    std::string path = first_text(output, {"path"}).value_or("");
    bool memory = path.empty() || zyl::text::starts_with(path, ":memory:");
    p.database = memory ? "memory" : std::filesystem::path(path).stem().string();
    p.schema = first_text(output, {"schema"}).value_or("main");
  } else if (p.engine == "postgres" || p.engine == "redshift") {
    p.database = first_text(output, {"dbname", "database"});
    p.schema = first_text(output, {"schema"}).value_or("public");
  } else if (p.engine == "mysql" || p.engine == "mariadb" || p.engine == "clickhouse") {
    p.schema = first_text(output, {"schema", "database"}).value_or("");
  } else if (p.engine == "sqlite") {
    p.schema = "main";
  } else {
    p.database = first_text(output, {"database", "dbname", "project", "catalog"});
    p.schema = first_text(output, {"schema", "dataset"}).value_or("");
  }
  return p;
}

Place place_in(const Node& model, const std::string& output, const Value& output_config) {
  OutputPlace from_output = output_place(output_config);
  Place place;
  place.output = output;
  place.engine = from_output.engine;
  place.identifier = model.name;
  place.schema = configured_text(model, "schema");
  if (place.engine == "sqlite" || place.schema.empty()) place.schema = from_output.schema;
  if (zyl::drivers::has_database_level(place.engine)) {
    std::string configured = configured_text(model, "database");
    place.database = configured.empty() ? from_output.database : configured;
  }
  place.relation = zyl::drivers::relation_text(place.engine, place.database.value_or(""),
                                               place.schema, place.identifier);
  place.table = zyl::drivers::relation_text(place.engine, "", place.schema, place.identifier);
  return place;
}

Value connection_config(const Place& place, const Value& output_config) {
  std::optional<std::string> own = output_place(output_config).database;
  if (!place.database || place.database == own) return output_config;
  if (place.engine == "postgres" || place.engine == "redshift") {
    Value config = output_config;
    config["dbname"] = *place.database;
    if (zyl::find(config, "database") != nullptr) config["database"] = *place.database;
    return config;
  }
  throw std::runtime_error("the relation " + place.relation + " is in database '" +
                           *place.database + "', but output '" + place.output + "' (" +
                           place.engine + ") connects to database '" + own.value_or("") +
                           "' only; configure that database or none for this model");
}

std::optional<Place> place_of(const Node& model, const Targets& targets) {
  if (targets.profiles == nullptr) return std::nullopt;
  std::string output = model_output(model, targets);
  const Value* config = find_output(*targets.profiles, targets.own_profile, output);
  if (config == nullptr) return std::nullopt;
  return place_in(model, output, *config);
}

}  // namespace brek
