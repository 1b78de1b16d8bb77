// Host nodes and the manifest: the parsed project as the layer reads it.
//
// Nodes are plain structs. Optional attributes are std::optional: an empty optional takes the
// default the reader states, so a missing attribute is never an error.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ordered_map.h"
#include "core/value.h"

namespace brek {

// A node's configuration. Known keys live in `entries` ("materialized", "incremental_strategy",
// "unique_key", "schema", "database", "alias", "tags", "enabled", ...) and are reached by item
// access; `target` is a typed attribute; keys the framework does not know go to `_extra`.
struct NodeConfig {
  zyl::Value entries = zyl::Value::object();
  std::optional<std::string> target;
  zyl::Value _extra = zyl::Value::object();

  // Item access; a missing key reads as null (and is created by the non-const form).
  zyl::Value& operator[](const std::string& key) { return entries[key]; }
  zyl::Value get(const std::string& key, zyl::Value fallback = nullptr) const;
  bool contains(const std::string& key) const { return entries.contains(key); }
};

struct DependsOn {
  std::vector<std::string> nodes;   // upstream unique ids, in order of reference
  std::vector<std::string> macros;
};

struct ColumnSpec {
  std::string name;
  std::string description;
  std::optional<std::string> data_type;
  zyl::Value meta = zyl::Value::object();
  std::vector<std::string> tags;
};

// Every node of `Manifest::nodes` (models, seeds, tests, ...). `resource_type` holds the text
// form of the node type ("model"); it is empty for a node without one.
struct Node {
  std::string unique_id;
  std::string name;
  std::optional<std::string> resource_type;
  std::string package_name;
  std::string path;               // relative to its model path
  std::string original_file_path; // relative to the project
  std::vector<std::string> fqn;
  std::optional<std::string> database;
  std::optional<std::string> schema;
  std::optional<std::string> alias;
  std::optional<DependsOn> depends_on;
  std::string raw_code;
  std::optional<std::string> compiled_code;
  std::optional<std::string> relation_name;
  std::string description;
  std::vector<std::string> tags;
  std::vector<ColumnSpec> columns;
  NodeConfig config;
  // A generic data test's {"name", "kwargs"} (brek/parser/data_tests.h); unset for other nodes.
  std::optional<zyl::Value> test_metadata;
  // A snapshot's target adapter type ("postgres"), set when its place is resolved.
  std::optional<std::string> zyl_adapter_type;

  // The "materialized" configuration entry, "view" when it is missing or not set.
  std::string get_materialization() const;
};

struct SourceNode {
  std::string unique_id;
  std::string source_name;
  std::string name;
  std::optional<std::string> database;
  std::optional<std::string> schema;
  std::optional<std::string> identifier;
  std::string package_name;
  std::string path;
  std::string original_file_path;
  std::vector<std::string> fqn;
  std::string description;
  std::string source_description;
  std::string loader;
  std::optional<std::string> loaded_at_field;
  std::optional<std::string> relation_name;
  std::vector<std::string> tags;
  zyl::Value meta = zyl::Value::object();
  std::vector<ColumnSpec> columns;
  // The database and schema as written in the property file (schema defaults to the source
  // name), before `database` / `schema` are filled in from the source's output.
  std::optional<std::string> unrendered_database;
  std::optional<std::string> unrendered_schema;
  zyl::Value source_meta = zyl::Value::object();  // the `meta` of the whole source
};

struct ExposureNode {
  std::string unique_id;
  std::string name;
  std::string type;  // "dashboard", ...
  std::string package_name;
  std::string path;
  std::string original_file_path;
  std::vector<std::string> fqn;
  zyl::Value owner = zyl::Value::object();
  std::string description;
  std::optional<std::string> label;
  std::optional<std::string> maturity;
  std::optional<std::string> url;
  std::vector<std::string> tags;
  zyl::Value meta = zyl::Value::object();
  DependsOn depends_on;
};

using NodePtr = std::shared_ptr<Node>;
using SourcePtr = std::shared_ptr<SourceNode>;

// The parsed project. Lookups of unknown ids give nullptr, never an error.
struct Manifest {
  zyl::OrderedMap<std::string, NodePtr> nodes;
  zyl::OrderedMap<std::string, SourcePtr> sources;
  zyl::OrderedMap<std::string, std::shared_ptr<ExposureNode>> exposures;

  Node* find_node(const std::string& unique_id) const;
  SourceNode* find_source(const std::string& unique_id) const;
};

}  // namespace brek
