// Installs the DuckDB extensions that the adapter types of profiles.yml need.
//
// `get_required_extensions` maps a set of adapter types (the "type" of each output config) to
// the sorted extension names they need, always including `ALWAYS_INSTALL`; `install_extensions`
// installs each name into the local engine's extension store and reports one status per name.
//
//   auto names = get_required_extensions(std::set<std::string>{"postgres", "snowflake"});
//   // {"delta", "json", "postgres_scanner"}
//   for (const auto& [name, status] : install_extensions(names)) ...
//
// Both operations are stateless; the only resource touched is a temporary in-memory DuckDB
// connection owned by the call.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zyl::sync::outfitter {

// Adapter type -> the DuckDB extensions it needs, in table order. Keys match exactly and
// case-sensitively; a type without an entry needs nothing beyond ALWAYS_INSTALL.
extern const std::vector<std::pair<std::string, std::vector<std::string>>> ADAPTER_TO_EXTENSIONS;

// Extensions installed whatever the adapters are: "delta", "json".
extern const std::vector<std::string> ALWAYS_INSTALL;

// Status texts of install_extensions.
inline constexpr std::string_view kInstalled = "installed";
inline constexpr std::string_view kAlreadyInstalled = "already_installed";
inline constexpr std::string_view kFailed = "failed";
inline constexpr std::string_view kDryRun = "dry_run";

// The distinct extension names needed by `adapter_types` plus ALWAYS_INSTALL, sorted ascending
// by code point. Never throws (except std::bad_alloc). Thread-safe.
std::vector<std::string> get_required_extensions(
    const std::vector<std::string_view>& adapter_types);

// Any range of strings (a set, a vector, ...).
template <typename Range>
std::vector<std::string> get_required_extensions(const Range& adapter_types) {
  std::vector<std::string_view> types;
  for (const auto& type : adapter_types) types.emplace_back(type);
  return get_required_extensions(types);
}

enum class DryRun : bool { kNo = false, kYes = true };

// Installs every name of `extensions`, in order, and returns one (name, status) pair per
// element (duplicates are processed twice). Status is one of "installed", "already_installed",
// "failed", "dry_run".
//
// With DryRun::kYes every name gets "dry_run" and no engine is touched. Otherwise one in-memory
// connection is opened for the call; for each name the engine's extension catalogue is asked
// (the name bound as a parameter) and, unless it reports the extension installed, "INSTALL"
// followed by the name runs. A name that is not a plain extension name (only ASCII letters,
// digits and underscores, at least one) is reported "failed" without any statement being run,
// so no caller-supplied text ever reaches the engine as SQL. A failing catalogue query or
// INSTALL marks that name "failed" and processing goes on.
//
// Throws std::runtime_error when the in-memory database or its connection cannot be opened.
// Thread-safe (each call owns its connection).
[[nodiscard]] std::vector<std::pair<std::string, std::string>> install_extensions(
    const std::vector<std::string>& extensions, DryRun dry_run = DryRun::kNo);

}  // namespace zyl::sync::outfitter
