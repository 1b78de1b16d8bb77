#include <algorithm>
#include <cctype>
#include <functional>
#include <set>
#include <unordered_map>
#include <utility>

#include "brek/parser/project.h"
#include "brek/parser/template.h"
#include "core/text.h"

namespace brek::parser {
namespace {

namespace fs = std::filesystem;
using brek_common::CompilationError;
using zyl::Value;

constexpr const char* kEphemeralPrefix = "__brek_ephemeral_";

[[noreturn]] void fail(const std::string& message) { throw CompilationError(message); }

// ---- relations --------------------------------------------------------------------------------

// Where an output puts relations: its adapter type and the database and schema it implies.
struct Place {
  std::string type;
  std::optional<std::string> database;  // nullopt: the engine has no database level
  std::string schema;
};

std::optional<std::string> first_text(const Value& output,
                                      std::initializer_list<std::string_view> keys) {
  for (std::string_view k : keys) {
    const Value* v = zyl::find(output, k);
    if (zyl::is_set(v)) return zyl::text_form(*v);
  }
  return std::nullopt;
}

bool has_databases(const std::string& type) {
  return type != "mysql" && type != "mariadb" && type != "sqlite";
}

Place place_of(const Value& output) {
  Place p;
  p.type = zyl::get_text(output, "type");
  if (p.type == "duckdb") {
    std::string path = first_text(output, {"path"}).value_or("");
    bool memory = path.empty() || zyl::text::starts_with(path, ":memory:");
    p.database = memory ? "memory" : fs::path(path).stem().string();
    p.schema = first_text(output, {"schema"}).value_or("main");
  } else if (p.type == "postgres" || p.type == "redshift") {
    p.database = first_text(output, {"dbname", "database"});
    p.schema = first_text(output, {"schema"}).value_or("public");
  } else if (p.type == "mysql" || p.type == "mariadb") {
    p.schema = first_text(output, {"schema", "database"}).value_or("");
  } else if (p.type == "sqlite") {
    p.schema = "main";
  } else {
    p.database = first_text(output, {"database", "dbname", "project", "catalog"});
    p.schema = first_text(output, {"schema", "dataset"}).value_or("");
  }
  return p;
}

std::string render_relation(const std::string& type, const std::optional<std::string>& database,
                            const std::string& schema, const std::string& identifier) {
  if (type == "mysql" || type == "mariadb") return schema + "." + identifier;
  auto quote = [](const std::string& s) { return "\"" + s + "\""; };
  if (type == "sqlite") return quote("main") + "." + quote(identifier);
  if (database && !database->empty()) {
    return quote(*database) + "." + quote(schema) + "." + quote(identifier);
  }
  return quote(schema) + "." + quote(identifier);
}

// The first map-valued output named `name` across the profiles, in their order.
const Value* find_output(const Value& profiles, const std::string& name) {
  if (!profiles.is_object()) return nullptr;
  for (const auto& [profile, body] : profiles.items()) {
    if (!body.is_object()) continue;
    const Value* outputs = zyl::find(body, "outputs");
    if (outputs == nullptr) continue;
    const Value* out = zyl::find(*outputs, name);
    if (out != nullptr && out->is_object()) return out;
  }
  return nullptr;
}

std::string optional_string_config(const Node& node, const char* key) {
  const Value* v = zyl::find(node.config.entries, key);
  return v != nullptr && v->is_string() ? v->get<std::string>() : "";
}

std::string cte_name(const Node& node) { return kEphemeralPrefix + node.name; }

// ---- compiling ---------------------------------------------------------------------------------

class CompileModelContext final : public TemplateContext {
 public:
  CompileModelContext(const Node& node, const Manifest& manifest, const CompileContext& context,
                      const std::unordered_map<std::string, const Node*>& models_by_name,
                      const std::unordered_map<std::string, std::string>& relations)
      : node_(node),
        manifest_(manifest),
        context_(context),
        models_by_name_(models_by_name),
        relations_(relations) {}

  std::string ref(const std::string& name, Location where) override {
    auto it = models_by_name_.find(name);
    if (it == models_by_name_.end()) {
      throw TemplateError(node_.original_file_path, where,
                          "model '" + name + "' is not in the manifest");
    }
    const Node& target = *it->second;
    if (target.get_materialization() == "ephemeral") {
      if (std::find(ephemerals.begin(), ephemerals.end(), target.unique_id) == ephemerals.end()) {
        ephemerals.push_back(target.unique_id);
      }
      return cte_name(target);
    }
    return relations_.at(target.unique_id);
  }

  std::string source(const std::string& source_name, const std::string& table,
                     Location where) override {
    std::string id = "source." + node_.package_name + "." + source_name + "." + table;
    const SourceNode* s = manifest_.find_source(id);
    if (s == nullptr || !s->relation_name) {
      throw TemplateError(node_.original_file_path, where,
                          "source '" + source_name + "." + table + "' is not in the manifest");
    }
    return *s->relation_name;
  }

  std::string this_relation(Location) override { return relations_.at(node_.unique_id); }
  void config(const Value&, Location) override {}

  bool is_incremental() override {
    return node_.get_materialization() == "incremental" && !context_.full_refresh &&
           context_.relation_exists && context_.relation_exists(node_);
  }

  const Value* var(const std::string& name) override { return zyl::find(context_.vars, name); }

  std::vector<std::string> ephemerals;  // ephemeral models referenced, in order

 private:
  const Node& node_;
  const Manifest& manifest_;
  const CompileContext& context_;
  const std::unordered_map<std::string, const Node*>& models_by_name_;
  const std::unordered_map<std::string, std::string>& relations_;
};

// Skips whitespace and SQL comments from `pos`.
size_t skip_blank(const std::string& sql, size_t pos) {
  while (pos < sql.size()) {
    if (std::isspace(static_cast<unsigned char>(sql[pos]))) {
      ++pos;
    } else if (sql.compare(pos, 2, "--") == 0) {
      size_t nl = sql.find('\n', pos);
      pos = nl == std::string::npos ? sql.size() : nl + 1;
    } else if (sql.compare(pos, 2, "/*") == 0) {
      size_t end = sql.find("*/", pos + 2);
      pos = end == std::string::npos ? sql.size() : end + 2;
    } else {
      break;
    }
  }
  return pos;
}

// Whether `sql` has the keyword `word` (any case) at `pos`, followed by a non-word character.
bool keyword_at(const std::string& sql, size_t pos, std::string_view word) {
  if (pos + word.size() > sql.size()) return false;
  if (zyl::text::to_lower(sql.substr(pos, word.size())) != word) return false;
  size_t end = pos + word.size();
  return end == sql.size() ||
         !(std::isalnum(static_cast<unsigned char>(sql[end])) || sql[end] == '_');
}

std::string trim_statement(std::string sql) {
  while (!sql.empty() &&
         (std::isspace(static_cast<unsigned char>(sql.back())) || sql.back() == ';')) {
    sql.pop_back();
  }
  size_t start = 0;
  while (start < sql.size() && std::isspace(static_cast<unsigned char>(sql[start]))) ++start;
  return sql.substr(start);
}

// Puts the common table expressions in front of `sql`, inside its own WITH when it has one.
std::string inline_ctes(const std::string& sql,
                        const std::vector<std::pair<std::string, std::string>>& ctes) {
  if (ctes.empty()) return sql;
  std::vector<std::string> parts;
  for (const auto& [name, body] : ctes) parts.push_back(name + " as (\n" + body + "\n)");
  std::string defs = zyl::text::join(parts, ",\n");
  size_t pos = skip_blank(sql, 0);
  if (keyword_at(sql, pos, "with")) {
    size_t after = skip_blank(sql, pos + 4);
    if (keyword_at(sql, after, "recursive")) after = skip_blank(sql, after + 9);
    return sql.substr(0, after) + defs + ",\n" + sql.substr(after);
  }
  return "with " + defs + "\n" + sql;
}

}  // namespace

std::string model_target(const Node& model, const CompileContext& context) {
  if (context.cli_target && !context.cli_target->empty()) return *context.cli_target;
  if (model.config.target && !model.config.target->empty()) return *model.config.target;
  const Value* extra = zyl::find(model.config._extra, "target");
  if (zyl::is_set(extra) && extra->is_string()) return extra->get<std::string>();
  return context.default_target;
}

std::string source_target(const SourceNode& source, const CompileContext& context) {
  const Value* connection = context.source_connections.get(source.source_name);
  if (connection != nullptr && zyl::is_set(*connection)) return zyl::text_form(*connection);
  if (context.cli_target && !context.cli_target->empty()) return *context.cli_target;
  return context.default_target;
}

void resolve_relations(Manifest& manifest, const CompileContext& context) {
  for (auto& [id, s] : manifest.sources) {
    std::string output_name = source_target(*s, context);
    const Value* output = find_output(context.profiles, output_name);
    if (output == nullptr) {
      fail("source '" + s->source_name + "' (" + s->original_file_path + ") lives on output '" +
           output_name + "', which is not in profiles.yml");
    }
    Place place = place_of(*output);
    s->database = has_databases(place.type)
                      ? (s->unrendered_database ? s->unrendered_database : place.database)
                      : std::nullopt;
    s->schema = place.type == "sqlite" ? std::string("main")
                                       : s->unrendered_schema.value_or(s->source_name);
    std::string identifier = s->identifier.value_or(s->name);
    s->relation_name = render_relation(place.type, s->database, *s->schema, identifier);
  }
  for (auto& [id, n] : manifest.nodes) {
    if (n->resource_type.value_or("") != "model") continue;
    std::string output_name = model_target(*n, context);
    const Value* output = find_output(context.profiles, output_name);
    if (output == nullptr) {
      fail("model '" + n->name + "' (" + n->original_file_path + ") runs on target '" +
           output_name + "', which is not an output in profiles.yml");
    }
    Place place = place_of(*output);
    std::string schema = optional_string_config(*n, "schema");
    if (place.type == "sqlite" || schema.empty()) schema = place.schema;
    if (schema.empty()) {
      fail("model '" + n->name + "': output '" + output_name +
           "' gives no schema; set 'schema' on the output or in the model's config");
    }
    std::optional<std::string> database;
    if (has_databases(place.type)) {
      std::string configured = optional_string_config(*n, "database");
      database = configured.empty() ? place.database : configured;
    }
    n->database = database;
    n->schema = schema;
    if (n->get_materialization() == "ephemeral") {
      n->relation_name.reset();
    } else {
      n->relation_name = render_relation(place.type, database, schema, n->name);
    }
  }
}

void compile_manifest(Manifest& manifest, const CompileContext& context) {
  resolve_relations(manifest, context);
  std::unordered_map<std::string, const Node*> by_name;
  std::unordered_map<std::string, std::string> relations;
  for (const auto& [id, n] : manifest.nodes) {
    if (n->resource_type.value_or("") != "model") continue;
    by_name[n->name] = n.get();
    relations[id] = n->relation_name ? *n->relation_name : cte_name(*n);
  }
  // Render every body first; ephemeral bodies are then inlined into their dependants.
  std::unordered_map<std::string, std::string> bodies;
  std::unordered_map<std::string, std::vector<std::string>> ephemeral_deps;
  for (const auto& [id, n] : manifest.nodes) {
    if (n->resource_type.value_or("") != "model") continue;
    Template tmpl = Template::parse(n->raw_code, n->original_file_path);
    CompileModelContext model_context(*n, manifest, context, by_name, relations);
    bodies[id] = tmpl.render(model_context);
    ephemeral_deps[id] = std::move(model_context.ephemerals);
  }
  for (auto& [id, n] : manifest.nodes) {
    if (n->resource_type.value_or("") != "model") continue;
    std::vector<std::string> order;
    std::set<std::string> seen;
    std::function<void(const std::string&)> collect = [&](const std::string& dep) {
      if (!seen.insert(dep).second) return;
      for (const std::string& inner : ephemeral_deps[dep]) collect(inner);
      order.push_back(dep);
    };
    for (const std::string& dep : ephemeral_deps[id]) collect(dep);
    std::vector<std::pair<std::string, std::string>> ctes;
    for (const std::string& dep : order) {
      ctes.emplace_back(cte_name(*manifest.find_node(dep)), trim_statement(bodies[dep]));
    }
    n->compiled_code = inline_ctes(bodies[id], ctes);
  }
}

}  // namespace brek::parser
