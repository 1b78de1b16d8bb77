#include "brek/artifacts/resources/v1/exposure.h"

namespace brek::artifacts::resources::v1::exposure {

void ExposureConfig::describe(ds::Fields<ExposureConfig>& f) {
  f.name("ExposureConfig");
  f.field("enabled", &ExposureConfig::enabled);
}

void Exposure::describe(ds::Fields<Exposure>& f) {
  f.name("Exposure");
  f.required("type", &Exposure::type);
  f.required("owner", &Exposure::owner);
  f.required("resource_type", &Exposure::resource_type, {"exposure"});
  f.field("description", &Exposure::description);
  f.field("label", &Exposure::label);
  f.field("maturity", &Exposure::maturity);
  f.field("meta", &Exposure::meta);
  f.field("tags", &Exposure::tags);
  f.field("config", &Exposure::config);
  f.field("unrendered_config", &Exposure::unrendered_config);
  f.field("url", &Exposure::url);
  f.field("depends_on", &Exposure::depends_on);
  f.field("refs", &Exposure::refs);
  f.field("sources", &Exposure::sources);
  f.field("metrics", &Exposure::metrics);
  f.field("created_at", &Exposure::created_at);
}

}  // namespace brek::artifacts::resources::v1::exposure
