#include <fstream>
#include <utility>

#include "brek/artifacts/resources/v1/components.h"
#include "brek/artifacts/resources/v1/exposure.h"
#include "brek/artifacts/resources/v1/owner.h"
#include "brek/artifacts/resources/v1/wellspring.h"
#include "brek/parser/project.h"
#include "brek/parser/snapshots.h"
#include "brek_common/dataclass_schema.h"

namespace brek::parser {
namespace {

namespace fs = std::filesystem;
using brek_common::CompilationError;
using zyl::Value;

[[noreturn]] void fail(const std::string& message) { throw CompilationError(message); }

// ---- manifest JSON ---------------------------------------------------------------------------

Value optional_json(const std::optional<std::string>& v) { return v ? Value(*v) : Value(nullptr); }

Value columns_json(const std::vector<ColumnSpec>& columns) {
  Value out = Value::object();
  for (const ColumnSpec& c : columns) {
    out[c.name] = {{"name", c.name},
                   {"description", c.description},
                   {"data_type", optional_json(c.data_type)},
                   {"meta", c.meta},
                   {"tags", c.tags}};
  }
  return out;
}

Value config_json(const NodeConfig& config) {
  Value out = config.entries;
  if (!out.is_object()) out = Value::object();
  out["target"] = optional_json(config.target);
  for (const auto& [k, v] : config._extra.items()) out[k] = v;
  return out;
}

Value node_json(const Node& n) {
  Value depends = {{"nodes", Value::array()}, {"macros", Value::array()}};
  if (n.depends_on) {
    depends["nodes"] = n.depends_on->nodes;
    depends["macros"] = n.depends_on->macros;
  }
  Value out = {{"unique_id", n.unique_id},
          {"name", n.name},
          {"resource_type", optional_json(n.resource_type)},
          {"package_name", n.package_name},
          {"path", n.path},
          {"original_file_path", n.original_file_path},
          {"fqn", n.fqn},
          {"database", optional_json(n.database)},
          {"schema", optional_json(n.schema)},
          {"alias", optional_json(n.alias)},
          {"config", config_json(n.config)},
          {"tags", n.tags},
          {"description", n.description},
          {"columns", columns_json(n.columns)},
          {"depends_on", depends},
          {"raw_code", n.raw_code},
          {"compiled_code", optional_json(n.compiled_code)},
          {"relation_name", optional_json(n.relation_name)}};
  if (n.test_metadata) out["test_metadata"] = *n.test_metadata;
  return out;
}

namespace wellspring = brek::artifacts::resources::v1::wellspring;
namespace exposure = brek::artifacts::resources::v1::exposure;
namespace components = brek::artifacts::resources::v1::components;

zyl::OrderedMap<std::string, components::ColumnInfo> column_records(
    const std::vector<ColumnSpec>& columns) {
  zyl::OrderedMap<std::string, components::ColumnInfo> out;
  for (const ColumnSpec& c : columns) {
    components::ColumnInfo info;
    info.name = c.name;
    info.description = c.description;
    info.meta = c.meta;
    info.data_type = c.data_type;
    info.tags = c.tags;
    out.set(c.name, std::move(info));
  }
  return out;
}

Value source_json(const SourceNode& s) {
  wellspring::SourceDefinition d;
  d.name = s.name;
  d.package_name = s.package_name;
  d.path = s.path;
  d.original_file_path = s.original_file_path;
  d.unique_id = s.unique_id;
  d.fqn = s.fqn;
  d.database = s.database;
  d.schema = s.schema.value_or("");
  d.source_name = s.source_name;
  d.source_description = s.source_description;
  d.loader = s.loader;
  d.identifier = s.identifier.value_or(s.name);
  d.loaded_at_field = s.loaded_at_field;
  d.description = s.description;
  d.columns = column_records(s.columns);
  d.meta = s.meta;
  d.source_meta = s.source_meta;
  d.tags = s.tags;
  d.relation_name = s.relation_name;
  d.unrendered_database = s.unrendered_database;
  d.unrendered_schema = s.unrendered_schema;
  return d.to_dict(brek_common::dataclass_schema::OmitNone::kNo, {{"artifact", true}});
}

Value exposure_json(const ExposureNode& x) {
  exposure::Exposure e;
  e.name = x.name;
  e.package_name = x.package_name;
  e.path = x.path;
  e.original_file_path = x.original_file_path;
  e.unique_id = x.unique_id;
  e.fqn = x.fqn;
  auto type = brek_common::StrEnum<exposure::ExposureType>::from_value(x.type);
  if (!type) fail("exposure '" + x.name + "' has an unknown type '" + x.type + "'");
  e.type = *type;
  e.owner = brek::artifacts::resources::v1::owner::Owner::from_dict(x.owner);
  e.description = x.description;
  e.label = x.label;
  if (x.maturity) {
    auto maturity = brek_common::StrEnum<exposure::MaturityType>::from_value(*x.maturity);
    if (!maturity) fail("exposure '" + x.name + "' has an unknown maturity '" + *x.maturity + "'");
    e.maturity = *maturity;
  }
  e.meta = x.meta;
  e.tags = x.tags;
  e.url = x.url;
  e.depends_on.nodes = x.depends_on.nodes;
  e.depends_on.macros = x.depends_on.macros;
  for (const std::string& dep : x.depends_on.nodes) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
      size_t dot = dep.find('.', start);
      parts.push_back(
          dep.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    if (parts.size() == 3 && parts[0] == "model") {
      components::RefArgs r;
      r.name = parts[2];
      e.refs.push_back(std::move(r));
    } else if (parts.size() == 4 && parts[0] == "source") {
      e.sources.push_back({parts[2], parts[3]});
    }
  }
  return e.to_dict();
}

void write_file(const fs::path& path, const std::string& text) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

zyl::Value manifest_to_json(const Manifest& manifest, const std::string& project_name) {
  Value nodes = Value::object();
  Value parent_map = Value::object();
  Value child_map = Value::object();
  auto add_edges = [&](const std::string& id, const std::vector<std::string>& parents) {
    parent_map[id] = parents;
    if (!child_map.contains(id)) child_map[id] = Value::array();
    for (const std::string& p : parents) {
      Value& children = child_map[p];
      if (!children.is_array()) children = Value::array();
      children.push_back(id);
    }
  };
  for (const auto& [id, _] : manifest.sources) child_map[id] = Value::array();
  for (const auto& [id, n] : manifest.nodes) {
    nodes[id] = node_json(*n);
    if (n->resource_type.value_or("") == "snapshot") nodes[id] = snapshot_json(*n, nodes[id]);
    add_edges(id, n->depends_on ? n->depends_on->nodes : std::vector<std::string>{});
  }
  Value sources = Value::object();
  for (const auto& [id, s] : manifest.sources) sources[id] = source_json(*s);
  Value exposures = Value::object();
  for (const auto& [id, x] : manifest.exposures) {
    exposures[id] = exposure_json(*x);
    add_edges(id, x->depends_on.nodes);
  }
  return {{"metadata", {{"brek_schema_version", "manifest/v1"}, {"project_name", project_name}}},
          {"nodes", nodes},
          {"sources", sources},
          {"exposures", exposures},
          {"parent_map", parent_map},
          {"child_map", child_map}};
}

void write_manifest(const Manifest& manifest, const std::filesystem::path& path,
                    const std::string& project_name) {
  write_file(path, manifest_to_json(manifest, project_name).dump(2) + "\n");
}

void write_compiled_sql(const Manifest& manifest, const std::string& project_name,
                        const std::filesystem::path& target_dir) {
  for (const auto& [id, n] : manifest.nodes) {
    if (!n->compiled_code) continue;
    write_file(target_dir / "compiled" / project_name / n->original_file_path, *n->compiled_code);
  }
}

}  // namespace brek::parser
