// The record of the last default target (`.zyl/state.json`) and the warnings when it moves.
//
// Every parse, run and build calls `check_target_changes` with the current default output. It
// compares the output's adapter type and hostname with the recorded ones, returns ZYL008 (type
// changed) or ZYL009 (same type, other instance), and records the current target, so a warning
// is given once, on the first check after the move.
//
//   auto warnings = check_target_changes(project_dir, "dev", profiles_output);
//
// The state file is read and written without locking; nothing is kept in memory between calls.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/value.h"

namespace zyl::config::driftwatch {

// Adapter type -> output-config keys identifying the instance, tried in order. Types not in the
// table use {"host"}.
extern const std::map<std::string, std::vector<std::string>> ADAPTER_HOSTNAME_FIELD;

// The identity of the database instance of an output: the text form of the first set value of
// the type's keys, followed by ":" and the port's text form for the port-qualified types
// (postgres, redshift, mysql, mariadb, sqlserver, oracle, clickhouse, trino) when "port" is set.
// "" when no key is set (no port is added then) or `output_config` is not a map. Thread-safe.
std::string get_hostname(const Value& output_config);

// The parsed `<project_dir>/.zyl/state.json`, or nullopt when it is missing, not a regular file,
// unreadable, not valid JSON or not a JSON object. Never throws for the file's content.
std::optional<Value> load_driftwatch(const std::filesystem::path& project_dir);

// Writes {"name", "type", "hostname"} to `<project_dir>/.zyl/state.json`: indent 2, non-ASCII
// as \uXXXX escapes (invalid UTF-8 becomes \ufffd), no newline at the end. The text goes to a
// temporary file in `.zyl` that is then renamed over state.json, so a failed write never leaves
// a truncated state file. Creates `.zyl` (and missing parents); throws
// std::filesystem::filesystem_error when that fails. Any failure writing the file is swallowed
// and leaves the previous state file as it was.
void save_driftwatch(const std::filesystem::path& project_dir, const std::string& target_name,
                     const std::string& adapter_type, const std::string& hostname);

// ZYL008 / ZYL009 warnings (at most one) for a default target that moved since the recorded
// one; then records the current target with `save_driftwatch`, warning or not. No usable state
// file counts as a first run (no warning). Recorded entries are read by their text form (null
// as missing); the recorded name takes no part in the comparison. Throws only what
// `save_driftwatch` throws. Does not log.
std::vector<std::string> check_target_changes(const std::filesystem::path& project_dir,
                                              const std::string& current_target,
                                              const Value& current_config);

}  // namespace zyl::config::driftwatch
