// The components the layer obtains at the moment of use: the Sling client, the cache, the
// optimizer, the watermark formatter, the source connection loader, the profiles reader, the
// target connections and the usage-tracking functions.
//
// The registry starts filled with the real implementations. Tests replace an entry for the
// lifetime of a `ScopedOverride`:
//
//   zyl::components::ScopedOverride guard;
//   guard->sling_client = [] { return std::make_unique<FakeSlingClient>(); };
//
// An empty entry is a component that cannot be obtained: `obtain` throws.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/ordered_map.h"
#include "core/value.h"
#include "drivers/driver.h"
#include "zyl/config/tether.h"
#include "zyl/extraction/sling_client.h"
#include "zyl/federation/optimizer.h"
#include "zyl/federation/zyl_cache.h"

namespace zyl::components {

struct Registry {
  std::function<std::unique_ptr<extraction::sling_client::SlingClient>()> sling_client;
  std::function<std::shared_ptr<federation::zyl_cache::Cache>(
      const federation::zyl_cache::CacheLocation&)>
      cache;
  std::function<config::tether::SourceConnectionMap(const std::filesystem::path&)> load_tether;
  std::function<federation::optimizer::Optimizations(const std::string&,
                                                     const OrderedMap<std::string, std::string>&,
                                                     const federation::optimizer::SourceColumns&)>
      optimize_extractions;
  std::function<std::string(const Value&, const std::string&, const std::string&)>
      format_watermark;
  // A connection to a target output; nullptr when none can be made.
  std::function<std::unique_ptr<drivers::Connection>(const std::string& adapter_type,
                                                     const Value& target_config)>
      get_connection;
  std::function<std::string()> default_profiles_dir;
  std::function<Value(const std::string& profiles_dir)> read_profiles_yml;
  std::function<void(const Value&)> track_zyl_extraction;
  std::function<void(const Value&)> track_zyl_retract;
};

// The process-wide registry. Reading entries is safe from several threads as long as no
// ScopedOverride is being created or destroyed at the same time.
Registry& registry();

// The entry, or std::runtime_error "component not available: <name>" when it is empty.
template <typename F>
const F& obtain(const F& entry, const char* name) {
  if (!entry) throw std::runtime_error(std::string("component not available: ") + name);
  return entry;
}

// Points the real components at a project: the Sling client, the target connections and the
// profiles reader take relative DuckDB and SQLite paths against `project_dir`, and the Sling
// client reports the rows of long copies through `progress`. Call once at start-up, before any
// thread reads the registry.
void use_project(const std::filesystem::path& project_dir,
                 extraction::sling_client::NativeSlingClient::Progress progress = nullptr);

// Saves the registry on construction and restores it on destruction. For tests.
class ScopedOverride {
 public:
  ScopedOverride();
  ~ScopedOverride();
  ScopedOverride(const ScopedOverride&) = delete;
  ScopedOverride& operator=(const ScopedOverride&) = delete;
  Registry* operator->() { return &registry(); }

 private:
  Registry saved_;
};

}  // namespace zyl::components
