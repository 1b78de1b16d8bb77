#include "zyl/config/tether.h"

#include <exception>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>

#include "brek/place.h"
#include "core/log.h"
#include "core/yaml.h"
#include "zyl/config/driftwatch.h"

namespace zyl::config::tether {
namespace {

namespace fs = std::filesystem;

spdlog::logger& logger() {
  static spdlog::logger& log = zyl::log::get("zyl.config.tether");
  return log;
}

bool has_yaml_suffix(std::string_view name) {
  return name.ends_with(".yml") || name.ends_with(".yaml");
}

// The model paths named by the project file: a list keeps its string entries, a single string
// is a one-element list, anything else (or no usable project file) gives the default.
std::vector<std::string> model_paths(const fs::path& project_dir) {
  std::vector<std::string> fallback{DEFAULT_MODEL_PATH};
  fs::path project_yml = project_dir / PROJECT_FILE;
  std::error_code ec;
  if (!fs::is_regular_file(project_yml, ec)) return fallback;
  Value doc;
  try {
    doc = yaml::load_file(project_yml);
  } catch (const std::exception&) {
    return fallback;
  }
  const Value* paths = find(doc, MODEL_PATHS_KEY);  // null for a non-map document
  if (paths == nullptr) return fallback;
  if (paths->is_string()) return {paths->get<std::string>()};
  if (!paths->is_array()) return fallback;
  std::vector<std::string> out;
  for (const Value& entry : *paths) {
    if (entry.is_string()) out.push_back(entry.get<std::string>());
  }
  return out;
}

// The parsed document of `filepath`, or nullopt when it cannot be read or parsed, or when its
// text cannot hold a "sources" key. The last test only skips work: a key is spelled out in the
// text unless it is written with escapes (a backslash) or in UTF-16/32 (NUL bytes), and those
// texts are always parsed. Never throws.
std::optional<Value> read_document(const fs::path& filepath) {
  try {
    std::ifstream in(filepath, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    if (text.find("sources") == std::string::npos &&
        text.find_first_of(std::string_view("\\\0", 2)) == std::string::npos) {
      return std::nullopt;
    }
    return yaml::parse(text, filepath.string());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Whether a directory entry is a file the scan reads: a regular file (or a link to one) with a
// YAML suffix and a size within the limit. Never throws.
bool is_scannable_file(const fs::directory_entry& entry) {
  if (!has_yaml_suffix(entry.path().filename().native())) return false;
  std::error_code ec;
  if (!entry.is_regular_file(ec) || ec) return false;
  std::uintmax_t size = entry.file_size(ec);
  return !ec && size <= MAX_YAML_FILE_BYTES;
}

// Walks `root` top-down: the files of each directory in listing order, then its subdirectories
// in listing order. Uses an explicit stack, so deep trees cannot exhaust the call stack.
void scan_tree(const fs::path& root, SourceConnectionMap& connections) {
  std::vector<fs::path> pending{root};
  std::vector<fs::path> subdirs;
  while (!pending.empty()) {
    fs::path dir = std::move(pending.back());
    pending.pop_back();
    subdirs.clear();
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::directory_entry& entry = *it;
      std::error_code type_ec;
      bool is_link = entry.is_symlink(type_ec);
      if (!is_link && entry.is_directory(type_ec)) {
        subdirs.push_back(entry.path());
        continue;
      }
      // A link to a directory is neither walked nor read; is_scannable_file rejects it.
      if (is_scannable_file(entry)) _extract_connections_from_file(entry.path(), connections);
    }
    for (auto it = subdirs.rbegin(); it != subdirs.rend(); ++it) pending.push_back(std::move(*it));
  }
}

bool is_usable_config(const Value* config) { return is_set(config) && config->is_object(); }

}  // namespace

SourceConnectionMap load_tether(const fs::path& project_dir) {
  SourceConnectionMap connections;
  for (const std::string& model_path : model_paths(project_dir)) {
    fs::path full_path = project_dir / model_path;
    std::error_code ec;
    if (!fs::is_directory(full_path, ec)) continue;
    scan_tree(full_path, connections);
  }
  if (!connections.empty()) {
    std::string listing;
    for (const auto& [name, connection] : connections) {
      if (!listing.empty()) listing += ", ";
      listing += name;
      listing += '=';
      listing += text_form(connection);
    }
    logger().info("ZYL: Found {} source connections: {}", connections.size(), listing);
  }
  return connections;
}

void _extract_connections_from_file(const fs::path& filepath, SourceConnectionMap& connections) {
  std::optional<Value> doc = read_document(filepath);
  if (!doc) return;
  const Value* sources = find(*doc, "sources");  // null for a non-map document
  if (sources == nullptr || !sources->is_array()) return;
  for (const Value& source : *sources) {
    if (!source.is_object()) continue;
    const Value* name = find(source, "name");
    if (!is_set(name) || name->is_structured()) continue;
    const Value* connection = find(source, "connection");
    for (const char* place : {"meta", "config"}) {
      if (is_set(connection)) break;
      if (const Value* nested = find(source, place)) connection = find(*nested, "connection");
    }
    if (is_set(connection)) connections.set(text_form(*name), *connection);
  }
}

std::optional<Value> get_source_connection(const std::string& source_name,
                                           const SourceConnectionMap& tether) {
  const Value* v = tether.get(source_name);
  return v ? std::optional<Value>(*v) : std::nullopt;
}

std::vector<std::string> validate_tether(const SourceConnectionMap& tether, const Value& profiles,
                                         const std::string& default_target,
                                         const std::string& own_profile) {
  std::vector<std::string> errors;
  auto find_output = [&](const std::string& name) {
    return brek::find_output(profiles, own_profile, name);
  };
  const Value* default_config = find_output(default_target);
  if (!is_usable_config(default_config)) return errors;
  std::string default_type = get_text(*default_config, "type");
  if (default_type.empty()) return errors;
  std::string default_hostname = driftwatch::get_hostname(*default_config);

  for (const auto& [source_name, connection] : tether) {
    if (!connection.is_string()) continue;  // names no output
    const std::string& connection_name = connection.get_ref<const std::string&>();
    const Value* conn_config = find_output(connection_name);
    if (!is_usable_config(conn_config)) continue;
    std::string conn_type = get_text(*conn_config, "type");
    if (conn_type != default_type) continue;
    if (driftwatch::get_hostname(*conn_config) != default_hostname) continue;
    errors.push_back("ZYL113: Source '" + source_name + "' has connection '" + connection_name +
                     "' which uses the same adapter type '" + conn_type +
                     "' as the default target. Remove the connection: property \u2014 sources "
                     "on the default adapter type follow --target automatically.");
  }
  return errors;
}

}  // namespace zyl::config::tether
