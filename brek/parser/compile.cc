#include <algorithm>
#include <cctype>
#include <functional>
#include <set>
#include <unordered_map>
#include <utility>

#include "brek/parser/data_tests.h"
#include "brek/parser/project.h"
#include "brek/place.h"
#include "brek/parser/template.h"
#include "core/text.h"
#include "drivers/relation.h"

namespace brek::parser {
namespace {

namespace fs = std::filesystem;
using brek_common::CompilationError;
using zyl::Value;

constexpr const char* kEphemeralPrefix = "__brek_ephemeral_";

[[noreturn]] void fail(const std::string& message) { throw CompilationError(message); }

// ---- relations --------------------------------------------------------------------------------

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

  std::string this_relation(Location where) override {
    auto it = relations_.find(node_.unique_id);
    if (it == relations_.end()) {
      throw TemplateError(node_.original_file_path, where, "'this' has no relation here");
    }
    return it->second;
  }
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

Targets targets_of(const CompileContext& context) {
  return Targets{&context.profiles, context.own_profile, context.default_target,
                 context.cli_target};
}

std::string model_target(const Node& model, const CompileContext& context) {
  return model_output(model, targets_of(context));
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
    const Value* output = find_output(context.profiles, context.own_profile, output_name);
    if (output == nullptr) {
      fail("source '" + s->source_name + "' (" + s->original_file_path + ") lives on output '" +
           output_name + "', which is not in profiles.yml");
    }
    OutputPlace place = output_place(*output);
    s->database = zyl::drivers::has_database_level(place.engine)
                      ? (s->unrendered_database ? s->unrendered_database : place.database)
                      : std::nullopt;
    s->schema = place.engine == "sqlite" ? std::string("main")
                                         : s->unrendered_schema.value_or(s->source_name);
    std::string identifier = s->identifier.value_or(s->name);
    s->relation_name = zyl::drivers::relation_text(place.engine, s->database.value_or(""),
                                                   *s->schema, identifier);
  }
  for (auto& [id, n] : manifest.nodes) {
    const std::string kind = n->resource_type.value_or("");
    if (kind != "model" && kind != "seed" && kind != "snapshot") continue;
    std::string output_name = model_target(*n, context);
    const Value* output = find_output(context.profiles, context.own_profile, output_name);
    if (output == nullptr) {
      fail(kind + " '" + n->name + "' (" + n->original_file_path + ") runs on target '" +
           output_name + "', which is not an output in profiles.yml");
    }
    Place place = place_in(*n, output_name, *output);
    if (place.schema.empty()) {
      fail(kind + " '" + n->name + "': output '" + output_name +
           "' gives no schema; set 'schema' on the output or in the model's config");
    }
    n->database = place.database;
    n->schema = place.schema;
    if (kind == "snapshot") n->zyl_adapter_type = zyl::get_text(*output, "type");
    if (n->get_materialization() == "ephemeral") {
      n->relation_name.reset();
    } else {
      n->relation_name = place.relation;
    }
  }
}

namespace {

// The engine of the output `node` (a model or seed) lives on; "" when no profile has it.
std::string engine_of(const Node& node, const CompileContext& context) {
  const Value* output =
      find_output(context.profiles, context.own_profile, model_target(node, context));
  return output != nullptr ? output_place(*output).engine : "";
}

// A generic test's SQL on the tested node's relation. A relationships test whose `to` lives on
// another output is compared in the local DuckDB cache when it runs; its SQL says so.
std::string compile_generic_test(const Node& test, const Manifest& manifest,
                                 const CompileContext& context) {
  GenericTest generic = generic_test_of(*test.test_metadata, test.config.entries);
  const Value* kwargs = zyl::find(*test.test_metadata, "kwargs");
  const Node* tested = manifest.find_node(zyl::get_text(*kwargs, "model"));
  if (tested == nullptr || !tested->relation_name) fail("test '" + test.name + "': no relation to test");
  std::string to_relation;
  if (generic.kind == "relationships") {
    const Node* to = manifest.find_node(zyl::get_text(*kwargs, "to"));
    if (to == nullptr || !to->relation_name) fail("test '" + test.name + "': no relation to compare with");
    if (model_target(*to, context) != model_target(*tested, context)) {
      return "-- " + *tested->relation_name + " and " + *to->relation_name +
             " live on different targets: their keys are compared in the local DuckDB cache";
    }
    to_relation = *to->relation_name;
  }
  return generic_test_sql(generic, engine_of(*tested, context), *tested->relation_name, to_relation);
}

}  // namespace

void compile_manifest(Manifest& manifest, const CompileContext& context) {
  resolve_relations(manifest, context);
  std::unordered_map<std::string, const Node*> by_name;
  std::unordered_map<std::string, std::string> relations;
  for (const auto& [id, n] : manifest.nodes) {
    const std::string kind = n->resource_type.value_or("");
    if (kind != "model" && kind != "seed" && kind != "snapshot") continue;
    by_name[n->name] = n.get();
    relations[id] = n->relation_name ? *n->relation_name : cte_name(*n);
  }
  // Render every body first; ephemeral bodies are then inlined into their dependants.
  std::unordered_map<std::string, std::string> bodies;
  std::unordered_map<std::string, std::vector<std::string>> ephemeral_deps;
  for (const auto& [id, n] : manifest.nodes) {
    const std::string kind = n->resource_type.value_or("");
    if (kind == "test" && n->test_metadata) {
      n->compiled_code = compile_generic_test(*n, manifest, context);
      continue;
    }
    if (kind != "model" && kind != "test" && kind != "snapshot") continue;
    Template tmpl = Template::parse(n->raw_code, n->original_file_path);
    CompileModelContext model_context(*n, manifest, context, by_name, relations);
    bodies[id] = tmpl.render(model_context);
    ephemeral_deps[id] = std::move(model_context.ephemerals);
  }
  for (auto& [id, n] : manifest.nodes) {
    const std::string kind = n->resource_type.value_or("");
    if (kind != "model" && kind != "snapshot" && !(kind == "test" && !n->test_metadata)) continue;
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
