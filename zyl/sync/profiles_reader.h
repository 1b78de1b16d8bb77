// Finding and reading the user's profiles.yml.
//
//   std::string dir = zyl::sync::profiles_reader::default_profiles_dir();
//   zyl::Value profiles = zyl::sync::profiles_reader::read_profiles_yml(dir);
//
// String values may name environment variables, so passwords stay out of the file:
//   password: "{{ env_var('PG_PASSWORD') }}"
//   host: "{{ env_var('PG_HOST', 'localhost') }}"
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "core/value.h"

namespace zyl::sync::profiles_reader {

// A profiles.yml that cannot be read: missing, malformed, or naming an unset variable.
class ProfilesError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where profiles.yml is looked for when the command names no directory: $BREK_PROFILES_DIR when
// set and non-empty; else the current directory when it holds profiles.yml; else ~/.brek.
// Thread-safe as long as nobody changes the environment meanwhile.
std::string default_profiles_dir();

// The parsed content of `<profiles_dir>/profiles.yml` (an empty file gives an empty map), with
// every `{{ env_var('NAME') }}` and `{{ env_var('NAME', 'default') }}` in string values replaced
// by the variable's value (or the default when it is unset). Throws ProfilesError for a missing
// or unreadable file ("profiles.yml not found in <dir>"), malformed YAML (the message names the
// file and the line), a document that is not a map, and a variable that is unset and has no
// default. Thread-safe.
Value read_profiles_yml(const std::string& profiles_dir);

// `profiles` with the relative file paths of DuckDB and SQLite outputs made absolute against
// `base` (the project directory), so every component opens the same files wherever brek was
// started. In-memory databases and absolute paths stay as they are.
Value with_absolute_paths(Value profiles, const std::filesystem::path& base);

// Replaces the env_var expressions of one string. Throws ProfilesError. Exposed for tests.
std::string render_env_vars(const std::string& text);

}  // namespace zyl::sync::profiles_reader
