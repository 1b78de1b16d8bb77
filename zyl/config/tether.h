// The `connection:` property of sources, read straight from the project's YAML files, and the
// check that flags redundant ones.
//
//   SourceConnectionMap map = load_tether("/path/to/project");   // crm -> pg_crm, ...
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/ordered_map.h"
#include "core/value.h"

namespace zyl::config::tether {

// Source name -> connection (output) name, as written in the YAML file (normally a string).
// Keeps the order in which each name was first added.
using SourceConnectionMap = OrderedMap<std::string, Value>;

// Scans every YAML file under the project's model paths and returns a new map. Never fails on
// unreadable or malformed files. Logs the found connections on "zyl.config.tether".
SourceConnectionMap load_tether(const std::filesystem::path& project_dir);

// Adds the entries of one YAML file to `connections`. Never throws for a bad file.
void _extract_connections_from_file(const std::filesystem::path& filepath,
                                    SourceConnectionMap& connections);

// The connection of `source_name`, or nullopt.
std::optional<Value> get_source_connection(const std::string& source_name,
                                           const SourceConnectionMap& tether);

// ZYL113 messages for connections that name an output of the default target's type and host.
std::vector<std::string> validate_tether(const SourceConnectionMap& tether, const Value& profiles,
                                         const std::string& default_target);

}  // namespace zyl::config::tether
