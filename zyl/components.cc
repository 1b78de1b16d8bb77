#include "zyl/components.h"

#include "brek/tracking.h"
#include "zyl/extraction/watermark_formatter.h"
#include "zyl/sync/profiles_reader.h"
#include "zyl/tasks/docs.h"

namespace zyl::components {
namespace {

using extraction::sling_client::NativeSlingClient;

// The real components; relative file paths are taken against `base_dir`.
Registry make_defaults(const std::filesystem::path& base_dir = ".",
                       NativeSlingClient::Progress progress = nullptr,
                       bool absolute_profile_paths = false) {
  Registry r;
  r.sling_client = [base_dir,
                    progress]() -> std::unique_ptr<extraction::sling_client::SlingClient> {
    return std::make_unique<NativeSlingClient>(base_dir, progress);
  };
  r.cache = [](const federation::zyl_cache::CacheLocation& location)
      -> std::shared_ptr<federation::zyl_cache::Cache> {
    return std::make_shared<federation::zyl_cache::ZylCache>(location);
  };
  r.get_connection = [base_dir](const std::string& adapter_type, const Value& target_config) {
    return tasks::docs::_get_connection(adapter_type, target_config, base_dir);
  };
  r.default_profiles_dir = sync::profiles_reader::default_profiles_dir;
  r.read_profiles_yml = [base_dir, absolute_profile_paths](const std::string& profiles_dir) {
    Value profiles = sync::profiles_reader::read_profiles_yml(profiles_dir);
    return absolute_profile_paths ? sync::profiles_reader::with_absolute_paths(profiles, base_dir)
                                  : profiles;
  };
  r.load_tether = config::tether::load_tether;
  r.optimize_extractions = federation::optimizer::optimize_extractions;
  r.format_watermark = extraction::watermark_formatter::format_watermark;
  r.track_zyl_extraction = brek::tracking::track_zyl_extraction;
  r.track_zyl_retract = brek::tracking::track_zyl_retract;
  return r;
}

}  // namespace

Registry& registry() {
  static Registry r = make_defaults();
  return r;
}

void use_project(const std::filesystem::path& project_dir, NativeSlingClient::Progress progress) {
  // Only the entries that depend on the project; whatever else was registered stays.
  Registry project = make_defaults(project_dir, std::move(progress), true);
  Registry& r = registry();
  r.sling_client = std::move(project.sling_client);
  r.get_connection = std::move(project.get_connection);
  r.read_profiles_yml = std::move(project.read_profiles_yml);
}

ScopedOverride::ScopedOverride() : saved_(registry()) {}
ScopedOverride::~ScopedOverride() { registry() = saved_; }

}  // namespace zyl::components
