#include "zyl/components.h"

#include "brek/tracking.h"
#include "zyl/extraction/watermark_formatter.h"
#include "zyl/sync/profiles_reader.h"
#include "zyl/tasks/docs.h"

namespace zyl::components {
namespace {

Registry make_defaults() {
  Registry r;
  r.sling_client = [] { return extraction::sling_client::make_sling_client(); };
  r.cache = [](const federation::zyl_cache::CacheLocation& location)
      -> std::shared_ptr<federation::zyl_cache::Cache> {
    return std::make_shared<federation::zyl_cache::ZylCache>(location);
  };
  r.get_connection = [](const std::string& adapter_type, const Value& target_config) {
    return tasks::docs::_get_connection(adapter_type, target_config);
  };
  r.default_profiles_dir = sync::profiles_reader::default_profiles_dir;
  r.read_profiles_yml = [](const std::string& profiles_dir) {
    return sync::profiles_reader::read_profiles_yml(profiles_dir);
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

ScopedOverride::ScopedOverride() : saved_(registry()) {}
ScopedOverride::~ScopedOverride() { registry() = saved_; }

}  // namespace zyl::components
