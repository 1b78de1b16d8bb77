// The record of the last default target (`.zyl/state.json`) and the warnings when it moves.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/value.h"

namespace zyl::config::driftwatch {

// Adapter type -> output-config keys identifying the instance, tried in order.
extern const std::map<std::string, std::vector<std::string>> ADAPTER_HOSTNAME_FIELD;

// The identity of the database instance of an output ("db1:5432"); "" when unknown.
std::string get_hostname(const Value& output_config);

// The parsed state file, or nullopt when there is none or it is not a JSON object.
std::optional<Value> load_driftwatch(const std::filesystem::path& project_dir);

// Writes `.zyl/state.json` (atomically, through a temporary file). Throws only when `.zyl`
// cannot be created.
void save_driftwatch(const std::filesystem::path& project_dir, const std::string& target_name,
                     const std::string& adapter_type, const std::string& hostname);

// ZYL008 / ZYL009 warnings for a moved default target; records the current one.
std::vector<std::string> check_target_changes(const std::filesystem::path& project_dir,
                                              const std::string& current_target,
                                              const Value& current_config);

}  // namespace zyl::config::driftwatch
