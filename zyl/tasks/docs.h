// Target-connection operations shared by the layer's tasks: the output of a target name in the
// parsed profiles.yml, and a live connection to it.
//
//   Value config = zyl::tasks::docs::_get_output_config("warehouse", profiles);
//   if (auto conn = zyl::tasks::docs::_get_connection(get_text(config, "type"), config)) ...
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "core/value.h"
#include "drivers/driver.h"

namespace zyl::tasks::docs {

// The output config named `target_name`: from the project's own profile `own_profile` when it
// has that name, else from the first profile (in file order) whose "outputs" map holds it. A null
// Value (falsy) when no profile has it or `profiles` is not a map. Never throws. Thread-safe.
Value _get_output_config(const std::string& target_name, const Value& profiles,
                         const std::string& own_profile = "");

// An open connection to the output `target_config` of type `adapter_type` (the config's own
// "type" when `adapter_type` is empty), or nullptr when none can be made: no config, a type this
// build has no driver for, or a database that refuses. The reason is logged at debug level on
// "zyl.tasks.docs", with the config's secrets removed. Relative file paths are taken against
// `base_dir`. Never throws. The caller owns the connection.
std::unique_ptr<drivers::Connection> _get_connection(const std::string& adapter_type,
                                                     const Value& target_config,
                                                     const std::filesystem::path& base_dir = ".");

}  // namespace zyl::tasks::docs
