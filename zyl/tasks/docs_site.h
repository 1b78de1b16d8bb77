// The project's documentation page: `brek docs generate` writes target/index.html, one file
// that works offline (the graph library is embedded in it, nothing is fetched).
//
// The page shows the lineage of sources, seeds, models, snapshots and exposures as a graph laid
// out by Cytoscape.js, each model coloured by its execution path and each source labelled with
// the connection and engine it is read from; a page per node with its SQL, compiled SQL, target,
// relation, columns and, for models on the extraction path, the query each source is read with;
// and a search box.
//
//   SiteInput input{&manifest, &resolutions, &tether, profiles, "shop", "dev", project_dir};
//   write_site(input, project_dir / "target");
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "brek/nodes.h"
#include "core/value.h"
#include "zyl/config/compass.h"
#include "zyl/config/tether.h"

namespace zyl::tasks::docs_site {

struct SiteInput {
  const brek::Manifest* manifest = nullptr;  // compiled, so models have compiled_code
  const config::compass::Resolutions* resolutions = nullptr;
  const config::tether::SourceConnectionMap* tether = nullptr;
  Value profiles = Value::object();  // as read from profiles.yml
  std::string project_name;
  std::string default_target;
  std::filesystem::path project_dir;  // whose cache the extraction path fills
  // The [{"source", "connection", "engine", "query"}] each source of an extraction model is read
  // with, as `brek compile` shows them; none are shown when unset. May throw.
  std::function<std::vector<Value>(const brek::Node& model)> source_extractions;
};

// What the page shows, as one value: {"project", "default_target", "nodes": [...], "edges":
// [[from, to], ...]}. Each node has "id", "name", "kind" (model, source, seed, snapshot,
// exposure) and the fields of its page; models have "path" (the execution path's value),
// "target", "engine" and "extractions" ([{"source", "connection", "engine", "query"}]); sources
// have "connection" and "engine". Never holds a password. Reads only; throws nothing the inputs
// do not.
Value site_data(const SiteInput& input);

// The whole page for `data`: HTML with the data, the graph library and the page's script inline.
std::string site_html(const Value& data);

// Writes `<target_dir>/index.html` (creating the directory) and returns its path. Throws
// std::runtime_error when it cannot be written.
std::filesystem::path write_site(const SiteInput& input, const std::filesystem::path& target_dir);

}  // namespace zyl::tasks::docs_site
