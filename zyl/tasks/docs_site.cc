#include "zyl/tasks/docs_site.h"

#include <fstream>
#include <set>
#include <stdexcept>

#include "brek/place.h"
#include "core/text.h"
#include "zyl/runners/internal/rewrite.h"
#include "zyl/tasks/docs.h"

namespace zyl::tasks::docs_site {
namespace internal {
// The page template and the graph library, embedded by the build (embed_assets.cmake).
extern const char kPage[];
extern const char kGraphLibrary[];
}  // namespace internal

namespace {

using config::compass::ExecutionPath;
using config::compass::ResolvedModel;

Value columns_of(const std::vector<brek::ColumnSpec>& columns) {
  Value out = Value::array();
  for (const auto& c : columns) {
    out.push_back(
        {{"name", c.name}, {"type", c.data_type.value_or("")}, {"description", c.description}});
  }
  return out;
}

std::string engine_of(const std::string& output, const Value& profiles) {
  Value config = docs::_get_output_config(output, profiles);
  return config.is_object() ? get_text(config, "type") : "";
}

// The connection a source is read from: its own, else the default target.
std::string connection_of(const brek::SourceNode& source, const SiteInput& input) {
  const Value* connection = input.tether ? input.tether->get(source.source_name) : nullptr;
  return is_set(connection) ? text_form(*connection) : input.default_target;
}

// The queries the extraction path reads the model's sources and upstream models with: the
// sources' as `brek compile` shows them, and every upstream model read whole from its place.
Value extractions_of(const brek::Node& model, const ResolvedModel& resolved,
                     const SiteInput& input) {
  Value out = Value::array();
  if (input.source_extractions) {
    try {
      for (const Value& read : input.source_extractions(model)) out.push_back(read);
    } catch (const std::exception& e) {
      out.push_back({{"source", "(sources)"},
                     {"connection", ""},
                     {"engine", ""},
                     {"query", std::string("-- cannot build the queries: ") + e.what()}});
    }
  }
  for (const auto& ref : resolved.remote_refs) {
    const brek::Node* upstream = input.manifest->find_node(ref);
    if (upstream == nullptr || upstream->get_materialization() == "ephemeral") continue;
    const ResolvedModel* up = input.resolutions ? input.resolutions->get(ref) : nullptr;
    std::string connection = up ? up->target : input.default_target;
    Value config = docs::_get_output_config(connection, input.profiles);
    std::string relation = config.is_object()
                               ? brek::place_in(*upstream, connection, config).table
                               : upstream->name;
    out.push_back({{"source", upstream->name},
                   {"connection", connection},
                   {"engine", engine_of(connection, input.profiles)},
                   {"query", runners::internal::select_all_from(relation)}});
  }
  return out;
}

Value model_entry(const brek::Node& node, const SiteInput& input) {
  const ResolvedModel* resolved =
      input.resolutions ? input.resolutions->get(node.unique_id) : nullptr;
  std::string target = resolved ? resolved->target : input.default_target;
  ExecutionPath path = resolved ? resolved->execution_path : ExecutionPath::DEFAULT_PUSHDOWN;
  Value entry = {{"path", std::string(config::compass::value(path))},
                 {"target", target},
                 {"engine", engine_of(target, input.profiles)},
                 {"materialized", node.get_materialization()},
                 {"extractions", Value::array()}};
  if (resolved && path != ExecutionPath::DEFAULT_PUSHDOWN) {
    entry["extractions"] = extractions_of(node, *resolved, input);
  }
  return entry;
}

Value node_entry(const brek::Node& node, const SiteInput& input) {
  std::string kind = node.resource_type.value_or("");
  Value entry = {{"id", node.unique_id},
                 {"name", node.name},
                 {"kind", kind},
                 {"description", node.description},
                 {"file", node.original_file_path},
                 {"relation", node.relation_name.value_or("")},
                 {"sql", node.raw_code},
                 {"compiled_sql", node.compiled_code.value_or("")},
                 {"columns", columns_of(node.columns)}};
  if (kind == "model") entry.update(model_entry(node, input));
  return entry;
}

Value source_entry(const brek::SourceNode& source, const SiteInput& input) {
  std::string connection = connection_of(source, input);
  return {
      {"id", source.unique_id},
      {"name", source.source_name + "." + source.name},
      {"kind", "source"},
      {"description", source.description.empty() ? source.source_description : source.description},
      {"file", source.original_file_path},
      {"relation", source.relation_name.value_or("")},
      {"connection", connection},
      {"engine", engine_of(connection, input.profiles)},
      {"columns", columns_of(source.columns)}};
}

const std::set<std::string> kShownKinds = {"model", "seed", "snapshot"};

}  // namespace

Value site_data(const SiteInput& input) {
  if (input.manifest == nullptr) throw std::invalid_argument("the docs page needs a manifest");
  Value nodes = Value::array();
  Value edges = Value::array();
  std::set<std::string> shown;
  for (const auto& [id, source] : input.manifest->sources) {
    if (!source) continue;
    nodes.push_back(source_entry(*source, input));
    shown.insert(id);
  }
  for (const auto& [id, node] : input.manifest->nodes) {
    if (!node || !kShownKinds.count(node->resource_type.value_or(""))) continue;
    nodes.push_back(node_entry(*node, input));
    shown.insert(id);
  }
  for (const auto& [id, exposure] : input.manifest->exposures) {
    if (!exposure) continue;
    nodes.push_back({{"id", id},
                     {"name", exposure->name},
                     {"kind", "exposure"},
                     {"description", exposure->description},
                     {"file", exposure->original_file_path},
                     {"exposure_type", exposure->type},
                     {"url", exposure->url.value_or("")}});
    shown.insert(id);
  }
  auto add_edges = [&](const std::string& to, const std::vector<std::string>& from) {
    for (const auto& parent : from) {
      if (shown.count(parent)) edges.push_back({parent, to});
    }
  };
  for (const auto& [id, node] : input.manifest->nodes) {
    if (node && shown.count(id) && node->depends_on) add_edges(id, node->depends_on->nodes);
  }
  for (const auto& [id, exposure] : input.manifest->exposures) {
    if (exposure) add_edges(id, exposure->depends_on.nodes);
  }
  return {{"project", input.project_name},
          {"default_target", input.default_target},
          {"nodes", nodes},
          {"edges", edges}};
}

std::string site_html(const Value& data) {
  // "<" only occurs inside JSON strings, where \u003c reads the same; so no text of the project
  // can end the script element it sits in.
  std::string json = text::replace_all(data.dump(), "<", "\\u003c");
  std::string library = text::replace_all(internal::kGraphLibrary, "</script", "<\\/script");
  std::string page = internal::kPage;
  // The library first: the project's own text may hold anything, a placeholder too.
  page = text::replace_all(page, "/*ZYL_GRAPH_LIBRARY*/", library);
  page = text::replace_all(page, "/*ZYL_DOCS_DATA*/", json);
  return page;
}

std::filesystem::path write_site(const SiteInput& input, const std::filesystem::path& target_dir) {
  std::filesystem::create_directories(target_dir);
  std::filesystem::path path = target_dir / "index.html";
  std::filesystem::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc | std::ios::binary);
    out << site_html(site_data(input));
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  std::filesystem::rename(temp, path);
  return path;
}

}  // namespace zyl::tasks::docs_site
