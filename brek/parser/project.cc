#include "brek/parser/project.h"

#include "brek/parser/data_tests.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>
#include <utility>

#include "brek/parser/data_tests.h"
#include "brek/parser/template.h"
#include "core/log.h"
#include "core/text.h"
#include "core/yaml.h"

namespace brek::parser {
namespace {

namespace fs = std::filesystem;
using brek_common::CompilationError;
using zyl::Value;

constexpr const char* kProjectFile = "brek_project.yml";

spdlog::logger& logger() {
  static spdlog::logger& log = zyl::log::get("brek.parser");
  return log;
}

[[noreturn]] void fail(const std::string& message) { throw CompilationError(message); }

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string relative_text(const fs::path& path, const fs::path& base) {
  return path.lexically_relative(base).generic_string();
}

Value load_yaml(const fs::path& path, const std::string& shown) {
  try {
    return zyl::yaml::load_file(path);
  } catch (const zyl::yaml::YamlError& e) {
    fail(shown + ": malformed YAML: " + e.what());
  } catch (const std::runtime_error& e) {
    fail(shown + ": " + e.what());
  }
}

// A string field of a property entry: missing or null gives nullopt, a scalar its text form,
// a list or map is an error.
std::optional<std::string> string_field(const Value& map, const char* key,
                                        const std::string& where) {
  const Value* v = zyl::find(map, key);
  if (v == nullptr || v->is_null()) return std::nullopt;
  if (v->is_string()) return v->get<std::string>();
  if (v->is_structured()) fail(where + ": '" + key + "' must be a string");
  return zyl::text_form(*v);
}

std::vector<std::string> string_list(const Value& value, const std::string& where) {
  std::vector<std::string> out;
  if (value.is_null()) return out;
  if (value.is_string()) {
    out.push_back(value.get<std::string>());
    return out;
  }
  if (!value.is_array()) fail(where + " must be a string or a list of strings");
  for (const Value& item : value) {
    if (!item.is_string()) fail(where + " must be a string or a list of strings");
    out.push_back(item.get<std::string>());
  }
  return out;
}

void add_unique(std::vector<std::string>& list, const std::vector<std::string>& more) {
  for (const std::string& s : more) {
    if (std::find(list.begin(), list.end(), s) == list.end()) list.push_back(s);
  }
}

Value map_field(const Value& map, const char* key, const std::string& where) {
  const Value* v = zyl::find(map, key);
  if (v == nullptr || v->is_null()) return Value::object();
  if (!v->is_object()) fail(where + ": '" + key + "' must be a map");
  return *v;
}

const Value& list_field(const Value& map, const char* key, const std::string& where) {
  static const Value kEmpty = Value::array();
  const Value* v = zyl::find(map, key);
  if (v == nullptr || v->is_null()) return kEmpty;
  if (!v->is_array()) fail(where + ": '" + key + "' must be a list");
  return *v;
}

std::vector<ColumnSpec> read_columns(const Value& entry, const std::string& where) {
  std::vector<ColumnSpec> out;
  for (const Value& c : list_field(entry, "columns", where)) {
    if (!c.is_object()) fail(where + ": each column must be a map");
    ColumnSpec col;
    auto name = string_field(c, "name", where);
    if (!name || name->empty()) fail(where + ": a column without a name");
    col.name = *name;
    std::string at = where + ", column '" + col.name + "'";
    col.description = string_field(c, "description", at).value_or("");
    col.data_type = string_field(c, "data_type", at);
    col.meta = map_field(c, "meta", at);
    if (const Value* t = zyl::find(c, "tags")) col.tags = string_list(*t, at + ": 'tags'");
    out.push_back(std::move(col));
  }
  return out;
}

// ---- model configuration ---------------------------------------------------------------------

const std::set<std::string> kKnownConfigKeys = {
    "materialized", "unique_key", "incremental_strategy", "schema", "database", "alias",
    "tags",         "enabled"};
const std::set<std::string> kMaterializations = {"view", "table", "incremental", "ephemeral"};

void apply_config(Node& node, std::string key, const Value& value, const std::string& where) {
  if (!key.empty() && key[0] == '+') key.erase(0, 1);
  if (key == "target") {
    if (value.is_null()) {
      node.config.target.reset();
    } else if (value.is_string()) {
      node.config.target = value.get<std::string>();
    } else {
      fail(where + ": config 'target' must be the name of an output, got " + zyl::text_form(value));
    }
    return;
  }
  if (key == "tags") {
    std::vector<std::string> tags = string_list(value, where + ": config 'tags'");
    Value& list = node.config["tags"];
    if (!list.is_array()) list = Value::array();
    for (const std::string& t : tags) {
      if (std::find(list.begin(), list.end(), Value(t)) == list.end()) list.push_back(t);
    }
    add_unique(node.tags, tags);
    return;
  }
  if (key == "materialized") {
    if (!value.is_string() || !kMaterializations.contains(value.get<std::string>())) {
      fail(where + ": materialized must be one of view, table, incremental, ephemeral; got " +
           zyl::text_form(value));
    }
  } else if (key == "enabled" && !value.is_boolean()) {
    fail(where + ": config 'enabled' must be true or false");
  } else if ((key == "schema" || key == "database" || key == "alias" ||
              key == "incremental_strategy") &&
             !value.is_string() && !value.is_null()) {
    fail(where + ": config '" + key + "' must be a string");
  }
  if (kKnownConfigKeys.contains(key)) {
    node.config[key] = value;
  } else {
    node.config._extra[key] = value;
  }
}

void apply_config_map(Node& node, const Value& map, const std::string& where) {
  for (const auto& [key, value] : map.items()) apply_config(node, key, value, where);
}

// Applies the `models:` block of the project file for a model in `folders` (relative to its
// model path): the project level first, then each folder, nearer ones overriding.
void apply_folder_config(Node& node, const Value& models_block, const std::string& project,
                         const std::vector<std::string>& folders) {
  const Value* level = zyl::find(models_block, project);
  if (level == nullptr || !level->is_object()) return;
  std::string where = std::string(kProjectFile) + " models." + project;
  auto apply_level = [&](const Value& map) {
    for (const auto& [key, value] : map.items()) {
      bool is_config = (!key.empty() && key[0] == '+') || !value.is_object();
      if (is_config) apply_config(node, key, value, where);
    }
  };
  apply_level(*level);
  std::vector<std::string> path = folders;
  path.push_back(node.name);  // a model may be configured by name below its folder
  for (const std::string& folder : path) {
    const Value* next = zyl::find(*level, folder);
    if (next == nullptr || !next->is_object()) break;
    level = next;
    where += "." + folder;
    apply_level(*level);
  }
}

// ---- reading a model's template while loading -----------------------------------------------

struct Reference {
  bool is_source = false;
  std::string first;   // model name, or source name
  std::string second;  // table name of a source
  Location where;
};

class LoadContext final : public TemplateContext {
 public:
  explicit LoadContext(const Value& vars) : vars_(vars) {}

  std::string ref(const std::string& name, Location where) override {
    references.push_back({false, name, "", where});
    return "";
  }
  std::string source(const std::string& source_name, const std::string& table,
                     Location where) override {
    references.push_back({true, source_name, table, where});
    return "";
  }
  std::string this_relation(Location) override { return ""; }
  void config(const Value& keywords, Location where) override {
    configs.emplace_back(keywords, where);
  }
  bool is_incremental() override { return false; }
  const Value* var(const std::string& name) override { return zyl::find(vars_, name); }

  std::vector<Reference> references;
  std::vector<std::pair<Value, Location>> configs;

 private:
  const Value& vars_;
};

std::string at(const std::string& file, Location where) {
  return file + ":" + std::to_string(where.line) + ":" + std::to_string(where.column);
}

// ---- the load as a whole ----------------------------------------------------------------------

struct ModelPatch {
  Value entry;
  std::string file;
};

class Loader {
 public:
  explicit Loader(const LoadOptions& options) : options_(options) {}

  Project run() {
    project_.project_dir = options_.project_dir.empty() ? fs::current_path() : options_.project_dir;
    read_project_file();
    collect_files();
    for (const auto& [file, model_path] : property_files_) read_property_file(file, model_path);
    for (const auto& [file, model_path] : model_files_) read_model(file, model_path);
    for (const auto& [file, seed_path] : seed_files_) read_seed(file, seed_path);
    for (const auto& [file, test_path] : test_files_) read_singular_test(file, test_path);
    for (const auto& [file, snapshot_path] : snapshot_files_)
      read_snapshot_file(file, snapshot_path);
    read_declared_snapshots();
    add_generic_tests(patches_, "model.");
    add_generic_tests(seed_patches_, "seed.");
    warn_unused_patches();
    resolve_references();
    resolve_exposures();
    check_cycles();
    add_ephemeral_inputs();
    return std::move(project_);
  }

 private:
  void read_project_file() {
    fs::path file = project_.project_dir / kProjectFile;
    if (!fs::is_regular_file(file)) {
      fail("no " + std::string(kProjectFile) + " in " + project_.project_dir.string() +
           ": not a project directory");
    }
    Value doc = load_yaml(file, kProjectFile);
    if (!doc.is_object()) fail(std::string(kProjectFile) + " must be a map");
    auto name = string_field(doc, "name", kProjectFile);
    if (!name || name->empty()) fail(std::string(kProjectFile) + ": 'name' is required");
    project_.name = *name;
    project_.profile = string_field(doc, "profile", kProjectFile).value_or(project_.name);
    const Value* paths = zyl::find(doc, "model-paths");
    if (paths == nullptr || paths->is_null()) {
      project_.model_paths = {"models"};
    } else {
      project_.model_paths = string_list(*paths, std::string(kProjectFile) + ": 'model-paths'");
    }
    project_.vars = map_field(doc, "vars", kProjectFile);
    if (!options_.vars.is_null() && !options_.vars.is_object()) fail("--vars must be a map");
    if (options_.vars.is_object()) {
      for (const auto& [k, v] : options_.vars.items()) project_.vars[k] = v;
    }
    models_block_ = map_field(doc, "models", kProjectFile);
    const Value* seed_paths = zyl::find(doc, "seed-paths");
    if (seed_paths == nullptr || seed_paths->is_null()) {
      project_.seed_paths = {"seeds"};
    } else {
      project_.seed_paths = string_list(*seed_paths, std::string(kProjectFile) + ": 'seed-paths'");
    }
    seeds_block_ = map_field(doc, "seeds", kProjectFile);
    const Value* snapshot_paths = zyl::find(doc, "snapshot-paths");
    project_.snapshot_paths =
        snapshot_paths == nullptr || snapshot_paths->is_null()
            ? std::vector<std::string>{"snapshots"}
            : string_list(*snapshot_paths, std::string(kProjectFile) + ": 'snapshot-paths'");
    snapshots_block_ = map_field(doc, "snapshots", kProjectFile);
    const Value* test_paths = zyl::find(doc, "test-paths");
    project_.test_paths = test_paths == nullptr || test_paths->is_null()
                              ? std::vector<std::string>{"tests"}
                              : string_list(*test_paths, std::string(kProjectFile) + ": 'test-paths'");
  }

  // The regular files under `root`, sorted by path.
  static std::vector<fs::path> files_under(const fs::path& root) {
    std::vector<fs::path> files;
    if (!fs::is_directory(root)) return files;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied);
         it != fs::recursive_directory_iterator(); ++it) {
      if (it->is_regular_file()) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  void collect_files() {
    for (const std::string& mp : project_.model_paths) {
      fs::path root = project_.project_dir / mp;
      for (const fs::path& f : files_under(root)) {
        std::string ext = f.extension().string();
        if (ext == ".sql") model_files_.emplace_back(f, root);
        if (ext == ".yml" || ext == ".yaml") property_files_.emplace_back(f, root);
      }
    }
    for (const std::string& tp : project_.test_paths) {
      fs::path root = project_.project_dir / tp;
      for (const fs::path& f : files_under(root)) {
        if (f.extension() == ".sql") test_files_.emplace_back(f, root);
      }
    }
    for (const std::string& sp : project_.seed_paths) {
      fs::path root = project_.project_dir / sp;
      for (const fs::path& f : files_under(root)) {
        std::string ext = f.extension().string();
        if (ext == ".csv") seed_files_.emplace_back(f, root);
        if (ext == ".yml" || ext == ".yaml") property_files_.emplace_back(f, root);
      }
    }
    for (const std::string& sp : project_.snapshot_paths) {
      fs::path root = project_.project_dir / sp;
      for (const fs::path& f : files_under(root)) {
        std::string ext = f.extension().string();
        if (ext == ".sql") snapshot_files_.emplace_back(f, root);
        if (ext == ".yml" || ext == ".yaml") property_files_.emplace_back(f, root);
      }
    }
  }

  std::vector<std::string> folders_of(const fs::path& file, const fs::path& model_path) {
    std::vector<std::string> out;
    for (const auto& part : file.parent_path().lexically_relative(model_path)) {
      if (part != ".") out.push_back(part.string());
    }
    return out;
  }

  void read_property_file(const fs::path& file, const fs::path& model_path) {
    std::string shown = relative_text(file, project_.project_dir);
    Value doc = load_yaml(file, shown);
    if (doc.is_null()) return;
    if (!doc.is_object()) fail(shown + ": a property file must be a map");
    std::vector<std::string> folders = folders_of(file, model_path);
    for (const Value& s : list_field(doc, "sources", shown)) read_source(s, shown, folders);
    for (const Value& m : list_field(doc, "models", shown)) {
      if (!m.is_object()) fail(shown + ": each entry of 'models' must be a map");
      auto name = string_field(m, "name", shown);
      if (!name || name->empty()) fail(shown + ": a model entry without a name");
      if (const ModelPatch* earlier = patches_.get(*name)) {
        fail("model '" + *name + "' is described twice: in " + earlier->file + " and in " + shown);
      }
      patches_.set(*name, ModelPatch{m, shown});
    }
    for (const Value& m : list_field(doc, "seeds", shown)) {
      if (!m.is_object()) fail(shown + ": each entry of 'seeds' must be a map");
      auto name = string_field(m, "name", shown);
      if (!name || name->empty()) fail(shown + ": a seed entry without a name");
      if (const ModelPatch* earlier = seed_patches_.get(*name)) {
        fail("seed '" + *name + "' is described twice: in " + earlier->file + " and in " + shown);
      }
      seed_patches_.set(*name, ModelPatch{m, shown});
    }
    for (const Value& m : list_field(doc, "snapshots", shown)) {
      if (!m.is_object()) fail(shown + ": each entry of 'snapshots' must be a map");
      auto name = string_field(m, "name", shown);
      if (!name || name->empty()) fail(shown + ": a snapshot entry without a name");
      if (const ModelPatch* earlier = snapshot_patches_.get(*name)) {
        fail("snapshot '" + *name + "' is described twice: in " + earlier->file + " and in " +
             shown);
      }
      snapshot_patches_.set(*name, ModelPatch{m, shown});
    }
    for (const Value& e : list_field(doc, "exposures", shown))
      exposure_entries_.emplace_back(e, shown);
  }

  void read_source(const Value& s, const std::string& shown,
                   const std::vector<std::string>& folders) {
    if (!s.is_object()) fail(shown + ": each entry of 'sources' must be a map");
    auto name = string_field(s, "name", shown);
    if (!name || name->empty()) fail(shown + ": a source without a name");
    std::string where = shown + ", source '" + *name + "'";
    auto database = string_field(s, "database", where);
    std::string schema = string_field(s, "schema", where).value_or(*name);
    std::string description = string_field(s, "description", where).value_or("");
    std::string loader = string_field(s, "loader", where).value_or("");
    auto loaded_at = string_field(s, "loaded_at_field", where);
    Value meta = map_field(s, "meta", where);
    std::vector<std::string> tags;
    if (const Value* t = zyl::find(s, "tags")) tags = string_list(*t, where + ": 'tags'");
    for (const Value& t : list_field(s, "tables", where)) {
      if (!t.is_object()) fail(where + ": each table must be a map");
      auto table = string_field(t, "name", where);
      if (!table || table->empty()) fail(where + ": a table without a name");
      std::string twhere = where + ", table '" + *table + "'";
      auto node = std::make_shared<SourceNode>();
      node->unique_id = "source." + project_.name + "." + *name + "." + *table;
      if (const auto* earlier = source_files_.get(node->unique_id)) {
        fail("source '" + *name + "." + *table + "' is defined twice: in " + *earlier + " and in " +
             shown);
      }
      source_files_.set(node->unique_id, shown);
      node->source_name = *name;
      node->name = *table;
      node->unrendered_database = database;
      node->unrendered_schema = schema;
      node->database = database;
      node->schema = schema;
      node->identifier = string_field(t, "identifier", twhere).value_or(*table);
      node->package_name = project_.name;
      node->path = shown;
      node->original_file_path = shown;
      node->fqn = {project_.name};
      node->fqn.insert(node->fqn.end(), folders.begin(), folders.end());
      node->fqn.push_back(*name);
      node->fqn.push_back(*table);
      node->description = string_field(t, "description", twhere).value_or("");
      node->source_description = description;
      node->loader = loader;
      auto table_loaded_at = string_field(t, "loaded_at_field", twhere);
      node->loaded_at_field = table_loaded_at ? table_loaded_at : loaded_at;
      node->tags = tags;
      if (const Value* tt = zyl::find(t, "tags"))
        add_unique(node->tags, string_list(*tt, twhere + ": 'tags'"));
      node->source_meta = meta;
      node->meta = map_field(t, "meta", twhere);
      node->columns = read_columns(t, twhere);
      project_.manifest.sources.set(node->unique_id, node);
    }
  }

  void read_model(const fs::path& file, const fs::path& model_path) {
    std::string shown = relative_text(file, project_.project_dir);
    auto node = std::make_shared<Node>();
    node->name = file.stem().string();
    if (const std::string* earlier = model_files_by_name_.get(node->name)) {
      fail("two models are named '" + node->name + "': " + *earlier + " and " + shown +
           "; model names must be unique");
    }
    claim_name(node->name, shown);
    node->unique_id = "model." + project_.name + "." + node->name;
    node->resource_type = "model";
    node->package_name = project_.name;
    node->path = relative_text(file, model_path);
    node->original_file_path = shown;
    std::vector<std::string> folders = folders_of(file, model_path);
    node->fqn = {project_.name};
    node->fqn.insert(node->fqn.end(), folders.begin(), folders.end());
    node->fqn.push_back(node->name);
    node->raw_code = read_text(file);

    apply_folder_config(*node, models_block_, project_.name, folders);
    if (const ModelPatch* patch = patches_.get(node->name)) {
      std::string where = patch->file + ", model '" + node->name + "'";
      node->description = string_field(patch->entry, "description", where).value_or("");
      node->columns = read_columns(patch->entry, where);
      if (const Value* t = zyl::find(patch->entry, "tags")) {
        apply_config(*node, "tags", *t, where);
      }
      apply_config_map(*node, map_field(patch->entry, "config", where), where);
    }

    Template tmpl = Template::parse(node->raw_code, shown);
    LoadContext context(project_.vars);
    tmpl.visit_all(context);
    for (const auto& [keywords, where] : context.configs) {
      apply_config_map(*node, keywords, at(shown, where));
    }
    references_.set(node->unique_id, std::move(context.references));

    if (zyl::is_set(node->config.get("alias"))) {
      logger().warn(
          "model '{}' ({}): config 'alias' is not used; its relation is named after the "
          "model",
          node->name, shown);
    }
    if (node->config.get("enabled", true) == Value(false)) {
      disabled_.insert(node->name);
      return;
    }
    node->depends_on = DependsOn{};
    project_.manifest.nodes.set(node->unique_id, node);
  }

  // Takes `name` for the model or seed of `file`. Names that differ only in case would share a
  // table on DuckDB, SQLite and MySQL and in the cache, so they are refused as well.
  void claim_name(const std::string& name, const std::string& file) {
    std::string folded = zyl::text::to_lower(name);
    if (const std::string* earlier = files_by_folded_name_.get(folded)) {
      fail("'" + name + "' (" + file + ") and a model or seed of " + *earlier +
           " differ only in case; they would share one table on case-insensitive engines and in "
           "the cache");
    }
    files_by_folded_name_.set(folded, file);
    model_files_by_name_.set(name, file);
  }

  // A CSV file under a seed path: a table of that name, loaded by `brek seed` and read with
  // ref() like a model. Its rows are read when it is loaded, not here.
  void read_seed(const fs::path& file, const fs::path& seed_path) {
    std::string shown = relative_text(file, project_.project_dir);
    auto node = std::make_shared<Node>();
    node->name = file.stem().string();
    if (const std::string* earlier = model_files_by_name_.get(node->name)) {
      fail("a model or seed and the seed " + shown + " are both named '" + node->name + "' (" +
           *earlier + "); ref() needs unique names");
    }
    claim_name(node->name, shown);
    node->unique_id = "seed." + project_.name + "." + node->name;
    node->resource_type = "seed";
    node->package_name = project_.name;
    node->path = relative_text(file, seed_path);
    node->original_file_path = shown;
    std::vector<std::string> folders = folders_of(file, seed_path);
    node->fqn = {project_.name};
    node->fqn.insert(node->fqn.end(), folders.begin(), folders.end());
    node->fqn.push_back(node->name);
    apply_folder_config(*node, seeds_block_, project_.name, folders);
    if (const ModelPatch* patch = seed_patches_.get(node->name)) {
      std::string where = patch->file + ", seed '" + node->name + "'";
      node->description = string_field(patch->entry, "description", where).value_or("");
      node->columns = read_columns(patch->entry, where);
      apply_config_map(*node, map_field(patch->entry, "config", where), where);
    }
    node->config["materialized"] = "seed";
    if (node->config.get("enabled", true) == Value(false)) return;
    references_.set(node->unique_id, {});
    node->depends_on = DependsOn{};
    project_.manifest.nodes.set(node->unique_id, node);
  }

  // Each {% snapshot name %} ... {% endsnapshot %} block of a .sql file under a snapshot path.
  void read_snapshot_file(const fs::path& file, const fs::path& snapshot_path) {
    std::string shown = relative_text(file, project_.project_dir);
    std::vector<SnapshotBlock> blocks = snapshot_blocks(read_text(file), shown);
    if (blocks.empty()) logger().warn("{}: no {{% snapshot %}} block", shown);
    for (SnapshotBlock& block : blocks) {
      auto node = snapshot_node(block.name, shown, folders_of(file, snapshot_path));
      node->path = relative_text(file, snapshot_path);
      node->raw_code = std::move(block.body);
      add_snapshot(node, shown);
    }
  }

  // The snapshots property files declare with `relation:` (a ref() or source() call) instead of
  // a block: they snapshot that relation as it is.
  void read_declared_snapshots() {
    for (const auto& [name, patch] : snapshot_patches_) {
      const Value* relation = zyl::find(patch.entry, "relation");
      if (relation == nullptr) continue;
      std::string where = patch.file + ", snapshot '" + name + "'";
      if (!relation->is_string()) fail(where + ": 'relation' must be a ref() or source() call");
      if (project_.manifest.nodes.contains("snapshot." + project_.name + "." + name)) {
        fail(where + ": a snapshot block of that name exists as well");
      }
      auto node = snapshot_node(name, patch.file, {});
      node->raw_code = "select * from {{ " + relation->get<std::string>() + " }}";
      add_snapshot(node, patch.file);
    }
  }

  std::shared_ptr<Node> snapshot_node(const std::string& name, const std::string& shown,
                                      const std::vector<std::string>& folders) {
    auto node = std::make_shared<Node>();
    node->name = name;
    if (const std::string* earlier = model_files_by_name_.get(node->name)) {
      fail("the snapshot '" + name + "' of " + shown + " and a node of " + *earlier +
           " have the same name; ref() needs unique names");
    }
    claim_name(node->name, shown);
    node->unique_id = "snapshot." + project_.name + "." + node->name;
    node->resource_type = "snapshot";
    node->package_name = project_.name;
    node->path = shown;
    node->original_file_path = shown;
    node->fqn = {project_.name};
    node->fqn.insert(node->fqn.end(), folders.begin(), folders.end());
    node->fqn.push_back(node->name);
    node->config["materialized"] = "snapshot";
    return node;
  }

  // Applies the snapshot's configuration (project block < property file < its own config()),
  // reads its references and adds it. Its config is checked when it runs, so that a bad one
  // fails that snapshot alone.
  void add_snapshot(const std::shared_ptr<Node>& node, const std::string& shown) {
    std::vector<std::string> folders(node->fqn.begin() + 1, node->fqn.end() - 1);
    auto apply = [&](const Value& map, const std::string& where) {
      for (const auto& [key, value] : map.items()) {
        if (key == "materialized" || key == "+materialized") {
          node->config["materialized"] = value;  // anything but "snapshot" is refused at run
        } else {
          apply_config(*node, key, value, where);
        }
      }
    };
    // The project file's snapshots block: the project level, then each folder and the name.
    const Value* level = zyl::find(snapshots_block_, project_.name);
    std::string where = std::string(kProjectFile) + " snapshots." + project_.name;
    std::vector<std::string> path = folders;
    path.push_back(node->name);
    for (size_t i = 0; level != nullptr && level->is_object(); ++i) {
      Value own = Value::object();
      for (const auto& [key, value] : level->items()) {
        if ((!key.empty() && key[0] == '+') || !value.is_object()) own[key] = value;
      }
      apply(own, where);
      if (i == path.size()) break;
      level = zyl::find(*level, path[i]);
      where += "." + path[i];
    }
    if (const ModelPatch* patch = snapshot_patches_.get(node->name)) {
      std::string where = patch->file + ", snapshot '" + node->name + "'";
      node->description = string_field(patch->entry, "description", where).value_or("");
      node->columns = read_columns(patch->entry, where);
      apply(map_field(patch->entry, "config", where), where);
    }
    Template tmpl = Template::parse(node->raw_code, shown);
    LoadContext context(project_.vars);
    tmpl.visit_all(context);
    for (const auto& [keywords, where] : context.configs) apply(keywords, at(shown, where));
    if (!node->config.contains("schema") &&
        zyl::is_set(node->config._extra.value("target_schema", Value()))) {
      node->config["schema"] = node->config._extra["target_schema"];
    }
    if (node->config.get("enabled", true) == Value(false)) return;
    if (project_.manifest.nodes.contains(node->unique_id)) {
      fail(shown + ": two snapshots are named '" + node->name + "'");
    }
    references_.set(node->unique_id, std::move(context.references));
    node->depends_on = DependsOn{};
    project_.manifest.nodes.set(node->unique_id, node);
  }

  // A test node of the project named `name`, declared in `file`.
  std::shared_ptr<Node> test_node(const std::string& name, const std::string& file) {
    auto node = std::make_shared<Node>();
    node->name = name;
    node->unique_id = "test." + project_.name + "." + name;
    if (project_.manifest.nodes.contains(node->unique_id)) {
      fail(file + ": two data tests are named '" + name + "'");
    }
    node->resource_type = "test";
    node->package_name = project_.name;
    node->path = file;
    node->original_file_path = file;
    node->fqn = {project_.name, name};
    node->config["materialized"] = "test";
    node->config["severity"] = "error";
    node->depends_on = DependsOn{};
    return node;
  }

  // A .sql file under a test path: a query returning the failing rows, with ref() and source().
  void read_singular_test(const fs::path& file, const fs::path& test_path) {
    std::string shown = relative_text(file, project_.project_dir);
    auto node = test_node(file.stem().string(), shown);
    node->path = relative_text(file, test_path);
    node->raw_code = read_text(file);
    Template tmpl = Template::parse(node->raw_code, shown);
    LoadContext context(project_.vars);
    tmpl.visit_all(context);
    for (const auto& [keywords, where] : context.configs) {
      for (const auto& [key, value] : keywords.items()) {
        if (key == "severity" || key == "where") node->config[key] = value;
      }
    }
    references_.set(node->unique_id, std::move(context.references));
    project_.manifest.nodes.set(node->unique_id, node);
  }

  // The generic tests under the columns of each model or seed entry of the property files.
  void add_generic_tests(const zyl::OrderedMap<std::string, ModelPatch>& patches,
                         const std::string& kind) {
    for (const auto& [name, patch] : patches) {
      std::string tested = kind + project_.name + "." + name;
      if (!project_.manifest.nodes.contains(tested)) continue;  // warned about, or disabled
      std::string where = patch.file + ", " + kind.substr(0, kind.size() - 1) + " '" + name + "'";
      for (const Value& column : list_field(patch.entry, "columns", where)) {
        if (!column.is_object()) continue;  // read_columns refused it already
        for (const GenericTest& test : column_tests(column, where)) add_generic_test(test, tested, name, patch.file);
      }
    }
  }

  void add_generic_test(const GenericTest& test, const std::string& tested,
                        const std::string& model, const std::string& file) {
    auto node = test_node(test_name(test, model), file);
    node->depends_on->nodes.push_back(tested);
    std::string to_id;
    if (test.kind == "relationships") {
      Reference to{false, test.to, "", Location{}};
      to_id = resolve(to, "test '" + node->name + "'", file);
      node->depends_on->nodes.push_back(to_id);
    }
    node->config["severity"] = test.severity;
    if (test.where) node->config["where"] = *test.where;
    node->test_metadata = test_metadata(test, tested, to_id);
    node->tags = {};
    references_.set(node->unique_id, {});
    project_.manifest.nodes.set(node->unique_id, node);
  }

  void warn_unused_patches() {
    for (const auto& [name, patch] : seed_patches_) {
      if (!model_files_by_name_.contains(name)) {
        logger().warn("{}: properties for seed '{}', which has no .csv file", patch.file, name);
      }
    }
    for (const auto& [name, patch] : patches_) {
      if (!model_files_by_name_.contains(name)) {
        logger().warn("{}: properties for model '{}', which has no .sql file", patch.file, name);
      }
    }
  }

  std::vector<std::string> model_names() const {
    std::vector<std::string> out;
    for (const auto& [id, node] : project_.manifest.nodes) out.push_back(node->name);
    return out;
  }

  std::vector<std::string> source_names() const {
    std::vector<std::string> out;
    for (const auto& [id, s] : project_.manifest.sources)
      out.push_back(s->source_name + "." + s->name);
    return out;
  }

  // The unique id `reference` stands for. Throws naming `owner` and the place.
  std::string resolve(const Reference& r, const std::string& owner, const std::string& place) {
    if (!r.is_source) {
      for (const char* kind : {"model.", "seed.", "snapshot."}) {
        std::string id = kind + project_.name + "." + r.first;
        if (project_.manifest.nodes.contains(id)) return id;
      }
      std::string message = owner + " (" + place + ") refers to model '" + r.first + "'";
      if (disabled_.contains(r.first)) fail(message + ", which is disabled");
      message += ", which does not exist";
      if (auto near = closest_match(r.first, model_names()))
        message += ". Did you mean '" + *near + "'?";
      fail(message);
    }
    std::string id = "source." + project_.name + "." + r.first + "." + r.second;
    if (project_.manifest.sources.contains(id)) return id;
    std::string full = r.first + "." + r.second;
    std::string message =
        owner + " (" + place + ") refers to source '" + full + "', which does not exist";
    if (auto near = closest_match(full, source_names())) {
      message += ". Did you mean '" + *near + "'?";
    }
    fail(message);
  }

  void resolve_references() {
    for (auto& [id, node] : project_.manifest.nodes) {
      for (const Reference& r : *references_.get(id)) {
        std::string dep =
            resolve(r, "model '" + node->name + "'", at(node->original_file_path, r.where));
        auto& deps = node->depends_on->nodes;
        if (std::find(deps.begin(), deps.end(), dep) == deps.end()) deps.push_back(dep);
      }
    }
  }

  void resolve_exposures() {
    static const std::set<std::string> kTypes = {"dashboard", "notebook", "analysis", "ml",
                                                 "application"};
    static const std::set<std::string> kMaturities = {"low", "medium", "high"};
    for (const auto& [e, shown] : exposure_entries_) {
      if (!e.is_object()) fail(shown + ": each entry of 'exposures' must be a map");
      auto name = string_field(e, "name", shown);
      if (!name || name->empty()) fail(shown + ": an exposure without a name");
      std::string where = shown + ", exposure '" + *name + "'";
      auto x = std::make_shared<ExposureNode>();
      x->unique_id = "exposure." + project_.name + "." + *name;
      if (project_.manifest.exposures.contains(x->unique_id)) {
        fail(where + ": an exposure of that name is already defined");
      }
      x->name = *name;
      auto type = string_field(e, "type", where);
      if (!type || !kTypes.contains(*type)) {
        fail(where + ": 'type' must be one of dashboard, notebook, analysis, ml, application");
      }
      x->type = *type;
      x->owner = map_field(e, "owner", where);
      if (!zyl::is_set(zyl::find(x->owner, "name")) && !zyl::is_set(zyl::find(x->owner, "email"))) {
        fail(where + ": 'owner' needs a name or an email");
      }
      x->package_name = project_.name;
      x->path = shown;
      x->original_file_path = shown;
      x->fqn = {project_.name, *name};
      x->description = string_field(e, "description", where).value_or("");
      x->label = string_field(e, "label", where);
      x->maturity = string_field(e, "maturity", where);
      if (x->maturity && !kMaturities.contains(*x->maturity)) {
        fail(where + ": 'maturity' must be one of low, medium, high");
      }
      x->url = string_field(e, "url", where);
      if (const Value* t = zyl::find(e, "tags")) x->tags = string_list(*t, where + ": 'tags'");
      x->meta = map_field(e, "meta", where);
      for (const Value& d : list_field(e, "depends_on", where)) {
        if (!d.is_string()) fail(where + ": each entry of 'depends_on' must be a string");
        LoadContext context(project_.vars);
        Template::parse("{{ " + d.get<std::string>() + " }}", where + " depends_on")
            .visit_all(context);
        if (context.references.size() != 1) {
          fail(where + ": depends_on entry '" + d.get<std::string>() +
               "' must be one ref('...') or source('...', '...')");
        }
        std::string dep = resolve(context.references[0], "exposure '" + *name + "'", shown);
        auto& deps = x->depends_on.nodes;
        if (std::find(deps.begin(), deps.end(), dep) == deps.end()) deps.push_back(dep);
      }
      project_.manifest.exposures.set(x->unique_id, x);
    }
  }

  // A model's compiled SQL holds the SQL of the ephemeral models it uses, so whatever those
  // read (sources, other models) is read by the model too: append it to the model's
  // dependencies, after its own references.
  void add_ephemeral_inputs() {
    for (auto& [id, node] : project_.manifest.nodes) {
      std::vector<std::string>& deps = node->depends_on->nodes;
      std::set<std::string> seen(deps.begin(), deps.end());
      std::vector<std::string> extra;
      std::function<void(const std::string&)> walk = [&](const std::string& dep) {
        const Node* e = project_.manifest.find_node(dep);
        if (e == nullptr || e->get_materialization() != "ephemeral") return;
        for (const std::string& inner : e->depends_on->nodes) {
          if (seen.insert(inner).second) {
            extra.push_back(inner);
            walk(inner);
          }
        }
      };
      for (const std::string& dep : std::vector<std::string>(deps)) walk(dep);
      deps.insert(deps.end(), extra.begin(), extra.end());
    }
  }

  void check_cycles() {
    enum class Mark { None, Active, Done };
    std::unordered_map<std::string, Mark> marks;
    std::vector<std::string> stack;
    std::function<void(const std::string&)> visit = [&](const std::string& id) {
      marks[id] = Mark::Active;
      stack.push_back(id);
      const Node* node = project_.manifest.find_node(id);
      for (const std::string& dep : node->depends_on->nodes) {
        if (!project_.manifest.nodes.contains(dep)) continue;
        Mark m = marks[dep];
        if (m == Mark::Active) {
          auto begin = std::find(stack.begin(), stack.end(), dep);
          std::vector<std::string> cycle(begin, stack.end());
          cycle.push_back(dep);
          fail("dependency cycle: " + zyl::text::join(cycle, " -> "));
        }
        if (m == Mark::None) visit(dep);
      }
      stack.pop_back();
      marks[id] = Mark::Done;
    };
    for (const auto& [id, node] : project_.manifest.nodes) {
      if (marks[id] == Mark::None) visit(id);
    }
  }

  const LoadOptions& options_;
  Project project_;
  Value models_block_ = Value::object();
  Value seeds_block_ = Value::object();
  std::vector<std::pair<fs::path, fs::path>> seed_files_;  // file, its seed path
  std::vector<std::pair<fs::path, fs::path>> test_files_;  // file, its test path
  std::vector<std::pair<fs::path, fs::path>> snapshot_files_;  // file, its snapshot path
  Value snapshots_block_ = Value::object();
  zyl::OrderedMap<std::string, ModelPatch> snapshot_patches_;
  zyl::OrderedMap<std::string, ModelPatch> seed_patches_;
  std::vector<std::pair<fs::path, fs::path>> model_files_;     // file, its model path
  std::vector<std::pair<fs::path, fs::path>> property_files_;  // file, its model path
  zyl::OrderedMap<std::string, ModelPatch> patches_;
  zyl::OrderedMap<std::string, std::string> model_files_by_name_;
  zyl::OrderedMap<std::string, std::string> files_by_folded_name_;  // lower-case name -> file
  zyl::OrderedMap<std::string, std::string> source_files_;
  zyl::OrderedMap<std::string, std::vector<Reference>> references_;
  std::vector<std::pair<Value, std::string>> exposure_entries_;
  std::set<std::string> disabled_;
};

}  // namespace

Project load_project(const LoadOptions& options) { return Loader(options).run(); }

namespace {

std::string trimmed(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

// When a `{% word ... %}` tag starts at `from`: the position after it and its text after the
// word (whitespace control marks left out).
std::optional<std::pair<size_t, std::string>> tag_at(const std::string& text, size_t from,
                                                     std::string_view word) {
  size_t i = from + 2;
  if (i < text.size() && text[i] == '-') ++i;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (text.compare(i, word.size(), word) != 0) return std::nullopt;
  i += word.size();
  if (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) {
    return std::nullopt;
  }
  size_t end = text.find("%}", i);
  if (end == std::string::npos) return std::nullopt;
  std::string inner = trimmed(std::string_view(text).substr(i, end - i));
  if (!inner.empty() && inner.back() == '-') inner = trimmed(inner.substr(0, inner.size() - 1));
  return std::pair{end + 2, inner};
}

size_t line_at(const std::string& text, size_t pos) {
  return 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(pos), '\n');
}

bool is_name(const std::string& s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

}  // namespace

std::vector<SnapshotBlock> snapshot_blocks(const std::string& text, const std::string& file) {
  std::vector<SnapshotBlock> blocks;
  size_t pos = 0;
  while ((pos = text.find("{%", pos)) != std::string::npos) {
    auto open = tag_at(text, pos, "snapshot");
    if (!open) {
      if (tag_at(text, pos, "endsnapshot")) {
        fail(file + ":" + std::to_string(line_at(text, pos)) +
             ": {% endsnapshot %} without a {% snapshot %}");
      }
      pos += 2;
      continue;
    }
    std::string where = file + ":" + std::to_string(line_at(text, pos));
    if (!is_name(open->second)) {
      fail(where + ": a snapshot block needs a name: {% snapshot name %}, got '" + open->second +
           "'");
    }
    size_t close = open->first;
    std::optional<std::pair<size_t, std::string>> end;
    while ((close = text.find("{%", close)) != std::string::npos) {
      if (tag_at(text, close, "snapshot")) break;
      if ((end = tag_at(text, close, "endsnapshot"))) break;
      close += 2;
    }
    if (!end) fail(where + ": snapshot '" + open->second + "' has no {% endsnapshot %}");
    std::string before(line_at(text, open->first) - 1, '\n');
    blocks.push_back({open->second, before + text.substr(open->first, close - open->first)});
    pos = end->first;
  }
  return blocks;
}

}  // namespace brek::parser
