// The `connection:` property of sources, read straight from the project's YAML files, and the
// check that flags redundant ones.
//
// The host framework's source parser drops `connection:`, so `load_tether` reads every ".yml" /
// ".yaml" file under the project's model paths itself and maps each source name to the output
// (connection) it names. The resolver compares the entries with model targets; the extraction
// path reads them to find where a source lives; `validate_tether` reports entries that merely
// repeat the default target.
//
//   SourceConnectionMap map = load_tether("/path/to/project");   // crm -> pg_crm, ...
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/ordered_map.h"
#include "core/value.h"

namespace zyl::config::tether {

// Source name -> connection (output) name, as written in the YAML file (normally a string; any
// set value is kept as written). Keeps the order in which each name was first added; replacing
// the value of a name keeps its place. Only sources with a set connection appear.
//
// Comparisons of an entry with a target or an output name are text equality on strings only:
// an entry that is not a string (`connection: 5`) never equals a target name and names no
// output of profiles.yml.
using SourceConnectionMap = OrderedMap<std::string, Value>;

// The project file, its key and the model paths used when it gives none.
inline constexpr char PROJECT_FILE[] = "brek_project.yml";
inline constexpr char MODEL_PATHS_KEY[] = "model-paths";
inline constexpr char DEFAULT_MODEL_PATH[] = "models";

// Files above this size are not parsed by the scan.
inline constexpr std::uintmax_t MAX_YAML_FILE_BYTES = 64ull * 1024 * 1024;

// Scans the project under `project_dir` and returns a new map:
//  - The model paths come from "model-paths" of `brek_project.yml`. A list keeps only its string
//    entries (in order); a single string counts as a one-element list; a missing key, any other
//    value, or a missing / unreadable / malformed / non-map project file gives ["models"].
//    Relative entries are taken under `project_dir`; absolute ones stand for themselves.
//  - Each model path that is a directory is walked top-down: the files of a directory in the
//    order the file system lists them, then its subdirectories in that order. Symbolic links to
//    directories are not followed; directories that cannot be listed are passed over.
//  - Every regular file (or link to one) whose name ends in ".yml" or ".yaml" (case-sensitive)
//    is read with `_extract_connections_from_file`; later entries of a name replace earlier
//    ones. FIFOs, devices and other special files are not opened, and files larger than
//    MAX_YAML_FILE_BYTES are passed over (no hand-written properties file is that large).
// When the map is not empty, logs "ZYL: Found N source connections: a=x, b=y" at info on
// "zyl.config.tether". Never throws for anything found on disk. Thread-safe (no shared state).
SourceConnectionMap load_tether(const std::filesystem::path& project_dir);

// Adds the entries of one YAML file to `connections`: for each map element of the document's
// top-level "sources" list that has a set "name", the first set value of its own "connection",
// then "meta.connection", then "config.connection". A scalar name is keyed by its text form;
// a name that is a list or a map is skipped. An unreadable or malformed file, a document that
// is not a map, or a "sources" that is not a list adds nothing. Never throws for a bad file and
// never logs.
void _extract_connections_from_file(const std::filesystem::path& filepath,
                                    SourceConnectionMap& connections);

// The connection of `source_name`, or nullopt when the name is not a key.
std::optional<Value> get_source_connection(const std::string& source_name,
                                           const SourceConnectionMap& tether);

// One ZYL113 message, in map order, for every entry whose connection names an output (looked up
// in the project's own profile `own_profile` first, then across the other profiles of
// `profiles` in map order, first match wins) with the same adapter type
// and the same hostname (driftwatch::get_hostname) as the default target. Returns an empty list
// when the default target is not defined, its config is empty or not a map, or its "type" is
// empty. Connections that no profile defines are skipped; profile entries that are not maps and
// "outputs" values that are not maps are passed over. Reads only; does not log. Thread-safe.
std::vector<std::string> validate_tether(const SourceConnectionMap& tether, const Value& profiles,
                                         const std::string& default_target,
                                         const std::string& own_profile = "");

}  // namespace zyl::config::tether
